#include "engine/encoders/PngColorProfile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>
#include <zlib.h>

#include "core/Error.h"
#include "core/FileError.h"
#include "platform/VipsImageCodec.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::TestImages;

constexpr std::string_view signature{"\x89PNG\r\n\x1a\n", 8};

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::uint32_t bigEndianAt(std::string_view bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

/// A well-formed chunk, its CRC computed by zlib rather than by the code under test.
std::string chunk(std::string_view type, std::string_view data = {}) {
    const std::string typeAndData = std::string(type) + std::string(data);
    const auto crc = ::crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()),
                             static_cast<uInt>(typeAndData.size()));
    return bigEndian(static_cast<std::uint32_t>(data.size())) + typeAndData +
           bigEndian(static_cast<std::uint32_t>(crc));
}

std::string ihdr() {
    return chunk("IHDR", bigEndian(2) + bigEndian(2) + "\x08\x02\x00\x00\x00"s);
}
std::string idat() {
    return chunk("IDAT", "not really pixels");
}
std::string iend() {
    return chunk("IEND");
}

struct Chunk {
    std::string type;
    std::string data;
    bool crcValid = false;
};

/// Every chunk of a PNG, checked for framing; a test fails on a malformed file.
std::vector<Chunk> chunksOf(std::string_view png) {
    std::vector<Chunk> chunks;
    EXPECT_TRUE(png.starts_with(signature));
    std::size_t offset = signature.size();
    while (offset < png.size()) {
        if (offset + 12 > png.size()) {
            ADD_FAILURE() << "trailing bytes after the last chunk";
            break;
        }
        const std::uint32_t length = bigEndianAt(png, offset);
        if (offset + 12 + length > png.size()) {
            ADD_FAILURE() << "chunk runs past the end";
            break;
        }
        const std::string_view typeAndData = png.substr(offset + 4, 4 + length);
        const auto crc = ::crc32(0, reinterpret_cast<const Bytef*>(typeAndData.data()),
                                 static_cast<uInt>(typeAndData.size()));
        chunks.push_back({std::string(typeAndData.substr(0, 4)), std::string(typeAndData.substr(4)),
                          crc == bigEndianAt(png, offset + 8 + length)});
        offset += 12 + length;
    }
    return chunks;
}

std::vector<std::string> typesOf(const std::vector<Chunk>& chunks) {
    std::vector<std::string> types;
    for (const Chunk& c : chunks)
        types.push_back(c.type);
    return types;
}

/// Inflates with zlib's own inflater, which also checks the header and the Adler-32.
std::optional<std::string> inflated(std::string_view stream, std::size_t expectedSize) {
    std::string out(expectedSize, '\0');
    uLongf size = out.size();
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                   reinterpret_cast<const Bytef*>(stream.data()), stream.size()) != Z_OK ||
        size != expectedSize)
        return std::nullopt;
    return out;
}

std::string randomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files.push_back(entry.path().filename());
    return files;
}

class PngColorProfileTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path file_ = dir_ / "candidate.png";
    std::string profile_ = TestImages::displayP3Profile();
};

