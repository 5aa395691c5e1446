#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/AppConfig.h"
#include "notify/CompressionNotificationEvent.h"
#include "platform/Notifier.h"
#include "platform/SerialQueue.h"

namespace velk {

/// Turns compression events into system notifications, at most one per dedupe key every
/// `cooldown`. Every decision goes to the diagnostic log and nowhere else: a notification
/// that cannot be shown is never reported to the user.
class NotificationManager {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::seconds cooldown{180};
    static constexpr std::string_view queueName = "com.velk.compressor.notifications";

    /// `notifier` must outlive the manager. The clock measures cooldowns; a steady one, so
    /// a wall clock set back cannot silence a key for the length of the jump.
    explicit NotificationManager(
        Notifier& notifier, Clock clock = [] { return std::chrono::steady_clock::now(); });
    NotificationManager(const NotificationManager&) = delete;
    NotificationManager& operator=(const NotificationManager&) = delete;
    ~NotificationManager();

    /// The keys of the buttons a batch's notification carries where the desktop has them.
    static constexpr std::string_view showHistoryAction = "history";
    static constexpr std::string_view openFolderAction = "folder";
    /// Called with one of the keys above, on the notifier's thread, when the user chooses
    /// that button.
    void setOnAction(std::function<void(const std::string& action)> onAction);

    /// Returns at once; the question and its answer are handled on the manager's queue.
    void requestAuthorizationIfNeeded();
    /// Called from the main thread for each event; returns at once. The language is taken
    /// from `config` now, not when the notification goes out.
    void send(const CompressionNotificationEvent& event, const AppConfig& config);
    /// One notification for all of a scan's events that are not in their cooldown, each
    /// key counted as sent; nothing when none is left. Returns at once.
    void sendBatch(std::vector<CompressionNotificationEvent> events, const AppConfig& config);

    /// Returns once everything requested before the call has been handled.
    void waitUntilIdle();

private:
    bool shouldSend(const std::string& key);
    void deliver(const NotificationContent& content, const std::string& key,
                 NotificationAuthorization status);
    void add(const NotificationContent& content, const std::string& key);

    Notifier& notifier_;
    Clock clock_;
    std::mutex actionMutex_;
    std::function<void(const std::string&)> onAction_; // under actionMutex_
    std::map<std::string, std::chrono::steady_clock::time_point> lastSentByKey_; // queue_ only
    // Declared last so it is destroyed first: its destructor finishes the running task and
    // drops the rest, so no task can outlive the members above.
    SerialQueue queue_;
};

} // namespace velk
