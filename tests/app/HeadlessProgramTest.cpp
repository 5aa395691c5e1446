#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "app/ProgramProcess.h"
#include "core/Paths.h"
#include "model/AppConfig.h"
#include "model/CompressionPreset.h"
#include "platform/Sha256.h"
#include "support/HttpsTestServer.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ProgramProcess;
using test::TempDir;
using test::TestImages;

struct Outcome {
    std::optional<int> status;
    std::string out;
    std::string err;
};

bool holdsWorkFiles(const fs::path& folder) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().filename().native();
        if (name.find(".velk-temp") != std::string::npos ||
            name.find(".velk-replace") != std::string::npos)
            return true;
    }
    return false;
}

/// The bytes of every regular file in the folder's backup tree.
std::vector<std::string> backups(const fs::path& folder) {
    std::vector<std::string> contents;
    const fs::path root = folder / ".velk-compressor-backups";
    if (!fs::exists(root))
        return contents;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            contents.push_back(test::readFile(entry.path()));
    }
    return contents;
}

class HeadlessProgramTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    fs::path configFile_ = dir_ / "support" / "native-config.json";
    int runs_ = 0;
    /// The locale the program starts under; a first run takes its language from it.
    std::string lang_ = "ru_RU.UTF-8";

    void SetUp() override { fs::create_directories(folder_); }

    std::unique_ptr<ProgramProcess> launch(const std::vector<std::string>& arguments,
                                           bool debugLog = false,
                                           const std::string& support = "support",
                                           bool tray = false) {
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all);
        // Everything the program may touch lives in the test's folder; no desktop bus.
        return std::make_unique<ProgramProcess>(
            VELK_PROGRAM_PATH, arguments,
            std::map<std::string, std::optional<std::string>>{
                {"QT_QPA_PLATFORM", tray ? std::optional<std::string>("offscreen") : std::nullopt},
                {"VELK_LAUNCH_SMOKE", std::nullopt},
                {"LC_ALL", std::nullopt},
                {"LC_MESSAGES", std::nullopt},
                {"LANG", lang_},
                {"VELK_CONFIG_DIR", (dir_ / support).native()},
                {"VELK_LOG_DIR", (dir_ / "logs").native()},
                {"VELK_DEBUG_LOG", debugLog ? std::optional<std::string>("1") : std::nullopt},
                {"HOME", (dir_ / "home").native()},
                {"XDG_CONFIG_HOME", (dir_ / "xdg-config").native()},
                {"XDG_DATA_HOME", (dir_ / "xdg-data").native()},
                {"XDG_RUNTIME_DIR", (dir_ / "run").native()},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus").native()},
            },
            dir_ / ("run-" + std::to_string(++runs_)));
    }

    /// Waits for `condition` while the program keeps running; false on a timeout or exit.
    /// The program is another process, so there is nothing to block on but its traces.
    template <typename Condition>
    bool waitFor(ProgramProcess& process, Condition condition,
                 std::chrono::seconds timeout = 120s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (process.hasExited() || std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::size_t scansLogged() {
        std::error_code error;
        if (!fs::exists(dir_ / "logs" / "native.log", error))
            return 0;
        const std::string log = test::readFile(dir_ / "logs" / "native.log");
        std::size_t count = 0;
        for (auto at = log.find("] Scan "); at != std::string::npos;
             at = log.find("] Scan ", at + 1))
            ++count;
        return count;
    }

    Outcome run(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout = 120s,
                const std::string& support = "support") {
        auto process = launch(arguments, /*debugLog=*/false, support);
        Outcome result;
        result.status = process->wait(timeout);
        result.out = process->out();
        result.err = process->err();
        return result;
    }

    AppConfig savedConfig() { return loadAppConfig(configFile_); }
};

TEST_F(HeadlessProgramTest, VersionAndHelp) {
    const Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("Velk | Compressor ", 0), 0u) << version.out;

    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--headless", "--watch", "--preset", "--format", "--originals",
                               "--once", "--jobs", "--version", "--show", "--restore"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    // A signal cancels the work in progress; it does not wait for it.
    EXPECT_NE(help.out.find("SIGTERM\ncancel the files in progress"), std::string::npos)
        << help.out;
    EXPECT_EQ(help.out.find("finish"), std::string::npos) << help.out;
    EXPECT_EQ(run({"--bogus"}).status, 2);
    EXPECT_EQ(run({"--restore"}).status, 2) << "names no file";
    EXPECT_EQ(run({"--show", "../panel"}).status, 2);
    EXPECT_EQ(run({"--headless", "--show", "history"}).status, 2) << "--show is the tray's";
}

