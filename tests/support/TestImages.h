#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace velk::test {

using Rgba = std::array<std::uint8_t, 4>;

/// How a test image looks and what it carries.
struct TestImageOptions {
    /// An alpha channel (128 at the left edge rising to 255 at the right).
    bool alpha = false;
    /// One grey channel ((R + G) / 2 of the gradient) instead of RGB.
    bool grey = false;
    /// 8, or 16 for PNG (and for the 16-bit sources other savers must narrow).
    int bitDepth = 8;
    /// EXIF orientation 1–8 written into the file.
    std::optional<int> orientation;
    /// ICC profile bytes embedded in the file.
    std::optional<std::string> iccProfile;
    /// A solid colour instead of the gradient (alpha used only with `alpha`).
    std::optional<Rgba> fill;
    /// Pseudo-random blue, so a lossy quality setting visibly changes the file size.
    bool detailed = false;
    /// Quality 1–100 for the lossy formats.
    int quality = 90;
    /// Frames stacked vertically (frame k filled with `frameColour(k)`), for WebP/GIF.
    int frames = 1;

    // Chainable setters: GCC 12 warns about designated initializers that leave fields out.
    TestImageOptions withAlpha(bool value = true) const;
    TestImageOptions withGrey(bool value = true) const;
    TestImageOptions withBitDepth(int value) const;
    TestImageOptions withOrientation(int value) const;
    TestImageOptions withIccProfile(std::optional<std::string> value) const;
    TestImageOptions withFill(Rgba value) const;
    TestImageOptions withDetail(bool value = true) const;
    TestImageOptions withQuality(int value) const;
    TestImageOptions withFrames(int value) const;
};

/// Shorthand: `TestImages::png(path, 8, 8, imageOptions().withAlpha())`.
inline TestImageOptions imageOptions() {
    return {};
}

/// Real image files written with libvips, for tests of every module that reads images.
/// The default picture is a gradient: red rises left to right, green top to bottom,
/// blue is 64, so each corner is recognisable after a rotation.
class TestImages {
public:
    static void jpeg(const std::filesystem::path& path, int width, int height,
                     const TestImageOptions& options = {});
    static void png(const std::filesystem::path& path, int width, int height,
                    const TestImageOptions& options = {});
    static void webp(const std::filesystem::path& path, int width, int height,
                     const TestImageOptions& options = {});
    static void avif(const std::filesystem::path& path, int width, int height,
                     const TestImageOptions& options = {});
    static void heic(const std::filesystem::path& path, int width, int height,
                     const TestImageOptions& options = {});
    /// Formats the codec must refuse, for "wrong content behind a .jpg name" tests.
    static void tiff(const std::filesystem::path& path, int width, int height,
                     const TestImageOptions& options = {});
    static void gif(const std::filesystem::path& path, int width, int height,
                    const TestImageOptions& options = {});
    /// A CMYK JPEG (cyan rising left to right), without a profile unless one is given.
    static void cmykJpeg(const std::filesystem::path& path, int width, int height,
                         const std::optional<std::string>& iccProfile = std::nullopt);
    static void svg(const std::filesystem::path& path, int width, int height);
    /// A valid PNG signature and IHDR claiming width × height, followed by almost no
    /// pixel data: a decompression bomb's header.
    static void pngHeaderOnly(const std::filesystem::path& path, std::uint32_t width,
                              std::uint32_t height);

    /// The colour the gradient (or fill) has at (x, y), as written before any encoding.
    static Rgba expectedPixel(int x, int y, int width, int height,
                              const TestImageOptions& options = {});
    static Rgba frameColour(int frame);

    /// Cuts the file down to `fraction` of its size, as a copy still in progress leaves it.
    static void truncate(const std::filesystem::path& path, double fraction);

    /// ICC profiles built with lcms2 (matrix/TRC, D50-adapted like real ones).
    static std::string displayP3Profile(); // description "Display P3"
    static std::string adobeRgbProfile();  // description "Adobe RGB (1998)"
    /// sRGB primaries and tone curve under any description.
    static std::string srgbProfile(const std::string& description = "sRGB IEC61966-2.1");
    /// A grey profile with gamma 2.2, description "Generic Gray Gamma 2.2 Profile".
    static std::string greyProfile();
    /// One of libvips' built-in profiles: "sRGB", "p3" (described "sP3C") or "cmyk".
    static std::string libvipsProfile(const std::string& name);
};

} // namespace velk::test
