#include "updater/UpdateInstaller.h"

#include "support/TempDir.h"
#include "updater/BundleInfo.h"
#include "updater/UpdateHelperError.h"
#include "updater/UpdaterTestSupport.h"
#include "updater/VelkUpdaterHelper.h"
#include "updater/WorkFolder.h"

#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace velk::updater {
namespace {

namespace fs = std::filesystem;

class UpdateInstallerTest : public ::testing::Test {
protected:
    void SetUp() override { test::makeBundle(installed_, {.version = "1.0.0"}); }

    void package(const std::string& bundleName, const test::BundleFields& fields) {
        const auto bundle = dir_ / "release" / bundleName;
        test::makeBundle(bundle, fields);
        if (fs::exists(bundle / "Contents/MacOS/VelkCompressor"))
            fs::permissions(bundle / "Contents/MacOS/VelkCompressor",
                            static_cast<fs::perms>(06777));
        fs::permissions(bundle / "Contents/Resources", static_cast<fs::perms>(02777));
        test::packFolder(package_, bundle);
    }

    InstallerEnvironment environment() const { return InstallerEnvironment::system(); }

    void install(const InstallerEnvironment& environment, std::string version = "2.0.0",
                 std::int32_t pid = -1) {
        UpdateInstaller(Arguments{.parentPID = pid,
                                  .targetURL = installed_,
                                  .diskImageURL = package_,
                                  .expectedVersion = std::move(version)},
                        environment)
            .install();
    }

    std::string installedVersion() const {
        return BundleInfo::read(installed_).value().shortVersion.value_or("");
    }

    /// Everything the installation made for itself is gone and nothing sits beside the bundle.
    void expectNoLeftovers() const {
        for (const auto& entry : fs::directory_iterator(installed_.parent_path())) {
            EXPECT_EQ(entry.path(), installed_);
        }
    }

    test::TempDir dir_;
    fs::path installed_ = dir_ / "Applications/VelkCompressor.app";
    fs::path package_ = dir_ / "update.dmg";
};

TEST_F(UpdateInstallerTest, ReplacesTheBundleWithTheOneInThePackage) {
    // A bundle under another name is taken when none carries the installed one's.
    for (const std::string name : {"VelkCompressor.app", "Renamed.app"}) {
        SCOPED_TRACE(name);
        fs::remove_all(installed_);
        test::makeBundle(installed_, {.version = "1.0.0"});
        package(name, {});
        install(environment());
        EXPECT_EQ(installedVersion(), "2.0.0");
        // The package's set-user and set-group bits, and its write bits for others, are gone.
        EXPECT_EQ(fs::status(installed_ / "Contents/MacOS/VelkCompressor").permissions(),
                  static_cast<fs::perms>(0755));
        EXPECT_EQ(fs::status(installed_ / "Contents/Resources").permissions(),
                  static_cast<fs::perms>(0755));
        EXPECT_EQ(fs::read_symlink(installed_ / "Contents/Resources/launcher"),
                  "../MacOS/VelkCompressor");
        EXPECT_TRUE(fs::exists(installed_ / "Contents/MacOS/VelkCompressor"));
        expectNoLeftovers();
        fs::remove_all(dir_ / "release");
    }
}

TEST_F(UpdateInstallerTest, RefusesUnfitPackagesAndLeavesTheInstalledBundleAlone) {
    using Kind = UpdateHelperError::Kind;
    const struct {
        const char* name;
        std::function<void()> prepare;
        std::string version;
        Kind kind;
    } cases[] = {
        {"other identifier", [&] { package("VelkCompressor.app", {.identifier = "com.other"}); },
         "2.0.0", Kind::bundleMismatch},
        {"other version text", [&] { package("VelkCompressor.app", {}); }, "2.0.0.0",
         Kind::bundleMismatch},
        {"no bundle",
         [&] {
             test::writeArchive(package_, {{"readme.txt", "hi"}});
         },
         "2.0.0", Kind::updateAppMissing},
        {"executable outside the bundle",
         [&] {
             package("VelkCompressor.app",
                     {.executable = "../../../../../../../../../../../../../../bin/sh"});
         },
         "2.0.0", Kind::updateAppMissing},
        {"damaged archive", [&] { test::writeFile(package_, "\x1f\x8b garbage"); }, "2.0.0",
         Kind::invalidDiskImage},
        {"escaping entry",
         [&] {
             test::writeArchive(package_, {{"../VelkCompressor.app", "x"}});
         },
         "2.0.0", Kind::invalidDiskImage},
        {"package missing", [&] { fs::remove(package_); }, "2.0.0", Kind::installationFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "release");
        c.prepare();
        try {
            install(environment(), c.version);
            ADD_FAILURE() << "installed";
        } catch (const UpdateHelperError& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.description();
        }
        EXPECT_EQ(installedVersion(), "1.0.0");
        expectNoLeftovers();
    }
}

TEST_F(UpdateInstallerTest, AFailedSwapLeavesTheOldBundleInPlace) {
    package("VelkCompressor.app", {});
    const auto noExchange = [](const fs::path&, const fs::path&) { return false; };
    const auto damage = [this](std::string_view moment) {
        if (moment == "swapped")
            fs::remove(installed_ / "Contents/MacOS/VelkCompressor");
    };
    const struct {
        const char* name;
        std::function<bool(const fs::path&, const fs::path&)> exchange;
        std::function<void(std::string_view)> reached;
        std::string description;
    } cases[] = {
        {"the exchange fails",
         [](const fs::path& from, const fs::path&) -> bool {
             throw fs::filesystem_error("cannot exchange", from,
                                        std::make_error_code(std::errc::io_error));
         },
         {},
         "\u201CVelkCompressor.app\u201D could not be replaced: Input/output error"},
        {"it lands damaged", exchangePaths, damage, "The update application was not found"},
        {"it lands damaged without an exchange", noExchange, damage,
         "The update application was not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto env = environment();
        env.exchange = c.exchange;
        env.reached = c.reached;
        try {
            install(env);
            ADD_FAILURE() << "installed";
        } catch (const UpdateHelperError& error) {
            EXPECT_EQ(error.kind(), UpdateHelperError::Kind::installationFailed);
            EXPECT_EQ(error.description(), c.description);
        }
        EXPECT_EQ(installedVersion(), "1.0.0");
        EXPECT_TRUE(fs::exists(installed_ / "Contents/MacOS/VelkCompressor"));
        expectNoLeftovers();
    }
}

TEST_F(UpdateInstallerTest, GivesUpOnAProgramThatDoesNotExitAndStartsNoSecondCopy) {
    package("VelkCompressor.app", {});
    auto env = environment();
    env.exitWait = {3, std::chrono::milliseconds(1)};
    bool launched = false;
    env.launch = [&](const fs::path&) { return launched = true; };
    std::ostringstream errors;
    const int status = VelkUpdaterHelper::run({"--pid", std::to_string(::getpid()), "--target",
                                               installed_.string(), "--dmg", package_.string(),
                                               "--version", "2.0.0", "--relaunch"},
                                              errors, env);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(errors.str(), "VelkUpdater: The application did not exit in time\n");
    EXPECT_FALSE(launched);
    EXPECT_EQ(installedVersion(), "1.0.0");
}

} // namespace
} // namespace velk::updater
