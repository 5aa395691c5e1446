#include "app/shell/SingleInstance.h"

#include <gtest/gtest.h>

#include <future>

#include <QLockFile>
#include <QSignalSpy>
#include <QTest>

#include "support/TempDir.h"

namespace velk {
namespace {

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
        QLockFile silent(socket + QStringLiteral(".lock"));
        ASSERT_TRUE(silent.tryLock(0));
        EXPECT_EQ(claimElsewhere(support_), SingleInstance::Role::heldElsewhere);
    }
    SingleInstance next(support_, runtime_);
    EXPECT_EQ(next.claim(), SingleInstance::Role::primary);
    QSignalSpy shown(&next, &SingleInstance::showRequested);
    EXPECT_EQ(claimElsewhere(support_), SingleInstance::Role::handedOff);
}

} // namespace
} // namespace velk
