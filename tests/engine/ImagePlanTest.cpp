#include "engine/ImagePlan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/FileError.h"
#include "engine/EngineCapabilities.h"
#include "engine/ImageSafetyError.h"
#include "platform/VipsImageCodec.h"
#include "support/CraftedImages.h"
#include "support/ForwardingCodec.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TestImages;
using Formats = std::set<ImageFormat>;

/// The real codec on a machine whose codec writes exactly `writable`.
class RestrictedCodec : public test::ForwardingCodec {
public:
    explicit RestrictedCodec(Formats writable) : writable_(std::move(writable)) {}
    std::vector<std::string> writableTypeIdentifiers() const override {
        std::vector<std::string> types;
        for (ImageFormat format : writable_)
            types.emplace_back(typeIdentifierOf(format));
        return types;
    }
    bool encode(const Raster&, const fs::path&, std::string_view,
                std::optional<double>) const override {
        return false;
    }

private:
    Formats writable_;
};

const Formats everyFormat(allImageFormats.begin(), allImageFormats.end());

FormatWritability writableOnly(Formats formats) {
    return [formats = std::move(formats)](ImageFormat format) { return formats.count(format) > 0; };
}

std::string nameOf(std::optional<ImageFormat> format) {
    return format ? std::string(fileExtension(*format)) : "(none)";
}

/// Makes the JPEG's frame header claim another size; EXIF and the rest stay as they are.
void rewriteJpegDimensions(const fs::path& file, std::uint16_t width, std::uint16_t height) {
    std::string bytes = test::readFile(file);
    for (std::size_t i = 2; i + 9 < bytes.size();) {
        const auto marker = static_cast<unsigned char>(bytes[i + 1]);
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) {
            bytes[i + 5] = static_cast<char>(height >> 8);
            bytes[i + 6] = static_cast<char>(height & 0xFF);
            bytes[i + 7] = static_cast<char>(width >> 8);
            bytes[i + 8] = static_cast<char>(width & 0xFF);
            return test::writeFile(file, bytes);
        }
        i += 2 + ((static_cast<unsigned char>(bytes[i + 2]) << 8) |
                  static_cast<unsigned char>(bytes[i + 3]));
    }
    FAIL() << "no frame header in " << file;
}

class ImagePlanTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    VipsImageCodec codec_;
    ImagePlanner planner_{codec_, writableOnly(everyFormat)};
};

TEST_F(ImagePlanTest, SidewaysPhotoIsTurnedUprightButCheckedOnItsStoredSize) {
    const fs::path sideways = dir_ / "sideways.jpg";
    TestImages::jpeg(sideways, 40, 30, test::imageOptions().withOrientation(6));
    const ImagePlan plan = planner_.makePlan(sideways, FormatStrategy::automatic);
    EXPECT_EQ(plan.image->width(), 30);
    EXPECT_EQ(plan.image->height(), 40);

    // Claiming 10000 × 5001 now: refused as stored, not as turned (5001 × 10000), and
    // before decoding, which would have failed as corrupt on these patched bytes.
    rewriteJpegDimensions(sideways, 10000, 5001);
    try {
        planner_.makePlan(sideways, FormatStrategy::automatic);
        FAIL() << "an oversized image was planned";
    } catch (const ImageSafetyError& error) {
        EXPECT_EQ(error.kind(), ImageSafetyError::Kind::resourceLimitExceeded);
        EXPECT_EQ(error.width(), 10000);
        EXPECT_EQ(error.height(), 5001);
    }
}

TEST_F(ImagePlanTest, UnreadableOrUndecodableSourcesAreCorrupt) {
    test::writeFile(dir_ / "text.png", "not an image at all");
    TestImages::pngHeaderOnly(dir_ / "hollow.png", 8, 8); // a sound header over no pixels
    for (const char* name : {"missing.png", "text.png", "hollow.png"}) {
        SCOPED_TRACE(name);
        try {
            planner_.makePlan(dir_ / name, FormatStrategy::automatic);
            ADD_FAILURE() << "planned";
        } catch (const FileError& error) {
            EXPECT_EQ(error.kind(), FileError::Kind::readCorruptFile);
        }
    }
}

TEST_F(ImagePlanTest, TargetAndItsPredictionFollowStrategyAndWhatTheMachineWrites) {
    struct Case {
        const char* name;
        bool alpha;
        FormatStrategy strategy;
        Formats engineWrites;
        bool avifNative;
        ImageFormat source;
        ImageFormat target;
    };
    const Formats basics = {ImageFormat::jpeg, ImageFormat::png};
    const Formats noWebp = {ImageFormat::jpeg, ImageFormat::png, ImageFormat::avif,
                            ImageFormat::heic};
    const auto automatic = FormatStrategy::automatic;
    const std::vector<Case> cases = {
        {"own.webp", false, automatic, everyFormat, true, ImageFormat::webp, ImageFormat::webp},
        {"no-cwebp.webp", true, automatic, noWebp, true, ImageFormat::webp, ImageFormat::avif},
        {"no-avif-alpha.webp", true, automatic, basics, false, ImageFormat::webp, ImageFormat::png},
        {"no-avif-opaque.webp", false, automatic, basics, false, ImageFormat::webp,
         ImageFormat::jpeg},
        // The content decides the source format, not the name.
        {"png-inside.jpg", false, automatic, basics, false, ImageFormat::png, ImageFormat::png},
        // An explicit choice stands even when it cannot be written; the encoder says why.
        {"forced.png", false, FormatStrategy::webp, {}, false, ImageFormat::png, ImageFormat::webp},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = dir_ / c.name;
        const auto options = test::imageOptions().withAlpha(c.alpha);
        c.source == ImageFormat::webp ? TestImages::webp(file, 16, 12, options)
                                      : TestImages::png(file, 16, 12, options);
        const RestrictedCodec codec(c.avifNative ? everyFormat : basics);
        const FormatWritability canWrite = writableOnly(c.engineWrites);
        const ImagePlan plan = ImagePlanner(codec, canWrite).makePlan(file, c.strategy);
        EXPECT_EQ(nameOf(plan.source), nameOf(c.source));
        EXPECT_EQ(nameOf(plan.target), nameOf(c.target));
        // The output is named before decoding; the name must be the file written.
        EXPECT_EQ(nameOf(predictedTargetFormat(file, c.strategy, canWrite, codec)),
                  nameOf(plan.target));
    }
}

