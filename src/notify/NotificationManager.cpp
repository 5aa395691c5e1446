#include "notify/NotificationManager.h"

#include <cassert>
#include <cstddef>
#include <string>
#include <utility>

#include "core/NativeLog.h"

namespace velk {

namespace {

// Expired entries decide nothing, so dropping them changes no outcome; it only keeps a
// long run over a folder with many failing files from growing the map without end.
constexpr std::size_t pruneThreshold = 512;

std::string statusText(NotificationAuthorization status) {
    return std::to_string(static_cast<int>(status));
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// Only needs to be unique per delivery: the same key cannot go out twice within a
// cooldown, let alone within one second.
std::string notificationIdentifier(const std::string& key) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return "velk." + std::to_string(std::hash<std::string>{}(key)) + "." + std::to_string(seconds);
}

} // namespace

NotificationManager::NotificationManager(Notifier& notifier, Clock clock)
    : notifier_(notifier), clock_(std::move(clock)), queue_(std::string(queueName)) {}

void NotificationManager::requestAuthorizationIfNeeded() {
    queue_.submit([this] {
        const NotificationAuthorization status = notifier_.authorizationStatus();
        NativeLog::write("Notification authorization status=" + statusText(status));
        if (status != NotificationAuthorization::notDetermined)
            return;
        const NotificationAuthorizationAnswer answer = notifier_.requestAuthorization();
        NativeLog::write(std::string("Notification authorization requested granted=") +
                         boolText(answer.granted));
        if (answer.error)
            NativeLog::write("Notification authorization failed: " + *answer.error);
    });
}

void NotificationManager::send(const CompressionNotificationEvent& event, const AppConfig& config) {
    // Callers filter these out already; a stray one must still not reach the desktop.
    if (!event.allowsSystemNotification())
        return;
    std::string key = event.dedupeKey();
    if (!config.notificationsEnabled) {
        NativeLog::write("Notification skipped because disabled: " + key);
        return;
    }
    const AppLanguage language = config.language;
    queue_.submit([this, event, key = std::move(key), language] {
        if (!shouldSend(key))
            return;
        deliver(event, key, language, notifier_.authorizationStatus());
    });
}

void NotificationManager::waitUntilIdle() {
    queue_.waitUntilIdle();
}

bool NotificationManager::shouldSend(const std::string& key) {
    assert(queue_.isCurrent());
    const auto now = clock_();
    if (const auto found = lastSentByKey_.find(key);
        found != lastSentByKey_.end() && now - found->second < cooldown) {
        NativeLog::write("Notification skipped by cooldown: " + key);
        return false;
    }
    if (lastSentByKey_.size() >= pruneThreshold)
        std::erase_if(lastSentByKey_,
                      [&](const auto& entry) { return now - entry.second >= cooldown; });
    // Stored before delivery: an event the desktop then refuses still starts a cooldown,
    // so a failing service is not asked again for every repeat.
    lastSentByKey_[key] = now;
    return true;
}

void NotificationManager::deliver(const CompressionNotificationEvent& event, const std::string& key,
                                  AppLanguage language, NotificationAuthorization status) {
    NativeLog::write("Notification deliver " + key + " status=" + statusText(status));
    switch (status) {
    case NotificationAuthorization::authorized:
    case NotificationAuthorization::provisional:
    case NotificationAuthorization::ephemeral:
        add(event, key, language);
        return;
    case NotificationAuthorization::notDetermined: {
        const NotificationAuthorizationAnswer answer = notifier_.requestAuthorization();
        NativeLog::write(std::string("Notification authorization requested granted=") +
                         boolText(answer.granted));
        if (answer.error) {
            NativeLog::write("Notification authorization failed: " + *answer.error);
            return;
        }
        if (!answer.granted) {
            NativeLog::write("Notification authorization not granted: " + key);
            return;
        }
        add(event, key, language);
        return;
    }
    case NotificationAuthorization::denied:
        NativeLog::write("Notification denied by Linux: " + key);
        return;
    }
}

void NotificationManager::add(const CompressionNotificationEvent& event, const std::string& key,
                              AppLanguage language) {
    const std::optional<std::string> error =
        notifier_.post(notificationIdentifier(key), event.title(language), event.body(language));
    if (error)
        NativeLog::write("Notification delivery failed: " + *error);
    else
        NativeLog::write("Notification delivered: " + key);
}

} // namespace velk
