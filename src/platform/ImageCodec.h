#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

/// Type identifiers the codec speaks, as the settings vocabulary names formats.
namespace typeIdentifier {
inline constexpr std::string_view jpeg = "public.jpeg";
inline constexpr std::string_view png = "public.png";
inline constexpr std::string_view webp = "org.webmproject.webp";
inline constexpr std::string_view avif = "public.avif";
inline constexpr std::string_view heic = "public.heic";
} // namespace typeIdentifier

enum class ColorModel { monochrome = 0, rgb = 1, cmyk = 2, lab = 3, other = 6 };

/// A colour space as a value: its model, its name ("sRGB" exactly when the profile is
/// colorimetrically sRGB, else the profile's description) and its ICC bytes.
struct ColorSpace {
    ColorModel model = ColorModel::rgb;
    std::optional<std::string> name;
    std::optional<std::string> iccData;

    /// The named sRGB space (with the codec's built-in sRGB profile bytes).
    static ColorSpace sRGB();
    bool operator==(const ColorSpace&) const = default;
};

/// Alpha layout codes, numbered as the engine's rules use them.
enum class AlphaInfo {
    none = 0,
    premultipliedLast = 1,
    premultipliedFirst = 2,
    last = 3,
    first = 4,
    noneSkipLast = 5,
    noneSkipFirst = 6,
    only = 7
};

/// What the header says, read without decoding any pixel.
struct ImageProperties {
    std::int64_t width = 0;
    std::int64_t height = 0;
    /// EXIF orientation 1–8 when the file carries one.
    std::optional<int> orientation;
    /// "public.jpeg", "public.png", "org.webmproject.webp", "public.avif", "public.heic".
    std::optional<std::string> typeIdentifier;
    bool hasAlpha = false;
    /// The frames of an animated WebP or the top-level images of a HEIF file, as the
    /// decoder counts them. Only the first is ever decoded. (APNG frames and HEIF image
    /// sequences are beyond what it reads: see platform/ImageStructure.h.)
    std::int64_t pictureCount = 1;
};

/// A decoded first frame, fully read into memory (so a truncated or corrupt file fails
/// at decode, not later inside an encoder). Immutable; share it freely.
class Raster {
public:
    virtual ~Raster() = default;
    virtual std::int64_t width() const = 0;
    virtual std::int64_t height() const = 0;
    virtual AlphaInfo alphaInfo() const = 0;
    /// None when the image has no colour space at all.
    virtual std::optional<ColorSpace> colorSpace() const = 0;
};

enum class Background { white, transparent };

/// 8-bit pixels, rows top to bottom, no padding: with 4 channels R, G, B and straight
/// (not premultiplied) A; with 3 channels R, G, B, opaque.
struct RgbaBitmap {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::vector<std::uint8_t> pixels;
    int channels = 4;
};

/// Rows of a rendering laid out as in RgbaBitmap, borrowed: the pixels are valid only
/// during the call that hands the band over.
struct BitmapBand {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::span<const std::uint8_t> pixels;
    int channels = 4;
};

/// The platform image codec. Failure is an empty result or false, never an exception
/// and never a crash, whatever bytes the file holds. Safe to call from any thread.
class ImageCodec {
public:
    virtual ~ImageCodec() = default;

    /// Asked afresh on each call.
    virtual std::vector<std::string> writableTypeIdentifiers() const = 0;
    bool canWrite(std::string_view typeIdentifier) const;

    /// None for an unreadable file or one that is not a JPEG, PNG, WebP or HEIF image.
    virtual std::optional<ImageProperties>
    readProperties(const std::filesystem::path& file) const = 0;
    /// The first frame as stored.
    virtual std::shared_ptr<const Raster> decode(const std::filesystem::path& file) const = 0;
    /// Whether the whole first frame decodes, without keeping the pixels: the check an
    /// encoder's output must pass. By default a full decode().
    virtual bool canDecode(const std::filesystem::path& file) const;
    /// The first frame turned to display orientation (width and height swapped for 5–8).
    virtual std::shared_ptr<const Raster>
    decodeUpright(const std::filesystem::path& file) const = 0;

    /// Writes one raster as a complete file; quality 0–1 for lossy formats. Only the
    /// raster's ICC profile travels along; no EXIF, so no stale orientation.
    virtual bool encode(const Raster& raster, const std::filesystem::path& destination,
                        std::string_view typeIdentifier, std::optional<double> quality) const = 0;
    /// encode(), taking the raster along: an encoder that copies the pixels into buffers
    /// of its own may let go of them before its real work, so that the raster and the
    /// encoder's frames are not held at once. The same bytes as encode(). By default
    /// encode(), and the raster goes afterwards.
    virtual bool encodeTaking(std::shared_ptr<const Raster> raster,
                              const std::filesystem::path& destination,
                              std::string_view typeIdentifier, std::optional<double> quality) const;

    /// The raster converted into `space` and drawn over white (3 channels, or 4 with
    /// alpha 255) or over transparency (4 channels).
    virtual std::optional<RgbaBitmap> render(const Raster& raster, const ColorSpace& space,
                                             Background background) const = 0;

    /// Receives one band of rows: a bitmap as wide as the raster, with the rows that
    /// follow the previous band's.
    using BandSink = std::function<void(const BitmapBand& band)>;
    /// render(), handed to `sink` a band of rows at a time from the top, so that the
    /// whole bitmap need never be held. False when rendering fails (possibly after some
    /// bands); what `sink` throws passes through. By default one band: render()'s bitmap.
    virtual bool renderBands(const Raster& raster, const ColorSpace& space, Background background,
                             const BandSink& sink) const;
};

} // namespace velk
