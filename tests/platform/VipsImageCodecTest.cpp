#include "platform/VipsImageCodec.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <vips/vips8>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::Rgba;
using test::TestImageOptions;
using test::TestImages;

using ImageWriter = void (*)(const fs::path&, int, int, const TestImageOptions&);

struct Format {
    std::string_view type;
    const char* extension;
    ImageWriter write;
    bool lossy;
};

const Format formats[] = {
    {typeIdentifier::jpeg, "jpg", TestImages::jpeg, true},
    {typeIdentifier::png, "png", TestImages::png, false},
    {typeIdentifier::webp, "webp", TestImages::webp, true},
    {typeIdentifier::avif, "avif", TestImages::avif, true},
    {typeIdentifier::heic, "heic", TestImages::heic, true},
};

class VipsImageCodecTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    test::ScopedEnv logDir_{"VELK_LOG_DIR", (dir_.path() / "log").native()};
    VipsImageCodec codec_;

    bool writable(std::string_view type) const { return codec_.canWrite(type); }

    Rgba pixel(const RgbaBitmap& bitmap, std::int64_t x, std::int64_t y) const {
        const auto* p =
            &bitmap.pixels[static_cast<std::size_t>((y * bitmap.width + x) * bitmap.channels)];
        return {p[0], p[1], p[2], bitmap.channels == 4 ? p[3] : std::uint8_t(255)};
    }

    RgbaBitmap rendered(const Raster& raster, Background background = Background::transparent,
                        const ColorSpace& space = ColorSpace::sRGB()) const {
        auto bitmap = codec_.render(raster, space, background);
        EXPECT_TRUE(bitmap.has_value());
        return bitmap.value_or(RgbaBitmap{});
    }

    std::string fileBytes(const fs::path& path) const { return test::readFile(path); }
};

bool isUpright(std::optional<int> orientation) {
    return !orientation || *orientation == 1;
}

