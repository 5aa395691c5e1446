#include "platform/HeifEncoding.h"

#include <gtest/gtest.h>

#include <libheif/heif.h>

#include <algorithm>
#include <string>

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

} // namespace
} // namespace velk
