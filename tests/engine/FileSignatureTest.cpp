#include "engine/FileSignature.h"

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "core/FileError.h"
#include "platform/PosixFileSystem.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeFile;

std::string patterned(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed) % 251);
    return bytes;
}

class FileSignatureTest : public ::testing::Test {
protected:
    TempDir dir_;
    PosixFileSystem fs_;
};

TEST_F(FileSignatureTest, Fnv1aMatchesPublishedVectors) {
    EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ULL);
    EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cULL);
    EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ULL);
    // Hashing in pieces continues where the last piece ended.
    EXPECT_EQ(fnv1a64("bar", fnv1a64("foo")), fnv1a64("foobar"));
}

TEST_F(FileSignatureTest, FingerprintCoversHeadAndTailAtEachSizeBoundary) {
    for (const std::size_t size : {std::size_t{1}, std::size_t{65'535}, std::size_t{65'536},
                                   std::size_t{65'537}, std::size_t{300'000}}) {
        SCOPED_TRACE(size);
        const std::string bytes = patterned(size, 7);
        const fs::path file = dir_ / ("f" + std::to_string(size));
        writeFile(file, bytes);

        const auto fingerprint = contentFingerprint(fs_, file);
        ASSERT_TRUE(fingerprint);
        EXPECT_EQ(fingerprint->size, static_cast<std::int64_t>(size));
        const std::size_t span = std::min<std::size_t>(size, 65'536);
        EXPECT_EQ(fingerprint->headHash, fnv1a64(std::string_view(bytes).substr(0, span)));
        EXPECT_EQ(fingerprint->tailHash, fnv1a64(std::string_view(bytes).substr(size - span)));
    }
}

TEST_F(FileSignatureTest, NoFingerprintForWhatCannotBeReadAsAFile) {
    writeFile(dir_ / "empty", "");
    writeFile(dir_ / "target", "image bytes");
    fs::create_symlink(dir_ / "target", dir_ / "link");
    fs::create_directory(dir_ / "folder");

    for (const char* name : {"missing", "empty", "link", "folder"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(contentFingerprint(fs_, dir_ / name));
    }
}

TEST_F(FileSignatureTest, SignatureIsStableUntilTheFileIsReplaced) {
    const fs::path file = dir_ / "photo.jpg";
    writeFile(file, "first");
    const auto before = fileSignature(fs_, file);
    ASSERT_TRUE(before);
    EXPECT_EQ(fileSignature(fs_, file), before);
    EXPECT_EQ(before->size, 5);
    EXPECT_TRUE(before->resourceIdentifier);

    // Same size, and renamed over the original: only the file number tells them apart
    // when the clock has not moved on.
    writeFile(dir_ / "other", "secon");
    fs::rename(dir_ / "other", file);
    const auto after = fileSignature(fs_, file);
    ASSERT_TRUE(after);
    EXPECT_NE(after->resourceIdentifier, before->resourceIdentifier);
    EXPECT_NE(after, before);

    EXPECT_FALSE(fileSignature(fs_, dir_ / "missing"));
}

TEST_F(FileSignatureTest, FileSizeOfAMissingFileIsAnError) {
    writeFile(dir_ / "five", "12345");
    EXPECT_EQ(fileSize(fs_, dir_ / "five"), 5);
    try {
        fileSize(fs_, dir_ / "missing");
        FAIL() << "expected FileError";
    } catch (const FileError& error) {
        EXPECT_EQ(error.kind(), FileError::Kind::readNoSuchFile);
    }
}

} // namespace
} // namespace velk
