#include "platform/DBusNotifier.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/Error.h"
#include "core/NativeLog.h"

namespace velk {

namespace {

constexpr const char* serviceName = "org.freedesktop.Notifications";
constexpr const char* objectPath = "/org/freedesktop/Notifications";
constexpr const char* interfaceName = "org.freedesktop.Notifications";

/// Stays inside this file: every public operation turns it into its answer.
class BusFailure : public Error {
public:
    using Error::Error;
};

struct BusCloser {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

class BusError {
public:
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error_); }

    sd_bus_error* get() { return &error_; }

    std::string describe(int result) const {
        if (!sd_bus_error_is_set(&error_))
            return std::strerror(-result);
        std::string text = error_.name;
        if (error_.message != nullptr && *error_.message != '\0')
            text += std::string(": ") + error_.message;
        return text;
    }

private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

void check(int result, const char* what) {
    if (result < 0)
        throw BusFailure(std::string(what) + ": " + std::strerror(-result));
}

// A fresh connection per operation: notifications are rare, a kept connection would go
// stale whenever the session bus restarts, and an sd_bus object must not be shared
// between threads.
Bus openSessionBus() {
    sd_bus* raw = nullptr;
    const int result = sd_bus_open_user(&raw);
    Bus bus(raw);
    if (result < 0)
        throw BusFailure(std::string("No session bus: ") + std::strerror(-result));
    return bus;
}

Message newCall(sd_bus* bus, const char* member) {
    sd_bus_message* raw = nullptr;
    const int result =
        sd_bus_message_new_method_call(bus, &raw, serviceName, objectPath, interfaceName, member);
    Message message(raw);
    check(result, member);
    return message;
}

Message call(sd_bus* bus, sd_bus_message* message, std::chrono::milliseconds timeout,
             const char* member) {
    BusError error;
    sd_bus_message* raw = nullptr;
    const auto usec = static_cast<std::uint64_t>(std::max<std::int64_t>(timeout.count(), 1)) * 1000;
    const int result = sd_bus_call(bus, message, usec, error.get(), &raw);
    Message reply(raw);
    if (result < 0)
        throw BusFailure(std::string(member) + " failed: " + error.describe(result));
    return reply;
}

std::vector<std::string> capabilities(sd_bus* bus, std::chrono::milliseconds timeout) {
    Message request = newCall(bus, "GetCapabilities");
    Message reply = call(bus, request.get(), timeout, "GetCapabilities");
    std::vector<std::string> names;
    check(sd_bus_message_enter_container(reply.get(), 'a', "s"), "GetCapabilities reply");
    for (;;) {
        const char* name = nullptr;
        const int result = sd_bus_message_read(reply.get(), "s", &name);
        check(result, "GetCapabilities reply");
        if (result == 0)
            break;
        names.emplace_back(name);
    }
    check(sd_bus_message_exit_container(reply.get()), "GetCapabilities reply");
    return names;
}

// A server with "body-markup" reads the body as a small XML dialect, so a file named
// "a<b>.png" or "R&D.png" would lose characters or the whole body there.
std::string escapeMarkup(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

DBusNotifier::DBusNotifier(std::chrono::milliseconds timeout) : timeout_(timeout) {}

NotificationAuthorization DBusNotifier::authorizationStatus() {
    try {
        Bus bus = openSessionBus();
        capabilities(bus.get(), timeout_);
        return NotificationAuthorization::authorized;
    } catch (const BusFailure& failure) {
        NativeLog::debug(std::string("Notification service unavailable: ") + failure.what());
        return NotificationAuthorization::denied;
    }
}

NotificationAuthorizationAnswer DBusNotifier::requestAuthorization() {
    // Nothing to ask the user here: a server that answers is the permission.
    try {
        Bus bus = openSessionBus();
        capabilities(bus.get(), timeout_);
        return {.granted = true, .error = std::nullopt};
    } catch (const BusFailure& failure) {
        return {.granted = false, .error = failure.what()};
    }
}

std::optional<std::string> DBusNotifier::post(const std::string& identifier,
                                              const std::string& title, const std::string& body) {
    try {
        Bus bus = openSessionBus();
        const std::vector<std::string> caps = capabilities(bus.get(), timeout_);
        const bool markup = std::find(caps.begin(), caps.end(), "body-markup") != caps.end();
        const std::string sentBody = markup ? escapeMarkup(body) : body;

        const std::string appName(applicationName);
        Message request = newCall(bus.get(), "Notify");
        // replaces_id must go out as a uint32: servers reject the call when the
        // signature does not match "susssasa{sv}i" exactly.
        check(sd_bus_message_append(request.get(), "susssasa{sv}i", appName.c_str(),
                                    std::uint32_t{0}, "", title.c_str(), sentBody.c_str(), 0, 0,
                                    std::int32_t{-1}),
              "Notify arguments");
        Message reply = call(bus.get(), request.get(), timeout_, "Notify");
        std::uint32_t serverId = 0;
        check(sd_bus_message_read(reply.get(), "u", &serverId), "Notify reply");
        NativeLog::debug("Notification " + identifier + " shown as " + std::to_string(serverId));
        return std::nullopt;
    } catch (const BusFailure& failure) {
        return failure.what();
    }
}

} // namespace velk
