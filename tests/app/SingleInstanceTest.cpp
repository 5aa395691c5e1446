#include "app/shell/SingleInstance.h"

#include <gtest/gtest.h>

#include <future>
#include <sys/stat.h>
#include <unistd.h>

#include <QSignalSpy>
#include <QTest>

#include "platform/FolderLock.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

QString qpath(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

class SingleInstanceTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    QString runtime_ = qpath(dir_.path());
    QString support_ = qpath(dir_ / "support");

    /// Claims from another thread, as a second program's main thread would, while this
    /// thread's event loop lets the first one answer.
    SingleInstance::Role claimElsewhere(const QString& support,
                                        const QString& view = QStringLiteral("panel")) {
        auto role = std::async(std::launch::async, [&] {
            SingleInstance other(support, runtime_);
            return other.claim(view);
        });
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return role.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            10000));
        return role.get();
    }
};

TEST_F(SingleInstanceTest, SecondLaunchAsksTheFirstToShowItsPanel) {
    SingleInstance first(support_, runtime_);
    ASSERT_EQ(first.claim(), SingleInstance::Role::primary);
    QSignalSpy shown(&first, &SingleInstance::showRequested);

    EXPECT_EQ(claimElsewhere(support_), SingleInstance::Role::handedOff);
    EXPECT_EQ(claimElsewhere(support_, QStringLiteral("history")), SingleInstance::Role::handedOff);
    EXPECT_TRUE(shown.count() == 2 || QTest::qWaitFor([&] { return shown.count() == 2; }));
    EXPECT_EQ(shown.at(0).at(0).toString(), "panel");
    EXPECT_EQ(shown.at(1).at(0).toString(), "history");
    EXPECT_EQ(claimElsewhere(support_, QStringLiteral("../../etc")),
              SingleInstance::Role::heldElsewhere)
        << "an unknown request is not answered";
    EXPECT_EQ(claimElsewhere(qpath(dir_ / "other support")), SingleInstance::Role::primary)
        << "another support folder is another program";
}

TEST_F(SingleInstanceTest, HolderThatDoesNotAnswerKeepsTheFolderAndALeftoverSocketIsReplaced) {
    {
        SingleInstance crashed(support_, runtime_);
        ASSERT_EQ(crashed.claim(), SingleInstance::Role::primary);
    }
    // A lock held by a program without a listener, as a headless run or a hung one holds it.
    const QString socket = SingleInstance(support_, runtime_).socketPath();
    {
        const FolderLock silent =
            FolderLock::lockFile((socket + QStringLiteral(".lock")).toStdString());
        EXPECT_EQ(claimElsewhere(support_), SingleInstance::Role::heldElsewhere);
    }
    SingleInstance next(support_, runtime_);
    EXPECT_EQ(next.claim(), SingleInstance::Role::primary);
    QSignalSpy shown(&next, &SingleInstance::showRequested);
    EXPECT_EQ(claimElsewhere(support_), SingleInstance::Role::handedOff);
}

TEST_F(SingleInstanceTest, TheRendezvousIsNeverInAFolderOthersCanEnter) {
    const fs::path open = dir_ / "open";
    const fs::path foreign = dir_ / "foreign";
    fs::create_directories(open);
    fs::permissions(open, fs::perms::all | fs::perms::sticky_bit); // like /tmp
    fs::create_directories(foreign);
    fs::permissions(foreign, fs::perms::owner_all);
    const bool canChown = ::chown(foreign.c_str(), 65534, 65534) == 0;
    // An unset XDG_RUNTIME_DIR, one open to all, one of another user's.
    for (const auto& [given, runtime] : {std::pair{QString(), std::optional<fs::path>()},
                                         std::pair{qpath(open), std::optional<fs::path>()},
                                         std::pair{QString(), std::optional(foreign)}}) {
        if (runtime && !canChown)
            continue;
        SCOPED_TRACE((given + QString::fromStdString(runtime.value_or("").native())).toStdString());
        test::ScopedEnv environment("XDG_RUNTIME_DIR",
                                    runtime ? std::optional(runtime->native()) : std::nullopt);
        SingleInstance first(support_, given);
        ASSERT_EQ(first.claim(), SingleInstance::Role::primary);
        const fs::path socket = first.socketPath().toStdString();
        EXPECT_EQ(socket.parent_path(), dir_ / "support" / "instance");
        struct stat folder {};
        ASSERT_EQ(::stat(socket.parent_path().c_str(), &folder), 0);
        EXPECT_EQ(folder.st_uid, ::getuid());
        EXPECT_EQ(folder.st_mode & 0777, 0700u);
        EXPECT_TRUE(fs::is_empty(open));
        // The hand-off still works there.
        auto role = std::async(std::launch::async, [&] {
            SingleInstance other(support_, given);
            return other.claim();
        });
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return role.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            10000));
        EXPECT_EQ(role.get(), SingleInstance::Role::handedOff);
    }
    fs::permissions(dir_ / "support" / "instance", fs::perms::all);
    SingleInstance reopened(support_, qpath(open));
    EXPECT_EQ(reopened.claim(), SingleInstance::Role::primary);
    EXPECT_EQ(fs::status(dir_ / "support" / "instance").permissions(), fs::perms::owner_all)
        << "a folder of ours left open is closed again";
}

TEST_F(SingleInstanceTest, ALockFileNoOneHoldsIsNoRunningProgramWhateverItNames) {
    // As a run on another machine sharing this home folder, or a crashed one, leaves it:
    // its text names a live process, but the kernel's lock is free.
    const QString socket = SingleInstance(support_, runtime_).socketPath();
    test::writeFile((socket + QStringLiteral(".lock")).toStdString(),
                    std::to_string(::getpid()) + "\nVelkCompressor\nanother-host\n");
    SingleInstance next(support_, runtime_);
    EXPECT_EQ(next.claim(), SingleInstance::Role::primary);
}

} // namespace
} // namespace velk
