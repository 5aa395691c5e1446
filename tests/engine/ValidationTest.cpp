#include "engine/Validation.h"

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "core/FileError.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

// A complete 1×1 RGB PNG.
constexpr std::string_view onePixelPng(
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00"
    "\x00\x01\x08\x02\x00\x00\x00\x90\x77\x53\xde\x00\x00\x00\x0c\x49\x44\x41\x54\x78\x9c\x63"
    "\xf8\xcf\xc0\x00\x00\x03\x01\x01\x00\xc9\xfe\x92\xef\x00\x00\x00\x00\x49\x45\x4e\x44\xae"
    "\x42\x60\x82",
    69);

std::string hex(const Sha256::Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::size_t openFileCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

void expectWriteUnknown(const std::function<void()>& call) {
    try {
        call();
        FAIL() << "expected FileError";
    } catch (const FileError& error) {
        EXPECT_EQ(error.kind(), FileError::Kind::writeUnknown);
    }
}

class ValidationTest : public ::testing::Test {
protected:
    ValidationTest() { control_.setCancellationRequested(false); }

    TempDir dir_;
    PosixFileSystem fs_;
    EngineControl control_;
};

TEST_F(ValidationTest, EmptyOutputIsRemovedAndReported) {
    const fs::path file = dir_ / ".out.velk-temp-x.jpg";
    writeFile(file, "");
    expectWriteUnknown([&] { validateTemporaryFile(fs_, file); });
    EXPECT_FALSE(fs::exists(file));

    writeFile(file, "12345");
    EXPECT_EQ(validateTemporaryFile(fs_, file), 5);
    EXPECT_TRUE(fs::exists(file));

    EXPECT_THROW(validateTemporaryFile(fs_, dir_ / "missing"), FileError);
}

TEST_F(ValidationTest, UndecodableImageIsRemovedAndADecodableOneKept) {
    VipsImageCodec codec;
    std::mt19937 random(42);
    std::string noise(100, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    const fs::path bad = dir_ / "noise.jpg";
    writeFile(bad, noise);
    expectWriteUnknown([&] { validateEncodedImage(fs_, codec, bad); });
    EXPECT_FALSE(fs::exists(bad));

    // The first half of a valid image: a header read alone would accept it.
    const fs::path truncated = dir_ / "truncated.png";
    writeFile(truncated, onePixelPng.substr(0, 40));
    expectWriteUnknown([&] { validateEncodedImage(fs_, codec, truncated); });
    EXPECT_FALSE(fs::exists(truncated));

    const fs::path good = dir_ / "pixel.png";
    writeFile(good, onePixelPng);
    EXPECT_EQ(validateEncodedImage(fs_, codec, good), 69);
    EXPECT_TRUE(fs::exists(good));
}

TEST_F(ValidationTest, DigestMatchesKnownValuesAcrossBlockBoundaries) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"one block of zeros", std::string(digestBlockSize, '\0'),
         "30e14955ebf1352266dc2ff8067e68104607e750abb9d3b36582b8af909fcb58"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir_ / "file", c.bytes);
        EXPECT_EQ(hex(sha256Digest(control_, dir_ / "file")), c.expected);
    }

    // Sizes around the block edge hash the same as the bytes hashed in one piece.
    for (const std::size_t size : {digestBlockSize - 1, digestBlockSize + 1, 3 * digestBlockSize}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i * 7 + i / 4096);
        writeFile(dir_ / "file", bytes);
        EXPECT_EQ(sha256Digest(control_, dir_ / "file"), Sha256::of(bytes));
    }
}

TEST_F(ValidationTest, DigestStopsAtTheNextBlockWhenCancelledAndClosesTheFile) {
    writeFile(dir_ / "large", std::string(3 * digestBlockSize, 'x'));
    const std::size_t openBefore = openFileCount();

    int blocks = 0;
    try {
        sha256Digest(control_, dir_ / "large", [&] {
            ++blocks;
            control_.setCancellationRequested(true);
        });
        FAIL() << "expected cancellation";
    } catch (const FolderCompressorControlError& error) {
        EXPECT_EQ(error.kind(), FolderCompressorControlError::Kind::cancelled);
    }
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(openFileCount(), openBefore);

    // Already cancelled: not a single block is read.
    blocks = 0;
    EXPECT_THROW(sha256Digest(control_, dir_ / "large", [&] { ++blocks; }),
                 FolderCompressorControlError);
    EXPECT_EQ(blocks, 0);
    EXPECT_EQ(openFileCount(), openBefore);
}

TEST_F(ValidationTest, DigestOfAnUnreadableItemIsAFileSystemError) {
    EXPECT_THROW(sha256Digest(control_, dir_ / "missing"), FileSystemError);
    fs::create_directory(dir_ / "folder");
    EXPECT_THROW(sha256Digest(control_, dir_ / "folder"), FileSystemError);
}

} // namespace
} // namespace velk
