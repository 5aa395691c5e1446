#pragma once

#include <chrono>
#include <string_view>

#include "platform/Notifier.h"

namespace velk {

/// Notifications through the freedesktop service `org.freedesktop.Notifications` on the
/// user's session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus). There is no
/// permission to ask for: a server that answers counts as authorized, no bus or no server
/// as denied.
class DBusNotifier final : public Notifier {
public:
    static constexpr std::string_view applicationName = "Velk | Compressor";

    /// `timeout` bounds each call to the bus, so a hung server costs the caller at most
    /// that long per operation.
    explicit DBusNotifier(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    NotificationAuthorization authorizationStatus() override;
    NotificationAuthorizationAnswer requestAuthorization() override;
    std::optional<std::string> post(const std::string& identifier, const std::string& title,
                                    const std::string& body) override;

private:
    std::chrono::milliseconds timeout_;
};

} // namespace velk
