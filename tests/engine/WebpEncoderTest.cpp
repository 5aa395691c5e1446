#include "engine/encoders/WebpEncoder.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/FileError.h"
#include "engine/EngineControl.h"
#include "engine/FakeTools.h"
#include "engine/ImagePlan.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TestImages;

const fs::path cwebp = "/usr/bin/cwebp";
const fs::path webpmux = "/usr/bin/webpmux";

class WebpEncoderTest : public ::testing::Test {
protected:
    WebpEncoderTest() {
        control_.setCancellationRequested(false);
        fs::create_directory(images_);
    }

    void SetUp() override {
        if (!fs::exists(cwebp))
            GTEST_SKIP() << "cwebp not installed";
    }

    ImagePlan plan(const fs::path& source) const {
        return ImagePlanner(codec_, [](ImageFormat) { return true; })
            .makePlan(source, FormatStrategy::webp);
    }

    void write(const fs::path& destination, const ImagePlan& plan,
               CompressionPreset preset = CompressionPreset::balanced, int quality = 80) {
        writeWebPImage({control_, codec_, fs_}, destination, plan, preset, quality);
    }

    std::optional<FileError::Kind> writeError(const fs::path& destination, const ImagePlan& plan) {
        try {
            write(destination, plan);
        } catch (const FileError& error) {
            return error.kind();
        }
        return std::nullopt;
    }

    test::TempDir dir_;
    fs::path images_ = dir_ / "images";
    test::FakeToolFolder tools_{dir_ / "tools"};
    VipsImageCodec codec_;
    PosixFileSystem fs_;
    EngineControl control_;
};

TEST_F(WebpEncoderTest, ArgumentsFollowPresetQualityAndAlpha) {
    tools_.delegate("cwebp", cwebp);
    const fs::path opaque = images_ / "opaque.png";
    const fs::path clear = images_ / "clear.png";
    TestImages::png(opaque, 16, 12);
    TestImages::png(clear, 16, 12, test::imageOptions().withAlpha());
    using Args = std::vector<std::string>;
    const struct {
        CompressionPreset preset;
        int quality;
        const fs::path& source;
        Args expected; // without the trailing input, "-o", output
        const char* variant;
    } cases[] = {
        {CompressionPreset::balanced,
         80,
         opaque,
         {"-quiet", "-q", "80", "-m", "3", "-mt"},
         "default"},
        {CompressionPreset::custom,
         80,
         opaque,
         {"-quiet", "-q", "80", "-m", "3", "-mt"},
         "default"},
        {CompressionPreset::gentle,
         75,
         clear,
         {"-preset", "photo", "-quiet", "-q", "75", "-m", "3", "-mt", "-alpha_q", "85",
          "-alpha_filter", "best"},
         "photo"},
        {CompressionPreset::maximum,
         92,
         clear,
         {"-quiet", "-q", "92", "-m", "4", "-mt", "-sharp_yuv", "-alpha_q", "92", "-alpha_filter",
          "best"},
         "sharp"},
        {CompressionPreset::balanced,
         150,
         clear,
         {"-quiet", "-q", "100", "-m", "3", "-mt", "-alpha_q", "100", "-alpha_filter", "best"},
         "default"},
        {CompressionPreset::balanced,
         -10,
         clear,
         {"-quiet", "-q", "0", "-m", "3", "-mt", "-alpha_q", "85", "-alpha_filter", "best"},
         "default"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.preset)) + " " + std::to_string(c.quality) + " " +
                     c.source.filename().native());
        const std::size_t before = tools_.runs("cwebp").size();
        const fs::path output = images_ / "out.webp";
        write(output, plan(c.source), c.preset, c.quality);

        const auto runs = tools_.runs("cwebp");
        ASSERT_EQ(runs.size(), before + 1);
        const Args& run = runs.back();
        ASSERT_EQ(run.size(), c.expected.size() + 3);
        Args expected = c.expected;
        expected.insert(expected.end(), {run[run.size() - 3], "-o", run.back()});
        EXPECT_EQ(run, expected);
        const bool alpha = &c.source == &clear;
        EXPECT_TRUE(
            std::regex_match(fs::path(run[run.size() - 3]).filename().native(),
                             std::regex(std::string("\\.out\\.velk-temp-webp-source-.{36}\\.") +
                                        (alpha ? "pam" : "ppm"))));
        EXPECT_TRUE(std::regex_match(
            fs::path(run.back()).filename().native(),
            std::regex(std::string("\\.out\\.velk-temp-cwebp-") + c.variant + "-.{36}\\.webp")));

        const auto written = codec_.readProperties(output);
        ASSERT_TRUE(written && codec_.decode(output));
        EXPECT_EQ(written->hasAlpha, alpha);
        EXPECT_TRUE(test::scratchLeftIn(images_).empty());
    }
}