TEST_F(HeadlessProgramTest, VersionComesFromTheBundleItRunsFrom) {
    const fs::path contents = dir_ / "Velk.app" / "Contents";
    fs::create_directories(contents / "MacOS");
    fs::copy_file(VELK_PROGRAM_PATH, contents / "MacOS" / "VelkCompressor");
    test::writeFile(contents / "Info.plist",
                    "<plist><dict><key>CFBundleShortVersionString</key><string>9.8.7</string>"
                    "</dict></plist>");
    const std::map<std::string, std::optional<std::string>> environment{
        {"VELK_LOG_DIR", (dir_ / "logs").native()}, {"VELK_LAUNCH_SMOKE", "1"}};
    ProgramProcess bundled(contents / "MacOS" / "VelkCompressor", {"--version"}, environment,
                           dir_ / "bundled");
    EXPECT_EQ(bundled.wait(60s), 0);
    EXPECT_EQ(bundled.out(), "Velk | Compressor 9.8.7\n");
    EXPECT_FALSE(fs::exists(dir_ / "logs" / "native.log"));

    // How the installer starts it again: no arguments; the log tells which version came up.
    ProgramProcess launched(contents / "MacOS" / "VelkCompressor", {}, environment,
                            dir_ / "launched");
    EXPECT_TRUE(launched.wait(60s).has_value());
    EXPECT_NE(test::readFile(dir_ / "logs" / "native.log").find("Starting Velk | Compressor 9.8.7"),
              std::string::npos);
}

TEST_F(HeadlessProgramTest, UpdateInstallsANewerReleaseFromTheServerItIsPointedAt) {
    const auto server = test::HttpsTestServer::start();
    if (!server)
        GTEST_SKIP() << "openssl or python3 not installed";
    const fs::path contents = dir_ / "Velk.app" / "Contents";
    fs::create_directories(contents / "MacOS");
    fs::create_directories(contents / "Resources" / "Helpers");
    fs::copy_file(VELK_PROGRAM_PATH, contents / "MacOS" / "VelkCompressor");
    test::writeFile(contents / "Info.plist",
                    "<plist><dict><key>CFBundleShortVersionString</key><string>1.0</string>"
                    "</dict></plist>");
    const fs::path marker = dir_ / "installer-arguments";
    test::writeFile(contents / "Resources" / "Helpers" / "VelkUpdater",
                    "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + marker.native() + ".tmp\nmv " +
                        marker.native() + ".tmp " + marker.native() + "\n");
    const std::string package = "release package";
    const std::string packageURL = server->publish(package);
    const std::string manifestURL =
        server->publish(R"({"version":"2.0","download":")" + packageURL + R"(","sha256":")" + [&] {
            std::string hex;
            for (const std::uint8_t byte : Sha256::of(package)) {
                hex += "0123456789abcdef"[byte >> 4];
                hex += "0123456789abcdef"[byte & 0xF];
            }
            return hex;
        }() + "\"}");

    ProgramProcess update(contents / "MacOS" / "VelkCompressor", {"--update"},
                          {{"VELK_UPDATE_MANIFEST_URL", manifestURL},
                           {"VELK_UPDATE_CA_FILE", server->caFile().native()},
                           {"VELK_LOG_DIR", (dir_ / "logs").native()},
                           {"TMPDIR", dir_.path().native()}},
                          dir_ / "update");
    ASSERT_EQ(update.wait(60s), 0) << update.err();
    EXPECT_EQ(update.out(), "Downloading Velk | Compressor 2.0\n"
                            "Installing Velk | Compressor 2.0; it starts again when done\n");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const std::string arguments = test::readFile(marker);
    EXPECT_NE(arguments.find("--target\n" + (dir_ / "Velk.app").native() + "\n--dmg\n" +
                             dir_.path().native() + "/VelkCompressor-Update-"),
              std::string::npos)
        << arguments;
    EXPECT_TRUE(arguments.ends_with("\n--version\n2.0\n--relaunch\n")) << arguments;
}

