#include "platform/CurlHttpClient.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <mutex>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include "core/Locations.h"
#include "platform/FileSystem.h"

namespace velk {

namespace fs = std::filesystem;

DownloadedFile::~DownloadedFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
}

namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// One request's state as libcurl's callbacks see it.
struct Transfer {
    const HttpRequest* request = nullptr;
    const std::atomic<bool>* stopping = nullptr;
    const fs::path* extraCaFile = nullptr;
    std::string body;
    std::unique_ptr<std::FILE, FileCloser> file;
    fs::path filePath;
    std::size_t received = 0;
    std::size_t announced = 0;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool bodyTooLarge = false;
    bool deadlinePassed = false;
    // Exceptions must not cross libcurl's C frames: kept here, rethrown after perform.
    std::exception_ptr callbackError;
};

std::size_t receive(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    try {
        const std::size_t limit = transfer.request->maximumBodyBytes;
        if (limit != 0 && transfer.received + bytes > limit) {
            transfer.bodyTooLarge = true;
            return 0;
        }
        transfer.received += bytes;
        if (transfer.file) {
            if (std::fwrite(data, 1, bytes, transfer.file.get()) != bytes) {
                throw FileSystemError("write", transfer.filePath,
                                      std::error_code(errno, std::generic_category()));
            }
            return bytes;
        }
        transfer.body.append(data, bytes);
        return bytes;
    } catch (...) {
        transfer.callbackError = std::current_exception();
        return 0;
    }
}

// The whole request's time limit for a body of `size` bytes.
std::chrono::seconds allowedTime(const HttpRequest& request, std::size_t size) {
    const std::size_t rate = request.deadlineBytesPerSecond;
    return request.deadline + std::chrono::seconds(rate == 0 ? 0 : size / rate);
}

// libcurl calls this about once a second even while nothing arrives, so a server that
// sends a byte now and then still meets the deadline.
int progress(void* user, curl_off_t announced, curl_off_t, curl_off_t, curl_off_t) {
    auto& transfer = *static_cast<Transfer*>(user);
    if (transfer.stopping->load())
        return 1;
    const HttpRequest& request = *transfer.request;
    const std::size_t limit = request.maximumBodyBytes;
    const auto size = static_cast<std::size_t>(announced > 0 ? announced : 0);
    transfer.announced = size;
    if (limit != 0 && size > limit) {
        transfer.bodyTooLarge = true;
        return 1;
    }
    if (request.deadline.count() > 0 && std::chrono::steady_clock::now() - transfer.started >
                                            allowedTime(request, size > 0 ? size : limit)) {
        transfer.deadlinePassed = true;
        return 1;
    }
    return 0;
}

CURLcode trustExtraCa(CURL*, void* sslContext, void* user) {
    const auto& transfer = *static_cast<Transfer*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    return X509_STORE_load_file(store, transfer.extraCaFile->c_str()) == 1
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

void openDownloadFile(Transfer& transfer) {
    std::string pattern = (temporaryDirectory() / "VelkCompressor-download-XXXXXX").native();
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor == -1) {
        throw FileSystemError("create", pattern, std::error_code(errno, std::generic_category()));
    }
    transfer.filePath = pattern;
    transfer.file.reset(::fdopen(descriptor, "wb"));
    if (!transfer.file) {
        const int error = errno;
        ::close(descriptor);
        std::error_code ignored;
        fs::remove(transfer.filePath, ignored);
        throw FileSystemError("open", pattern, std::error_code(error, std::generic_category()));
    }
}

std::string describe(CURLcode code, const char* detail) {
    std::string text = curl_easy_strerror(code);
    if (detail[0] != '\0')
        text += std::string(": ") + detail;
    return text;
}

