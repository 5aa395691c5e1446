#include "engine/OutputMark.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <vips/vips8>

#include "platform/DecodeCheck.h"
#include "platform/ExtendedAttributes.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::TestImages;

constexpr std::string_view key = "v2|preset:balanced|format:automatic|original:replace|jpeg:80";

// A WebP without metadata, as cwebp writes it: the bare VP8 or VP8L chunk in RIFF. libvips
// always adds EXIF (and so a VP8X header), so its image chunk is taken out of a saved file.
void simpleWebp(const fs::path& path, bool lossless) {
    const fs::path png = path.parent_path() / "simple-source.png";
    TestImages::png(png, 64, 48, test::imageOptions().withAlpha(lossless).withDetail());
    vips::VImage::new_from_file(png.c_str())
        .webpsave(path.c_str(), vips::VImage::option()->set("lossless", lossless));
    const std::string bytes = test::readFile(path);
    const auto le32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(bytes[at])) |
               std::uint32_t(std::uint8_t(bytes[at + 1])) << 8 |
               std::uint32_t(std::uint8_t(bytes[at + 2])) << 16 |
               std::uint32_t(std::uint8_t(bytes[at + 3])) << 24;
    };
    for (std::size_t pos = 12; pos + 8 <= bytes.size();) {
        const std::uint32_t size = le32(pos + 4);
        const std::string chunk = bytes.substr(pos, 8 + size + (size & 1));
        if (chunk.starts_with("VP8 ") || chunk.starts_with("VP8L")) {
            const std::uint32_t riff = std::uint32_t(4 + chunk.size());
            std::string file = "RIFF";
            for (int i = 0; i < 4; ++i)
                file += char((riff >> (8 * i)) & 0xff);
            test::writeFile(path, file + "WEBP" + chunk);
            return;
        }
        pos += 8 + size + (size & 1);
    }
    FAIL() << "no image chunk in " << path;
}

struct Sample {
    const char* name;
    std::function<void(const fs::path&)> make;
};

// Each container layout the mark handles: JPEG with its JFIF header, PNG, the three WebP
// layouts (lossy and lossless simple files, which must gain a VP8X header, and an extended
// one), AVIF and HEIC.
const std::vector<Sample>& samples() {
    static const std::vector<Sample> all = {
        {"photo.jpg",
         [](const fs::path& p) { TestImages::jpeg(p, 64, 48, test::imageOptions().withDetail()); }},
        {"chart.png",
         [](const fs::path& p) { TestImages::png(p, 64, 48, test::imageOptions().withAlpha()); }},
        {"lossy.webp", [](const fs::path& p) { simpleWebp(p, false); }},
        {"lossless.webp", [](const fs::path& p) { simpleWebp(p, true); }},
        {"extended.webp",
         [](const fs::path& p) {
             TestImages::webp(
                 p, 64, 48,
                 test::imageOptions().withAlpha().withIccProfile(TestImages::displayP3Profile()));
         }},
        {"photo.avif",
         [](const fs::path& p) { TestImages::avif(p, 64, 48, test::imageOptions().withDetail()); }},
        {"photo.heic",
         [](const fs::path& p) { TestImages::heic(p, 64, 48, test::imageOptions().withDetail()); }},
    };
    return all;
}

class OutputMarkTest : public ::testing::Test {
protected:
    TempDir dir_;
    PosixFileSystem fs_;
    VipsImageCodec codec_;

    std::vector<std::uint8_t> pixels(const fs::path& file) {
        const auto raster = codec_.decode(file);
        if (!raster)
            return {};
        const auto bitmap = codec_.render(*raster, ColorSpace::sRGB(), Background::transparent);
        return bitmap ? bitmap->pixels : std::vector<std::uint8_t>{};
    }
};

