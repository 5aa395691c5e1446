#include "update/HttpsAppUpdater.h"

#include <cerrno>
#include <cstdio>
#include <functional>
#include <vector>

#include "core/Paths.h"
#include "core/Text.h"
#include "core/Uuid.h"
#include "model/Base64.h"
#include "platform/ChildProcess.h"
#include "platform/Ed25519.h"
#include "platform/Sha256.h"
#include "update/AppUpdateError.h"
#include "update/BundleInfo.h"
#include "update/InstallerProcess.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maximumManifestBytes = 1024 * 1024;
constexpr std::size_t digestBlockBytes = 1024 * 1024;
constexpr auto checkTimeout = std::chrono::seconds(15);
constexpr auto downloadTimeout = std::chrono::seconds(120);
constexpr std::string_view invalidResponse = "The update server returned an invalid response.";
constexpr std::string_view notOverHttps = "The update download did not finish over HTTPS.";

bool isSuccessStatus(long status) {
    return status >= 200 && status <= 299;
}

bool hasHttpsScheme(std::string_view url) {
    const std::size_t colon = url.find(':');
    return colon != std::string_view::npos && asciiLowercase(url.substr(0, colon)) == "https";
}

bool isOnRemovableMedia(const fs::path& bundle) {
    const std::string path = bundle.native();
    for (const std::string_view prefix : {"/Volumes/", "/media/", "/run/media/"}) {
        if (path.starts_with(prefix))
            return true;
    }
    return false;
}

// Moving keeps the bytes without a second copy; across file systems only a copy works.
void moveOrCopy(FileSystem& fileSystem, const fs::path& from, const fs::path& to) {
    try {
        fileSystem.move(from, to);
        return;
    } catch (const FileSystemError&) {
    }
    fileSystem.copy(from, to);
    try {
        fileSystem.remove(from);
    } catch (const FileSystemError&) {
    }
}

void removeIgnoringErrors(FileSystem& fileSystem, const fs::path& path) {
    try {
        fileSystem.remove(path);
    } catch (const FileSystemError&) {
    }
}

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// Feeds the file to `consume` in blocks of at most 1 MiB; the file is closed on every way out.
void readBlocks(const fs::path& file,
                const std::function<void(const char*, std::size_t)>& consume) {
    const std::unique_ptr<std::FILE, FileCloser> stream(std::fopen(file.c_str(), "rb"));
    if (!stream)
        throw FileSystemError("open", file, std::error_code(errno, std::generic_category()));
    std::vector<char> block(digestBlockBytes);
    for (;;) {
        const std::size_t count = std::fread(block.data(), 1, block.size(), stream.get());
        if (count > 0)
            consume(block.data(), count);
        if (count < block.size()) {
            if (std::ferror(stream.get())) {
                throw FileSystemError("read", file, std::error_code(EIO, std::generic_category()));
            }
            return;
        }
    }
}

bool signatureMatches(std::string_view publisherKey, const fs::path& package,
                      const std::optional<std::string>& signature) {
    const auto key = Ed25519PublicKey::fromRaw(publisherKey);
    if (!key || !signature)
        return false;
    const auto raw = base64Decode(*signature);
    if (!raw)
        return false;
    // Ed25519 signs the message whole, so the package is read into memory once.
    std::string bytes;
    readBlocks(package,
               [&bytes](const char* data, std::size_t count) { bytes.append(data, count); });
    return key->verify(bytes, *raw);
}

// The installer's own reason when it recorded one, else what its exit status tells.
AppUpdateError installerFailure(int status, std::string_view record) {
    if (const auto reason = infoPlistString(record, "Reason"); reason && !reason->empty())
        return AppUpdateError::installation(*reason);
    return AppUpdateError::installation(
        status > 128
            ? "The update helper was stopped by signal " + std::to_string(status - 128) + "."
            : "The update helper failed with exit status " + std::to_string(status) + ".");
}

} // namespace

std::string sha256HexOfFile(const fs::path& file) {
    Sha256 hasher;
    readBlocks(file,
               [&hasher](const char* data, std::size_t count) { hasher.update(data, count); });
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : hasher.finish()) {
        text += hex[byte >> 4];
        text += hex[byte & 0xF];
    }
    return text;
}

