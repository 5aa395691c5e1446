#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.h"

namespace velk {

/// A request that did not end in a usable HTTP response: no connection, TLS refused, a
/// time-out, a redirect we would not follow, a body over the caller's limit.
class HttpError : public Error {
public:
    enum class Kind { transport, insecureRedirect, bodyTooLarge, deadlinePassed };
    HttpError(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

    std::string description(AppLanguage language) const override;

private:
    Kind kind_;
};

struct HttpRequest {
    std::string url;
    /// Each "Name: value".
    std::vector<std::string> headers;
    /// The longest wait for the connection or for the next bytes of the answer: a slow
    /// but moving download is never cut off.
    std::chrono::seconds timeout{60};
    /// Into memory, or into a temporary file the result hands over.
    bool toFile = false;
    /// A longer body fails with bodyTooLarge, in memory or in a file; so does an announced
    /// length over it, before its first byte. 0: no limit.
    std::size_t maximumBodyBytes = 0;
    /// The longest the whole request may take, however steadily the bytes trickle in; it
    /// fails with deadlinePassed after that. 0: no limit.
    std::chrono::seconds deadline{0};
    /// Extends the deadline by the body's size at this rate: the size the server announces,
    /// or without an announcement maximumBodyBytes. 0: the deadline is fixed.
    std::size_t deadlineBytesPerSecond = 0;
};

/// A file the client downloaded into; removed when the last holder lets go, so whoever
/// wants to keep the bytes moves the file elsewhere first.
class DownloadedFile {
public:
    explicit DownloadedFile(std::filesystem::path path) : path_(std::move(path)) {}
    DownloadedFile(const DownloadedFile&) = delete;
    DownloadedFile& operator=(const DownloadedFile&) = delete;
    ~DownloadedFile();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct HttpResponse {
    long statusCode = 0;
    /// Where the answer finally came from, after every redirect.
    std::string finalURL;
};

struct HttpResult {
    /// An HttpError or FileSystemError; null when an HTTP answer arrived.
    std::exception_ptr error;
    std::optional<HttpResponse> response;
    /// The body of a request into memory.
    std::optional<std::string> body;
    /// The body of a request into a file.
    std::shared_ptr<DownloadedFile> file;
};

/// An HTTPS client. Only https URLs are fetched, and redirects are followed only to
/// https URLs.
class HttpClient {
public:
    using Completion = std::function<void(HttpResult)>;
    virtual ~HttpClient() = default;

    /// Starts the request and returns at once. The completion runs exactly once, on a
    /// thread of the client's own, unless the client is destroyed first.
    virtual void start(HttpRequest request, Completion completion) = 0;
};

} // namespace velk
