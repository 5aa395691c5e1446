#include "platform/FolderWatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Signal = FolderWatcher::Signal;

/// Collects what the watcher reports, for the test thread to wait on.
class Signals {
public:
    void add(Signal signal) {
        std::scoped_lock lock(mutex_);
        signals_.push_back(signal);
        changed_.notify_all();
    }
    bool waitFor(Signal signal, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::find(signals_.begin(), signals_.end(), signal) != signals_.end();
        });
    }
    std::size_t count() {
        std::scoped_lock lock(mutex_);
        return signals_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Signal> signals_;
};

TEST(FolderWatcherTest, ReportsTheFolderOwnEntriesButNotASubfolderContents) {
    test::TempDir dir;
    fs::create_directories(dir / "sub");
    Signals signals;
    FolderWatcher watcher(dir.path(), [&](Signal signal) { signals.add(signal); });

    test::writeFile(dir / "sub" / "inner.jpg", "bytes");
    EXPECT_FALSE(signals.waitFor(Signal::changed, 300ms)) << "a subfolder's file is not ours";

    test::writeFile(dir / "photo.jpg", "bytes");
    EXPECT_TRUE(signals.waitFor(Signal::changed));
}

TEST(FolderWatcherTest, TellsWhenTheWatchEndsAndRefusesAMissingFolder) {
    test::TempDir dir;
    fs::create_directories(dir / "watched");
    Signals signals;
    {
        FolderWatcher watcher(dir / "watched", [&](Signal signal) { signals.add(signal); });
        fs::remove(dir / "watched");
        EXPECT_TRUE(signals.waitFor(Signal::lost));
    }
    EXPECT_THROW(FolderWatcher(dir / "missing", [](Signal) {}), std::system_error);
}

TEST(FolderWatcherTest, NamesNoRemoteFileSystemForALocalFolder) {
    test::TempDir dir;
    EXPECT_EQ(FolderWatcher::remoteFileSystemName(dir.path()), std::nullopt);
}

} // namespace
} // namespace velk