::testing::AssertionResult nearPixel(const Rgba& actual, const Rgba& expected, int tolerance) {
    for (std::size_t c = 0; c < 4; ++c) {
        if (std::abs(int(actual[c]) - int(expected[c])) > tolerance) {
            return ::testing::AssertionFailure()
                   << "pixel (" << int(actual[0]) << ", " << int(actual[1]) << ", "
                   << int(actual[2]) << ", " << int(actual[3]) << "), expected ("
                   << int(expected[0]) << ", " << int(expected[1]) << ", " << int(expected[2])
                   << ", " << int(expected[3]) << ") within " << tolerance;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(VipsImageCodecTest, WritesJpegPngAndWebpAndAsksLibheifForAvifAndHeic) {
    const auto types = codec_.writableTypeIdentifiers();
    for (auto type : {typeIdentifier::jpeg, typeIdentifier::png, typeIdentifier::webp}) {
        EXPECT_NE(std::find(types.begin(), types.end(), type), types.end()) << type;
    }
    for (const std::string& type : types) {
        EXPECT_TRUE(type == typeIdentifier::jpeg || type == typeIdentifier::png ||
                    type == typeIdentifier::webp || type == typeIdentifier::avif ||
                    type == typeIdentifier::heic)
            << type;
    }
    EXPECT_FALSE(codec_.canWrite("com.compuserve.gif"));
}

TEST_F(VipsImageCodecTest, ReadsPropertiesOfEachFormat) {
    for (const Format& format : formats) {
        SCOPED_TRACE(format.type);
        if (!writable(format.type))
            continue;
        const bool alpha = format.type != typeIdentifier::jpeg;
        const fs::path file = dir_ / (std::string("image.") + format.extension);
        format.write(file, 40, 30, test::imageOptions().withAlpha(alpha));

        const auto properties = codec_.readProperties(file);
        ASSERT_TRUE(properties.has_value());
        EXPECT_EQ(properties->width, 40);
        EXPECT_EQ(properties->height, 30);
        EXPECT_EQ(properties->typeIdentifier, std::string(format.type));
        EXPECT_EQ(properties->hasAlpha, alpha);
        EXPECT_TRUE(isUpright(properties->orientation));
    }
}

TEST_F(VipsImageCodecTest, ReportsExifOrientationFromTheHeader) {
    TestImages::jpeg(dir_ / "sideways.jpg", 40, 30, test::imageOptions().withOrientation(6));
    TestImages::jpeg(dir_ / "upright.jpg", 40, 30);
    EXPECT_EQ(codec_.readProperties(dir_ / "sideways.jpg")->orientation, 6);
    // libvips writes EXIF with orientation 1 into every JPEG it makes.
    EXPECT_TRUE(isUpright(codec_.readProperties(dir_ / "upright.jpg")->orientation));
    TestImages::png(dir_ / "plain.png", 40, 30);
    EXPECT_EQ(codec_.readProperties(dir_ / "plain.png")->orientation, std::nullopt);
}

TEST_F(VipsImageCodecTest, DecodeUprightTurnsOrientationSixAndDropsTheTag) {
    const TestImageOptions options = test::imageOptions().withOrientation(6);
    TestImages::jpeg(dir_ / "sideways.jpg", 40, 30, options);

    const auto stored = codec_.decode(dir_ / "sideways.jpg");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->width(), 40);
    EXPECT_EQ(stored->height(), 30);
    EXPECT_TRUE(nearPixel(pixel(rendered(*stored), 0, 0),
                          TestImages::expectedPixel(0, 0, 40, 30, options), 12));

    const auto upright = codec_.decodeUpright(dir_ / "sideways.jpg");
    ASSERT_TRUE(upright);
    ASSERT_EQ(upright->width(), 30);
    ASSERT_EQ(upright->height(), 40);
    // Turning 90° clockwise moves stored (x, y) to (h - 1 - y, x).
    const RgbaBitmap bitmap = rendered(*upright);
    EXPECT_TRUE(
        nearPixel(pixel(bitmap, 29, 0), TestImages::expectedPixel(0, 0, 40, 30, options), 12));
    EXPECT_TRUE(
        nearPixel(pixel(bitmap, 0, 0), TestImages::expectedPixel(0, 29, 40, 30, options), 12));
    EXPECT_TRUE(
        nearPixel(pixel(bitmap, 0, 39), TestImages::expectedPixel(39, 29, 40, 30, options), 12));

    // The tag is gone, so a file written from the upright raster is not turned again.
    ASSERT_TRUE(codec_.encode(*upright, dir_ / "out.jpg", typeIdentifier::jpeg, 0.9));
    const auto written = codec_.readProperties(dir_ / "out.jpg");
    ASSERT_TRUE(written);
    EXPECT_EQ(written->width, 30);
    EXPECT_TRUE(isUpright(written->orientation));
}

TEST_F(VipsImageCodecTest, DecodeUprightKeepsAnUprightImageAsStored) {
    TestImages::png(dir_ / "a.png", 40, 30);
    const auto raster = codec_.decodeUpright(dir_ / "a.png");
    ASSERT_TRUE(raster);
    EXPECT_EQ(raster->width(), 40);
    EXPECT_TRUE(
        nearPixel(pixel(rendered(*raster), 39, 0), TestImages::expectedPixel(39, 0, 40, 30), 0));
}

TEST_F(VipsImageCodecTest, ReportsAlphaLayout) {
    TestImages::png(dir_ / "alpha.png", 8, 8, test::imageOptions().withAlpha());
    TestImages::png(dir_ / "opaque.png", 8, 8);
    TestImages::png(dir_ / "grey-alpha.png", 8, 8, test::imageOptions().withAlpha().withGrey());
    EXPECT_EQ(codec_.decode(dir_ / "alpha.png")->alphaInfo(), AlphaInfo::last);
    EXPECT_EQ(codec_.decode(dir_ / "opaque.png")->alphaInfo(), AlphaInfo::none);
    EXPECT_EQ(codec_.decode(dir_ / "grey-alpha.png")->alphaInfo(), AlphaInfo::last);
    EXPECT_TRUE(codec_.readProperties(dir_ / "alpha.png")->hasAlpha);
}

TEST_F(VipsImageCodecTest, NamesColourSpacesByWhatTheProfileIsNotWhatItSays) {
    struct Case {
        const char* label;
        std::optional<std::string> profile;
        bool grey;
        ColorModel model;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"untagged RGB", std::nullopt, false, ColorModel::rgb, "sRGB"},
        {"sRGB", TestImages::srgbProfile(), false, ColorModel::rgb, "sRGB"},
        {"sRGB with a vendor's name", TestImages::srgbProfile("Artifex Software sRGB ICC Profile"),
         false, ColorModel::rgb, "sRGB"},
        {"lcms2's sRGB", ColorSpace::sRGB().iccData, false, ColorModel::rgb, "sRGB"},
        {"Display P3", TestImages::displayP3Profile(), false, ColorModel::rgb, "Display P3"},
        {"libvips' sRGB", TestImages::libvipsProfile("sRGB"), false, ColorModel::rgb, "sRGB"},
        {"a Display P3 called sP3C", TestImages::libvipsProfile("p3"), false, ColorModel::rgb,
         "sP3C"},
        {"Adobe RGB", TestImages::adobeRgbProfile(), false, ColorModel::rgb, "Adobe RGB (1998)"},
        {"untagged grey", std::nullopt, true, ColorModel::monochrome, std::nullopt},
        {"grey with a profile", TestImages::greyProfile(), true, ColorModel::monochrome,
         "Generic Gray Gamma 2.2 Profile"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (auto [write, extension] :
             {std::pair<ImageWriter, const char*>{TestImages::jpeg, "jpg"},
              std::pair<ImageWriter, const char*>{TestImages::png, "png"}}) {
            const fs::path file = dir_ / (std::string("image.") + extension);
            write(file, 16, 16, test::imageOptions().withGrey(c.grey).withIccProfile(c.profile));
            const auto raster = codec_.decode(file);
            ASSERT_TRUE(raster);
            const auto space = raster->colorSpace();
            ASSERT_TRUE(space.has_value());
            EXPECT_EQ(space->model, c.model);
            EXPECT_EQ(space->name, c.name);
            EXPECT_EQ(space->iccData, c.profile);
        }
    }
}

TEST_F(VipsImageCodecTest, SrgbColorSpaceCarriesARealSrgbProfile) {
    const ColorSpace srgb = ColorSpace::sRGB();
    EXPECT_EQ(srgb.model, ColorModel::rgb);
    EXPECT_EQ(srgb.name, "sRGB");
    ASSERT_TRUE(srgb.iccData.has_value());
    // Embedded in a file, it reads back as sRGB.
    TestImages::png(dir_ / "a.png", 4, 4, test::imageOptions().withIccProfile(srgb.iccData));
    EXPECT_EQ(codec_.decode(dir_ / "a.png")->colorSpace()->name, "sRGB");
}

TEST_F(VipsImageCodecTest, TruncatedFilesFailToDecode) {
    const TestImageOptions options = test::imageOptions().withDetail();
    TestImages::jpeg(dir_ / "cut.jpg", 200, 150, options);
    TestImages::png(dir_ / "cut.png", 200, 150, options);
    TestImages::webp(dir_ / "cut.webp", 200, 150, options);
    for (const char* name : {"cut.jpg", "cut.png", "cut.webp"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(codec_.decode(dir_ / name));
        TestImages::truncate(dir_ / name, 0.6);
        EXPECT_FALSE(codec_.decode(dir_ / name));
        EXPECT_FALSE(codec_.decodeUpright(dir_ / name));
    }
}

TEST_F(VipsImageCodecTest, RefusesOtherFormatsWhateverTheirName) {
    TestImages::svg(dir_ / "svg.jpg", 20, 20);
    TestImages::tiff(dir_ / "tiff.jpg", 20, 20);
    TestImages::gif(dir_ / "gif.jpg", 20, 20);
    test::writeFile(dir_ / "pdf.jpg",
                    "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                    "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                    "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 20 20]>>endobj\n"
                    "trailer<</Root 1 0 R>>\n%%EOF\n");
    for (const char* name : {"svg.jpg", "tiff.jpg", "gif.jpg", "pdf.jpg"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(codec_.readProperties(dir_ / name));
        EXPECT_FALSE(codec_.decode(dir_ / name));
        EXPECT_FALSE(codec_.decodeUpright(dir_ / name));
    }

    // The files are real: with every loader allowed, libvips sniffs and reads them.
    vips_operation_block_set("VipsForeignLoad", FALSE);
    for (const char* name : {"svg.jpg", "tiff.jpg", "gif.jpg"}) {
        EXPECT_NO_THROW(vips::VImage::new_from_file((dir_ / name).c_str()).avg()) << name;
    }
    vips_operation_block_set("VipsForeignLoad", TRUE);
    for (const char* loader : {"VipsForeignLoadJpeg", "VipsForeignLoadPng", "VipsForeignLoadWebp",
                               "VipsForeignLoadHeif"}) {
        vips_operation_block_set(loader, FALSE);
    }
}

TEST_F(VipsImageCodecTest, UnreadableFilesGiveNothing) {
    std::string noise(4096, '\0');
    std::uint32_t state = 12345;
    for (char& c : noise)
        c = static_cast<char>((state = state * 1103515245 + 12345) >> 16);
    test::writeFile(dir_ / "random.jpg", noise);
    test::writeFile(dir_ / "empty.png", "");
    test::writeFile(dir_ / "header.jpg", std::string("\xff\xd8\xff\xe0", 4));
    fs::create_directory(dir_ / "folder.png");
    for (const char* name :
         {"random.jpg", "empty.png", "header.jpg", "folder.png", "missing.jpg"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(codec_.readProperties(dir_ / name));
        EXPECT_FALSE(codec_.decode(dir_ / name));
        EXPECT_FALSE(codec_.decodeUpright(dir_ / name));
    }
}

TEST_F(VipsImageCodecTest, ReadsFileNamesLibvipsWouldTakeForOptions) {
    TestImages::png(dir_ / "a.png", 10, 10);
    fs::rename(dir_ / "a.png", dir_ / "photo.png[shrink=2]");
    const auto properties = codec_.readProperties(dir_ / "photo.png[shrink=2]");
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->width, 10);
    EXPECT_TRUE(codec_.decode(dir_ / "photo.png[shrink=2]"));
}

TEST_F(VipsImageCodecTest, DecompressionBombHeaderIsReadWithoutDecoding) {
    TestImages::pngHeaderOnly(dir_ / "bomb.png", 60000, 60000);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const auto properties = codec_.readProperties(dir_ / "bomb.png");
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->width, 60000);
    EXPECT_EQ(properties->height, 60000);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 100 * 1024) << "kilobytes";
    EXPECT_FALSE(codec_.decode(dir_ / "bomb.png"));
}

TEST_F(VipsImageCodecTest, DecodesOnlyTheFirstFrame) {
    TestImages::webp(dir_ / "animated.webp", 16, 12,
                     test::imageOptions().withQuality(100).withFrames(3));
    const auto raster = codec_.decode(dir_ / "animated.webp");
    ASSERT_TRUE(raster);
    EXPECT_EQ(raster->height(), 12);
    EXPECT_TRUE(nearPixel(pixel(rendered(*raster), 8, 11), TestImages::frameColour(0), 8));
}

TEST_F(VipsImageCodecTest, ReplacedFileReadsBackItsNewPixels) {
    const fs::path file = dir_ / "image.png";
    TestImages::png(file, 10, 10, test::imageOptions().withFill(Rgba{255, 0, 0, 255}));
    EXPECT_TRUE(nearPixel(pixel(rendered(*codec_.decode(file)), 5, 5), Rgba{255, 0, 0, 255}, 0));

    TestImages::png(dir_ / "next.png", 20, 20, test::imageOptions().withFill(Rgba{0, 0, 255, 255}));
    fs::rename(dir_ / "next.png", file);
    EXPECT_EQ(codec_.readProperties(file)->width, 20);
    EXPECT_TRUE(nearPixel(pixel(rendered(*codec_.decode(file)), 5, 5), Rgba{0, 0, 255, 255}, 0));

    TestImages::png(file, 20, 20,
                    test::imageOptions().withFill(Rgba{0, 255, 0, 255})); // rewritten in place
    EXPECT_TRUE(
        nearPixel(pixel(rendered(*codec_.decodeUpright(file)), 5, 5), Rgba{0, 255, 0, 255}, 0));
}

TEST_F(VipsImageCodecTest, EncodeRoundTripsEveryWritableFormat) {
    TestImages::png(dir_ / "source.png", 64, 48);
    const auto source = codec_.decode(dir_ / "source.png");
    ASSERT_TRUE(source);
    for (const Format& format : formats) {
        SCOPED_TRACE(format.type);
        if (!writable(format.type))
            continue;
        const fs::path out = dir_ / (std::string("out.") + format.extension);
        ASSERT_TRUE(codec_.encode(*source, out, format.type, 0.9));
        const auto properties = codec_.readProperties(out);
        ASSERT_TRUE(properties);
        EXPECT_EQ(properties->typeIdentifier, std::string(format.type));
        EXPECT_EQ(properties->width, 64);
        EXPECT_EQ(properties->height, 48);
        const auto raster = codec_.decode(out);
        ASSERT_TRUE(raster);
        const RgbaBitmap bitmap = rendered(*raster);
        const int tolerance = format.lossy ? 16 : 0;
        for (auto [x, y] : {std::pair{0, 0}, std::pair{63, 0}, std::pair{0, 47}, std::pair{63, 47},
                            std::pair{32, 24}}) {
            EXPECT_TRUE(
                nearPixel(pixel(bitmap, x, y), TestImages::expectedPixel(x, y, 64, 48), tolerance))
                << x << "," << y;
        }
        // Handing the raster over (so the encoder may free it early) writes the same bytes.
        const fs::path taken = dir_ / (std::string("taken.") + format.extension);
        ASSERT_TRUE(
            codec_.encodeTaking(codec_.decode(dir_ / "source.png"), taken, format.type, 0.9));
        EXPECT_TRUE(test::readFile(taken) == test::readFile(out));
    }
}

TEST_F(VipsImageCodecTest, EncodeKeepsAlphaWhereTheFormatHasIt) {
    TestImages::png(dir_ / "source.png", 32, 32, test::imageOptions().withAlpha());
    const auto source = codec_.decode(dir_ / "source.png");
    for (const Format& format : formats) {
        SCOPED_TRACE(format.type);
        if (!writable(format.type))
            continue;
        const fs::path out = dir_ / (std::string("out.") + format.extension);
        ASSERT_TRUE(codec_.encode(*source, out, format.type, 0.9));
        const auto raster = codec_.decode(out);
        ASSERT_TRUE(raster);
        // JPEG has no alpha: the image is laid over white.
        const bool jpeg = format.type == typeIdentifier::jpeg;
        EXPECT_EQ(raster->alphaInfo(), jpeg ? AlphaInfo::none : AlphaInfo::last);
        const Rgba expected = jpeg ? pixel(rendered(*source, Background::white), 0, 16)
                                   : pixel(rendered(*source), 0, 16);
        EXPECT_TRUE(nearPixel(pixel(rendered(*raster), 0, 16), expected, format.lossy ? 16 : 0));
    }
}

TEST_F(VipsImageCodecTest, LowerQualityMakesSmallerLossyFiles) {
    TestImages::png(dir_ / "source.png", 128, 96, test::imageOptions().withDetail());
    const auto source = codec_.decode(dir_ / "source.png");
    for (const Format& format : formats) {
        SCOPED_TRACE(format.type);
        if (!format.lossy || !writable(format.type))
            continue;
        const fs::path low = dir_ / (std::string("low.") + format.extension);
        const fs::path high = dir_ / (std::string("high.") + format.extension);
        ASSERT_TRUE(codec_.encode(*source, low, format.type, 0.2));
        ASSERT_TRUE(codec_.encode(*source, high, format.type, 0.9));
        EXPECT_LT(fs::file_size(low), fs::file_size(high));
    }
}

TEST_F(VipsImageCodecTest, HeifOutputIsEightBitEvenFromSixteenBitSources) {
    TestImages::png(dir_ / "deep.png", 32, 32, test::imageOptions().withBitDepth(16));
    const auto source = codec_.decode(dir_ / "deep.png");
    ASSERT_TRUE(source);
    for (const Format& format : formats) {
        if (format.type != typeIdentifier::avif && format.type != typeIdentifier::heic)
            continue;
        SCOPED_TRACE(format.type);
        if (!writable(format.type))
            continue;
        const fs::path out = dir_ / (std::string("out.") + format.extension);
        ASSERT_TRUE(codec_.encode(*source, out, format.type, 0.8));
        const vips::VImage image = vips::VImage::heifload(out.c_str());
        EXPECT_EQ(image.format(), VIPS_FORMAT_UCHAR);
        EXPECT_EQ(image.get_int("heif-bitdepth"), 8);
    }
}

TEST_F(VipsImageCodecTest, EncodeCarriesTheProfileButNoExif) {
    const std::string p3 = TestImages::displayP3Profile();
    TestImages::jpeg(dir_ / "source.jpg", 40, 30,
                     test::imageOptions().withOrientation(6).withIccProfile(p3));
    const auto source = codec_.decode(dir_ / "source.jpg");
    ASSERT_TRUE(source);
    for (const Format& format : formats) {
        SCOPED_TRACE(format.type);
        if (!writable(format.type))
            continue;
        const fs::path out = dir_ / (std::string("out.") + format.extension);
        ASSERT_TRUE(codec_.encode(*source, out, format.type, 0.9));
        const auto properties = codec_.readProperties(out);
        ASSERT_TRUE(properties);
        EXPECT_TRUE(isUpright(properties->orientation));
        const auto raster = codec_.decode(out);
        ASSERT_TRUE(raster);
        EXPECT_EQ(raster->colorSpace()->iccData, p3);
        EXPECT_EQ(raster->colorSpace()->name, "Display P3");
    }
    EXPECT_EQ(fileBytes(dir_ / "out.png").find("eXIf"), std::string::npos);
}

TEST_F(VipsImageCodecTest, HeifSourcesKeepTheirProfileThroughAnotherEncode) {
    // libvips 8.14.1's heifload leaves its ICC and EXIF fields pointing at freed memory;
    // under AddressSanitizer any read of them fails this test.
    const std::string p3 = TestImages::displayP3Profile();
    for (auto [type, write, extension] : {std::tuple<std::string_view, ImageWriter, const char*>{
                                              typeIdentifier::avif, TestImages::avif, "avif"},
                                          {typeIdentifier::heic, TestImages::heic, "heic"}}) {
        SCOPED_TRACE(type);
        if (!writable(type))
            continue;
        const fs::path source = dir_ / (std::string("source.") + extension);
        write(source, 24, 16, test::imageOptions().withOrientation(6).withIccProfile(p3));
        const auto raster = codec_.decodeUpright(source);
        ASSERT_TRUE(raster);
        EXPECT_EQ(raster->colorSpace()->iccData, p3);
        for (const Format& format : formats) {
            SCOPED_TRACE(format.type);
            if (!writable(format.type))
                continue;
            const fs::path out = dir_ / (std::string("again.") + format.extension);
            ASSERT_TRUE(codec_.encode(*raster, out, format.type, 0.8));
            const auto again = codec_.decode(out);
            ASSERT_TRUE(again);
            EXPECT_EQ(again->colorSpace()->iccData, p3);
        }
    }
}

TEST_F(VipsImageCodecTest, EncodeTurnsCmykIntoRgbForFormatsWithoutCmyk) {
    TestImages::cmykJpeg(dir_ / "cmyk.jpg", 16, 16);
    const auto source = codec_.decode(dir_ / "cmyk.jpg");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->colorSpace()->model, ColorModel::cmyk);
    // No ink at the left edge: white paper.
    EXPECT_TRUE(nearPixel(pixel(rendered(*source), 0, 8), Rgba{255, 255, 255, 255}, 12));

    ASSERT_TRUE(codec_.encode(*source, dir_ / "out.png", typeIdentifier::png, std::nullopt));
    const auto png = codec_.decode(dir_ / "out.png");
    ASSERT_TRUE(png);
    EXPECT_EQ(png->colorSpace()->model, ColorModel::rgb);
    EXPECT_TRUE(nearPixel(pixel(rendered(*png), 0, 8), Rgba{255, 255, 255, 255}, 12));
    const Rgba cyan = pixel(rendered(*png), 15, 8);
    EXPECT_LT(cyan[0], 100);
    EXPECT_GT(cyan[2], 150);
}

TEST_F(VipsImageCodecTest, EncodeWidensGreyToRgbWithAMatchingProfile) {
    const TestImageOptions grey =
        test::imageOptions().withGrey().withIccProfile(TestImages::greyProfile());
    TestImages::png(dir_ / "grey.png", 16, 16, grey);
    const auto source = codec_.decode(dir_ / "grey.png");
    ASSERT_TRUE(source);
    const Rgba expected = pixel(rendered(*source), 12, 4);
    for (const Format& format : formats) {
        SCOPED_TRACE(format.type);
        if (!writable(format.type))
            continue;
        const fs::path out = dir_ / (std::string("out.") + format.extension);
        ASSERT_TRUE(codec_.encode(*source, out, format.type, 0.95));
        const auto raster = codec_.decode(out);
        ASSERT_TRUE(raster);
        const auto space = raster->colorSpace();
        ASSERT_TRUE(space);
        // JPEG and PNG keep grey and its profile; WebP and HEIF get RGB and an RGB profile.
        if (space->model == ColorModel::monochrome) {
            EXPECT_EQ(space->iccData, grey.iccProfile);
        } else {
            EXPECT_NE(space->iccData, grey.iccProfile);
        }
        EXPECT_TRUE(nearPixel(pixel(rendered(*raster), 12, 4), expected, format.lossy ? 8 : 0));
    }
}

TEST_F(VipsImageCodecTest, LibvipsWarningsGoToTheNativeLog) {
    if (!writable(typeIdentifier::avif))
        GTEST_SKIP() << "no AV1 encoder";
    // An AVIF without an ICC profile makes heifload warn "ignoring nclx profile".
    TestImages::avif(dir_ / "plain.avif", 8, 8);
    ASSERT_TRUE(codec_.decode(dir_ / "plain.avif"));
    const std::string log = fileBytes(dir_ / "log" / "native.log");
    EXPECT_NE(log.find("vips: heifload"), std::string::npos) << log;
}

TEST_F(VipsImageCodecTest, FailedEncodeLeavesNoFile) {
    TestImages::png(dir_ / "source.png", 64, 64, test::imageOptions().withDetail());
    const auto source = codec_.decode(dir_ / "source.png");
    ASSERT_TRUE(source);

    EXPECT_FALSE(codec_.encode(*source, dir_ / "missing" / "out.jpg", typeIdentifier::jpeg, 0.8));
    EXPECT_FALSE(fs::exists(dir_ / "missing"));

    test::writeFile(dir_ / "keep.gif", "old");
    EXPECT_FALSE(codec_.encode(*source, dir_ / "keep.gif", "com.compuserve.gif", 0.8));
    EXPECT_EQ(fileBytes(dir_ / "keep.gif"), "old");

    // A write that fails half-way (file size limit): the partial file is removed.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool encoded =
        codec_.encode(*source, dir_ / "partial.png", typeIdentifier::png, std::nullopt);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(encoded);
    EXPECT_FALSE(fs::exists(dir_ / "partial.png"));
}

TEST_F(VipsImageCodecTest, RendersOverWhiteOrOverTransparency) {
    TestImages::png(dir_ / "half.png", 2, 2,
                    test::imageOptions().withAlpha().withFill(Rgba{200, 100, 0, 128}));
    const auto raster = codec_.decode(dir_ / "half.png");
    ASSERT_TRUE(raster);
    // Straight: the colour as stored, however little of it shows.
    EXPECT_TRUE(nearPixel(pixel(rendered(*raster, Background::transparent), 1, 1),
                          Rgba{200, 100, 0, 128}, 0));
    // Over white: colour × alpha + 255 × (1 − alpha), opaque.
    EXPECT_TRUE(
        nearPixel(pixel(rendered(*raster, Background::white), 1, 1), Rgba{227, 177, 127, 255}, 1));
}

// Opaque sRGB photos take a direct path over white; it must agree with the general one
// pixel for pixel, and every other raster drawn over white must be packed the same way.
TEST_F(VipsImageCodecTest, RendersOverWhiteAsPackedRgb) {
    TestImages::jpeg(dir_ / "photo.jpg", 24, 16, test::imageOptions().withDetail());
    TestImages::png(dir_ / "clear.png", 24, 16, test::imageOptions().withAlpha());
    for (const char* name : {"photo.jpg", "clear.png"}) {
        SCOPED_TRACE(name);
        const auto raster = codec_.decode(dir_ / name);
        ASSERT_TRUE(raster);
        const RgbaBitmap overWhite = rendered(*raster, Background::white);
        const RgbaBitmap general = rendered(*raster, Background::transparent);
        ASSERT_EQ(overWhite.channels, 3);
        ASSERT_EQ(overWhite.pixels.size(), std::size_t{24 * 16 * 3});
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 24; ++x) {
                Rgba expected = pixel(general, x, y);
                for (std::size_t c = 0; c < 3; ++c)
                    expected[c] = static_cast<std::uint8_t>(
                        (expected[c] * expected[3] + 255 * (255 - expected[3]) + 127) / 255);
                expected[3] = 255;
                ASSERT_TRUE(nearPixel(pixel(overWhite, x, y), expected, 1)) << x << "," << y;
            }
        }
    }
}

