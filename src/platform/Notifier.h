#pragma once

#include <optional>
#include <string>

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
};

} // namespace velk
