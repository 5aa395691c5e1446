#include "platform/PosixFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/Text.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

class PosixFileSystemTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    PosixFileSystem files_;
};

TEST_F(PosixFileSystemTest, DescribesItemsWithoutFollowingLinks) {
    writeFile(dir_ / "photo.jpg", "12345");
    fs::create_directory(dir_ / "album");
    fs::create_symlink(dir_ / "photo.jpg", dir_ / "link.jpg");
    fs::create_symlink(dir_ / "album", dir_ / "folder-link");
    struct Case {
        const char* name;
        bool regular, directory, link;
    };
    for (const Case& c :
         {Case{"photo.jpg", true, false, false}, Case{"album", false, true, false},
          Case{"link.jpg", false, false, true}, Case{"folder-link", false, false, true}}) {
        SCOPED_TRACE(c.name);
        const auto attributes = files_.attributes(dir_ / c.name);
        ASSERT_TRUE(attributes);
        EXPECT_EQ(attributes->isRegularFile, c.regular);
        EXPECT_EQ(attributes->isDirectory, c.directory);
        EXPECT_EQ(attributes->isSymbolicLink, c.link);
    }
    EXPECT_EQ(files_.attributes(dir_ / "photo.jpg")->size, 5u);
    EXPECT_FALSE(files_.attributes(dir_ / "missing.jpg"));
    EXPECT_FALSE(files_.exists(dir_ / "photo.jpg" / "below-a-file"));

    // Sub-second precision matters: the engine compares dates to spot a changed file.
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(5) +
                       std::chrono::nanoseconds(123456789);
    fs::last_write_time(dir_ / "photo.jpg", stamp);
    EXPECT_EQ(files_.attributes(dir_ / "photo.jpg")->modificationDate,
              std::chrono::file_clock::to_sys(stamp));
}

TEST_F(PosixFileSystemTest, CreationDateAndFileNumberSurviveMoveButNotReplacement) {
    writeFile(dir_ / "a.jpg", "old");
    const auto before = files_.attributes(dir_ / "a.jpg");
    if (!before->creationDate)
        GTEST_SKIP() << "this file system reports no birth time";

    files_.move(dir_ / "a.jpg", dir_ / "b.jpg");
    const auto moved = files_.attributes(dir_ / "b.jpg");
    EXPECT_EQ(moved->creationDate, before->creationDate);
    EXPECT_EQ(moved->fileNumber, before->fileNumber);
    EXPECT_EQ(moved->modificationDate, before->modificationDate);

    files_.writeAtomically(dir_ / "b.jpg", "new");
    EXPECT_NE(files_.attributes(dir_ / "b.jpg")->fileNumber, before->fileNumber);
}

TEST_F(PosixFileSystemTest, ListMarksLinksAndHiddenNames) {
    writeFile(dir_ / "photo.jpg", "x");
    writeFile(dir_ / ".hidden.jpg", "x");
    fs::create_directory(dir_ / "album");
    writeFile(dir_ / "album" / "inner.jpg", "x");
    fs::create_symlink(dir_ / "photo.jpg", dir_ / "link.jpg");
    fs::create_symlink(dir_ / "nowhere.jpg", dir_ / "dangling.jpg");

    auto entries = files_.list(dir_.path());
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path < b.path; });
    const std::vector<DirectoryEntry> expected = {{dir_ / ".hidden.jpg", true, true},
                                                  {dir_ / "album", false, false},
                                                  {dir_ / "dangling.jpg", false, false},
                                                  {dir_ / "link.jpg", false, false},
                                                  {dir_ / "photo.jpg", true, false}};
    ASSERT_EQ(entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(entries[i].path, expected[i].path);
        EXPECT_EQ(entries[i].isRegularFile, expected[i].isRegularFile) << entries[i].path;
        EXPECT_EQ(entries[i].isHidden, expected[i].isHidden) << entries[i].path;
    }

    EXPECT_THROW(files_.list(dir_ / "missing"), FileSystemError);
    EXPECT_THROW(files_.list(dir_ / "photo.jpg"), FileSystemError);
}

