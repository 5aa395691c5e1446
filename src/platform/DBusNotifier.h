#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/Notifier.h"

namespace velk {

/// Notifications through the freedesktop service `org.freedesktop.Notifications` on the
/// user's session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). There is no
/// permission to ask for: a server that answers counts as authorized, no bus or no server
/// as denied.
///
/// Every notification names the application's icon and launcher (so desktops can group
/// and mute them) and its urgency. Buttons go out only to a server that offers actions;
/// once an action handler is set, notifications are sent on one lasting connection that
/// a thread of the notifier's listens on, since some servers tell a click only to the
/// connection that sent the notification.
class DBusNotifier final : public Notifier {
public:
    static constexpr std::string_view applicationName = "Velk | Compressor";
    /// The launcher's id (velk-compressor.desktop) and the icon theme's name for the app.
    static constexpr std::string_view desktopEntry = "velk-compressor";
    static constexpr std::string_view iconName = "velk-compressor";

    /// `timeout` bounds each call to the bus, so a hung server costs the caller at most
    /// that long per operation.
    explicit DBusNotifier(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~DBusNotifier() override;

    NotificationAuthorization authorizationStatus() override;
    NotificationAuthorizationAnswer requestAuthorization() override;
    std::optional<std::string> post(const std::string& identifier, const std::string& title,
                                    const std::string& body) override;
    std::optional<std::string> postNotification(const std::string& identifier,
                                                const NotificationContent& content) override;
    void setActionHandler(ActionHandler handler) override;

private:
    class Listener;

    void actionChosen(const std::string& identifier, const std::string& action);

    std::chrono::milliseconds timeout_;
    std::mutex handlerMutex_;
    ActionHandler handler_; // under handlerMutex_
    std::mutex mutex_;
    std::unique_ptr<Listener> listener_; // under mutex_
};

} // namespace velk
