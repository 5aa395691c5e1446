#include "platform/ImageStructure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>

#include "platform/PosixFileSystem.h"
#include "support/CraftedImages.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::CraftedImages;
using test::PngChunk;
using test::TestImages;

std::optional<PngStructure> pngStructureOf(const fs::path& file) {
    return pngStructure(*systemFileSystem().openForReading(file));
}

bool isSequence(const fs::path& file) {
    return heifHasImageSequence(*systemFileSystem().openForReading(file));
}

TEST(ImageStructureTest, PngPicturesAndChunksThatUnpackTooFar) {
    const std::string mebibyte(std::size_t{1} << 20, 'x');
    const std::string nearTextLimit(480 << 10, 'x');
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> craft;
        std::int64_t pictures;
        std::optional<std::string> oversized;
    };
    const auto chunks = [](std::vector<PngChunk> added) {
        return [added](const fs::path& png) { CraftedImages::insertPngChunks(png, added); };
    };
    const Case cases[] = {
        {"still", [](const fs::path&) {}, 1, std::nullopt},
        {"apng", [](const fs::path& png) { CraftedImages::animatePng(png, 3); }, 3, std::nullopt},
        // Viewers without APNG show the default image, the others its two frames.
        {"apng-default-image-apart",
         [](const fs::path& png) { CraftedImages::animatePng(png, 2, false); }, 3, std::nullopt},
        {"real-profile",
         chunks({{"iCCP", std::string("P3\0\0", 4) +
                              CraftedImages::compressed(TestImages::displayP3Profile())}}),
         1, std::nullopt},
        {"profile-bomb",
         chunks({{"iCCP", std::string("icc\0\0", 5) + CraftedImages::zerosStream(1000)}}), 1,
         "iCCP"},
        {"compressed-text",
         chunks({{"zTXt", std::string("Comment\0\0", 9) + CraftedImages::compressed(mebibyte)}}), 1,
         "zTXt"},
        {"compressed-international-text",
         chunks({{"iTXt", std::string("XML:com.adobe.xmp\0\1\0en\0\0", 24) +
                              CraftedImages::compressed(mebibyte)}}),
         1, "iTXt"},
        // Plain text is as large as the file and no larger: nothing to unpack.
        {"plain-international-text",
         chunks({{"iTXt", std::string("XML:com.adobe.xmp\0\0\0en\0\0", 24) + mebibyte}}), 1,
         std::nullopt},
        {"many-texts-each-within-its-limit",
         chunks(std::vector<PngChunk>(20, {"zTXt", std::string("Comment\0\0", 9) +
                                                       CraftedImages::compressed(nearTextLimit)})),
         1, "zTXt"},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path png = dir / (std::string(c.name) + ".png");
        TestImages::png(png, 16, 8);
        c.craft(png);
        const auto start = std::chrono::steady_clock::now();
        const std::optional<PngStructure> structure = pngStructureOf(png);
        ASSERT_TRUE(structure);
        EXPECT_EQ(structure->pictureCount, c.pictures);
        EXPECT_EQ(structure->oversizedChunk, c.oversized);
        // A gigabyte unpacked in full would take seconds.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
    TestImages::jpeg(dir / "photo.jpg", 8, 8);
    EXPECT_FALSE(pngStructureOf(dir / "photo.jpg"));
}

TEST(ImageStructureTest, HeifSequencesAreToldFromStills) {
    test::TempDir dir;
    TestImages::avif(dir / "still.avif", 16, 16);
    TestImages::heic(dir / "two.heic", 16, 16, test::imageOptions().withFrames(2));
    EXPECT_FALSE(isSequence(dir / "still.avif"));
    // Two top-level images are the decoder's count, not a sequence.
    EXPECT_FALSE(isSequence(dir / "two.heic"));
    fs::copy_file(dir / "still.avif", dir / "with-track.avif");
    CraftedImages::appendBox(dir / "with-track.avif", "moov");
    EXPECT_TRUE(isSequence(dir / "with-track.avif"));

    if (!fs::exists("/usr/bin/avifenc"))
        GTEST_SKIP() << "avifenc (libavif-bin) is not installed";
    TestImages::png(dir / "a.png", 16, 16);
    TestImages::png(dir / "b.png", 16, 16, test::imageOptions().withFill({0, 0, 255, 255}));
    const std::string command = "/usr/bin/avifenc -s 10 " + (dir / "a.png").native() + " " +
                                (dir / "b.png").native() + " " + (dir / "animated.avif").native() +
                                " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(isSequence(dir / "animated.avif"));
}

} // namespace
} // namespace velk