TEST_F(PosixFileSystemTest, NonUtf8NameIsListedMovedAndReportedAsValidText) {
    const fs::path odd = dir_ / std::string("caf\xE9\xFF.jpg");
    const fs::path target = dir_ / std::string("\xC0moved.jpg");
    writeFile(odd, "bytes");
    const auto entries = files_.list(dir_.path());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, odd);
    EXPECT_TRUE(entries[0].isRegularFile);

    files_.move(odd, target);
    EXPECT_EQ(readFile(target), "bytes");
    writeFile(odd, "again");
    try {
        files_.move(odd, target);
        FAIL() << "moved over an existing file";
    } catch (const FileSystemError& error) {
        const std::string text = error.what();
        EXPECT_EQ(error.code(), std::errc::file_exists);
        EXPECT_EQ(text.rfind("move /", 0), 0u) << text;
        EXPECT_NE(text.find(": File exists"), std::string::npos) << text;
        EXPECT_TRUE(isValidUtf8(text)) << text;
    }
}

TEST_F(PosixFileSystemTest, MoveNeverOverwritesAndReplaceDoes) {
    writeFile(dir_ / "a.jpg", "source");
    writeFile(dir_ / "b.jpg", "target");
    // A dangling link still occupies its name.
    fs::create_symlink(dir_ / "nowhere", dir_ / "c.jpg");
    for (const char* taken : {"b.jpg", "c.jpg"}) {
        EXPECT_THROW(files_.move(dir_ / "a.jpg", dir_ / taken), FileSystemError) << taken;
    }
    EXPECT_EQ(readFile(dir_ / "a.jpg"), "source");
    EXPECT_EQ(readFile(dir_ / "b.jpg"), "target");
    EXPECT_TRUE(files_.attributes(dir_ / "c.jpg")->isSymbolicLink);

    files_.replace(dir_ / "a.jpg", dir_ / "b.jpg");
    EXPECT_EQ(readFile(dir_ / "b.jpg"), "source");
    EXPECT_FALSE(files_.exists(dir_ / "a.jpg"));
    EXPECT_THROW(files_.replace(dir_ / "a.jpg", dir_ / "b.jpg"), FileSystemError);
    EXPECT_EQ(readFile(dir_ / "b.jpg"), "source");
}

TEST_F(PosixFileSystemTest, CopyKeepsBytesAndModeAndNeverOverwrites) {
    std::string bytes;
    for (int i = 0; i < 300'000; ++i)
        bytes += static_cast<char>(i * 7);
    writeFile(dir_ / "a.raw", bytes);
    // Group-writable is outside the usual umask, so only an explicit chmod keeps it.
    const auto mode = fs::perms::owner_read | fs::perms::group_write | fs::perms::others_exec;
    fs::permissions(dir_ / "a.raw", mode);

    files_.copy(dir_ / "a.raw", dir_ / "b.raw");
    EXPECT_EQ(readFile(dir_ / "b.raw"), bytes);
    EXPECT_EQ(fs::status(dir_ / "b.raw").permissions(), mode);

    writeFile(dir_ / "c.raw", "keep me");
    fs::create_directory(dir_ / "album");
    EXPECT_THROW(files_.copy(dir_ / "a.raw", dir_ / "c.raw"), FileSystemError);
    EXPECT_EQ(readFile(dir_ / "c.raw"), "keep me");
    // A link planted under the name is refused, not written through.
    fs::create_symlink(dir_ / "victim", dir_ / "planted");
    EXPECT_THROW(files_.copy(dir_ / "a.raw", dir_ / "planted"), FileSystemError);
    EXPECT_FALSE(fs::exists(dir_ / "victim"));
    for (const char* source : {"album", "missing"}) {
        EXPECT_THROW(files_.copy(dir_ / source, dir_ / "copy"), FileSystemError) << source;
        EXPECT_FALSE(files_.exists(dir_ / "copy")) << source;
    }
}

TEST_F(PosixFileSystemTest, RemoveTakesLinksNeverTheirTargets) {
    fs::create_directory(dir_ / "keep");
    writeFile(dir_ / "keep" / "precious.jpg", "x");
    writeFile(dir_ / "target.jpg", "x");
    fs::create_directories(dir_ / "tree" / "sub");
    writeFile(dir_ / "tree" / "sub" / "a.jpg", "x");
    fs::create_symlink(dir_ / "keep", dir_ / "tree" / "sub" / "folder-link");
    fs::create_symlink(dir_ / "target.jpg", dir_ / "file-link");
    fs::create_symlink(dir_ / "keep", dir_ / "top-folder-link");

    for (const char* name : {"file-link", "top-folder-link", "tree", "never-existed"}) {
        files_.remove(dir_ / name);
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / name))) << name;
    }
    EXPECT_EQ(readFile(dir_ / "target.jpg"), "x");
    EXPECT_EQ(readFile(dir_ / "keep" / "precious.jpg"), "x");
}

} // namespace
} // namespace velk
