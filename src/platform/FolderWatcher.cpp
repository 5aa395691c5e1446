#include "platform/FolderWatcher.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace velk {

namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

constexpr std::uint32_t entryEvents =
    IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ATTRIB | IN_MODIFY;
constexpr std::uint32_t selfEvents = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

struct RemoteMagic {
    unsigned long magic;
    const char* name;
};

// From linux/magic.h and the file systems' own sources; not all of them are in the header.
constexpr std::array<RemoteMagic, 13> remoteMagics = {{
    {0x6969, "nfs"},
    {0x517b, "smb"},
    {0xff534d42, "cifs"},
    {0xfe534d42, "smb2"},
    {0x65735546, "fuse"},
    {0x01021997, "9p"},
    {0x5346414f, "afs"},
    {0x73757245, "coda"},
    {0x564c, "ncp"},
    {0x00c36400, "ceph"},
    {0x786f4256, "vboxsf"},
    {0x01161970, "gfs2"},
    {0x7461636f, "ocfs2"},
}};

} // namespace

struct FolderWatcher::Impl {
    UniqueFd inotify;
    UniqueFd wake;
    Handler handler;
    std::thread reader;

    void run() {
        alignas(inotify_event) std::array<char, 16 * 1024> buffer{};
        std::array<pollfd, 2> fds{{{inotify.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}}};
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                handler(Signal::lost);
                return;
            }
            if (fds[1].revents != 0)
                return;
            const ssize_t got = ::read(inotify.get(), buffer.data(), buffer.size());
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                handler(Signal::lost);
                return;
            }
            bool changed = false;
            bool overflow = false;
            bool lost = false;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                if (event->mask & IN_Q_OVERFLOW)
                    overflow = true;
                if (event->mask & selfEvents)
                    lost = true;
                if (event->mask & entryEvents)
                    changed = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            // One call per batch: a large copy brings thousands of modify events a second.
            if (overflow) {
                handler(Signal::overflow);
            } else if (changed) {
                handler(Signal::changed);
            }
            if (lost) {
                handler(Signal::lost);
                return;
            }
        }
    }
};

FolderWatcher::FolderWatcher(const std::filesystem::path& folder, Handler handler)
    : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->inotify.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (impl_->inotify.get() < 0)
        throwErrno("inotify_init1");
    // Only the folder itself: inotify reports its direct entries, never a subfolder's.
    if (::inotify_add_watch(impl_->inotify.get(), folder.c_str(),
                            entryEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK) < 0) {
        throwErrno("inotify_add_watch");
    }
    impl_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (impl_->wake.get() < 0)
        throwErrno("eventfd");
    impl_->reader = std::thread([impl = impl_.get()] { impl->run(); });
}

FolderWatcher::~FolderWatcher() {
    const std::uint64_t one = 1;
    // Cannot fail in a way that matters: the counter is far from overflowing.
    [[maybe_unused]] const auto written = ::write(impl_->wake.get(), &one, sizeof one);
    if (impl_->reader.joinable())
        impl_->reader.join();
}

std::optional<std::string>
FolderWatcher::remoteFileSystemName(const std::filesystem::path& folder) {
    struct statfs info {};
    if (::statfs(folder.c_str(), &info) != 0)
        return std::nullopt;
    const auto magic = static_cast<unsigned long>(info.f_type) & 0xffffffffUL;
    for (const auto& remote : remoteMagics) {
        if (remote.magic == magic)
            return std::string(remote.name);
    }
    return std::nullopt;
}

} // namespace velk
