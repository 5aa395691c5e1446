#include "notify/NotificationManager.h"

#include <cassert>
#include <cstddef>
#include <string>
#include <utility>

#include "core/NativeLog.h"
#include "notify/BatchNotification.h"

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
    : notifier_(notifier), clock_(std::move(clock)), queue_(std::string(queueName)) {
    notifier_.setActionHandler([this](const std::string&, const std::string& action) {
        std::scoped_lock lock(actionMutex_);
        if (onAction_)
            onAction_(action);
    });
}

NotificationManager::~NotificationManager() {
    // The notifier outlives the manager and may hear a click at any time.
    notifier_.setActionHandler({});
}

void NotificationManager::setOnAction(std::function<void(const std::string& action)> onAction) {
    std::scoped_lock lock(actionMutex_);
    onAction_ = std::move(onAction);
}

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
    NotificationContent content;
    content.title = event.title(config.language);
    content.body = event.body(config.language);
    queue_.submit([this, content = std::move(content), key = std::move(key)] {
        if (!shouldSend(key))
            return;
        deliver(content, key, notifier_.authorizationStatus());
    });
}

void NotificationManager::sendBatch(std::vector<CompressionNotificationEvent> events,
                                    const AppConfig& config) {
    std::erase_if(events, [](const auto& event) { return !event.allowsSystemNotification(); });
    if (events.empty())
        return;
    if (!config.notificationsEnabled) {
        for (const auto& event : events)
            NativeLog::write("Notification skipped because disabled: " + event.dedupeKey());
        return;
    }
    const AppLanguage language = config.language;
    queue_.submit([this, events = std::move(events), language]() mutable {
        std::erase_if(events, [this](const auto& event) { return !shouldSend(event.dedupeKey()); });
        if (events.empty())
            return;
        NotificationContent content = batchNotificationContent(events, language);
        content.actions = {
            {std::string(showHistoryAction),
             text(language, "Показать в истории", "Show in history")},
            {std::string(openFolderAction), text(language, "Открыть папку", "Open folder")},
        };
        std::string key = events.front().dedupeKey();
        if (events.size() > 1)
            key += " +" + std::to_string(events.size() - 1);
        deliver(content, key, notifier_.authorizationStatus());
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

void NotificationManager::deliver(const NotificationContent& content, const std::string& key,
                                  NotificationAuthorization status) {
    NativeLog::write("Notification deliver " + key + " status=" + statusText(status));
    switch (status) {
    case NotificationAuthorization::authorized:
    case NotificationAuthorization::provisional:
    case NotificationAuthorization::ephemeral:
        add(content, key);
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
        add(content, key);
        return;
    }
    case NotificationAuthorization::denied:
        NativeLog::write("Notification denied by Linux: " + key);
        return;
    }
}

void NotificationManager::add(const NotificationContent& content, const std::string& key) {
    const std::optional<std::string> error =
        notifier_.postNotification(notificationIdentifier(key), content);
    if (error)
        NativeLog::write("Notification delivery failed: " + *error);
    else
        NativeLog::write("Notification delivered: " + key);
}

} // namespace velk