TEST_F(VipsImageCodecTest, RendersGreyAsRgb) {
    TestImages::png(dir_ / "grey.png", 8, 8, test::imageOptions().withGrey());
    TestImages::png(dir_ / "grey16.png", 8, 8, test::imageOptions().withGrey().withBitDepth(16));
    for (const char* name : {"grey.png", "grey16.png"}) {
        SCOPED_TRACE(name);
        const auto raster = codec_.decode(dir_ / name);
        ASSERT_TRUE(raster);
        EXPECT_EQ(raster->colorSpace()->model, ColorModel::monochrome);
        EXPECT_TRUE(
            nearPixel(pixel(rendered(*raster), 7, 3),
                      TestImages::expectedPixel(7, 3, 8, 8, test::imageOptions().withGrey()), 0));
    }
}

TEST_F(VipsImageCodecTest, RendersIntoTheTargetColourSpace) {
    const std::string p3 = TestImages::displayP3Profile();
    const ColorSpace displayP3{ColorModel::rgb, "Display P3", p3};
    TestImages::png(dir_ / "red.png", 4, 4, test::imageOptions().withFill(Rgba{255, 0, 0, 255}));
    TestImages::png(dir_ / "p3red.png", 4, 4,
                    test::imageOptions().withIccProfile(p3).withFill(Rgba{234, 51, 35, 255}));
    const auto srgbRed = codec_.decode(dir_ / "red.png");
    const auto p3Red = codec_.decode(dir_ / "p3red.png");
    ASSERT_TRUE(srgbRed && p3Red);

    // sRGB red is inside P3: about (234, 51, 35) there.
    EXPECT_TRUE(nearPixel(pixel(rendered(*srgbRed, Background::white, displayP3), 0, 0),
                          Rgba{234, 51, 35, 255}, 4));
    // And back again.
    EXPECT_TRUE(nearPixel(pixel(rendered(*p3Red, Background::white, ColorSpace::sRGB()), 0, 0),
                          Rgba{255, 0, 0, 255}, 4));
    // A target without a profile counts as sRGB.
    EXPECT_TRUE(nearPixel(pixel(rendered(*p3Red, Background::white,
                                         ColorSpace{ColorModel::rgb, std::nullopt, std::nullopt}),
                                0, 0),
                          Rgba{255, 0, 0, 255}, 4));
    // Same space: untouched.
    EXPECT_TRUE(nearPixel(pixel(rendered(*p3Red, Background::white, displayP3), 0, 0),
                          Rgba{234, 51, 35, 255}, 0));
}

