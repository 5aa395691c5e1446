#include "engine/encoders/PnmWriter.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/FileError.h"
#include "engine/EngineControl.h"
#include "engine/ImageSafetyError.h"
#include "platform/ImageCodec.h"
#include "support/TempDir.h"

#if __has_include("platform/VipsImageCodec.h") && __has_include("support/TestImages.h")
#include "platform/VipsImageCodec.h"
#include "support/TestImages.h"
#define VELK_HAVE_VIPS_CODEC 1
#endif

namespace velk {
namespace {

namespace fs = std::filesystem;
using Pixel = std::array<std::uint8_t, 4>;

/// A raster whose pixels are straight RGBA, already in the working colour space.
class FakeRaster : public Raster {
public:
    FakeRaster(std::int64_t width, std::int64_t height, std::vector<Pixel> pixels = {})
        : width_(width), height_(height), pixels_(std::move(pixels)) {}
    std::int64_t width() const override { return width_; }
    std::int64_t height() const override { return height_; }
    AlphaInfo alphaInfo() const override { return AlphaInfo::last; }
    std::optional<ColorSpace> colorSpace() const override { return ColorSpace{}; }
    const std::vector<Pixel>& pixels() const { return pixels_; }

private:
    std::int64_t width_;
    std::int64_t height_;
    std::vector<Pixel> pixels_;
};

/// Renders a FakeRaster the way a real codec does: over white the colour is blended with
/// white by its alpha and packed as RGB; over transparency it stays as it is.
class FakeCodec : public ImageCodec {
public:
    bool failRender = false;
    mutable int renderCount = 0;

    std::vector<std::string> writableTypeIdentifiers() const override { return {}; }
    std::optional<ImageProperties> readProperties(const fs::path&) const override { return {}; }
    std::shared_ptr<const Raster> decode(const fs::path&) const override { return nullptr; }
    std::shared_ptr<const Raster> decodeUpright(const fs::path&) const override { return nullptr; }
    bool encode(const Raster&, const fs::path&, std::string_view,
                std::optional<double>) const override {
        return false;
    }
    std::optional<RgbaBitmap> render(const Raster& raster, const ColorSpace&,
                                     Background background) const override {
        ++renderCount;
        if (failRender)
            return std::nullopt;
        const auto& fake = dynamic_cast<const FakeRaster&>(raster);
        const bool overWhite = background == Background::white;
        RgbaBitmap bitmap{fake.width(), fake.height(), {}, overWhite ? 3 : 4};
        for (const Pixel& p : fake.pixels()) {
            if (!overWhite) {
                bitmap.pixels.insert(bitmap.pixels.end(), p.begin(), p.end());
                continue;
            }
            for (std::size_t c = 0; c < 3; ++c)
                bitmap.pixels.push_back(
                    static_cast<std::uint8_t>((p[c] * p[3] + 255 * (255 - p[3]) + 127) / 255));
        }
        return bitmap;
    }
};

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values)
        text += static_cast<char>(v);
    return text;
}

class PnmWriterTest : public ::testing::Test {
protected:
    PnmWriterTest() { control_.setCancellationRequested(false); }

    void write(const FakeRaster& raster, bool preserveAlpha) {
        writePNMImage(control_, codec_, destination_, raster, preserveAlpha, ColorSpace{});
    }

    test::TempDir dir_;
    fs::path destination_ = dir_ / "input.pnm";
    EngineControl control_;
    FakeCodec codec_;
};

