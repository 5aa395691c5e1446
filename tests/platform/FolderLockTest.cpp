#include "platform/FolderLock.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

/// Runs `attempt`, which must fail because the lock is held, and returns the error.
template <typename Attempt> FolderLockError heldError(Attempt attempt) {
    try {
        attempt();
    } catch (const FolderLockError& error) {
        EXPECT_EQ(error.kind(), FolderLockError::Kind::held) << error.what();
        return error;
    }
    ADD_FAILURE() << "the second lock was granted";
    return FolderLockError(FolderLockError::Kind::unavailable, {}, "", std::nullopt);
}

TEST(FolderLockTest, OneHolderAtATimeNamedByItsPidAndNothingWrittenIntoTheFolder) {
    TempDir dir;
    const fs::path folder = dir / "Inbox";
    const fs::path file = dir / "support" / "app.lock";
    fs::create_directories(folder);
    fs::create_directories(file.parent_path());
    const std::string pid = std::to_string(::getpid());

    for (const bool isFolder : {true, false}) {
        SCOPED_TRACE(isFolder ? "folder" : "file");
        const fs::path& path = isFolder ? folder : file;
        const auto lock = [&] {
            return isFolder ? FolderLock::lockFolder(folder) : FolderLock::lockFile(file);
        };
        {
            auto held = std::make_optional(lock());
            const FolderLockError error = heldError(lock);
            EXPECT_EQ(error.holderPid(), ::getpid());
            EXPECT_NE(std::string(error.what()).find("process " + pid), std::string::npos)
                << error.what();
            EXPECT_EQ(FolderLock::holderOf(path), ::getpid());
            // Moving the lock keeps it held; only the end of its last owner frees it.
            FolderLock moved = std::move(*held);
            held.reset();
            heldError(lock);
        }
        EXPECT_EQ(FolderLock::holderOf(path), std::nullopt);
        EXPECT_NO_THROW(lock());
    }
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(test::readFile(file), pid + "\n");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(FolderLockTest, ALockFileNeverFollowsALinkPlantedUnderItsName) {
    TempDir dir;
    fs::create_symlink(dir / "victim", dir / "app.lock");
    try {
        FolderLock::lockFile(dir / "app.lock");
        ADD_FAILURE() << "locked through a link";
    } catch (const FolderLockError& error) {
        EXPECT_EQ(error.kind(), FolderLockError::Kind::unavailable);
    }
    EXPECT_FALSE(fs::exists(dir / "victim"));
}

} // namespace
} // namespace velk