TEST_F(VipsImageCodecTest, RendersSixteenBitWithAlpha) {
    const std::string adobe = TestImages::adobeRgbProfile();
    TestImages::png(
        dir_ / "deep.png", 4, 4,
        test::imageOptions().withAlpha().withBitDepth(16).withFill(Rgba{255, 255, 255, 128}));
    TestImages::png(
        dir_ / "deep-adobe.png", 4, 4,
        test::imageOptions().withAlpha().withBitDepth(16).withIccProfile(adobe).withFill(
            Rgba{255, 255, 255, 128}));
    for (const char* name : {"deep.png", "deep-adobe.png"}) {
        SCOPED_TRACE(name);
        const auto raster = codec_.decode(dir_ / name);
        ASSERT_TRUE(raster);
        EXPECT_TRUE(nearPixel(pixel(rendered(*raster), 2, 2), Rgba{255, 255, 255, 128}, 1));
    }
}

TEST_F(VipsImageCodecTest, BandsJoinIntoTheWholeRendering) {
    // Tall enough for three bands, with colour in every row and a colour transform in
    // one case, so a band out of place or converted apart from the rest shows.
    const std::int64_t width = 1000;
    const std::int64_t height = 2 * (VipsImageCodec::bandBytes / (width * 4)) + 7;
    const std::string p3 = TestImages::displayP3Profile();
    const ColorSpace displayP3{ColorModel::rgb, "Display P3", p3};
    TestImages::png(dir_ / "tall.png", static_cast<int>(width), static_cast<int>(height),
                    test::imageOptions().withDetail().withAlpha());
    // An opaque photo in sRGB over white is handed over as stored, without a copy.
    TestImages::jpeg(dir_ / "tall.jpg", static_cast<int>(width), static_cast<int>(height),
                     test::imageOptions().withDetail());
    for (const auto& [name, background, space] :
         {std::tuple{"tall.png", Background::white, ColorSpace::sRGB()},
          {"tall.png", Background::white, displayP3},
          {"tall.png", Background::transparent, ColorSpace::sRGB()},
          {"tall.png", Background::transparent, displayP3},
          {"tall.jpg", Background::white, ColorSpace::sRGB()},
          {"tall.jpg", Background::white, displayP3}}) {
        SCOPED_TRACE(name);
        const auto raster = codec_.decode(dir_ / name);
        ASSERT_TRUE(raster);
        const auto whole = codec_.render(*raster, space, background);
        ASSERT_TRUE(whole);
        std::vector<std::uint8_t> joined;
        int bands = 0;
        ASSERT_TRUE(codec_.renderBands(*raster, space, background, [&](const BitmapBand& band) {
            EXPECT_EQ(band.width, width);
            EXPECT_EQ(band.channels, whole->channels);
            joined.insert(joined.end(), band.pixels.begin(), band.pixels.end());
            ++bands;
        }));
        EXPECT_EQ(bands, 3);
        EXPECT_TRUE(joined == whole->pixels);
    }
}

