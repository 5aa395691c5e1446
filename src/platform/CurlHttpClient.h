#pragma once

#include <atomic>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/HttpClient.h"

namespace velk {

/// HttpClient on libcurl, one thread per request. Create it before the program starts
/// other threads: the first one initialises libcurl, which is not thread-safe.
class CurlHttpClient final : public HttpClient {
public:
    /// `extraCaFile`: PEM certificates trusted in addition to the system's.
    explicit CurlHttpClient(std::optional<std::filesystem::path> extraCaFile = std::nullopt);
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;
    /// Aborts the requests in flight and waits for their threads; their completions are
    /// not called.
    ~CurlHttpClient() override;

    void start(HttpRequest request, Completion completion) override;

private:
    struct Worker {
        std::atomic<bool> finished = false;
        std::jthread thread;
    };

    std::optional<std::filesystem::path> extraCaFile_;
    std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
    std::mutex workersMutex_;
    std::list<Worker> workers_;
};

} // namespace velk