TEST_F(WebpEncoderTest, DisplayP3ProfileIsMuxedInAndSurvivesByteForByte) {
    if (!fs::exists(webpmux))
        GTEST_SKIP() << "webpmux not installed";
    tools_.delegate("cwebp", cwebp);
    tools_.delegate("webpmux", webpmux);
    const std::string profile = TestImages::displayP3Profile();
    const fs::path source = images_ / "p3.png";
    TestImages::png(source, 24, 16, test::imageOptions().withAlpha().withIccProfile(profile));
    const fs::path output = images_ / "p3.webp";
    write(output, plan(source));

    const auto mux = tools_.runs("webpmux");
    ASSERT_EQ(mux.size(), 1u);
    ASSERT_EQ(mux[0].size(), 6u);
    EXPECT_EQ(mux[0][0], "-set");
    EXPECT_EQ(mux[0][1], "icc");
    EXPECT_TRUE(std::regex_match(fs::path(mux[0][2]).filename().native(),
                                 std::regex("\\.p3\\.velk-temp-profile-.{36}\\.icc")));
    EXPECT_EQ(mux[0][3], tools_.runs("cwebp").at(0).back()) << "muxes cwebp's output";
    EXPECT_EQ(mux[0][4], "-o");
    EXPECT_TRUE(std::regex_match(fs::path(mux[0][5]).filename().native(),
                                 std::regex("\\.p3\\.velk-temp-webp-icc-.{36}\\.webp")));

    const auto decoded = codec_.decode(output);
    ASSERT_TRUE(decoded && decoded->colorSpace());
    EXPECT_TRUE(decoded->colorSpace()->iccData == profile) << "profile differs";
    EXPECT_TRUE(test::scratchLeftIn(images_).empty());
}

TEST_F(WebpEncoderTest, AFailedToolDropsTheOnlyCandidateWithoutFallingBackToNoProfile) {
    const fs::path opaque = images_ / "opaque.png";
    const fs::path p3 = images_ / "p3.png";
    TestImages::png(opaque, 16, 16);
    TestImages::png(p3, 16, 16,
                    test::imageOptions().withIccProfile(TestImages::displayP3Profile()));
    const struct {
        const char* what;
        std::string cwebpBody;
        std::string webpmuxBody;
        const fs::path& source;
    } cases[] = {
        {"cwebp exits 1", "exit 1", "", opaque},
        {"cwebp writes garbage", "printf 'RIFF garbage' > \"$out\"", "", opaque},
        {"webpmux exits 1", "exec '" + cwebp.native() + "' \"$@\"", "exit 1", p3},
        {"webpmux writes garbage", "exec '" + cwebp.native() + "' \"$@\"",
         "printf 'RIFF' > \"$out\"", p3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tools_.add("cwebp", c.cwebpBody);
        tools_.add("webpmux", c.webpmuxBody);
        const fs::path output = images_ / "out.webp";
        EXPECT_EQ(writeError(output, plan(c.source)), FileError::Kind::writeUnknown);
        EXPECT_FALSE(fs::exists(output));
        EXPECT_EQ(test::scratchLeftIn(images_), std::vector<std::string>{});
    }
}

} // namespace
} // namespace velk
