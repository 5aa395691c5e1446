#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sd_bus;

namespace velk::test {

/// One Notify call as the server received it.
struct ReceivedNotification {
    std::string appName;
    std::uint32_t replacesId = 0;
    std::string appIcon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::size_t hintCount = 0;
    /// String hints as sent; byte and integer hints as decimal text.
    std::map<std::string, std::string> hints;
    std::int32_t expireTimeout = 0;
};

/// A notification server on a given bus: owns `org.freedesktop.Notifications`, answers
/// from its own thread and keeps every notification it is sent.
class FakeNotificationServer {
public:
    struct Options {
        std::vector<std::string> capabilities = {"body"};
        /// Answer every Notify with an error, as a server that refuses would.
        bool refuseNotify = false;
        /// Leave every Notify unanswered, as a hung server would.
        bool ignoreNotify = false;
    };

    /// Returns once the name is owned. Throws std::runtime_error when it cannot be.
    explicit FakeNotificationServer(const std::string& busAddress);
    FakeNotificationServer(const std::string& busAddress, Options options);
    FakeNotificationServer(const FakeNotificationServer&) = delete;
    FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;
    ~FakeNotificationServer();

    std::vector<ReceivedNotification> received() const;
    /// Waits until at least `count` notifications have arrived; false after ten seconds.
    bool waitForCount(std::size_t count) const;
    /// How many Notify calls were answered, refused ones included.
    std::size_t notifyCalls() const;
    /// Tells the bus that the user chose `action` on notification `id` (the number the
    /// n-th Notify was answered with is n), as a server does on a click.
    void invokeAction(std::uint32_t id, const std::string& action);

private:
    struct Handlers; // the bus callbacks, which reach the state below
    void serve();

    Options options_;
    sd_bus* bus_ = nullptr;
    int stopFd_ = -1;
    int wakeFd_ = -1;
    std::vector<std::pair<std::uint32_t, std::string>> pendingActions_; // under mutex_
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<ReceivedNotification> received_;
    std::size_t notifyCalls_ = 0;
    std::thread worker_;
};

} // namespace velk::test
