#include "platform/DecodeCheck.h"

#include <gtest/gtest.h>
#include <vips/vips8>

#include <random>
#include <string>

#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::imageOptions;
using test::TestImages;

class DecodeCheckTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    test::ScopedEnv logDir_{"VELK_LOG_DIR", (dir_.path() / "log").native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_{fs_};
    static constexpr std::int64_t noLimit = VipsImageCodec::maximumDecodedPixels;

    fs::path jpeg(const std::string& name = "photo.jpg") {
        TestImages::jpeg(dir_ / name, 96, 64, imageOptions().withDetail());
        return dir_ / name;
    }
    /// Progressive, as the JPEG encoder writes its outputs: many scans over the same
    /// coefficients, so a cut can fall between scans.
    fs::path progressiveJpeg(const std::string& name = "progressive.jpg") {
        const fs::path baseline = jpeg("baseline-" + name);
        vips::VImage::new_from_file(baseline.c_str())
            .jpegsave((dir_ / name).c_str(), vips::VImage::option()->set("interlace", true));
        return dir_ / name;
    }
    fs::path png(const std::string& name, bool alpha, int bitDepth = 8) {
        TestImages::png(dir_ / name, 96, 64,
                        imageOptions().withDetail().withAlpha(alpha).withBitDepth(bitDepth));
        return dir_ / name;
    }
    /// Adam7, as some tools write: seven passes, each row narrower than the image.
    fs::path interlacedPng(const std::string& name = "interlaced.png") {
        const fs::path plain = png("plain-" + name, true);
        vips::VImage::new_from_file(plain.c_str())
            .pngsave((dir_ / name).c_str(), vips::VImage::option()->set("interlace", true));
        return dir_ / name;
    }
    fs::path webp(const std::string& name, bool alpha) {
        TestImages::webp(dir_ / name, 96, 64, imageOptions().withDetail().withAlpha(alpha));
        return dir_ / name;
    }
};

TEST_F(DecodeCheckTest, WholeFilesDecodeOnTheDirectPath) {
    for (const fs::path& file :
         {jpeg(), progressiveJpeg(), png("opaque.png", false), png("deep.png", true, 16),
          interlacedPng(), webp("opaque.webp", false), webp("alpha.webp", true)}) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_EQ(decodesCompletely(fs_, file, noLimit), std::optional<bool>(true));
        EXPECT_TRUE(codec_.canDecode(file));
    }
}

TEST_F(DecodeCheckTest, TruncatedFilesFailAtEveryCut) {
    for (const double fraction : {0.2, 0.5, 0.9, 0.99}) {
        SCOPED_TRACE(fraction);
        for (const fs::path& file : {jpeg(), progressiveJpeg(), png("picture.png", true),
                                     interlacedPng(), webp("picture.webp", true)}) {
            SCOPED_TRACE(file.filename().string());
            TestImages::truncate(file, fraction);
            EXPECT_FALSE(codec_.canDecode(file));
        }
    }
}

TEST_F(DecodeCheckTest, DamagedPngImageDataFails) {
    const fs::path file = png("picture.png", false);
    std::string bytes = test::readFile(file);
    const std::size_t idat = bytes.find("IDAT");
    ASSERT_NE(idat, std::string::npos);
    // A changed byte in the compressed data: the chunk's CRC no longer matches.
    bytes[idat + 40] = static_cast<char>(bytes[idat + 40] ^ 0x55);
    test::writeFile(file, bytes);
    EXPECT_EQ(decodesCompletely(fs_, file, noLimit), std::optional<bool>(false));
}

TEST_F(DecodeCheckTest, CorruptJpegDataThatLibjpegWouldPaperOverFails) {
    for (const fs::path& photo : {jpeg(), progressiveJpeg()}) {
        SCOPED_TRACE(photo.filename().string());
        std::string bytes = test::readFile(photo);
        // Markers inside the entropy-coded data: libjpeg warns and fills in grey.
        for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 16; ++i)
            bytes[i] = static_cast<char>(i % 2 ? 0xFF : 0xD3);
        test::writeFile(photo, bytes);
        EXPECT_EQ(decodesCompletely(fs_, photo, noLimit), std::optional<bool>(false));
        EXPECT_FALSE(codec_.canDecode(photo));
    }
}

TEST_F(DecodeCheckTest, TooManyPixelsFailWithoutDecoding) {
    EXPECT_EQ(decodesCompletely(fs_, jpeg(), 96 * 64 - 1), std::optional<bool>(false));
    EXPECT_EQ(decodesCompletely(fs_, webp("picture.webp", false), 96 * 64 - 1),
              std::optional<bool>(false));
    EXPECT_EQ(decodesCompletely(fs_, png("picture.png", false), 96 * 64 - 1),
              std::optional<bool>(false));
    EXPECT_EQ(decodesCompletely(fs_, jpeg(), 96 * 64), std::optional<bool>(true));
}

TEST_F(DecodeCheckTest, OtherFilesGoTheGeneralWay) {
    TestImages::avif(dir_ / "photo.avif", 16, 16);
    EXPECT_EQ(decodesCompletely(fs_, dir_ / "photo.avif", noLimit), std::nullopt);
    EXPECT_TRUE(codec_.canDecode(dir_ / "photo.avif"));

    test::writeFile(dir_ / "noise.jpg", std::string(100, '\x5A'));
    EXPECT_EQ(decodesCompletely(fs_, dir_ / "noise.jpg", noLimit), std::nullopt);
    EXPECT_FALSE(codec_.canDecode(dir_ / "noise.jpg"));

    test::writeFile(dir_ / "empty.webp", "");
    EXPECT_FALSE(codec_.canDecode(dir_ / "empty.webp"));
    EXPECT_FALSE(codec_.canDecode(dir_ / "missing.jpg"));
    fs::create_symlink(jpeg(), dir_ / "link.jpg");
    EXPECT_EQ(decodesCompletely(fs_, dir_ / "link.jpg", noLimit), std::nullopt);
}

// The direct path must never accept a file the general decoder refuses: that would let
// a broken output through validation.
TEST_F(DecodeCheckTest, NeverAcceptsWhatLibvipsRefuses) {
    const std::string photo = test::readFile(progressiveJpeg());
    const std::string picture = test::readFile(webp("picture.webp", true));
    const std::string graphic = test::readFile(interlacedPng());
    std::mt19937 random(20261208);
    int accepted = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int kind = trial % 3;
        std::string bytes = kind == 0 ? photo : kind == 1 ? picture : graphic;
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i)
            bytes[random() % bytes.size()] = static_cast<char>(random() & 0xFF);
        if (trial % 5 == 0)
            bytes.resize(bytes.size() - 1 - random() % (bytes.size() / 3));
        const fs::path file = dir_ / ("mutant" + std::to_string(trial) +
                                      (kind == 0   ? ".jpg"
                                       : kind == 1 ? ".webp"
                                                   : ".png"));
        test::writeFile(file, bytes);
        if (codec_.canDecode(file)) {
            ++accepted;
            EXPECT_NE(codec_.decode(file), nullptr) << file << " kind " << kind;
        }
    }
    // Single-byte changes in coefficient data often still decode; the check is only
    // meaningful if some did.
    EXPECT_GT(accepted, 0);
}

} // namespace
} // namespace velk