HttpResult perform(const HttpRequest& request, const std::atomic<bool>& stopping,
                   const std::optional<fs::path>& extraCaFile) {
    HttpResult result;
    Transfer transfer;
    transfer.request = &request;
    transfer.stopping = &stopping;
    if (extraCaFile)
        transfer.extraCaFile = &*extraCaFile;
    if (request.toFile)
        openDownloadFile(transfer);
    // From here the file belongs to the result, so every way out removes it unless the
    // caller keeps the result.
    if (request.toFile)
        result.file = std::make_shared<DownloadedFile>(transfer.filePath);

    const std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        throw HttpError(HttpError::Kind::transport, "libcurl could not start a request");
    std::unique_ptr<curl_slist, HeaderListDeleter> headers;
    for (const auto& header : request.headers) {
        curl_slist* extended = curl_slist_append(headers.get(), header.c_str());
        if (!extended)
            throw HttpError(HttpError::Kind::transport, "out of memory");
        (void)headers.release();
        headers.reset(extended);
    }
    char errorText[CURL_ERROR_SIZE] = {};
    const long timeout = static_cast<long>(request.timeout.count());
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // libcurl would follow an https URL that redirects to plain http: only https, at the
    // start and after every redirect.
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, timeout);
    if (request.deadline.count() > 0) {
        // The longest any body may take; the progress callback holds an announced one to less.
        const auto longest = allowedTime(request, request.maximumBodyBytes);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(longest.count()) + 1);
    }
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    if (transfer.extraCaFile) {
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, trustExtraCa);
        curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &transfer);
    }

    const CURLcode code = curl_easy_perform(handle);
    if (transfer.callbackError)
        std::rethrow_exception(transfer.callbackError);
    if (transfer.file && std::fflush(transfer.file.get()) != 0) {
        throw FileSystemError("write", transfer.filePath,
                              std::error_code(errno, std::generic_category()));
    }
    transfer.file.reset();

    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    char* effectiveURL = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effectiveURL);
    if (code != CURLE_OK) {
        char* refusedRedirect = nullptr;
        curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &refusedRedirect);
        if (code == CURLE_UNSUPPORTED_PROTOCOL && status >= 300 && status < 400) {
            throw HttpError(HttpError::Kind::insecureRedirect,
                            "redirect to a non-HTTPS location refused: " +
                                std::string(refusedRedirect ? refusedRedirect : "?"));
        }
        if (transfer.bodyTooLarge) {
            throw HttpError(HttpError::Kind::bodyTooLarge,
                            "the answer is larger than " +
                                std::to_string(request.maximumBodyBytes) + " bytes");
        }
        // libcurl's own limit is the backstop for a phase without progress calls.
        const bool backstop = code == CURLE_OPERATION_TIMEDOUT && request.deadline.count() > 0 &&
                              std::chrono::steady_clock::now() - transfer.started >=
                                  allowedTime(request, request.maximumBodyBytes);
        if (transfer.deadlinePassed || backstop) {
            const std::size_t announced =
                transfer.announced > 0 ? transfer.announced : request.maximumBodyBytes;
            throw HttpError(HttpError::Kind::deadlinePassed,
                            "the server did not complete its answer within " +
                                std::to_string(allowedTime(request, announced).count()) +
                                " seconds");
        }
        throw HttpError(HttpError::Kind::transport, describe(code, errorText));
    }
    result.response = HttpResponse{status, effectiveURL ? effectiveURL : ""};
    if (!request.toFile)
        result.body = std::move(transfer.body);
    return result;
}

} // namespace

std::string HttpError::description(AppLanguage language) const {
    switch (kind_) {
    case Kind::transport:
        break;
    case Kind::insecureRedirect:
        return text(language, "Сервер перенаправил запрос на небезопасный адрес, и он был прерван.",
                    "The server redirected to an insecure address, so the request was stopped.");
    case Kind::bodyTooLarge:
        return text(language, "Сервер прислал слишком большой ответ.",
                    "The server\u2019s answer was too large.");
    case Kind::deadlinePassed:
        return text(language, "Сервер отвечает слишком медленно. Повторите попытку позже.",
                    "The server is answering too slowly. Try again later.");
    }
    return text(language,
                "Сервер недоступен. Проверьте подключение к интернету и повторите попытку.",
                "The server could not be reached. Check your internet connection and try again.");
}

CurlHttpClient::CurlHttpClient(std::optional<fs::path> extraCaFile)
    : extraCaFile_(std::move(extraCaFile)) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlHttpClient::~CurlHttpClient() {
    stopping_->store(true);
    std::scoped_lock lock(workersMutex_);
    workers_.clear();
}

void CurlHttpClient::start(HttpRequest request, Completion completion) {
    std::scoped_lock lock(workersMutex_);
    workers_.remove_if([](const Worker& worker) { return worker.finished.load(); });
    Worker& worker = workers_.emplace_back();
    try {
        worker.thread =
            std::jthread([&worker, stopping = stopping_, ca = extraCaFile_,
                          request = std::move(request), completion = std::move(completion)] {
                HttpResult result;
                try {
                    result = perform(request, *stopping, ca);
                } catch (...) {
                    result = HttpResult{};
                    result.error = std::current_exception();
                }
                if (!stopping->load())
                    completion(std::move(result));
                worker.finished.store(true);
            });
    } catch (...) {
        workers_.pop_back();
        throw;
    }
}

} // namespace velk