TEST_F(HeadlessProgramTest, UpdateReportsAnUnreachableServerAndFails) {
    test::ScopedEnv server("VELK_UPDATE_MANIFEST_URL", "https://127.0.0.1:1/latest.json");
    const Outcome update = run({"--update"});
    EXPECT_EQ(update.status, 1);
    EXPECT_NE(update.err.find("VelkCompressor: update failed: "), std::string::npos) << update.err;
    EXPECT_EQ(run({"--update", "--headless"}).status, 2);
}

TEST_F(HeadlessProgramTest, CompressesKeepingOrReplacingOriginalsThenRestartsWithoutRedoingThem) {
    for (const std::string policy : {"keep", "replace"}) {
        SCOPED_TRACE(policy);
        const fs::path folder = dir_ / policy;
        fs::create_directories(folder);
        TestImages::jpeg(folder / "photo.jpg", 640, 480,
                         test::imageOptions().withDetail().withQuality(98));
        const std::string original = test::readFile(folder / "photo.jpg");

        const Outcome first =
            run({"--headless", "--watch", folder.native(), "--originals", policy, "--once"});
        ASSERT_EQ(first.status, 0) << first.out << first.err;
        EXPECT_NE(first.out.find("photo.jpg"), std::string::npos) << first.out;

        const fs::path output =
            policy == "keep" ? folder / "photo_velkcompressed.jpg" : folder / "photo.jpg";
        const std::string compressed = test::readFile(output);
        EXPECT_LT(compressed.size(), original.size());
        if (policy == "keep") {
            EXPECT_EQ(test::readFile(folder / "photo.jpg"), original);
        } else {
            EXPECT_EQ(backups(folder), std::vector<std::string>{original});
        }
        EXPECT_FALSE(holdsWorkFiles(folder));

        // The folder and the policy were saved: a plain restart carries on with them.
        const Outcome again = run({"--headless", "--once"});
        ASSERT_EQ(again.status, 0) << again.out << again.err;
        EXPECT_EQ(again.out.find("photo.jpg"), std::string::npos) << again.out;
        EXPECT_EQ(test::readFile(output), compressed);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2)
            << "the source and its output, or the result and the backup folder";
    }
}

TEST_F(HeadlessProgramTest, ItsOwnOutputsRenamedCopiedOrForgottenAreNotEncodedAgain) {
    TestImages::png(folder_ / "chart.png", 320, 240, test::imageOptions().withDetail());
    const Outcome first = run({"--headless", "--watch", folder_.native(), "--format", "webp",
                               "--originals", "replace", "--once"});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    ASSERT_TRUE(fs::exists(folder_ / "chart.webp")) << first.out;
    const std::string output = test::readFile(folder_ / "chart.webp");

    // The registry lost, the output renamed, and a plain copy of it: each is still ours.
    fs::remove(dir_ / "support" / "processed-files.json");
    fs::rename(folder_ / "chart.webp", folder_ / "renamed.webp");
    fs::copy_file(folder_ / "renamed.webp", folder_ / "copy.webp");
    const Outcome again = run({"--headless", "--once"});
    ASSERT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(again.out.find(".webp"), std::string::npos) << again.out;
    EXPECT_TRUE(test::readFile(folder_ / "renamed.webp") == output);
    EXPECT_TRUE(test::readFile(folder_ / "copy.webp") == output);
    EXPECT_EQ(backups(folder_).size(), 1u);
}

