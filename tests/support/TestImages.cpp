#include "support/TestImages.h"

#include <lcms2.h>
#include <vips/vips8>

#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "support/TempDir.h"

namespace velk::test {

namespace fs = std::filesystem;
using vips::VImage;

namespace {

void ensureVips() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (VIPS_INIT("velk-tests") != 0)
            throw std::runtime_error("vips_init failed");
    });
}

int scaled(int value, int extent) {
    return extent > 1 ? (255 * value + (extent - 1) / 2) / (extent - 1) : 0;
}

std::uint8_t noise(int x, int y) {
    std::uint32_t h =
        static_cast<std::uint32_t>(x) * 73856093u ^ static_cast<std::uint32_t>(y) * 19349663u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<std::uint8_t>(h);
}

/// An image owning a copy of the pixels (copy_memory() of new_from_memory() would
/// keep pointing at the caller's buffer).
VImage fromMemory(const void* data, std::size_t size, int width, int height, int bands,
                  VipsBandFormat format) {
    VipsImage* image = vips_image_new_from_memory_copy(data, size, width, height, bands, format);
    if (!image)
        throw vips::VError();
    return VImage(image);
}

/// The picture of `options` as a libvips image in memory, metadata attached.
VImage picture(int width, int height, const TestImageOptions& options) {
    ensureVips();
    const int frames = std::max(1, options.frames);
    const int fullHeight = height * frames;
    const int colourBands = options.grey ? 1 : 3;
    const int bands = colourBands + (options.alpha ? 1 : 0);
    const bool wide = options.bitDepth > 8;

    std::vector<std::uint16_t> samples(static_cast<std::size_t>(width) * fullHeight * bands);
    std::size_t i = 0;
    for (int y = 0; y < fullHeight; ++y) {
        for (int x = 0; x < width; ++x) {
            Rgba rgba = frames > 1 ? TestImages::frameColour(y / height)
                                   : TestImages::expectedPixel(x, y, width, height, options);
            if (options.grey) {
                samples[i++] = rgba[0];
            } else {
                samples[i++] = rgba[0];
                samples[i++] = rgba[1];
                samples[i++] = rgba[2];
            }
            if (options.alpha)
                samples[i++] = rgba[3];
        }
    }

    VImage image;
    if (wide) {
        for (auto& sample : samples)
            sample = static_cast<std::uint16_t>(sample * 257);
        image = fromMemory(samples.data(), samples.size() * 2, width, fullHeight, bands,
                           VIPS_FORMAT_USHORT);
    } else {
        std::vector<std::uint8_t> bytes(samples.begin(), samples.end());
        image = fromMemory(bytes.data(), bytes.size(), width, fullHeight, bands, VIPS_FORMAT_UCHAR);
    }
    const VipsInterpretation interpretation =
        options.grey ? (wide ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W)
                     : (wide ? VIPS_INTERPRETATION_RGB16 : VIPS_INTERPRETATION_sRGB);
    image = image.copy(VImage::option()->set("interpretation", interpretation)).copy_memory();

    if (options.iccProfile) {
        vips_image_set_blob_copy(image.get_image(), VIPS_META_ICC_NAME, options.iccProfile->data(),
                                 options.iccProfile->size());
    }
    if (options.orientation)
        image.set(VIPS_META_ORIENTATION, *options.orientation);
    if (frames > 1) {
        image.set(VIPS_META_PAGE_HEIGHT, height);
        image.set(VIPS_META_N_PAGES, frames);
        image.set("delay", std::vector<int>(static_cast<std::size_t>(frames), 100));
    }
    return image;
}

std::string withDescription(cmsHPROFILE profile, const std::string& description) {
    if (!profile)
        throw std::runtime_error("lcms2 could not build a profile");
    cmsMLU* text = cmsMLUalloc(nullptr, 1);
    cmsMLUsetASCII(text, "en", "US", description.c_str());
    cmsWriteTag(profile, cmsSigProfileDescriptionTag, text);
    cmsMLUfree(text);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string bytes(size, '\0');
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

std::string rgbProfile(cmsCIExyYTRIPLE primaries, cmsToneCurve* curve,
                       const std::string& description) {
    const cmsCIExyY d65{0.3127, 0.3290, 1.0};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsFreeToneCurve(curve);
    return withDescription(profile, description);
}

cmsToneCurve* srgbCurve() {
    const cmsFloat64Number params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    return cmsBuildParametricToneCurve(nullptr, 4, params);
}

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
    return bigEndian(static_cast<std::uint32_t>(data.size())) + type + data +
           bigEndian(crc32(type + data));
}

} // namespace

TestImageOptions TestImageOptions::withAlpha(bool value) const {
    auto copy = *this;
    copy.alpha = value;
    return copy;
}
TestImageOptions TestImageOptions::withGrey(bool value) const {
    auto copy = *this;
    copy.grey = value;
    return copy;
}
TestImageOptions TestImageOptions::withBitDepth(int value) const {
    auto copy = *this;
    copy.bitDepth = value;
    return copy;
}
TestImageOptions TestImageOptions::withOrientation(int value) const {
    auto copy = *this;
    copy.orientation = value;
    return copy;
}
TestImageOptions TestImageOptions::withIccProfile(std::optional<std::string> value) const {
    auto copy = *this;
    copy.iccProfile = std::move(value);
    return copy;
}
TestImageOptions TestImageOptions::withFill(Rgba value) const {
    auto copy = *this;
    copy.fill = value;
    return copy;
}
TestImageOptions TestImageOptions::withDetail(bool value) const {
    auto copy = *this;
    copy.detailed = value;
    return copy;
}
TestImageOptions TestImageOptions::withQuality(int value) const {
    auto copy = *this;
    copy.quality = value;
    return copy;
}
TestImageOptions TestImageOptions::withFrames(int value) const {
    auto copy = *this;
    copy.frames = value;
    return copy;
}