HttpsAppUpdater::HttpsAppUpdater(std::unique_ptr<HttpClient> http, FileSystem& fileSystem,
                                 MainExecutor mainExecutor, Environment environment,
                                 std::string manifestURL)
    : http_(std::move(http)), fileSystem_(fileSystem), mainExecutor_(std::move(mainExecutor)),
      environment_(std::move(environment)), manifestURL_(std::move(manifestURL)) {}

HttpsAppUpdater::~HttpsAppUpdater() {
    // Expire the completions' handle before the client stops its threads.
    alive_.reset();
    // An installer being waited for runs on: only the watching stops.
    if (installerWatch_.joinable()) {
        installerWatch_.request_stop();
        installerWatch_.join();
    }
    http_.reset();
}

const std::optional<AppUpdateManifest>& HttpsAppUpdater::readyUpdate() const {
    // A package deleted since (temporary folders get cleaned) cannot be installed, and the
    // hand-off's error asks the user to check again: that check must then really check.
    if (!downloadedPackageURL_ || !fileSystem_.exists(*downloadedPackageURL_))
        return noUpdate_;
    return readyUpdate_;
}

void HttpsAppUpdater::setState(AppUpdaterState state) {
    state_ = state;
    if (onChange_)
        onChange_();
}

void HttpsAppUpdater::startRequest(
    HttpRequest request, std::function<void(HttpsAppUpdater&, const HttpResult&)> finish) {
    activeTask_ = true;
    const std::weak_ptr<HttpsAppUpdater*> weak = alive_;
    auto deliver = [weak, executor = mainExecutor_, finish](HttpResult result) {
        executor([weak, finish, result = std::move(result)] {
            if (const auto self = weak.lock())
                finish(**self, result);
        });
    };
    try {
        http_->start(std::move(request), deliver);
    } catch (...) {
        HttpResult failure;
        failure.error = std::current_exception();
        deliver(std::move(failure));
    }
}

void HttpsAppUpdater::check(CheckCompletion completion) {
    if (activeTask_)
        return;
    if (const auto& ready = readyUpdate()) {
        completion(AppUpdateCheckResult{AppUpdateCheckResult::Available{*ready}});
        return;
    }
    readyUpdate_.reset();
    downloadedPackageURL_.reset();
    setState(AppUpdaterState::checking);
    startRequest(HttpRequest{.url = manifestURL_,
                             // libcurl keeps no cache; this asks proxies on the way not to
                             // answer with an old manifest either.
                             .headers = {"Accept: application/json", "Cache-Control: no-cache"},
                             .timeout = checkTimeout,
                             .toFile = false,
                             .maximumBodyBytes = maximumManifestBytes,
                             .deadline = environment_.limits.checkDeadline},
                 [completion](HttpsAppUpdater& self, const HttpResult& result) {
                     self.finishCheck(result, completion);
                 });
}

void HttpsAppUpdater::finishCheck(const HttpResult& result, const CheckCompletion& completion) {
    activeTask_ = false;
    std::optional<AppUpdateManifest> manifest;
    try {
        if (result.error) {
            try {
                std::rethrow_exception(result.error);
            } catch (const HttpError& error) {
                // A manifest is a few hundred bytes; anything past the limit is not one.
                if (error.kind() == HttpError::Kind::bodyTooLarge) {
                    throw AppUpdateError::invalidManifest(std::string(invalidResponse));
                }
                throw;
            }
        }
        if (!result.response)
            throw AppUpdateError::invalidManifest(std::string(invalidResponse));
        if (!isSuccessStatus(result.response->statusCode)) {
            throw AppUpdateError::httpStatus(result.response->statusCode);
        }
        if (!result.body)
            throw AppUpdateError::invalidManifest("The update manifest is empty.");
        manifest = decodeAppUpdateManifest(*result.body);
        if (!isSupportedOnThisMac(*manifest, environment_.systemVersion)) {
            throw AppUpdateError::unsupportedSystem(requiredSystemText(*manifest));
        }
    } catch (...) {
        setState(AppUpdaterState::failed);
        completion(std::current_exception());
        return;
    }
    setState(AppUpdaterState::idle);
    if (isNewer(*manifest, environment_.running)) {
        completion(AppUpdateCheckResult{AppUpdateCheckResult::Available{std::move(*manifest)}});
    } else {
        completion(AppUpdateCheckResult{AppUpdateCheckResult::UpToDate{currentVersion()}});
    }
}

