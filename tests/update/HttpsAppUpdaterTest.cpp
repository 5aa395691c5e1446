#include "update/HttpsAppUpdater.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <unistd.h>

#include "model/Base64.h"
#include "model/RecordDecodeError.h"
#include "platform/CurlHttpClient.h"
#include "platform/PosixFileSystem.h"
#include "platform/Sha256.h"
#include "support/HttpsTestServer.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "update/AppUpdateError.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::TempDir;
using test::writeFile;
using State = AppUpdaterState;
using Kind = AppUpdateError::Kind;

std::string hexDigest(std::string_view bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : Sha256::of(bytes))
        text += {hex[byte >> 4], hex[byte & 0xF]};
    return text;
}

/// The main thread as the client sees it: tasks wait here until the test runs them.
class MainQueue {
public:
    HttpsAppUpdater::MainExecutor executor() {
        return [this](std::function<void()> task) {
            std::scoped_lock lock(mutex_);
            tasks_.push_back(std::move(task));
            posted_.notify_all();
        };
    }
    /// Runs posted tasks until `done` holds; false when `patience` passes without it.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!done()) {
            std::unique_lock lock(mutex_);
            if (!posted_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) {
                return false;
            }
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
        }
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
};

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const RecordDecodeError&) {
        return "decoder error";
    } catch (const std::exception& e) {
        return e.what();
    }
}

std::optional<Kind> kindOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const AppUpdateError& e) {
        return e.kind();
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<fs::path> updateFolders(const fs::path& dir, std::string_view prefix) {
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().native().starts_with(prefix))
            folders.push_back(entry.path());
    }
    return folders;
}

/// Names in `dir` that contain `part`.
std::vector<std::string> entriesNamed(const fs::path& dir, std::string_view part) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().native().find(part) != std::string::npos)
            names.push_back(entry.path().filename().native());
    }
    return names;
}

class HttpsAppUpdaterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = test::HttpsTestServer::start(); }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override {
        if (!server_)
            GTEST_SKIP() << "openssl or python3 not installed";
    }

    HttpsAppUpdater::Environment environment() const {
        return {.running = {"1.0", "1"},
                .systemVersion = "6.1.0",
                .bundle = std::nullopt,
                .temporaryDirectory = dir_.path(),
                .processId = static_cast<int>(::getpid()),
                .publisherKey = std::nullopt,
                .installResultFile = std::nullopt,
                .limits = {}};
    }

    std::unique_ptr<HttpsAppUpdater> makeUpdater(HttpsAppUpdater::Environment environment,
                                                 const std::string& manifestURL = "") {
        auto updater = std::make_unique<HttpsAppUpdater>(
            std::make_unique<CurlHttpClient>(server_->caFile()), fileSystem_, main_.executor(),
            std::move(environment), manifestURL);
        updater->setOnChange(
            [this, client = updater.get()] { states_.push_back(client->state()); });
        return updater;
    }

    AppUpdateManifest release(const std::string& packageURL, std::string_view bytes,
                              const std::string& extra = "") {
        return decodeAppUpdateManifest(R"({"version":"2.0-beta","download":")" + packageURL +
                                       R"(","sha256":")" + hexDigest(bytes) + "\"" + extra + "}");
    }

    AppUpdateOutcome<AppUpdateCheckResult> check(HttpsAppUpdater& updater) {
        std::optional<AppUpdateOutcome<AppUpdateCheckResult>> outcome;
        updater.check([&](const auto& answer) { outcome = answer; });
        EXPECT_TRUE(main_.runUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(std::make_exception_ptr(std::runtime_error("no answer")));
    }

    AppUpdateOutcome<fs::path> download(HttpsAppUpdater& updater,
                                        const AppUpdateManifest& manifest) {
        std::optional<AppUpdateOutcome<fs::path>> outcome;
        updater.download(manifest, [&](const auto& answer) { outcome = answer; });
        EXPECT_TRUE(main_.runUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(std::make_exception_ptr(std::runtime_error("no answer")));
    }

    static std::unique_ptr<test::HttpsTestServer> server_;
    TempDir dir_;
    PosixFileSystem fileSystem_;
    MainQueue main_;
    std::vector<State> states_;
};

std::unique_ptr<test::HttpsTestServer> HttpsAppUpdaterTest::server_;

TEST_F(HttpsAppUpdaterTest, CheckAnswersEachKindOfServerResponse) {
    const std::string hex(64, 'a');
    const auto manifest = [&](const std::string& version, const std::string& extra = "") {
        return R"({"version":")" + version + R"(","download":"https://velk.app/u","sha256":")" +
               hex + "\"" + extra + "}";
    };
    struct Case {
        const char* what;
        std::string url;
        std::string expected;
    };
    const Case cases[] = {
        {"newer", server_->publish(manifest("2.0")), "available 2.0"},
        {"older", server_->publish(manifest("0.9")), "up to date 1.0"},
        {"304", server_->origin() + "/status/304", "The update server returned HTTP 304."},
        {"500", server_->origin() + "/status/500", "The update server returned HTTP 500."},
        {"not JSON", server_->publish("<html>busy</html>"), "decoder error"},
        {"zero-length body", server_->publish(""), "decoder error"},
        {"invalid", server_->publish(manifest("2.0", R"(,"download":"http://velk.app/u")")),
         "The update URL must use HTTPS"},
        {"unsupported", server_->publish(manifest("2.0", R"(,"minimum_macOS":"99.0")")),
         "This update requires Linux 99.0 or newer."},
        {"over 1 MiB",
         server_->publish(manifest("2.0", R"(,"notes":")" + std::string(1024 * 1024, 'n') + "\"")),
         "The update server returned an invalid response."},
        {"plain http", "http://127.0.0.1:1/latest.json", "transport"},
    };
    for (const auto& c : cases) {
        auto updater = makeUpdater(environment(), c.url);
        states_.clear();
        const auto outcome = check(*updater);
        std::string answer;
        if (!outcome.succeeded()) {
            answer = kindOf(outcome.error()) || describe(outcome.error()) == "decoder error"
                         ? describe(outcome.error())
                         : "transport";
        } else if (outcome.value().isAvailable()) {
            answer =
                "available " +
                std::get<AppUpdateCheckResult::Available>(outcome.value().value).manifest.version;
        } else {
            answer = "up to date " +
                     std::get<AppUpdateCheckResult::UpToDate>(outcome.value().value).currentVersion;
        }
        EXPECT_EQ(answer, c.expected) << c.what;
        const State end = outcome.succeeded() ? State::idle : State::failed;
        EXPECT_EQ(states_, (std::vector<State>{State::checking, end})) << c.what;
        EXPECT_EQ(updater->readyUpdate(), std::nullopt);
    }
    EXPECT_NE(server_->requests().find(" application/json\n"), std::string::npos);
}

TEST_F(HttpsAppUpdaterTest, DownloadsVerifiedPackagesIntoFoldersOfTheirOwn) {
    auto updater = makeUpdater(environment(), server_->origin() + "/status/500");
    const std::string bytes = "package bytes\n";
    const std::string url = server_->publish(bytes);
    auto manifest = release(url, bytes);

    const auto first = download(*updater, manifest);
    ASSERT_TRUE(first.succeeded()) << describe(first.error());
    // A redirect that stays on https is followed; the upper-case digest still matches.
    manifest = decodeAppUpdateManifest(R"({"version":"2.0-beta","download":")" + server_->origin() +
                                       "/redirect?to=" + url + R"(","sha256":")" +
                                       [&] {
                                           std::string upper = hexDigest(bytes);
                                           for (char& c : upper)
                                               c = static_cast<char>(std::toupper(c));
                                           return upper;
                                       }() +
                                       "\"}");
    const auto second = download(*updater, manifest);
    ASSERT_TRUE(second.succeeded()) << describe(second.error());

    for (const auto& package : {first.value(), second.value()}) {
        EXPECT_EQ(package.filename(), "update.dmg");
        EXPECT_TRUE(
            package.parent_path().filename().native().starts_with("VelkCompressor-Update-"));
        EXPECT_EQ(package.parent_path().filename().native().size(), 22u + 36u);
        EXPECT_EQ(readFile(package), bytes);
    }
    EXPECT_NE(first.value().parent_path(), second.value().parent_path());
    EXPECT_EQ(updater->readyUpdate(), manifest);
    EXPECT_EQ(updater->downloadedPackageURL(), second.value());
    EXPECT_EQ(states_, (std::vector<State>{State::downloading, State::idle, State::downloading,
                                           State::idle}));
    EXPECT_NE(server_->requests().find(" application/octet-stream\n"), std::string::npos);

    // With a verified package in hand, a check answers from memory at once.
    const std::string requestsBefore = server_->requests();
    bool answered = false;
    updater->check([&](const auto& outcome) {
        answered = outcome.succeeded() && outcome.value().isAvailable();
    });
    EXPECT_TRUE(answered);
    EXPECT_EQ(states_.size(), 4u);
    EXPECT_EQ(server_->requests(), requestsBefore);

    // Once the package is gone, checking again asks the server.
    fs::remove(second.value());
    EXPECT_FALSE(check(*updater).succeeded());
    EXPECT_EQ(states_.size(), 6u);
    EXPECT_EQ(updater->readyUpdate(), std::nullopt);
}

TEST_F(HttpsAppUpdaterTest, FailedDownloadsKeepNoPackage) {
    const std::string bytes = "package bytes\n";
    const std::string url = server_->publish(bytes);
    const std::string plainURL = "http" + url.substr(5);
    struct Case {
        const char* what;
        AppUpdateManifest manifest;
        std::string expected;
    };
    const Case cases[] = {
        {"redirect to http", release(server_->origin() + "/redirect?to=" + plainURL, bytes),
         "The update download did not finish over HTTPS."},
        {"checksum", release(url, "other bytes"),
         "The downloaded update checksum does not match the release manifest."},
        {"missing", release(server_->origin() + "/gone", bytes),
         "The update server returned HTTP 404."},
    };
    for (const auto& c : cases) {
        auto updater = makeUpdater(environment());
        states_.clear();
        const auto outcome = download(*updater, c.manifest);
        ASSERT_FALSE(outcome.succeeded()) << c.what;
        EXPECT_EQ(describe(outcome.error()), c.expected) << c.what;
        EXPECT_EQ(states_, (std::vector<State>{State::downloading, State::failed})) << c.what;
        EXPECT_EQ(updater->readyUpdate(), std::nullopt) << c.what;
    }
    // Only the checksum case got as far as a folder; its package is gone, the folder stays.
    const auto folders = updateFolders(dir_.path(), "VelkCompressor-Update-");
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(fs::is_empty(folders.front()));

    // Refusals before any network work leave the state alone.
    auto updater = makeUpdater(environment());
    states_.clear();
    auto old = release(url, bytes);
    old.version = "1.0";
    updater->download(old, [&](const auto& outcome) {
        EXPECT_EQ(describe(outcome.error()),
                  "The downloaded version is not newer than the installed version.");
    });
    EXPECT_TRUE(states_.empty());
}

TEST_F(HttpsAppUpdaterTest, CheckWhileDownloadingGivesNoAnswer) {
    auto updater = makeUpdater(environment(), server_->origin() + "/status/500");
    const std::string bytes = "slow package";
    const std::string url = server_->publish(bytes);
    const std::string slowURL = server_->origin() + "/slow/" + fs::path(url).filename().native();
    bool checkAnswered = false;
    std::optional<AppUpdateOutcome<fs::path>> downloaded;
    updater->download(release(slowURL, bytes), [&](const auto& answer) { downloaded = answer; });
    updater->check([&](const auto&) { checkAnswered = true; });
    updater->installAndRestart([&](const auto&) { checkAnswered = true; });
    ASSERT_TRUE(main_.runUntil([&] { return downloaded.has_value(); }));
    EXPECT_TRUE(downloaded->succeeded());
    EXPECT_FALSE(checkAnswered);
    EXPECT_EQ(states_, (std::vector<State>{State::downloading, State::idle}));
}

TEST_F(HttpsAppUpdaterTest, UpdaterGoneMidDownloadDropsTheAnswerAndTheFile) {
    test::ScopedEnv tmp("TMPDIR", dir_.path().native());
    const std::string bytes = "slow package";
    const std::string url = server_->publish(bytes);
    auto updater = makeUpdater(environment());
    bool answered = false;
    updater->download(
        release(server_->origin() + "/slow/" + fs::path(url).filename().native(), bytes),
        [&](const auto&) { answered = true; });
    updater.reset();
    main_.runUntil([] { return false; }, 1500ms);
    EXPECT_FALSE(answered);
    EXPECT_TRUE(fs::is_empty(dir_.path()));
}

TEST_F(HttpsAppUpdaterTest, AnswersThatTrickleOrNeverEndStopAtTheirLimits) {
    test::ScopedEnv tmp("TMPDIR", dir_.path().native());
    auto environment = this->environment();
    environment.limits = {.checkDeadline = 2s,
                          .downloadDeadline = 2s,
                          .downloadBytesPerSecond = 1024 * 1024,
                          .maximumPackageBytes = 1024 * 1024};
    const std::string tooLarge = "The update package is larger than 1 MiB; no release is.";
    const struct {
        const char* path;
        bool check;
        std::string expected;
    } cases[] = {
        {"/drip", true, "the server did not complete its answer within 2 seconds"},
        // 2 s, and 1 s for the 1 MiB the limit allows a download that announces no size.
        {"/drip", false, "the server did not complete its answer within 3 seconds"},
        {"/endless", false, tooLarge},
        {"/huge", false, tooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto updater = makeUpdater(environment, server_->origin() + c.path);
        const auto started = std::chrono::steady_clock::now();
        const auto outcome = c.check ? AppUpdateOutcome<fs::path>(check(*updater).error())
                                     : download(*updater, release(server_->origin() + c.path, ""));
        ASSERT_FALSE(outcome.succeeded());
        EXPECT_EQ(describe(outcome.error()), c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
        EXPECT_EQ(updater->state(), State::failed);
        // Whatever had arrived is gone with the request.
        EXPECT_EQ(entriesNamed(dir_.path(), "VelkCompressor-download-"),
                  std::vector<std::string>{});
    }
}

TEST_F(HttpsAppUpdaterTest, SignedBuildsAcceptOnlyThePublishersSignature) {
    const std::string bytes = "signed package";
    const std::string url = server_->publish(bytes);
    const std::string good = base64Encode(server_->sign(bytes));
    const std::string other = base64Encode(server_->sign("other package"));
    const std::pair<std::string, bool> cases[] = {
        {R"(,"signature":")" + good + "\"", true},
        {R"(,"signature":")" + other + "\"", false},
        {R"(,"signature":"not base64!")", false},
        {"", false},
    };
    auto environment = this->environment();
    environment.publisherKey = server_->publisherKey();
    for (const auto& [signature, accepted] : cases) {
        auto updater = makeUpdater(environment);
        const auto outcome = download(*updater, release(url, bytes, signature));
        EXPECT_EQ(outcome.succeeded(), accepted) << signature;
        if (accepted)
            continue;
        EXPECT_EQ(kindOf(outcome.error()), Kind::signatureInvalid) << signature;
        EXPECT_EQ(updater->readyUpdate(), std::nullopt);
    }
    std::size_t packagesLeft = 0;
    for (const auto& folder : updateFolders(dir_.path(), "VelkCompressor-Update-")) {
        packagesLeft += fs::exists(folder / "update.dmg") ? 1 : 0;
    }
    EXPECT_EQ(packagesLeft, 1u);
}

/// A bundle whose installer is a script: it writes its arguments to $VELK_TEST_MARKER and,
/// given $VELK_TEST_REASON, records that refusal where "--result" says and exits 1.
fs::path makeScriptedBundle(const fs::path& bundle) {
    const fs::path helper = bundle / "Contents" / "Resources" / "Helpers" / "VelkUpdater";
    fs::create_directories(helper.parent_path());
    writeFile(helper, R"(#!/bin/sh
printf '%s\n' "$@" > "$VELK_TEST_MARKER.tmp"
mv "$VELK_TEST_MARKER.tmp" "$VELK_TEST_MARKER"
[ -n "$VELK_TEST_REASON" ] || exit 0
while [ $# -gt 0 ]; do [ "$1" = --result ] && result=$2; shift; done
printf '<plist><dict><key>Result</key><string>failed</string><key>Reason</key><string>%s</string></dict></plist>' "$VELK_TEST_REASON" > "$result"
exit 1
)");
    // Not executable in the bundle: the copy is made so.
    fs::permissions(helper, fs::perms::owner_read | fs::perms::owner_write);
    return helper;
}

std::string awaitFile(const fs::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!fs::exists(file) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return fs::exists(file) ? readFile(file) : "";
}

TEST_F(HttpsAppUpdaterTest, HandOffStartsACopyOfTheInstallerBesideTheBundle) {
    const fs::path bundle = dir_ / "Velk.APP";
    makeScriptedBundle(bundle);
    const fs::path marker = dir_ / "arguments";
    test::ScopedEnv markerEnv("VELK_TEST_MARKER", marker.native());
    const fs::path result = dir_ / "config" / "update-result.plist";
    fs::create_directories(result.parent_path());
    writeFile(result, "a record of an earlier installation");

    auto environment = this->environment();
    environment.bundle = bundle / "Contents" / "..";
    environment.temporaryDirectory = dir_ / "tmp";
    environment.installResultFile = result;
    auto updater = makeUpdater(environment);
    bool answered = false;
    updater->installAndRestart([&](const auto& outcome) {
        answered = true;
        EXPECT_EQ(kindOf(outcome.error()), Kind::noUpdatePackage);
    });
    EXPECT_TRUE(answered);

    const std::string bytes = "package";
    ASSERT_TRUE(download(*updater, release(server_->publish(bytes), bytes)).succeeded());
    states_.clear();
    updater->installAndRestart([&](const auto& outcome) {
        EXPECT_TRUE(outcome.succeeded()) << describe(outcome.error());
    });
    EXPECT_EQ(states_, std::vector<State>{State::installing});

    EXPECT_EQ(awaitFile(marker), "--pid\n" + std::to_string(::getpid()) + "\n--target\n" +
                                     bundle.native() + "\n--dmg\n" +
                                     updater->downloadedPackageURL()->native() + "\n--result\n" +
                                     result.native() + "\n--version\n2.0-beta\n--relaunch\n");
    EXPECT_FALSE(fs::exists(result));
    // The temporary folder holds only the package: it may forbid running programs.
    EXPECT_EQ(entriesNamed(dir_ / "tmp", "Updater"), std::vector<std::string>{});
    const auto copies = updateFolders(dir_.path(), ".Velk.APP.updater-");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(fs::status(copies.front() / "VelkUpdater").permissions(),
              static_cast<fs::perms>(0755));
}

TEST_F(HttpsAppUpdaterTest, InstallAndWaitAnswersWithTheInstallersOwnOutcome) {
    const fs::path bundle = dir_ / "Velk.app";
    makeScriptedBundle(bundle);
    const fs::path marker = dir_ / "arguments";
    test::ScopedEnv markerEnv("VELK_TEST_MARKER", marker.native());
    const std::string bytes = "package";
    const std::string url = server_->publish(bytes);
    for (const std::string reason :
         {"", "The update bundle does not match the installed application"}) {
        SCOPED_TRACE(reason);
        test::ScopedEnv reasonEnv("VELK_TEST_REASON", reason);
        fs::remove(marker);
        auto environment = this->environment();
        environment.bundle = bundle;
        auto updater = makeUpdater(environment);
        ASSERT_TRUE(download(*updater, release(url, bytes)).succeeded());
        states_.clear();
        bool started = false;
        std::optional<AppUpdateOutcome<std::monostate>> outcome;
        updater->installAndWait([&] { started = true; },
                                [&](const auto& answer) { outcome = answer; });
        EXPECT_TRUE(started);
        ASSERT_TRUE(main_.runUntil([&] { return outcome.has_value(); }));
        // Nobody needs to quit for this installer: it is told not to wait for us.
        EXPECT_TRUE(readFile(marker).starts_with("--pid\n0\n")) << readFile(marker);
        if (reason.empty()) {
            EXPECT_TRUE(outcome->succeeded());
            EXPECT_EQ(states_, std::vector<State>{State::installing});
        } else {
            EXPECT_EQ(describe(outcome->error()), reason);
            EXPECT_EQ(states_, (std::vector<State>{State::installing, State::failed}));
        }
        // The copy and its record are gone once the answer is in.
        EXPECT_EQ(entriesNamed(dir_.path(), ".updater-"), std::vector<std::string>{});
        EXPECT_EQ(entriesNamed(dir_.path(), "VelkCompressor-Result-"), std::vector<std::string>{});
    }
}

TEST_F(HttpsAppUpdaterTest, HandOffRefusesWhatCannotBeInstalled) {
    const fs::path noHelper = dir_ / "Empty.app";
    fs::create_directories(noHelper);
    struct Case {
        std::optional<fs::path> bundle;
        bool deletePackage;
        std::string expected;
    };
    const std::string unlocated = "The running application bundle could not be located.";
    const Case cases[] = {
        {std::nullopt, false, unlocated},
        {dir_ / "VelkCompressor", false, unlocated},
        {fs::path("/media/usb/VelkCompressor.app"), false,
         "Move Velk | Compressor to Applications before installing an update."},
        {noHelper, false, "The update helper is missing from the application bundle."},
        {noHelper, true, "The update package is no longer available. Check for updates again."},
    };
    const std::string bytes = "package";
    const std::string url = server_->publish(bytes);
    for (const auto& c : cases) {
        auto environment = this->environment();
        environment.bundle = c.bundle;
        auto updater = makeUpdater(environment);
        ASSERT_TRUE(download(*updater, release(url, bytes)).succeeded());
        if (c.deletePackage)
            fs::remove(*updater->downloadedPackageURL());
        states_.clear();
        std::string answer;
        updater->installAndRestart(
            [&](const auto& outcome) { answer = describe(outcome.error()); });
        EXPECT_EQ(answer, c.expected);
        EXPECT_EQ(states_, std::vector<State>{State::failed}) << c.expected;
    }
    EXPECT_EQ(entriesNamed(dir_.path(), ".updater-"), std::vector<std::string>{});
}

} // namespace
} // namespace velk
