#include "platform/HeifEncoding.h"

#include <gtest/gtest.h>

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace velk {
namespace {

using vips::VImage;
using Parameters = std::vector<std::pair<std::string, std::string>>;

TEST(HeifEncodingTest, SettingsFollowCodecQualityWidthAndCores) {
    const struct {
        const char* what;
        HeifCodec codec;
        int quality;
        std::int64_t width;
        unsigned cores;
        Parameters expected;
    } cases[] = {
        {"wide AVIF on two cores: two tile columns",
         HeifCodec::av1,
         50,
         512,
         2,
         {{"chroma", "420"}, {"speed", "6"}, {"threads", "2"}, {"aom:tile-columns", "1"}}},
        {"narrow AVIF: one tile",
         HeifCodec::av1,
         50,
         511,
         2,
         {{"chroma", "420"}, {"speed", "6"}, {"threads", "2"}}},
        {"one core: one thread, one tile",
         HeifCodec::av1,
         50,
         4000,
         1,
         {{"chroma", "420"}, {"speed", "6"}, {"threads", "1"}}},
        {"many cores: four threads",
         HeifCodec::av1,
         89,
         4000,
         16,
         {{"chroma", "420"}, {"speed", "6"}, {"threads", "4"}, {"aom:tile-columns", "1"}}},
        {"Q 90 and up: full-resolution colour",
         HeifCodec::av1,
         90,
         100,
         1,
         {{"chroma", "444"}, {"speed", "6"}, {"threads", "1"}}},
        {"HEIC: x265's medium preset",
         HeifCodec::hevc,
         72,
         4000,
         2,
         {{"chroma", "420"}, {"preset", "medium"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(heifEncoderSettings(c.codec, c.quality, c.width, c.cores).parameters, c.expected);
    }
}

TEST(HeifEncodingTest, EncodesWhatItIsGivenAndKeepsAlpha) {
    ASSERT_EQ(VIPS_INIT("heif-encoding-test"), 0);
    heif_init(nullptr);
    for (const HeifCodec codec : {HeifCodec::av1, HeifCodec::hevc}) {
        if (!heif_have_encoder_for_format(codec == HeifCodec::av1 ? heif_compression_AV1
                                                                  : heif_compression_HEVC)) {
            GTEST_SKIP() << "libheif has no encoder for one of the formats";
        }
        for (const int width : {40, 600}) {
            for (const bool alpha : {false, true}) {
                SCOPED_TRACE(std::to_string(static_cast<int>(codec)) + " " + std::to_string(width) +
                             (alpha ? " RGBA" : " RGB"));
                // A horizontal ramp, and alpha half on where there is one.
                VImage image =
                    (VImage::xyz(width, 48)[0] * (255.0 / width)).cast(VIPS_FORMAT_UCHAR);
                image = VImage::bandjoin(std::vector<VImage>{image, image, 255 - image});
                if (alpha)
                    image = image.bandjoin_const({128});
                image =
                    image.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
                const std::string bytes = encodeHeif(vips::VImage(image), codec, 80);
                const VImage decoded = VImage::new_from_buffer(bytes.data(), bytes.size(), "");
                EXPECT_EQ(decoded.width(), width);
                EXPECT_EQ(decoded.height(), 48);
                ASSERT_EQ(decoded.bands(), alpha ? 4 : 3);
                EXPECT_LT((decoded.cast(VIPS_FORMAT_FLOAT) - image).abs().avg(), 4.0);
            }
        }
    }
}

/// libheif fed the RGB as it is, converting it itself: what the encoder was given before.
std::string encodeByLibheif(const VImage& image, HeifCodec codec, int quality) {
    const bool alpha = image.bands() == 4;
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(
        context, codec == HeifCodec::av1 ? heif_compression_AV1 : heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, quality);
    for (const auto& [name, value] :
         heifEncoderSettings(codec, quality, image.width(),
                             std::max(1u, std::thread::hardware_concurrency()))
             .parameters)
        heif_encoder_set_parameter(encoder, name.c_str(), value.c_str());
    heif_image* rgb = nullptr;
    heif_image_create(image.width(), image.height(), heif_colorspace_RGB,
                      alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rgb);
    heif_image_add_plane(rgb, heif_channel_interleaved, image.width(), image.height(), 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(rgb, heif_channel_interleaved, &stride);
    size_t size = 0;
    std::unique_ptr<void, decltype(&g_free)> pixels(image.write_to_memory(&size), g_free);
    const std::size_t rowBytes = size / static_cast<std::size_t>(image.height());
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(plane + static_cast<std::ptrdiff_t>(y) * stride,
                    static_cast<const char*>(pixels.get()) + y * rowBytes, rowBytes);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->save_alpha_channel = alpha ? 1 : 0;
    heif_context_encode_image(context, rgb, encoder, options, nullptr);
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, size_t n, void* out) {
        static_cast<std::string*>(out)->append(static_cast<const char*>(data), n);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
    };
    std::string bytes;
    heif_context_write(context, &writer, &bytes);
    heif_encoding_options_free(options);
    heif_image_release(rgb);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return bytes;
}

// The conversion to YCbCr is done here rather than by libheif; a file differing by a bit
// from libheif's own would mean colours shifted or edges smeared.
TEST(HeifEncodingTest, ConvertsColourExactlyAsLibheifDoes) {
    ASSERT_EQ(VIPS_INIT("heif-encoding-test"), 0);
    heif_init(nullptr);
    if (!heif_have_encoder_for_format(heif_compression_AV1) ||
        !heif_have_encoder_for_format(heif_compression_HEVC))
        GTEST_SKIP() << "libheif has no encoder for one of the formats";
    const struct {
        HeifCodec codec;
        int width, height, bands, quality;
    } cases[] = {
        {HeifCodec::av1, 64, 48, 3, 50},  {HeifCodec::av1, 33, 17, 3, 50},
        {HeifCodec::av1, 33, 17, 4, 50},  {HeifCodec::av1, 33, 17, 4, 95},
        {HeifCodec::hevc, 65, 33, 3, 72}, {HeifCodec::hevc, 64, 64, 4, 95},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " bands " +
                     std::to_string(c.bands) + " Q " + std::to_string(c.quality));
        // Noise, so that every pixel of a 2 x 2 block counts in its colour.
        VImage image = (VImage::gaussnoise(c.width, c.height,
                                           VImage::option()->set("mean", 128)->set("sigma", 60)))
                           .bandjoin(VImage::gaussnoise(c.width, c.height))
                           .bandjoin(VImage::xyz(c.width, c.height)[0] * 7);
        if (c.bands == 4)
            image = image.bandjoin(VImage::xyz(c.width, c.height)[1] * 9);
        image = image.cast(VIPS_FORMAT_UCHAR)
                    .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
                    .copy_memory();
        const std::string expected = encodeByLibheif(image, c.codec, c.quality);
        ASSERT_FALSE(expected.empty());
        const std::string encoded = encodeHeif(vips::VImage(image), c.codec, c.quality);
        EXPECT_TRUE(encoded == expected) << encoded.size() << " bytes against " << expected.size();
    }
}

} // namespace
} // namespace velk