TEST_F(VipsImageCodecTest, RefusesToRenderMoreThanTheRasterByteLimit) {
    // 8193 × 8192 × 4 bytes is just over 256 MiB; grey keeps the decoded raster at 64 MiB.
    vips::VImage::black(8193, 8192).cast(VIPS_FORMAT_UCHAR).pngsave((dir_ / "huge.png").c_str());
    const auto raster = codec_.decode(dir_ / "huge.png");
    ASSERT_TRUE(raster);
    EXPECT_FALSE(codec_.render(*raster, ColorSpace::sRGB(), Background::white));
}

TEST_F(VipsImageCodecTest, WorksFromSeveralThreadsAtOnce) {
    constexpr int threads = 4;
    for (int i = 0; i < threads; ++i) {
        TestImages::jpeg(
            dir_ / ("in" + std::to_string(i) + ".jpg"), 48, 32,
            test::imageOptions().withOrientation(6).withIccProfile(TestImages::displayP3Profile()));
    }
    std::vector<int> failures(threads, 0);
    {
        std::vector<std::jthread> workers;
        for (int i = 0; i < threads; ++i) {
            workers.emplace_back([&, i] {
                for (int round = 0; round < 5; ++round) {
                    const fs::path in = dir_ / ("in" + std::to_string(i) + ".jpg");
                    const fs::path out = dir_ / ("out" + std::to_string(i) + ".webp");
                    const auto raster = codec_.decodeUpright(in);
                    if (!raster || raster->width() != 32 ||
                        !codec_.render(*raster, ColorSpace::sRGB(), Background::white) ||
                        !codec_.encode(*raster, out, typeIdentifier::webp, 0.7) ||
                        !codec_.readProperties(out)) {
                        ++failures[static_cast<std::size_t>(i)];
                    }
                }
            });
        }
    }
    EXPECT_EQ(failures, std::vector<int>(threads, 0));
}

} // namespace
} // namespace velk