TEST_F(PngColorProfileTest, ChecksumsMatchKnownValuesAndZlib) {
    EXPECT_EQ(crc32("IEND"), 0xAE426082u);
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32(""), 0u);
    EXPECT_EQ(adler32("abc"), 0x024D0127u);
    EXPECT_EQ(adler32("Wikipedia"), 0x11E60398u);
    EXPECT_EQ(adler32(""), 1u);

    // Long runs of 0xFF push both Adler sums hardest between reductions.
    for (const std::string& data : {std::string(1'000'000, '\xFF'), randomBytes(300'001, 7)}) {
        const auto* bytes = reinterpret_cast<const Bytef*>(data.data());
        const auto size = static_cast<uInt>(data.size());
        EXPECT_EQ(crc32(data), ::crc32(0, bytes, size));
        EXPECT_EQ(adler32(data), ::adler32(1, bytes, size));
    }
}

TEST_F(PngColorProfileTest, CompressedDataIsAZlibStreamOfTheInput) {
    EXPECT_EQ(zlibCompressedData(""), "");
    // Random bytes do not compress: the first buffer tried must still hold them.
    for (const std::string& data :
         {profile_, std::string("x"), randomBytes(100'000, 3), std::string(200'000, '\0')}) {
        const std::string stream = zlibCompressedData(data);
        ASSERT_GE(stream.size(), 6u);
        EXPECT_EQ(stream.substr(0, 2), "\x78\x9C");
        EXPECT_EQ(bigEndianAt(stream, stream.size() - 4), adler32(data));
        EXPECT_EQ(inflated(stream, data.size()), data) << "input of " << data.size() << " bytes";
    }
}

TEST_F(PngColorProfileTest, ReplacesColourChunksWithOneProfileAfterHeader) {
    const std::string text = chunk("tEXt", std::string("Comment\0kept", 12));
    const std::string plte = chunk("PLTE", "\x01\x02\x03");
    const std::string oldIccp =
        chunk("iCCP", std::string("old\0\0", 5) + zlibCompressedData("old"));
    struct Case {
        const char* name;
        std::string png;
        std::vector<std::string> expectedTypes;
    };
    const std::vector<Case> cases{
        {"sRGB and gAMA dropped",
         std::string(signature) + ihdr() + chunk("sRGB", "\x00"s) +
             chunk("gAMA", bigEndian(45455)) + idat() + iend(),
         {"IHDR", "iCCP", "IDAT", "IEND"}},
        {"old profile after PLTE replaced",
         std::string(signature) + ihdr() + plte + oldIccp + idat() + iend(),
         {"IHDR", "iCCP", "PLTE", "IDAT", "IEND"}},
        {"cHRM and cICP dropped, other chunks kept, tail after IEND dropped",
         std::string(signature) + ihdr() + chunk("cHRM", std::string(32, '\1')) + text +
             chunk("cICP", "\x01\x0D\x00\x01"s) + idat() + iend() + "trailing junk",
         {"IHDR", "iCCP", "tEXt", "IDAT", "IEND"}},
        {"cut cleanly after IDAT",
         std::string(signature) + ihdr() + idat(),
         {"IHDR", "iCCP", "IDAT"}},
        {"non-ASCII chunk type copied",
         std::string(signature) + ihdr() + chunk("\xC3\xA9xy", "?") + iend(),
         {"IHDR", "iCCP", "\xC3\xA9xy", "IEND"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(file_, c.png);
        attachICCProfileToPNGIfNeeded(file_, profile_);

        const std::string result = test::readFile(file_);
        const std::vector<Chunk> chunks = chunksOf(result);
        ASSERT_EQ(typesOf(chunks), c.expectedTypes);
        for (const Chunk& each : chunks)
            EXPECT_TRUE(each.crcValid) << each.type;
        const std::string& iccp = chunks[1].data;
        EXPECT_EQ(iccp.substr(0, 10), std::string("VELK ICC\0\0", 10));
        EXPECT_EQ(inflated(std::string_view(iccp).substr(10), profile_.size()), profile_);
        // Everything kept is byte-for-byte what was there, in the same order.
        for (const std::string& kept : {ihdr(), text, plte, idat(), iend()}) {
            if (c.png.find(kept) != std::string::npos) {
                EXPECT_NE(result.find(kept), std::string::npos);
            }
        }
        EXPECT_EQ(filesIn(dir_.path()), std::vector<fs::path>{"candidate.png"});
    }
}

TEST_F(PngColorProfileTest, SecondCallWithSameProfileChangesNothing) {
    test::writeFile(file_,
                    std::string(signature) + ihdr() + chunk("sRGB", "\x00"s) + idat() + iend());
    attachICCProfileToPNGIfNeeded(file_, profile_);
    const std::string once = test::readFile(file_);
    attachICCProfileToPNGIfNeeded(file_, profile_);
    EXPECT_EQ(test::readFile(file_), once);
}

TEST_F(PngColorProfileTest, LeavesFileUntouchedWhenNothingToDo) {
    const std::string png = std::string(signature) + ihdr() + idat() + iend();
    struct Case {
        const char* name;
        std::string contents;
        std::optional<std::string> profile;
    };
    const std::vector<Case> cases{
        {"no profile", png, std::nullopt},
        {"empty profile", png, std::string()},
        {"JPEG data", "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01"s, profile_},
        {"shorter than a signature", "\x89PNG", profile_},
        {"no IHDR", std::string(signature) + idat() + iend(), profile_},
        {"signature only", std::string(signature), profile_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(file_, c.contents);
        attachICCProfileToPNGIfNeeded(file_, c.profile);
        EXPECT_EQ(test::readFile(file_), c.contents);
    }
}

TEST_F(PngColorProfileTest, EveryTruncationIsRewrittenLeftOrRefusedUnchanged) {
    const std::string png =
        std::string(signature) + ihdr() + chunk("gAMA", bigEndian(45455)) + idat() + iend();
    for (std::size_t length = 0; length <= png.size(); ++length) {
        SCOPED_TRACE("first " + std::to_string(length) + " bytes");
        const std::string cut = png.substr(0, length);
        test::writeFile(file_, cut);
        try {
            attachICCProfileToPNGIfNeeded(file_, profile_);
        } catch (const FileError& error) {
            EXPECT_EQ(error.kind(), FileError::Kind::readCorruptFile);
            EXPECT_EQ(test::readFile(file_), cut);
            continue;
        }
        const std::string result = test::readFile(file_);
        if (result == cut)
            continue;
        const std::vector<std::string> types = typesOf(chunksOf(result));
        ASSERT_GE(types.size(), 2u);
        EXPECT_EQ(types[0], "IHDR");
        EXPECT_EQ(types[1], "iCCP");
    }
    EXPECT_EQ(filesIn(dir_.path()), std::vector<fs::path>{"candidate.png"});
}

TEST_F(PngColorProfileTest, ChunkClaimingMoreThanRemainsIsCorruptAndFileKept) {
    const std::string truncated = std::string(signature) + ihdr() + idat().substr(0, 20);
    test::writeFile(file_, truncated);
    try {
        attachICCProfileToPNGIfNeeded(file_, profile_);
        FAIL() << "expected FileError";
    } catch (const FileError& error) {
        EXPECT_EQ(error.kind(), FileError::Kind::readCorruptFile);
    }
    EXPECT_EQ(test::readFile(file_), truncated);
}

TEST_F(PngColorProfileTest, RewriteKeepsPermissions) {
    test::writeFile(file_, std::string(signature) + ihdr() + idat() + iend());
    fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write);
    attachICCProfileToPNGIfNeeded(file_, profile_);
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PngColorProfileTest, MissingFileIsAnError) {
    EXPECT_THROW(attachICCProfileToPNGIfNeeded(dir_ / "absent.png", profile_), Error);
}

TEST_F(PngColorProfileTest, LibvipsReadsBackTheExactProfile) {
    VipsImageCodec codec;
    struct Case {
        const char* name;
        std::optional<std::string> sourceProfile;
    };
    for (const Case& c : {Case{"untagged source", std::nullopt},
                          Case{"Adobe RGB source", TestImages::adobeRgbProfile()},
                          Case{"sRGB source", TestImages::srgbProfile()}}) {
        SCOPED_TRACE(c.name);
        TestImages::png(file_, 16, 8, test::TestImageOptions{}.withIccProfile(c.sourceProfile));
        attachICCProfileToPNGIfNeeded(file_, profile_);

        const auto raster = codec.decode(file_);
        ASSERT_TRUE(raster);
        const std::optional<ColorSpace> space = raster->colorSpace();
        ASSERT_TRUE(space && space->iccData);
        EXPECT_EQ(*space->iccData, profile_);
        EXPECT_EQ(raster->width(), 16);
        EXPECT_EQ(raster->height(), 8);
    }
}

} // namespace
} // namespace velk