TEST_F(OutputMarkTest, StampedFilesDecodeToTheSamePixelsAndCarryTheMark) {
    for (const auto& sample : samples()) {
        SCOPED_TRACE(sample.name);
        const fs::path file = dir_ / sample.name;
        sample.make(file);
        const auto before = pixels(file);
        ASSERT_FALSE(before.empty());
        EXPECT_FALSE(readOutputMark(file));

        stampOutputMark(fs_, file, key);
        const auto mark = readOutputMark(file);
        ASSERT_TRUE(mark);
        EXPECT_EQ(mark->settingsKey, key);
        EXPECT_EQ(mark->digest, unmarkedDigest(file));
        EXPECT_TRUE(isMarkedOutput(file, key));
        EXPECT_FALSE(isMarkedOutput(file, "v2|preset:other"));
        EXPECT_EQ(pixels(file), before);
        // libjpeg, libpng and libwebp's demuxer read it too; HEIF has no such check.
        EXPECT_NE(decodesCompletely(fs_, file, 1 << 20), std::optional<bool>(false));

        // Stamping again replaces the mark instead of adding a second one.
        const auto size = fs::file_size(file);
        stampOutputMark(fs_, file, key);
        EXPECT_EQ(fs::file_size(file), size);
        EXPECT_TRUE(isMarkedOutput(file, key));

        // A replaced original's digest ties the output to it.
        stampOutputMark(fs_, file, key, Sha256::of("original"));
        EXPECT_TRUE(isMarkedOutputOf(file, Sha256::of("original")));
        EXPECT_FALSE(isMarkedOutputOf(file, Sha256::of("another original")));
        EXPECT_EQ(pixels(file), before);
    }
}

TEST_F(OutputMarkTest, RenamedAndPlainlyCopiedOutputsAreRecognised) {
    for (const auto& sample : samples()) {
        SCOPED_TRACE(sample.name);
        const fs::path file = dir_ / sample.name;
        sample.make(file);
        stampOutputMark(fs_, file, key);
        const fs::path renamed = dir_ / ("renamed-" + std::string(sample.name));
        fs::rename(file, renamed);
        // A plain copy carries no extended attributes: the mark in the bytes must do.
        const fs::path copy = dir_ / ("copy-" + std::string(sample.name));
        fs::copy_file(renamed, copy);
        ASSERT_FALSE(readExtendedAttribute(copy, outputMarkAttribute));
        EXPECT_TRUE(isMarkedOutput(renamed, key));
        EXPECT_TRUE(isMarkedOutput(copy, key));
    }
}

TEST_F(OutputMarkTest, ChangedImageDataKeepingTheMarkIsNotRecognised) {
    for (const auto& sample : samples()) {
        SCOPED_TRACE(sample.name);
        const fs::path file = dir_ / sample.name;
        sample.make(file);
        stampOutputMark(fs_, file, key);
        std::string bytes = test::readFile(file);
        // The middle of each sample is image data, never the mark.
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x40);
        test::writeFile(file, bytes);
        ASSERT_TRUE(readOutputMark(file));
        EXPECT_FALSE(isMarkedOutput(file, key));
        EXPECT_FALSE(carriesValidOutputMark(file));
    }
}

TEST_F(OutputMarkTest, DamagedMarkedFilesAreReadSafelyAndCutOnesAreNeverOurs) {
    for (const auto& sample : samples()) {
        SCOPED_TRACE(sample.name);
        const fs::path file = dir_ / sample.name;
        sample.make(file);
        stampOutputMark(fs_, file, key);
        const std::string bytes = test::readFile(file);
        const fs::path damaged = dir_ / ("damaged-" + std::string(sample.name));
        for (std::size_t at = 0; at < bytes.size(); at += 1 + bytes.size() / 41) {
            // Cut short, as a copy in progress leaves it.
            test::writeFile(damaged, bytes.substr(0, at));
            EXPECT_FALSE(isMarkedOutput(damaged, key)) << "cut at " << at;
            // Any byte changed: whatever it hits, reading must stay inside the file.
            std::string flipped = bytes;
            flipped[at] = char(flipped[at] ^ 0x5a);
            test::writeFile(damaged, flipped);
            (void)isMarkedOutput(damaged, key);
            try {
                stampOutputMark(fs_, damaged, key);
            } catch (const FileSystemError&) {
            }
        }
    }
}

TEST_F(OutputMarkTest, AFileWithoutRoomForTheMarkCarriesItInItsAttributeOnly) {
    // A WebP with bytes past its container's end: a chunk appended there would swallow them.
    const fs::path file = dir_ / "trailing.webp";
    TestImages::webp(file, 32, 32);
    test::writeFile(file, test::readFile(file) + "trailing");
    const std::string bytes = test::readFile(file);
    if (!writeExtendedAttribute(file, "user.velk.probe", "1")) {
        GTEST_SKIP() << "skipped: the temporary folder keeps no extended attributes";
    }
    stampOutputMark(fs_, file, key);
    EXPECT_EQ(test::readFile(file), bytes);
    EXPECT_TRUE(isMarkedOutput(file, key));
    test::writeFile(file, bytes + "x"); // rewritten in place: the attribute stays, stale
    EXPECT_FALSE(isMarkedOutput(file, key));
}

} // namespace
} // namespace velk