TEST_F(HeadlessProgramTest, OptionsAreSavedAsThePanelWouldAndBadValuesSaveNothing) {
    const Outcome set = run({"--headless", "--watch", folder_.native(), "--preset", "maximum",
                             "--format", "png", "--originals", "replace", "--once", "--jobs", "2"});
    ASSERT_EQ(set.status, 0) << set.err;
    AppConfig expected = savedConfig();
    EXPECT_EQ(expected.preset, CompressionPreset::maximum);
    EXPECT_EQ(expected.qualities, defaults(CompressionPreset::maximum));
    EXPECT_EQ(expected.formatStrategy, FormatStrategy::png);
    EXPECT_EQ(expected.originalPolicy, OriginalPolicy::replace);
    EXPECT_EQ(expected.watchDirectory, folder_);
    EXPECT_EQ(expected.watchDirectoryBookmark, folder_.native());
    EXPECT_TRUE(expected.enabled);
    const std::string savedBytes = test::readFile(configFile_);

    struct Case {
        std::vector<std::string> arguments;
        std::string accepted;
    };
    for (const auto& [arguments, accepted] : {
             Case{{"--preset", "jpegCompatible"}, "balanced, gentle, maximum, custom"},
             Case{{"--format", "gif"}, "automatic, jpeg, png, webp"},
             Case{{"--originals", "backup"}, "keep, replace"},
             Case{{"--jobs", "5"}, "1 to 4"},
             Case{{"--jobs", "two"}, "1 to 4"},
             Case{{"--watch", "/elsewhere", "--preset", "fast"}, "balanced"},
         }) {
        std::vector<std::string> full{"--headless"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        const Outcome refused = run(full);
        EXPECT_EQ(refused.status, 2) << arguments[1];
        EXPECT_NE(refused.err.find(accepted), std::string::npos) << refused.err;
        EXPECT_EQ(test::readFile(configFile_), savedBytes) << arguments[1];
    }
}

TEST_F(HeadlessProgramTest, WithoutAFolderItAsksInTheLocalesLanguageUntilOneIsStored) {
    const Outcome russian = run({"--headless"});
    EXPECT_EQ(russian.status, 2);
    EXPECT_NE(russian.err.find("Выберите папку для сжатия"), std::string::npos) << russian.err;

    // A first run under another locale speaks English and stores it; the stored language
    // then wins whatever the locale says.
    fs::remove(configFile_);
    lang_ = "en_US.UTF-8";
    const Outcome english = run({"--headless", "--once"});
    EXPECT_EQ(english.status, 2);
    EXPECT_NE(english.err.find("Choose a compression folder"), std::string::npos) << english.err;
    EXPECT_EQ(english.err.find("\xD0"), std::string::npos) << "Cyrillic: " << english.err;
    EXPECT_EQ(savedConfig().language, AppLanguage::english);
    lang_ = "ru_RU.UTF-8";
    EXPECT_NE(run({"--headless", "--once"}).err.find("Choose a compression folder"),
              std::string::npos);
}

TEST_F(HeadlessProgramTest, DamagedConfigurationFallsBackToDefaultsAndIsReplaced) {
    fs::create_directories(configFile_.parent_path());
    test::writeFile(configFile_, "{\"language\": \"klingon\", \"watchDirectory\": ");
    const Outcome noFolder = run({"--headless", "--once"});
    EXPECT_EQ(noFolder.status, 2);
    EXPECT_NE(noFolder.err.find("Выберите папку для сжатия"), std::string::npos) << noFolder.err;

    const Outcome withFolder = run({"--headless", "--watch", folder_.native(), "--once"});
    EXPECT_EQ(withFolder.status, 0) << withFolder.err;
    EXPECT_EQ(savedConfig().watchDirectory, folder_);
}

TEST_F(HeadlessProgramTest, AFolderThatCannotBeWatchedIsTheWatcherError) {
    test::writeFile(dir_ / "file", "");
    for (const fs::path& target : {dir_ / "missing", dir_ / "file"}) {
        const Outcome result = run({"--headless", "--watch", target.native(), "--once"});
        EXPECT_EQ(result.status, 2);
        // The default language is Russian.
        EXPECT_NE(result.err.find("Папка не найдена: " + target.native()), std::string::npos)
            << result.err;
    }
}

TEST_F(HeadlessProgramTest, CorruptAndEmptyFilesFailTheRunButItStillReturns) {
    test::writeFile(folder_ / "broken.jpg", "not a JPEG at all");
    test::writeFile(folder_ / "empty.png", "");
    TestImages::jpeg(folder_ / "photo.jpg", 400, 300,
                     test::imageOptions().withDetail().withQuality(98));

    const Outcome result = run({"--headless", "--watch", folder_.native(), "--once"});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_NE(result.out.find("broken.jpg"), std::string::npos) << result.out;
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
}

TEST_F(HeadlessProgramTest, AFailedOrUnsupportedFileIsReportedOnceUntilItChanges) {
    test::writeFile(folder_ / "broken.jpg", "not a JPEG at all");
    test::writeFile(folder_ / "anim.gif", "GIF89a not really");
    const auto unsupportedLogged = [this] {
        const std::string log = test::readFile(dir_ / "logs" / "native.log");
        std::size_t count = 0;
        for (auto at = log.find("Unsupported file"); at != std::string::npos;
             at = log.find("Unsupported file", at + 1))
            ++count;
        return count;
    };

    const Outcome first = run({"--headless", "--watch", folder_.native(), "--once"});
    EXPECT_EQ(first.status, 1) << first.out << first.err;
    EXPECT_NE(first.out.find("broken.jpg"), std::string::npos) << first.out;
    // Neither a restart nor a settings change tries it again.
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--headless", "--once"},
          std::vector<std::string>{"--headless", "--preset", "maximum", "--once"}}) {
        const Outcome again = run(arguments);
        EXPECT_EQ(again.status, 0) << again.out << again.err;
        EXPECT_EQ(again.out.find("broken.jpg"), std::string::npos) << again.out;
    }
    EXPECT_EQ(unsupportedLogged(), 1u);

    test::writeFile(folder_ / "broken.jpg", "still not a JPEG, but other bytes");
    const Outcome changed = run({"--headless", "--once"});
    EXPECT_EQ(changed.status, 1) << changed.out << changed.err;
    EXPECT_NE(changed.out.find("broken.jpg"), std::string::npos) << changed.out;
    EXPECT_EQ(unsupportedLogged(), 1u);
}