Rgba TestImages::expectedPixel(int x, int y, int width, int height,
                               const TestImageOptions& options) {
    if (options.fill) {
        Rgba fill = *options.fill;
        if (!options.alpha)
            fill[3] = 255;
        return fill;
    }
    Rgba rgba{static_cast<std::uint8_t>(scaled(x, width)),
              static_cast<std::uint8_t>(scaled(y, height)),
              static_cast<std::uint8_t>(options.detailed ? noise(x, y) : 64),
              static_cast<std::uint8_t>(options.alpha ? 128 + scaled(x, width) / 2 : 255)};
    if (options.grey)
        rgba[0] = rgba[1] = rgba[2] = static_cast<std::uint8_t>((rgba[0] + rgba[1]) / 2);
    return rgba;
}

Rgba TestImages::frameColour(int frame) {
    static const Rgba colours[] = {
        {255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}, {255, 255, 0, 255}};
    return colours[frame % 4];
}

void TestImages::jpeg(const fs::path& path, int width, int height,
                      const TestImageOptions& options) {
    TestImageOptions opaque = options;
    opaque.alpha = false;
    picture(width, height, opaque)
        .jpegsave(path.c_str(), VImage::option()->set("Q", options.quality));
}

void TestImages::png(const fs::path& path, int width, int height, const TestImageOptions& options) {
    picture(width, height, options)
        .pngsave(path.c_str(), VImage::option()->set("bitdepth", options.bitDepth > 8 ? 16 : 8));
}

void TestImages::webp(const fs::path& path, int width, int height,
                      const TestImageOptions& options) {
    picture(width, height, options)
        .webpsave(path.c_str(), VImage::option()->set("Q", options.quality));
}

void TestImages::avif(const fs::path& path, int width, int height,
                      const TestImageOptions& options) {
    picture(width, height, options)
        .heifsave(path.c_str(), VImage::option()
                                    ->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1)
                                    ->set("Q", options.quality)
                                    ->set("bitdepth", options.bitDepth > 8 ? 10 : 8));
}

void TestImages::heic(const fs::path& path, int width, int height,
                      const TestImageOptions& options) {
    picture(width, height, options)
        .heifsave(path.c_str(), VImage::option()
                                    ->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_HEVC)
                                    ->set("Q", options.quality)
                                    ->set("bitdepth", options.bitDepth > 8 ? 10 : 8));
}

void TestImages::tiff(const fs::path& path, int width, int height,
                      const TestImageOptions& options) {
    picture(width, height, options).tiffsave(path.c_str());
}

void TestImages::gif(const fs::path& path, int width, int height, const TestImageOptions& options) {
    picture(width, height, options).gifsave(path.c_str());
}

void TestImages::cmykJpeg(const fs::path& path, int width, int height,
                          const std::optional<std::string>& iccProfile) {
    ensureVips();
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            bytes.insert(bytes.end(), {static_cast<std::uint8_t>(scaled(x, width)), 0, 0, 0});
        }
    }
    VImage image = fromMemory(bytes.data(), bytes.size(), width, height, 4, VIPS_FORMAT_UCHAR)
                       .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_CMYK))
                       .copy_memory();
    if (iccProfile) {
        vips_image_set_blob_copy(image.get_image(), VIPS_META_ICC_NAME, iccProfile->data(),
                                 iccProfile->size());
    }
    image.jpegsave(path.c_str(), VImage::option()->set("Q", 95));
}

void TestImages::svg(const fs::path& path, int width, int height) {
    writeFile(path, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
                        "\" height=\"" + std::to_string(height) +
                        "\"><rect width=\"100%\" height=\"100%\" fill=\"red\"/></svg>\n");
}

void TestImages::pngHeaderOnly(const fs::path& path, std::uint32_t width, std::uint32_t height) {
    const std::string signature = "\x89PNG\r\n\x1a\n";
    // 8-bit RGB, deflate, adaptive filtering, not interlaced.
    const std::string header =
        bigEndian(width) + bigEndian(height) + std::string("\x08\x02\x00\x00\x00", 5);
    // A zlib stream holding a few zero bytes: nowhere near one row.
    const std::string data("\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01", 10);
    writeFile(path,
              signature + pngChunk("IHDR", header) + pngChunk("IDAT", data) + pngChunk("IEND", ""));
}

void TestImages::truncate(const fs::path& path, double fraction) {
    const auto size = fs::file_size(path);
    fs::resize_file(path, static_cast<std::uintmax_t>(static_cast<double>(size) * fraction));
}

std::string TestImages::displayP3Profile() {
    return rgbProfile({{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}}, srgbCurve(),
                      "Display P3");
}

std::string TestImages::adobeRgbProfile() {
    return rgbProfile({{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}},
                      cmsBuildGamma(nullptr, 563.0 / 256.0), "Adobe RGB (1998)");
}

std::string TestImages::srgbProfile(const std::string& description) {
    return rgbProfile({{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}}, srgbCurve(),
                      description);
}

std::string TestImages::greyProfile() {
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), curve);
    cmsFreeToneCurve(curve);
    return withDescription(profile, "Generic Gray Gamma 2.2 Profile");
}

std::string TestImages::libvipsProfile(const std::string& name) {
    ensureVips();
    VipsBlob* blob = nullptr;
    if (vips_profile_load(name.c_str(), &blob, nullptr) != 0 || !blob)
        throw vips::VError();
    std::size_t length = 0;
    const void* data = vips_blob_get(blob, &length);
    std::string bytes(static_cast<const char*>(data), length);
    vips_area_unref(reinterpret_cast<VipsArea*>(blob));
    return bytes;
}

} // namespace velk::test
