#include "engine/encoders/ImageWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "core/FileError.h"
#include "engine/EngineControl.h"
#include "engine/FolderCompressorControlError.h"
#include "engine/ImagePlan.h"
#include "platform/VipsImageCodec.h"
#include "support/ForwardingCodec.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TestImages;

/// The real codec, with a hook run after each encode: a stop arriving mid-write.
class HookedCodec : public test::ForwardingCodec {
public:
    std::function<void()> afterEncode;
    bool encode(const Raster& r, const fs::path& d, std::string_view t,
                std::optional<double> q) const override {
        const bool written = real_.encode(r, d, t, q);
        if (afterEncode)
            afterEncode();
        return written;
    }
};

template <typename Error>
std::optional<typename Error::Kind> errorKind(const std::function<void()>& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.kind();
    }
    return std::nullopt;
}

class ImageWriterTest : public ::testing::Test {
protected:
    ImageWriterTest() { control_.setCancellationRequested(false); }

    ImagePlan plan(const fs::path& source, FormatStrategy strategy) const {
        return ImagePlanner(codec_, [](ImageFormat) { return true; }).makePlan(source, strategy);
    }

    test::TempDir dir_;
    HookedCodec codec_;
    EngineControl control_;
    ImageWriter writer_{codec_, control_};
    QualitySettings qualities_{80, 0, 80, 60, 60};
};

AppConfig withQualities(const QualitySettings& qualities) {
    AppConfig config;
    config.qualities = qualities;
    return config;
}

TEST_F(ImageWriterTest, PlatformTargetsWriteTheUprightRaster) {
    const fs::path source = dir_ / "sideways.jpg";
    TestImages::jpeg(source, 24, 16, test::imageOptions().withOrientation(6));
    for (auto [strategy, format] : {std::pair(FormatStrategy::jpeg, ImageFormat::jpeg),
                                    std::pair(FormatStrategy::avif, ImageFormat::avif),
                                    std::pair(FormatStrategy::heic, ImageFormat::heic)}) {
        SCOPED_TRACE(std::string(fileExtension(format)));
        if (!isNativeWritable(format, codec_))
            continue; // libheif built without that encoder
        const fs::path output = dir_ / ("out." + std::string(fileExtension(format)));
        writer_.writeImage(source, output, plan(source, strategy), withQualities(qualities_));

        const std::optional<ImageProperties> written = codec_.readProperties(output);
        ASSERT_TRUE(written && codec_.decode(output));
        EXPECT_EQ(imageFormatFromTypeIdentifier(written->typeIdentifier), format);
        EXPECT_EQ(written->width, 16);
        EXPECT_EQ(written->height, 24);
        // A stale tag would turn the already upright pixels a second time.
        EXPECT_TRUE(written->orientation.value_or(1) == 1);
    }
}

TEST_F(ImageWriterTest, JpegIsWhiteWhereTheRasterWasTransparent) {
    const fs::path source = dir_ / "clear.png";
    // Red under zero alpha: dropping the alpha channel would show red or black.
    TestImages::png(source, 8, 8, test::imageOptions().withAlpha().withFill({200, 0, 0, 0}));
    const fs::path output = dir_ / "out.jpg";
    writer_.writeImage(source, output, plan(source, FormatStrategy::jpeg),
                       withQualities(qualities_));

    const auto decoded = codec_.decode(output);
    ASSERT_TRUE(decoded);
    const auto bitmap = codec_.render(*decoded, ColorSpace::sRGB(), Background::transparent);
    ASSERT_TRUE(bitmap);
    for (std::size_t i = 0; i < bitmap->pixels.size(); ++i) {
        ASSERT_GE(bitmap->pixels[i], 250) << "byte " << i;
    }
}

TEST_F(ImageWriterTest, PngFromPngIsAByteCopyAndQualityReachesLossyEncoders) {
    const fs::path png = dir_ / "source.png";
    TestImages::png(png, 64, 64, test::imageOptions().withDetail());
    // Bytes after IEND survive a copy but no decode and re-encode.
    test::writeFile(png, test::readFile(png) + "trailing bytes");
    // With every PNG tool failing, the base candidate is all there is.
    const fs::path tools = dir_ / "tools";
    fs::create_directory(tools);
    for (const char* tool : {"oxipng", "pngquant"}) {
        test::writeFile(tools / tool, "#!/bin/sh\nexit 1\n");
        fs::permissions(tools / tool, fs::perms::owner_all);
    }
    const test::ScopedEnv toolDir("VELK_TOOL_DIR", tools.native());
    const fs::path copy = dir_ / "copy.png";
    test::writeFile(copy, "left over from an earlier attempt");
    writer_.writeImage(png, copy, plan(png, FormatStrategy::png), withQualities(qualities_));
    EXPECT_TRUE(test::readFile(copy) == test::readFile(png)) << "not a byte copy";

    const ImagePlan jpegPlan = plan(png, FormatStrategy::jpeg);
    const auto sizeAt = [&](int quality) {
        QualitySettings qualities = qualities_;
        qualities.jpeg = quality;
        const fs::path output = dir_ / ("q" + std::to_string(quality) + ".jpg");
        writer_.writeImage(png, output, jpegPlan, withQualities(qualities));
        return fs::file_size(output);
    };
    EXPECT_LT(sizeAt(10), sizeAt(95));
}

TEST_F(ImageWriterTest, WriteFailuresAndStopsAreReported) {
    const fs::path source = dir_ / "source.png";
    TestImages::png(source, 8, 8);
    ImagePlan target = plan(source, FormatStrategy::webp);
    const auto fileError = [&](const fs::path& output) {
        return errorKind<FileError>(
            [&] { writer_.writeImage(source, output, target, withQualities(qualities_)); });
    };
    const auto stop = [&](const fs::path& output) {
        return errorKind<FolderCompressorControlError>(
            [&] { writer_.writeImage(source, output, target, withQualities(qualities_)); });
    };

    target.target = ImageFormat::jpeg;
    EXPECT_EQ(fileError(dir_ / "no-such-folder" / "out.jpg"), FileError::Kind::writeUnknown);

    control_.setCancellationRequested(true);
    for (ImageFormat format : allImageFormats) {
        target.target = format;
        const fs::path output = dir_ / ("before." + std::string(fileExtension(format)));
        EXPECT_EQ(stop(output), FolderCompressorControlError::Kind::cancelled);
        EXPECT_FALSE(fs::exists(output)) << output;
    }

    control_.setCancellationRequested(false);
    codec_.afterEncode = [&] { control_.setCancellationRequested(true); };
    target.target = ImageFormat::avif;
    if (isNativeWritable(ImageFormat::avif, codec_)) {
        EXPECT_EQ(stop(dir_ / "during.avif"), FolderCompressorControlError::Kind::cancelled);
    }
}

} // namespace
} // namespace velk