TEST_F(HeadlessProgramTest, SigtermDuringALargeFileFinishesCleanlyWithZero) {
    TestImages::jpeg(folder_ / "large.jpg", 6000, 4000,
                     test::imageOptions().withDetail().withQuality(98));
    const std::string original = test::readFile(folder_ / "large.jpg");
    auto process = launch({"--headless", "--watch", folder_.native(), "--originals", "replace"});

    // Work files appear once the large file is being encoded.
    ASSERT_TRUE(waitFor(*process, [&] { return holdsWorkFiles(folder_); })) << process->err();
    process->signal(SIGTERM);
    EXPECT_EQ(process->wait(60s), 0) << process->err();
    EXPECT_FALSE(holdsWorkFiles(folder_));
    // Either the file was finished before the signal won, or it is untouched.
    const std::string now = test::readFile(folder_ / "large.jpg");
    if (now != original) {
        EXPECT_EQ(backups(folder_), std::vector<std::string>{original});
    }
}

TEST_F(HeadlessProgramTest, AFolderRemovedWhileRunningIsPickedUpAgainWhenItReturns) {
    auto process = launch({"--headless", "--watch", folder_.native()}, /*debugLog=*/true);
    ASSERT_TRUE(waitFor(*process, [&] { return scansLogged() > 0; })) << process->err();

    const fs::path aside = dir_ / "aside";
    fs::rename(folder_, aside);
    const auto logged = [&](const char* line) {
        std::error_code error;
        return fs::exists(dir_ / "logs" / "native.log", error) &&
               test::readFile(dir_ / "logs" / "native.log").find(line) != std::string::npos;
    };
    ASSERT_TRUE(waitFor(*process, [&] { return logged("Waiting for folder "); }))
        << "the program must notice the folder is gone: " << process->err();
    TestImages::jpeg(aside / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    fs::rename(aside, folder_);

    EXPECT_TRUE(waitFor(*process, [&] { return fs::exists(folder_ / "photo_velkcompressed.jpg"); }))
        << "scans did not resume: " << process->err();
    EXPECT_TRUE(logged("Folder is back "));
    process->signal(SIGINT);
    EXPECT_EQ(process->wait(60s), 0) << process->err();
}

TEST_F(HeadlessProgramTest, ASecondInstanceExitsWithTwoNamingTheFirstUntilThatOneIsKilled) {
    auto first = launch({"--headless", "--watch", folder_.native()}, /*debugLog=*/true);
    ASSERT_TRUE(waitFor(*first, [&] { return scansLogged() > 0; })) << first->err();
    const std::string pid = std::to_string(first->pid());

    // The same settings, or other settings on the same folder.
    for (const std::string support : {"support", "other-support"}) {
        const Outcome second =
            run({"--headless", "--watch", folder_.native(), "--once"}, 30s, support);
        EXPECT_EQ(second.status, 2) << support << ": " << second.err;
        // The settings lock is refused before any settings are read, in English; the
        // folder's in the interface language (Russian by default).
        const bool names = second.err.find("process " + pid) != std::string::npos ||
                           second.err.find("процесс " + pid) != std::string::npos;
        EXPECT_TRUE(names) << second.err;
    }
    EXPECT_FALSE(first->hasExited());

    // The kernel drops both locks with the process, however it ends.
    first->signal(SIGKILL);
    first->wait(30s);
    const Outcome after = run({"--headless", "--once"}, 60s);
    EXPECT_EQ(after.status, 0) << after.err;
}

TEST_F(HeadlessProgramTest, TheTrayAndAHeadlessRunOnOneSettingsFolderExcludeEachOther) {
    const auto appLaunched = [&] {
        std::error_code error;
        const fs::path log = dir_ / "logs" / "native.log";
        return fs::exists(log, error) &&
               test::readFile(log).find("] App launched") != std::string::npos;
    };
    auto headless = launch({"--headless", "--watch", folder_.native()}, /*debugLog=*/true);
    ASSERT_TRUE(waitFor(*headless, [&] { return scansLogged() > 0; })) << headless->err();
    auto refusedTray = launch({}, false, "support", /*tray=*/true);
    EXPECT_EQ(refusedTray->wait(30s), 2) << refusedTray->err();
    EXPECT_NE(refusedTray->err().find("process " + std::to_string(headless->pid())),
              std::string::npos)
        << refusedTray->err();
    headless->signal(SIGTERM);
    ASSERT_EQ(headless->wait(30s), 0);

    auto tray = launch({}, false, "support", /*tray=*/true);
    ASSERT_TRUE(waitFor(*tray, appLaunched, 60s)) << tray->err();
    const Outcome refused = run({"--headless", "--once"}, 30s);
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_NE(refused.err.find("process " + std::to_string(tray->pid())), std::string::npos)
        << refused.err;
    // A second tray is still handed to the first rather than refused by the lock.
    auto secondTray = launch({"--show", "history"}, false, "support", /*tray=*/true);
    EXPECT_EQ(secondTray->wait(30s), 0) << secondTray->err();
    tray->signal(SIGTERM);
    EXPECT_EQ(tray->wait(30s), 0) << tray->err();
}

TEST_F(HeadlessProgramTest, ControlCharactersInANameReachNeitherTheLogNorTheTerminalRaw) {
    const std::string name =
        "x\n[2026-01-01 00:00:00 +0000] Removed leftover swap file \x1b[31mred.jpg";
    TestImages::jpeg(folder_ / name, 160, 120, test::imageOptions().withDetail().withQuality(98));
    test::writeFile(folder_ / "broken\x1b]0;title\x07.png", "not a PNG");

    auto process = launch({"--headless", "--watch", folder_.native(), "--once"}, /*debugLog=*/true);
    ASSERT_EQ(process->wait(120s), 1) << process->err();
    ASSERT_TRUE(fs::exists(folder_ / "x\n[2026-01-01 00:00:00 +0000] Removed leftover swap file "
                                     "\x1b[31mred_velkcompressed.jpg"));
    const std::string log = test::readFile(dir_ / "logs" / "native.log");
    for (const auto& [what, text] : {std::pair{"log", log}, std::pair{"stdout", process->out()},
                                     std::pair{"stderr", process->err()}}) {
        EXPECT_EQ(text.find_first_of("\x1b\x07\r"), std::string::npos) << what << ": " << text;
        EXPECT_EQ(text.find("\n[2026-01-01"), std::string::npos) << what << ": " << text;
    }
    const std::string shown =
        "x\\n[2026-01-01 00:00:00 +0000] Removed leftover swap file \\x1b[31mred";
    EXPECT_NE(log.find(shown), std::string::npos) << log;
    EXPECT_NE(process->out().find(shown), std::string::npos) << process->out();
}

} // namespace
} // namespace velk
