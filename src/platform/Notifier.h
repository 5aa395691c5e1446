#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velk {

/// Whether the user lets this application post notifications. The numbers are the ones
/// the diagnostic log shows.
enum class NotificationAuthorization {
    notDetermined = 0,
    denied = 1,
    authorized = 2,
    provisional = 3,
    ephemeral = 4,
};

struct NotificationAuthorizationAnswer {
    bool granted = false;
    /// Why the question could not be answered; none when it was.
    std::optional<std::string> error;
};

enum class NotificationUrgency { low = 0, normal = 1, critical = 2 };

/// A button on a notification: `key` comes back to the action handler, `label` is shown.
struct NotificationAction {
    std::string key;
    std::string label;
};

struct NotificationContent {
    std::string title;
    std::string body;
    NotificationUrgency urgency = NotificationUrgency::normal;
    /// Shown only where the desktop offers buttons; nothing may depend on them.
    std::vector<NotificationAction> actions;
};

/// The desktop's user-notification service. Every call is synchronous but bounded by a
/// timeout, so callers keep it off the main thread. Calls may come from any thread and
/// never throw.
class Notifier {
public:
    virtual ~Notifier() = default;

    virtual NotificationAuthorization authorizationStatus() = 0;
    /// Asks for permission to show alerts (nothing else: no sound, no badge).
    virtual NotificationAuthorizationAnswer requestAuthorization() = 0;
    /// Shows one notification at once. `identifier` is unique per delivery. Returns the
    /// failure's description, or none when the service accepted it.
    virtual std::optional<std::string> post(const std::string& identifier, const std::string& title,
                                            const std::string& body) = 0;
    /// As post, with urgency and buttons; a desktop without them shows the text alone.
    virtual std::optional<std::string> postNotification(const std::string& identifier,
                                                        const NotificationContent& content) {
        return post(identifier, content.title, content.body);
    }
    /// Called, on a thread of the notifier's, with the identifier given to post and the
    /// chosen action's key. Set before the first post.
    using ActionHandler =
        std::function<void(const std::string& identifier, const std::string& action)>;
    virtual void setActionHandler(ActionHandler handler) { (void)handler; }
};

} // namespace velk
