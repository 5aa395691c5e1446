#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/FileSystem.h"
#include "platform/HttpClient.h"
#include "update/AppUpdater.h"

namespace velk {

/// The update client: fetches the release manifest over HTTPS, downloads and verifies the
/// package, and starts the installer program copied out of the running bundle.
class HttpsAppUpdater final : public AppUpdater {
public:
    /// Runs a task later on the main thread; accepts tasks from any thread.
    using MainExecutor = std::function<void(std::function<void()>)>;

    /// How long and how large an answer may be. A server that trickles or never stops must
    /// not keep the client, or fill the disk, for ever.
    struct Limits {
        /// The whole check, however slowly the manifest arrives.
        std::chrono::seconds checkDeadline{15};
        /// The whole download: this much, plus the package's size at the rate below.
        std::chrono::seconds downloadDeadline{120};
        std::size_t downloadBytesPerSecond = 128 * 1024;
        /// Several times the largest release; a longer answer is not a package.
        std::size_t maximumPackageBytes = 512 * 1024 * 1024;
    };

    /// What the client needs to know about the running program and its system.
    struct Environment {
        RunningVersion running;
        /// "major.minor.patch" of the operating system.
        std::string systemVersion;
        /// The running application bundle; none when the program runs outside one.
        std::optional<std::filesystem::path> bundle;
        /// Where the package and the installer's copy go.
        std::filesystem::path temporaryDirectory;
        int processId = 0;
        /// The publisher's raw Ed25519 public key. When set, a package must carry its
        /// signature; a key that is not 32 bytes accepts no package at all.
        std::optional<std::string> publisherKey;
        /// Where the installer records how it ended, for the program it starts again.
        std::optional<std::filesystem::path> installResultFile;
        Limits limits;
    };

    HttpsAppUpdater(std::unique_ptr<HttpClient> http, FileSystem& fileSystem,
                    MainExecutor mainExecutor, Environment environment, std::string manifestURL);
    HttpsAppUpdater(const HttpsAppUpdater&) = delete;
    HttpsAppUpdater& operator=(const HttpsAppUpdater&) = delete;
    ~HttpsAppUpdater() override;

    AppUpdaterState state() const override { return state_; }
    /// None once the package has gone from the disk, so that the owner checks again
    /// rather than offering a release that can no longer be installed.
    const std::optional<AppUpdateManifest>& readyUpdate() const override;
    const std::optional<std::filesystem::path>& downloadedPackageURL() const override {
        return downloadedPackageURL_;
    }
    void setOnChange(std::function<void()> onChange) override { onChange_ = std::move(onChange); }

    void check(CheckCompletion completion) override;
    void download(const AppUpdateManifest& manifest, DownloadCompletion completion) override;
    void installAndRestart(InstallCompletion completion) override;
    void installAndWait(std::function<void()> onStarted, InstallCompletion completion) override;

    const std::string& currentVersion() const { return environment_.running.version; }
    const std::string& manifestURL() const { return manifestURL_; }

private:
    void setState(AppUpdaterState state);
    /// Starts the request; its result reaches `finish` on the main thread, unless this
    /// client is gone by then.
    void startRequest(HttpRequest request,
                      std::function<void(HttpsAppUpdater&, const HttpResult&)> finish);
    void finishCheck(const HttpResult& result, const CheckCompletion& completion);
    void finishDownload(const HttpResult& result, const AppUpdateManifest& manifest,
                        const DownloadCompletion& completion);
    std::filesystem::path storePackage(const HttpResult& result, const AppUpdateManifest& manifest);
    /// The installer started with the hand-off's command line: asked to wait for this
    /// process, or not (`waitedFor`), and to record its outcome in `resultFile`.
    struct LaunchedInstaller {
        int pid = 0;
        std::filesystem::path copy;
    };
    LaunchedInstaller launchInstaller(bool waitedFor,
                                      const std::optional<std::filesystem::path>& resultFile);
    void awaitInstaller(LaunchedInstaller installer, std::filesystem::path resultFile,
                        InstallCompletion completion);

    std::unique_ptr<HttpClient> http_;
    FileSystem& fileSystem_;
    MainExecutor mainExecutor_;
    Environment environment_;
    std::string manifestURL_;

    AppUpdaterState state_ = AppUpdaterState::idle;
    std::optional<AppUpdateManifest> readyUpdate_;
    std::optional<AppUpdateManifest> noUpdate_;
    std::optional<std::filesystem::path> downloadedPackageURL_;
    bool activeTask_ = false;
    /// Watches an installer that this client waits for; told to stop when the client goes.
    std::jthread installerWatch_;
    std::function<void()> onChange_;
    /// Network completions hold this weakly: one that arrives after the client is gone
    /// finds it expired and is dropped.
    std::shared_ptr<HttpsAppUpdater*> alive_ = std::make_shared<HttpsAppUpdater*>(this);
};

/// SHA-256 of a file's bytes as 64 lower-case hexadecimal digits, read in 1 MiB blocks.
/// Throws FileSystemError when the file cannot be opened or read.
std::string sha256HexOfFile(const std::filesystem::path& file);

} // namespace velk
