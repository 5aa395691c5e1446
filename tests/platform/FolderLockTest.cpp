#include "platform/FolderLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

TEST(FolderLockTest, SomethingPlantedUnderTheLockFilesNameIsRefusedNotFollowedNorIgnored) {
    TempDir dir;
    fs::create_symlink(dir / "victim", dir / "link.lock");
    fs::create_symlink(dir / "Inbox", dir / "folder-link.lock");
    fs::create_directories(dir / "Inbox");
    ASSERT_EQ(::mkfifo((dir / "fifo.lock").c_str(), 0600), 0);
    fs::create_directories(dir / "folder.lock");
    for (const char* name : {"link.lock", "folder-link.lock", "fifo.lock", "folder.lock"}) {
        SCOPED_TRACE(name);
        try {
            FolderLock::lockFile(dir / name);
            ADD_FAILURE() << "locked something that is not the lock file";
        } catch (const FolderLockError& error) {
            // `unavailable` would let the program run without the lock.
            EXPECT_EQ(error.kind(), FolderLockError::Kind::unsafe) << error.what();
            EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
        }
    }
    EXPECT_FALSE(fs::exists(dir / "victim"));
    EXPECT_TRUE(fs::is_empty(dir / "Inbox"));
}

/// A process of its own that takes the lock on `file` and reports ready on a pipe, after
/// `afterLocking` (which runs in it). The pipe's read end is returned; the child never
/// leaves this function.
template <typename AfterLocking>
std::pair<pid_t, int> holderProcess(const fs::path& file, AfterLocking afterLocking) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        FolderLock held = FolderLock::lockFile(file);
        const int reported = afterLocking();
        [[maybe_unused]] const auto written = ::write(ready[1], &reported, sizeof reported);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    return {child, ready[0]};
}

int readReport(int pipe) {
    int reported = 0;
    EXPECT_EQ(::read(pipe, &reported, sizeof reported), static_cast<ssize_t>(sizeof reported));
    ::close(pipe);
    return reported;
}

TEST(FolderLockTest, AHolderKilledAndStillTearingDownIsWaitedForNotTakenForARunningProgram) {
    TempDir dir;
    const fs::path file = dir / "app.lock";
    // Memory in use makes the teardown after SIGKILL take a while, as an engine's does
    // with images in flight; the descriptors, and the lock, go only at its end.
    const auto [holder, ready] = holderProcess(file, [] {
        constexpr std::size_t size = 512u << 20;
        void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        return memory == MAP_FAILED ? 0 : 1;
    });
    if (readReport(ready) != 1)
        GTEST_SKIP() << "no memory for the holder";
    ::kill(holder, SIGKILL);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(FolderLock::lockFile(file)) << "refused while the killed holder ended";
    EXPECT_LT(std::chrono::steady_clock::now() - started, FolderLock::endingHolderWait);
    int status = 0;
    ::waitpid(holder, &status, 0);
}

TEST(FolderLockTest, TheHolderNamedIsTheProcessKeepingTheLockNotTheDeadOneThatTookIt) {
    TempDir dir;
    const fs::path file = dir / "app.lock";
    // The taker forks a copy that keeps its descriptor, then ends.
    const auto [taker, ready] = holderProcess(file, [] {
        const pid_t heir = ::fork();
        if (heir == 0) {
            ::pause();
            ::_exit(0);
        }
        return static_cast<int>(heir);
    });
    const pid_t heir = readReport(ready);
    ::kill(taker, SIGKILL);
    int status = 0;
    ::waitpid(taker, &status, 0);

    const FolderLockError error = heldError([&] { FolderLock::lockFile(file); });
    EXPECT_EQ(error.holderPid(), heir) << error.what();
    EXPECT_FALSE(error.holderEnding());
    ::kill(heir, SIGKILL);
}

} // namespace
} // namespace velk