TEST_F(PnmWriterTest, OpaqueRasterBecomesExactPpm) {
    FakeRaster raster(3, 2,
                      {{1, 2, 3, 255},
                       {4, 5, 6, 255},
                       {7, 8, 9, 255},
                       {10, 11, 12, 255},
                       {13, 14, 15, 255},
                       {16, 17, 18, 255}});
    write(raster, false);
    const std::string expected =
        "P6\n3 2\n255\n" + bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18});
    EXPECT_EQ(expected.size(), 29u);
    EXPECT_EQ(test::readFile(destination_), expected);
    EXPECT_EQ(fs::status(destination_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PnmWriterTest, PpmCompositesTranslucencyOnWhite) {
    FakeRaster raster(2, 1, {{0, 0, 0, 0}, {128, 0, 0, 128}});
    write(raster, false);
    EXPECT_EQ(test::readFile(destination_),
              "P6\n2 1\n255\n" + bytes({255, 255, 255, 191, 127, 127}));
}

TEST_F(PnmWriterTest, PamCarriesTheStraightColourOfEveryAlpha) {
    // Nearly clear pixels keep their whole colour; alpha 0 keeps whatever bytes it had.
    const std::vector<Pixel> in = {
        {128, 0, 0, 128}, {200, 100, 50, 4}, {10, 20, 30, 255}, {7, 8, 9, 0}, {255, 255, 255, 1}};
    std::string expectedPixels;
    for (const Pixel& p : in)
        for (auto b : p)
            expectedPixels += static_cast<char>(b);
    const auto width = static_cast<std::int64_t>(in.size());
    write(FakeRaster(width, 1, in), true);
    EXPECT_EQ(test::readFile(destination_),
              "P7\nWIDTH " + std::to_string(width) +
                  "\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" + expectedPixels);
}

TEST_F(PnmWriterTest, ReplacesAnExistingFileAndNeverWritesThroughALink) {
    const auto victim = dir_ / "victim";
    test::writeFile(victim, "keep me");
    fs::create_symlink(victim, destination_);
    write(FakeRaster(1, 1, {{9, 9, 9, 255}}), false);
    EXPECT_EQ(test::readFile(victim), "keep me");
    EXPECT_FALSE(fs::is_symlink(destination_));
    EXPECT_EQ(test::readFile(destination_), "P6\n1 1\n255\n" + bytes({9, 9, 9}));
}

TEST_F(PnmWriterTest, CancellationLeavesNoFile) {
    test::writeFile(destination_, "stale raster");
    control_.setCancellationRequested(true);
    try {
        write(FakeRaster(4, 3, std::vector<Pixel>(12, Pixel{1, 2, 3, 255})), true);
        ADD_FAILURE() << "cancellation ignored";
    } catch (const FolderCompressorControlError& error) {
        EXPECT_EQ(error.kind(), FolderCompressorControlError::Kind::cancelled);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(destination_)));
}

TEST_F(PnmWriterTest, FailedOrMisshapenRenderIsWriteUnknownAndLeavesNoFile) {
    // The second raster says 4×4 but renders only 4 pixels: reading rows by offset
    // would run past the bitmap's end.
    for (bool failRender : {true, false}) {
        codec_.failRender = failRender;
        try {
            write(FakeRaster(4, 4, std::vector<Pixel>(4, Pixel{1, 1, 1, 255})), false);
            ADD_FAILURE() << "render fault ignored";
        } catch (const FileError& error) {
            EXPECT_EQ(error.kind(), FileError::Kind::writeUnknown);
        }
        EXPECT_FALSE(fs::exists(destination_));
    }
}

TEST_F(PnmWriterTest, UnsafeDimensionsAreRefusedBeforeRendering) {
    const struct {
        std::int64_t width;
        std::int64_t height;
        ImageSafetyError::Kind kind;
    } cases[] = {
        {10'000, 10'000, ImageSafetyError::Kind::resourceLimitExceeded},
        {0, 10, ImageSafetyError::Kind::invalidDimensions},
        {10, -1, ImageSafetyError::Kind::invalidDimensions},
    };
    test::writeFile(destination_, "previous");
    for (const auto& c : cases) {
        try {
            write(FakeRaster(c.width, c.height), false);
            ADD_FAILURE() << c.width << "x" << c.height << " accepted";
        } catch (const ImageSafetyError& error) {
            EXPECT_EQ(error.kind(), c.kind);
        }
    }
    EXPECT_EQ(codec_.renderCount, 0);
    EXPECT_EQ(test::readFile(destination_), "previous");
}

