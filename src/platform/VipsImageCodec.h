#pragma once

#include <cstdint>

#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"

namespace velk {

/// The image codec on libvips 8.14, lcms2 and libheif.
///
/// The first instance sets libvips up for the whole process, once: the operation cache
/// off (a file replaced under the same name must read back its new pixels), one worker
/// thread, warnings into the native log, and every loader blocked except JPEG, PNG,
/// WebP and HEIF (libvips sniffs content, so an SVG or PDF named ".jpg" would load).
/// Stateless otherwise; safe to use from any thread.
class VipsImageCodec final : public ImageCodec {
public:
    /// Largest width × height `decode` accepts: a backstop against decompression bombs
    /// for callers that skip the engine's own, much lower limit.
    static constexpr std::int64_t maximumDecodedPixels = std::int64_t{1} << 28;
    /// Largest width × height × 4 `render` produces.
    static constexpr std::int64_t maximumRenderedBytes = 268'435'456;

    /// Reads through the system's file system.
    VipsImageCodec();
    /// The reads the codec makes itself go through `fs`, which must outlive it and be safe
    /// to use from any thread; libvips and libheif open files on their own.
    explicit VipsImageCodec(const FileSystem& fs);

    std::vector<std::string> writableTypeIdentifiers() const override;
    std::optional<ImageProperties> readProperties(const std::filesystem::path& file) const override;
    std::shared_ptr<const Raster> decode(const std::filesystem::path& file) const override;
    /// JPEG and WebP straight through their libraries, the rest through libvips.
    bool canDecode(const std::filesystem::path& file) const override;
    std::shared_ptr<const Raster> decodeUpright(const std::filesystem::path& file) const override;
    bool encode(const Raster& raster, const std::filesystem::path& destination,
                std::string_view typeIdentifier, std::optional<double> quality) const override;
    /// AVIF and HEIC let go of the raster once libheif has its copy: at 50 megapixels
    /// the encoder's own frames come to some 800 MB, and the raster need not add to them.
    bool encodeTaking(std::shared_ptr<const Raster> raster,
                      const std::filesystem::path& destination, std::string_view typeIdentifier,
                      std::optional<double> quality) const override;
    std::optional<RgbaBitmap> render(const Raster& raster, const ColorSpace& space,
                                     Background background) const override;
    /// Bands of about `bandBytes` of RGBA, each converted on its own.
    bool renderBands(const Raster& raster, const ColorSpace& space, Background background,
                     const BandSink& sink) const override;

    static constexpr std::int64_t bandBytes = std::int64_t{4} << 20;

private:
    const FileSystem& fs_;
};

} // namespace velk