TEST_F(ImagePlanTest, OnlyNonSrgbRgbSourcesKeepTheirSpaceAndProfile) {
    const std::string p3 = TestImages::displayP3Profile();
    TestImages::png(dir_ / "p3.png", 8, 8, test::imageOptions().withIccProfile(p3));
    TestImages::png(dir_ / "renamed-srgb.png", 8, 8,
                    test::imageOptions().withIccProfile(TestImages::srgbProfile("Camera RGB")));
    TestImages::png(dir_ / "grey.png", 8, 8,
                    test::imageOptions().withGrey().withIccProfile(TestImages::greyProfile()));

    const ImagePlan p3Plan = planner_.makePlan(dir_ / "p3.png", FormatStrategy::automatic);
    EXPECT_EQ(p3Plan.colorSpace.name, "Display P3");
    EXPECT_TRUE(p3Plan.iccData == p3) << "the Display P3 profile was not kept";

    const ImagePlan srgbPlan =
        planner_.makePlan(dir_ / "renamed-srgb.png", FormatStrategy::automatic);
    EXPECT_EQ(srgbPlan.colorSpace.name, "sRGB");
    EXPECT_FALSE(srgbPlan.iccData);

    // A grey profile cannot describe RGB output: sRGB, and nothing embedded.
    const ImagePlan greyPlan = planner_.makePlan(dir_ / "grey.png", FormatStrategy::automatic);
    EXPECT_TRUE(greyPlan.colorSpace == ColorSpace::sRGB());
    EXPECT_FALSE(greyPlan.iccData);
    EXPECT_FALSE(iccDataForEncoding(ColorSpace{ColorModel::rgb, "my SRGB variant", "bytes"}));
}

/// The real codec, counting what it was asked to open.
class WatchedCodec : public test::ForwardingCodec {
public:
    std::optional<ImageProperties> readProperties(const fs::path& f) const override {
        ++opened;
        return real_.readProperties(f);
    }
    std::shared_ptr<const Raster> decode(const fs::path& f) const override {
        ++decoded;
        return real_.decode(f);
    }
    mutable int opened = 0;
    mutable int decoded = 0;
};

TEST_F(ImagePlanTest, SeveralPicturesAndUnpackingBombsAreRefusedBeforeAnyDecode) {
    using Kind = ImageSafetyError::Kind;
    const auto frames = test::imageOptions().withFrames(2);
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        Kind kind;
        /// Whether the codec may read the header: the container checks come first.
        bool headerRead;
    };
    const Case cases[] = {
        {"animated.webp", [&](const fs::path& f) { TestImages::webp(f, 16, 8, frames); },
         Kind::multiplePictures, true},
        {"two.heic", [&](const fs::path& f) { TestImages::heic(f, 16, 8, frames); },
         Kind::multiplePictures, true},
        {"two.avif", [&](const fs::path& f) { TestImages::avif(f, 16, 8, frames); },
         Kind::multiplePictures, true},
        {"animated.png",
         [](const fs::path& f) {
             TestImages::png(f, 16, 8);
             test::CraftedImages::animatePng(f, 2);
         },
         Kind::multiplePictures, false},
        {"bomb.png",
         [](const fs::path& f) {
             TestImages::png(f, 16, 8);
             test::CraftedImages::insertPngChunks(
                 f, {{"iCCP", std::string("icc\0\0", 5) + test::CraftedImages::zerosStream(64)}});
         },
         Kind::oversizedMetadata, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.make(dir_ / c.name);
        WatchedCodec codec;
        try {
            ImagePlanner(codec, writableOnly(everyFormat))
                .makePlan(dir_ / c.name, FormatStrategy::automatic);
            ADD_FAILURE() << "planned";
        } catch (const ImageSafetyError& error) {
            EXPECT_EQ(error.kind(), c.kind);
        }
        EXPECT_EQ(codec.opened, c.headerRead ? 1 : 0);
        EXPECT_EQ(codec.decoded, 0);
    }
}

TEST(EngineCapabilitiesTest, WebpDependsOnTheToolNotOnTheCodec) {
    test::TempDir tools;
    test::writeFile(tools / "cwebp", "#!/bin/sh\nexit 0\n");
    fs::permissions(tools / "cwebp", fs::perms::owner_all);
    const test::ScopedEnv toolDir("VELK_TOOL_DIR", tools.path().string());

    const RestrictedCodec codec({ImageFormat::png});
    const EngineCapabilities capabilities(codec);
    EXPECT_TRUE(capabilities.canWrite(ImageFormat::webp));
    EXPECT_TRUE(capabilities.canWrite(ImageFormat::png));
    EXPECT_FALSE(capabilities.canWrite(ImageFormat::avif));
}

} // namespace
} // namespace velk