#ifdef VELK_HAVE_VIPS_CODEC
TEST_F(PnmWriterTest, RealImageRoundTripsThroughTheCodec) {
    const VipsImageCodec codec;
    const struct {
        bool alpha;
        const char* magic;
        std::size_t channels;
    } cases[] = {{false, "P6\n", 3}, {true, "P7\n", 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.magic);
        constexpr int width = 5;
        constexpr int height = 4;
        const auto source = dir_ / "source.png";
        test::TestImageOptions options;
        options.alpha = c.alpha;
        test::TestImages::png(source, width, height, options);
        const auto raster = codec.decode(source);
        ASSERT_TRUE(raster);
        writePNMImage(control_, codec, destination_, *raster, c.alpha, ColorSpace::sRGB());

        const std::string file = test::readFile(destination_);
        ASSERT_EQ(file.rfind(c.magic, 0), 0u);
        const std::size_t pixelBytes = std::size_t{width} * height * c.channels;
        ASSERT_GT(file.size(), pixelBytes);
        const std::string pixels = file.substr(file.size() - pixelBytes);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const auto expected = test::TestImages::expectedPixel(x, y, width, height, options);
                const auto alpha = c.alpha ? expected[3] : 255;
                for (std::size_t k = 0; k < c.channels; ++k) {
                    // Without alpha the source is opaque, so white never shows through.
                    const int want = k == 3 ? alpha : expected[k];
                    const auto got = static_cast<std::uint8_t>(
                        pixels[(std::size_t(y) * width + x) * c.channels + k]);
                    EXPECT_EQ(got, want) << "x " << x << " y " << y << " channel " << k;
                }
            }
        }
    }
}

// A nearly clear pixel of a real PNG reaches the tool with its colour intact.
TEST_F(PnmWriterTest, RealNearlyClearPixelsKeepTheirColour) {
    const VipsImageCodec codec;
    const auto source = dir_ / "mist.png";
    test::TestImages::png(source, 2, 2,
                          test::imageOptions().withAlpha().withFill({200, 100, 50, 3}));
    const auto raster = codec.decode(source);
    ASSERT_TRUE(raster);
    writePNMImage(control_, codec, destination_, *raster, true, ColorSpace::sRGB());
    const std::string file = test::readFile(destination_);
    EXPECT_EQ(file.substr(file.size() - 4), bytes({200, 100, 50, 3}));
}
#endif

TEST(ImageSafetyErrorTest, RasterSizeCheckHoldsAtTheLimitsAndAgainstOverflow) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    const struct {
        std::int64_t width;
        std::int64_t height;
        std::optional<std::int64_t> bytes; // none: refused
        ImageSafetyError::Kind kind = ImageSafetyError::Kind::resourceLimitExceeded;
    } cases[] = {
        {1, 1, 4},
        {50'000'000, 1, 200'000'000},
        {50'000'001, 1, std::nullopt},
        {7072, 7071, std::nullopt},
        {max, 2, std::nullopt},
        {std::int64_t{1} << 32, std::int64_t{1} << 32, std::nullopt},
        {0, 1, std::nullopt, ImageSafetyError::Kind::invalidDimensions},
        {min, min, std::nullopt, ImageSafetyError::Kind::invalidDimensions},
        {-2, -3, std::nullopt, ImageSafetyError::Kind::invalidDimensions},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        if (c.bytes) {
            EXPECT_EQ(validatedDecodedRasterByteCount(c.width, c.height), *c.bytes);
            continue;
        }
        try {
            validatedDecodedRasterByteCount(c.width, c.height);
            ADD_FAILURE() << "accepted";
        } catch (const ImageSafetyError& error) {
            EXPECT_EQ(error.kind(), c.kind);
        }
    }
}

TEST(ImageSafetyErrorTest, DescriptionsNameTheDimensions) {
    EXPECT_STREQ(ImageSafetyError::resourceLimitExceeded(9000, 8000).what(),
                 "The image is too large to process safely (9000\u00D78000).");
    EXPECT_STREQ(ImageSafetyError::invalidDimensions().what(), "The image has invalid dimensions.");
}

} // namespace
} // namespace velk
