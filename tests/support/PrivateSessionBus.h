#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velk::test {

/// A dbus-daemon of the test's own, listening in `folder` with a configuration that
/// activates no services, so nothing installed on the machine can answer in place of the
/// test's server. Killed and reaped on destruction, whatever state the test left.
class PrivateSessionBus {
public:
    /// The daemon's path on PATH, or none when it is not installed.
    static std::optional<std::filesystem::path> daemonPath();

    /// Returns once the daemon listens. Throws std::runtime_error when it cannot start.
    explicit PrivateSessionBus(const std::filesystem::path& folder);
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;
    ~PrivateSessionBus();

    /// A D-Bus address, as DBUS_SESSION_BUS_ADDRESS takes it.
    const std::string& address() const { return address_; }

private:
    int pid_ = -1;
    std::string address_;
};

} // namespace velk::test