void HttpsAppUpdater::download(const AppUpdateManifest& manifest, DownloadCompletion completion) {
    if (activeTask_)
        return;
    if (!isNewer(manifest, environment_.running)) {
        completion(std::make_exception_ptr(AppUpdateError::invalidManifest(
            "The downloaded version is not newer than the installed version.")));
        return;
    }
    if (!isSupportedOnThisMac(manifest, environment_.systemVersion)) {
        completion(std::make_exception_ptr(
            AppUpdateError::unsupportedSystem(requiredSystemText(manifest))));
        return;
    }
    setState(AppUpdaterState::downloading);
    startRequest(HttpRequest{.url = manifest.downloadURL,
                             .headers = {"Accept: application/octet-stream"},
                             .timeout = downloadTimeout,
                             .toFile = true,
                             .maximumBodyBytes = environment_.limits.maximumPackageBytes,
                             .deadline = environment_.limits.downloadDeadline,
                             .deadlineBytesPerSecond = environment_.limits.downloadBytesPerSecond},
                 [manifest, completion](HttpsAppUpdater& self, const HttpResult& result) {
                     self.finishDownload(result, manifest, completion);
                 });
}

void HttpsAppUpdater::finishDownload(const HttpResult& result, const AppUpdateManifest& manifest,
                                     const DownloadCompletion& completion) {
    activeTask_ = false;
    fs::path package;
    try {
        package = storePackage(result, manifest);
    } catch (...) {
        setState(AppUpdaterState::failed);
        completion(std::current_exception());
        return;
    }
    readyUpdate_ = manifest;
    downloadedPackageURL_ = package;
    setState(AppUpdaterState::idle);
    completion(package);
}

fs::path HttpsAppUpdater::storePackage(const HttpResult& result,
                                       const AppUpdateManifest& manifest) {
    if (result.error) {
        try {
            std::rethrow_exception(result.error);
        } catch (const HttpError& error) {
            if (error.kind() == HttpError::Kind::insecureRedirect) {
                throw AppUpdateError::installation(std::string(notOverHttps));
            }
            if (error.kind() == HttpError::Kind::bodyTooLarge) {
                throw AppUpdateError::installation(
                    "The update package is larger than " +
                    std::to_string(environment_.limits.maximumPackageBytes / (1024 * 1024)) +
                    " MiB; no release is.");
            }
            throw;
        }
    }
    if (!result.response) {
        throw AppUpdateError::installation("The update download returned an invalid response.");
    }
    if (!isSuccessStatus(result.response->statusCode)) {
        throw AppUpdateError::httpStatus(result.response->statusCode);
    }
    if (!hasHttpsScheme(result.response->finalURL)) {
        throw AppUpdateError::installation(std::string(notOverHttps));
    }
    if (!result.file)
        throw AppUpdateError::installation("The update package was not downloaded.");

    const fs::path folder =
        environment_.temporaryDirectory / ("VelkCompressor-Update-" + Uuid::random().toString());
    fileSystem_.createDirectories(folder);
    const fs::path package = folder / "update.dmg";
    moveOrCopy(fileSystem_, result.file->path(), package);

    if (sha256HexOfFile(package) != manifest.sha256) {
        removeIgnoringErrors(fileSystem_, package);
        throw AppUpdateError(AppUpdateError::Kind::checksumMismatch);
    }
    // The digest came from the same server as the package; only the publisher's signature
    // shows that the package is theirs.
    if (environment_.publisherKey &&
        !signatureMatches(*environment_.publisherKey, package, manifest.signature)) {
        removeIgnoringErrors(fileSystem_, package);
        throw AppUpdateError(AppUpdateError::Kind::signatureInvalid);
    }
    return package;
}

void HttpsAppUpdater::installAndRestart(InstallCompletion completion) {
    if (activeTask_)
        return;
    try {
        if (environment_.installResultFile)
            removeIgnoringErrors(fileSystem_, *environment_.installResultFile);
        launchInstaller(true, environment_.installResultFile);
    } catch (...) {
        setState(AppUpdaterState::failed);
        completion(std::current_exception());
        return;
    }
    setState(AppUpdaterState::installing);
    completion(std::monostate{});
}

