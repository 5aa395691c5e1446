#include "platform/DBusNotifier.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
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

bool has(const std::vector<std::string>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

/// Sends one notification on `bus` and returns the server's id for it.
std::uint32_t notify(sd_bus* bus, const NotificationContent& content,
                     std::chrono::milliseconds timeout) {
    const std::vector<std::string> caps = capabilities(bus, timeout);
    const std::string body = has(caps, "body-markup") ? escapeMarkup(content.body) : content.body;
    const std::string appName(DBusNotifier::applicationName);
    const std::string icon(DBusNotifier::iconName);
    const std::string entry(DBusNotifier::desktopEntry);

    Message request = newCall(bus, "Notify");
    sd_bus_message* m = request.get();
    // replaces_id must go out as a uint32: servers reject the call when the signature
    // does not match "susssasa{sv}i" exactly.
    check(sd_bus_message_append(m, "susss", appName.c_str(), std::uint32_t{0}, icon.c_str(),
                                content.title.c_str(), body.c_str()),
          "Notify arguments");
    check(sd_bus_message_open_container(m, 'a', "s"), "Notify actions");
    // A server without actions would show the labels as text, or nothing at all.
    if (has(caps, "actions")) {
        for (const NotificationAction& action : content.actions)
            check(sd_bus_message_append(m, "ss", action.key.c_str(), action.label.c_str()),
                  "Notify actions");
    }
    check(sd_bus_message_close_container(m), "Notify actions");
    check(sd_bus_message_append(m, "a{sv}", 2, "desktop-entry", "s", entry.c_str(), "urgency", "y",
                                static_cast<std::uint8_t>(content.urgency)),
          "Notify hints");
    check(sd_bus_message_append(m, "i", std::int32_t{-1}), "Notify timeout");
    Message reply = call(bus, m, timeout, "Notify");
    std::uint32_t serverId = 0;
    check(sd_bus_message_read(reply.get(), "u", &serverId), "Notify reply");
    return serverId;
}

} // namespace

/// One lasting connection and the thread that hears the server's ActionInvoked and
/// NotificationClosed signals on it. The bus object is used by that thread and by the
/// senders, one at a time under `mutex_`.
class DBusNotifier::Listener {
public:
    using Dispatch = std::function<void(const std::string&, const std::string&)>;

    explicit Listener(Dispatch dispatch) : dispatch_(std::move(dispatch)) {
        bus_ = openSessionBus();
        check(sd_bus_match_signal(bus_.get(), nullptr, nullptr, objectPath, interfaceName,
                                  "ActionInvoked", &Listener::onAction, this),
              "ActionInvoked match");
        check(sd_bus_match_signal(bus_.get(), nullptr, nullptr, objectPath, interfaceName,
                                  "NotificationClosed", &Listener::onClosed, this),
              "NotificationClosed match");
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0)
            throw BusFailure("eventfd failed");
        thread_ = std::thread([this] { run(); });
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() {
        stop_ = true;
        wake();
        thread_.join();
        ::close(wakeFd_);
    }

    bool broken() const { return broken_; }

    std::uint32_t send(const std::string& identifier, const NotificationContent& content,
                       std::chrono::milliseconds timeout) {
        std::uint32_t serverId = 0;
        {
            std::scoped_lock lock(mutex_);
            try {
                serverId = notify(bus_.get(), content, timeout);
            } catch (const BusFailure&) {
                broken_ = true;
                throw;
            }
            if (!content.actions.empty()) {
                identifiers_[serverId] = identifier;
                order_.push_back(serverId);
                // Servers that never say a notification closed must not grow the map.
                while (order_.size() > 64) {
                    identifiers_.erase(order_.front());
                    order_.pop_front();
                }
            }
        }
        // The call may have read signals off the socket; the thread must look at them.
        wake();
        return serverId;
    }

private:
    static int onAction(sd_bus_message* message, void* self, sd_bus_error*) {
        auto& listener = *static_cast<Listener*>(self);
        std::uint32_t id = 0;
        const char* action = nullptr;
        if (sd_bus_message_read(message, "us", &id, &action) < 0)
            return 0;
        const auto found = listener.identifiers_.find(id);
        if (found != listener.identifiers_.end())
            listener.dispatch_(found->second, action);
        return 0;
    }

