#include "support/FakeNotificationServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace velk::test {

namespace {

void check(int result, const char* what) {
    if (result < 0)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(-result));
}

int readStrings(sd_bus_message* message, std::vector<std::string>& out) {
    int r = sd_bus_message_enter_container(message, 'a', "s");
    if (r < 0)
        return r;
    const char* text = nullptr;
    while ((r = sd_bus_message_read(message, "s", &text)) > 0)
        out.emplace_back(text);
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(message);
}

int readHints(sd_bus_message* message, std::size_t& count,
              std::map<std::string, std::string>& hints) {
    int r = sd_bus_message_enter_container(message, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(message, "s", &key)) < 0)
            return r;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(message, nullptr, &contents)) < 0)
            return r;
        const std::string type = contents ? contents : "";
        if ((r = sd_bus_message_enter_container(message, 'v', contents)) < 0)
            return r;
        if (type == "s") {
            const char* value = nullptr;
            if ((r = sd_bus_message_read(message, "s", &value)) < 0)
                return r;
            hints[key] = value;
        } else if (type == "y") {
            std::uint8_t value = 0;
            if ((r = sd_bus_message_read(message, "y", &value)) < 0)
                return r;
            hints[key] = std::to_string(value);
        } else if ((r = sd_bus_message_skip(message, contents)) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(message)) < 0)
            return r;
        if ((r = sd_bus_message_exit_container(message)) < 0)
            return r;
        ++count;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(message);
}

int onGetServerInformation(sd_bus_message* message, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(message, "ssss", "fake", "velk tests", "1", "1.2");
}

int onCloseNotification(sd_bus_message* message, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(message, "");
}

} // namespace

struct FakeNotificationServer::Handlers {
    static int getCapabilities(sd_bus_message* message, void* self, sd_bus_error*);
    static int notify(sd_bus_message* message, void* self, sd_bus_error* error);
};

int FakeNotificationServer::Handlers::getCapabilities(sd_bus_message* message, void* self,
                                                      sd_bus_error*) {
    const auto& server = *static_cast<FakeNotificationServer*>(self);
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(message, &reply);
    if (r >= 0)
        r = sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& name : server.options_.capabilities)
        if (r >= 0)
            r = sd_bus_message_append(reply, "s", name.c_str());
    if (r >= 0)
        r = sd_bus_message_close_container(reply);
    if (r >= 0)
        r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int FakeNotificationServer::Handlers::notify(sd_bus_message* message, void* self,
                                             sd_bus_error* error) {
    auto& server = *static_cast<FakeNotificationServer*>(self);
    ReceivedNotification note;
    const char *appName, *appIcon, *summary, *body;
    int r = sd_bus_message_read(message, "susss", &appName, &note.replacesId, &appIcon, &summary,
                                &body);
    if (r < 0)
        return r;
    note.appName = appName;
    note.appIcon = appIcon;
    note.summary = summary;
    note.body = body;
    if ((r = readStrings(message, note.actions)) < 0)
        return r;
    if ((r = readHints(message, note.hintCount, note.hints)) < 0)
        return r;
    if ((r = sd_bus_message_read(message, "i", &note.expireTimeout)) < 0)
        return r;

    std::uint32_t id;
    {
        std::scoped_lock lock(server.mutex_);
        ++server.notifyCalls_;
        // Claiming the call handled without a reply leaves the caller waiting.
        if (server.options_.ignoreNotify)
            return 1;
        if (server.options_.refuseNotify)
            return sd_bus_error_set(error, "org.freedesktop.DBus.Error.Failed", "refused by test");
        server.received_.push_back(std::move(note));
        id = static_cast<std::uint32_t>(server.received_.size());
    }
    server.arrived_.notify_all();
    return sd_bus_reply_method_return(message, "u", id);
}

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress)
    : FakeNotificationServer(busAddress, Options{}) {}

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress, Options options)
    : options_(std::move(options)) {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("GetCapabilities", "", "as", Handlers::getCapabilities,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", Handlers::notify, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("CloseNotification", "u", "", onCloseNotification,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetServerInformation", "", "ssss", onGetServerInformation,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    try {
        check(sd_bus_new(&bus_), "sd_bus_new");
        check(sd_bus_set_address(bus_, busAddress.c_str()), "sd_bus_set_address");
        check(sd_bus_set_bus_client(bus_, 1), "sd_bus_set_bus_client");
        check(sd_bus_start(bus_), "sd_bus_start");
        check(sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/Notifications",
                                       "org.freedesktop.Notifications", vtable, this),
              "sd_bus_add_object_vtable");
        check(sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0), "sd_bus_request_name");
        stopFd_ = ::eventfd(0, EFD_CLOEXEC);
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stopFd_ < 0 || wakeFd_ < 0)
            throw std::runtime_error("eventfd failed");
    } catch (...) {
        sd_bus_flush_close_unref(bus_);
        if (stopFd_ >= 0)
            ::close(stopFd_);
        if (wakeFd_ >= 0)
            ::close(wakeFd_);
        throw;
    }
    worker_ = std::thread([this] { serve(); });
}

FakeNotificationServer::~FakeNotificationServer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopFd_, &one, sizeof one);
    worker_.join();
    sd_bus_flush_close_unref(bus_);
    ::close(stopFd_);
    ::close(wakeFd_);
}

void FakeNotificationServer::invokeAction(std::uint32_t id, const std::string& action) {
    {
        std::scoped_lock lock(mutex_);
        pendingActions_.emplace_back(id, action);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void FakeNotificationServer::serve() {
    for (;;) {
        int r;
        std::vector<std::pair<std::uint32_t, std::string>> actions;
        {
            std::scoped_lock lock(mutex_);
            actions.swap(pendingActions_);
        }
        for (const auto& [id, action] : actions)
            sd_bus_emit_signal(bus_, "/org/freedesktop/Notifications",
                               "org.freedesktop.Notifications", "ActionInvoked", "us", id,
                               action.c_str());
        while ((r = sd_bus_process(bus_, nullptr)) > 0) {
        }
        if (r < 0)
            return;

        int timeoutMs = -1;
        std::uint64_t until = 0;
        if (sd_bus_get_timeout(bus_, &until) > 0 && until != UINT64_MAX) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const std::uint64_t nowUs =
                static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
            timeoutMs = until > nowUs ? static_cast<int>((until - nowUs + 999) / 1000) : 0;
        }
        pollfd fds[3] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                         {stopFd_, POLLIN, 0},
                         {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0)
            return;
        if (fds[2].revents != 0) {
            std::uint64_t drained = 0;
            [[maybe_unused]] const ssize_t read = ::read(wakeFd_, &drained, sizeof drained);
        }
    }
}

std::vector<ReceivedNotification> FakeNotificationServer::received() const {
    std::scoped_lock lock(mutex_);
    return received_;
}

std::size_t FakeNotificationServer::notifyCalls() const {
    std::scoped_lock lock(mutex_);
    return notifyCalls_;
}

bool FakeNotificationServer::waitForCount(std::size_t count) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return received_.size() >= count; });
}

} // namespace velk::test