void HttpsAppUpdater::installAndWait(std::function<void()> onStarted,
                                     InstallCompletion completion) {
    if (activeTask_ || installerWatch_.joinable())
        return;
    const fs::path resultFile = environment_.temporaryDirectory /
                                ("VelkCompressor-Result-" + Uuid::random().toString() + ".plist");
    LaunchedInstaller installer;
    try {
        installer = launchInstaller(false, resultFile);
    } catch (...) {
        setState(AppUpdaterState::failed);
        completion(std::current_exception());
        return;
    }
    setState(AppUpdaterState::installing);
    onStarted();
    awaitInstaller(std::move(installer), resultFile, std::move(completion));
}

void HttpsAppUpdater::awaitInstaller(LaunchedInstaller installer, fs::path resultFile,
                                     InstallCompletion completion) {
    const std::weak_ptr<HttpsAppUpdater*> weak = alive_;
    installerWatch_ =
        std::jthread([weak, executor = mainExecutor_, installer = std::move(installer),
                      resultFile = std::move(resultFile),
                      completion = std::move(completion)](std::stop_token stop) {
            const auto status = waitForInstaller(installer.pid, stop);
            if (!status)
                return;
            std::error_code ignored;
            const std::string record = readInstallerRecord(resultFile);
            fs::remove(resultFile, ignored);
            fs::remove_all(installer.copy.parent_path(), ignored);
            executor([weak, completion, status = *status, record] {
                const auto self = weak.lock();
                if (!self)
                    return;
                if (status == 0)
                    return completion(std::monostate{});
                (*self)->setState(AppUpdaterState::failed);
                completion(std::make_exception_ptr(installerFailure(status, record)));
            });
        });
}

HttpsAppUpdater::LaunchedInstaller
HttpsAppUpdater::launchInstaller(bool waitedFor, const std::optional<fs::path>& resultFile) {
    if (!downloadedPackageURL_ || !fileSystem_.exists(*downloadedPackageURL_) || !readyUpdate_) {
        throw AppUpdateError(AppUpdateError::Kind::noUpdatePackage);
    }
    const std::optional<fs::path> bundle =
        environment_.bundle ? std::optional(standardized(*environment_.bundle)) : std::nullopt;
    if (!bundle || lowercaseExtension(*bundle) != "app") {
        throw AppUpdateError::installation("The running application bundle could not be located.");
    }
    if (isOnRemovableMedia(*bundle)) {
        throw AppUpdateError(AppUpdateError::Kind::appRunningFromDiskImage);
    }
    const fs::path helper = *bundle / "Contents" / "Resources" / "Helpers" / "VelkUpdater";
    const auto helperAttributes = fileSystem_.attributes(helper);
    if (!helperAttributes || !helperAttributes->isRegularFile) {
        throw AppUpdateError(AppUpdateError::Kind::updaterHelperMissing);
    }
    try {
        // Beside the bundle rather than in the temporary folder, which may not allow programs
        // to run (noexec): the bundle's own file system does, and the installer needs to
        // write there anyway. The next start removes the copy.
        const fs::path folder = bundle->parent_path() / ("." + bundle->filename().native() +
                                                         ".updater-" + Uuid::random().toString());
        fileSystem_.createDirectories(folder);
        const fs::path copy = folder / "VelkUpdater";
        fileSystem_.copy(helper, copy);
        std::error_code error;
        fs::permissions(copy, static_cast<fs::perms>(0755), fs::perm_options::replace, error);
        if (error)
            throw FileSystemError("set permissions of", copy, error);
        std::vector<std::string> arguments = {
            "--pid",    std::to_string(waitedFor ? environment_.processId : 0),
            "--target", bundle->native(),
            "--dmg",    downloadedPackageURL_->native()};
        if (resultFile)
            arguments.insert(arguments.end(), {"--result", resultFile->native()});
        arguments.insert(arguments.end(), {"--version", readyUpdate_->version, "--relaunch"});
        if (waitedFor) {
            launchDetached(copy, arguments);
            return {0, copy};
        }
        return {startInstaller(copy, arguments), copy};
    } catch (const Error& error) {
        throw AppUpdateError::installation(error.what());
    }
}

} // namespace velk