    static int onClosed(sd_bus_message* message, void* self, sd_bus_error*) {
        auto& listener = *static_cast<Listener*>(self);
        std::uint32_t id = 0;
        if (sd_bus_message_read(message, "u", &id) >= 0)
            listener.identifiers_.erase(id);
        return 0;
    }

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    }

    void run() {
        while (!stop_) {
            pollfd fds[2] = {{.fd = -1, .events = 0, .revents = 0},
                             {.fd = wakeFd_, .events = POLLIN, .revents = 0}};
            int timeoutMs = -1;
            {
                std::scoped_lock lock(mutex_);
                int result = 0;
                while ((result = sd_bus_process(bus_.get(), nullptr)) > 0) {
                }
                if (result < 0) {
                    broken_ = true;
                    NativeLog::debug(std::string("Notification listener ended: ") +
                                     std::strerror(-result));
                    return;
                }
                fds[0].fd = sd_bus_get_fd(bus_.get());
                fds[0].events = static_cast<short>(sd_bus_get_events(bus_.get()));
                std::uint64_t usec = 0;
                if (sd_bus_get_timeout(bus_.get(), &usec) >= 0 && usec != UINT64_MAX) {
                    timespec now{};
                    ::clock_gettime(CLOCK_MONOTONIC, &now);
                    const std::uint64_t nowUsec =
                        static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                        static_cast<std::uint64_t>(now.tv_nsec) / 1000;
                    timeoutMs = usec <= nowUsec ? 0 : static_cast<int>((usec - nowUsec) / 1000 + 1);
                }
            }
            ::poll(fds, 2, timeoutMs);
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto read = ::read(wakeFd_, &drained, sizeof drained);
        }
    }

    Dispatch dispatch_;
    std::mutex mutex_;
    Bus bus_;
    int wakeFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> broken_{false};
    std::map<std::uint32_t, std::string> identifiers_; // under mutex_
    std::deque<std::uint32_t> order_;                  // under mutex_
    std::thread thread_;
};

DBusNotifier::DBusNotifier(std::chrono::milliseconds timeout) : timeout_(timeout) {}

DBusNotifier::~DBusNotifier() {
    std::scoped_lock lock(mutex_);
    listener_.reset();
}

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
    return postNotification(
        identifier,
        {.title = title, .body = body, .urgency = NotificationUrgency::normal, .actions = {}});
}

std::optional<std::string> DBusNotifier::postNotification(const std::string& identifier,
                                                          const NotificationContent& content) {
    bool listening = false;
    {
        std::scoped_lock lock(handlerMutex_);
        listening = static_cast<bool>(handler_);
    }
    try {
        if (listening) {
            std::scoped_lock lock(mutex_);
            if (listener_ && listener_->broken())
                listener_.reset();
            if (!listener_) {
                try {
                    listener_ = std::make_unique<Listener>(
                        [this](const std::string& id, const std::string& action) {
                            actionChosen(id, action);
                        });
                } catch (const BusFailure& failure) {
                    NativeLog::debug(std::string("Notification listener unavailable: ") +
                                     failure.what());
                }
            }
            if (listener_) {
                const std::uint32_t serverId = listener_->send(identifier, content, timeout_);
                NativeLog::debug("Notification " + identifier + " shown as " +
                                 std::to_string(serverId));
                return std::nullopt;
            }
        }
        Bus bus = openSessionBus();
        const std::uint32_t serverId = notify(bus.get(), content, timeout_);
        NativeLog::debug("Notification " + identifier + " shown as " + std::to_string(serverId));
        return std::nullopt;
    } catch (const BusFailure& failure) {
        return failure.what();
    }
}

void DBusNotifier::setActionHandler(ActionHandler handler) {
    std::scoped_lock lock(handlerMutex_);
    handler_ = std::move(handler);
}

void DBusNotifier::actionChosen(const std::string& identifier, const std::string& action) {
    std::scoped_lock lock(handlerMutex_);
    if (handler_)
        handler_(identifier, action);
}

} // namespace velk
