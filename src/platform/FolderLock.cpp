#include "platform/FolderLock.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

std::error_code errorFrom(int number) {
    return {number, std::generic_category()};
}

/// Closes a descriptor that has not been handed to a FolderLock yet.
class OpenDescriptor {
public:
    explicit OpenDescriptor(int fd) : fd_(fd) {}
    OpenDescriptor(const OpenDescriptor&) = delete;
    OpenDescriptor& operator=(const OpenDescriptor&) = delete;
    ~OpenDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

std::optional<int> positivePid(std::string_view text) {
    int pid = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc() || end == text.data() || pid <= 0)
        return std::nullopt;
    return pid;
}

/// The holder of a flock on the item with this device and inode, from /proc/locks:
/// "1: FLOCK  ADVISORY  WRITE 4242 fe:00:10952894 0 EOF". Waiting requests ("->") are
/// not holders. A holder in another pid namespace shows as 0 and counts as unknown.
std::optional<int> holderInLockTable(dev_t device, ino_t inode) {
    std::ifstream table("/proc/locks");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, type, mode, access, pid, where;
        fields >> id >> type;
        if (type != "FLOCK")
            continue;
        fields >> mode >> access >> pid >> where;
        unsigned major = 0, minor = 0;
        unsigned long long number = 0;
        char colon1 = 0, colon2 = 0;
        std::istringstream place(where);
        place >> std::hex >> major >> colon1 >> minor >> colon2 >> std::dec >> number;
        if (!place || colon1 != ':' || colon2 != ':')
            continue;
        if (major == ::major(device) && minor == ::minor(device) && number == inode)
            return positivePid(pid);
    }
    return std::nullopt;
}

bool processExists(int pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

/// A process other than this one with a descriptor open on the item, from /proc/*/fd.
std::optional<int> openerOf(dev_t device, ino_t inode) {
    std::unique_ptr<DIR, int (*)(DIR*)> processes(::opendir("/proc"), ::closedir);
    if (!processes)
        return std::nullopt;
    const std::string self = std::to_string(::getpid());
    while (const dirent* process = ::readdir(processes.get())) {
        const std::optional<int> pid = positivePid(process->d_name);
        if (!pid || self == process->d_name)
            continue;
        const std::string fds = "/proc/" + std::string(process->d_name) + "/fd";
        std::unique_ptr<DIR, int (*)(DIR*)> open(::opendir(fds.c_str()), ::closedir);
        if (!open)
            continue;
        while (const dirent* entry = ::readdir(open.get())) {
            struct stat info {};
            if (entry->d_name[0] != '.' &&
                ::stat((fds + "/" + entry->d_name).c_str(), &info) == 0 && info.st_dev == device &&
                info.st_ino == inode)
                return pid;
        }
    }
    return std::nullopt;
}

std::optional<int> holderOfDescriptor(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    const std::optional<int> taker = holderInLockTable(info.st_dev, info.st_ino);
    // The table names the process that took the lock. If that one is gone, a process that
    // inherited the descriptor keeps the lock alive: name it, not the dead one.
    if (taker && !processExists(*taker))
        return openerOf(info.st_dev, info.st_ino);
    return taker;
}

/// Whether the process is already on its way out: its main thread exiting or a zombie
/// (the rest still tearing down), or a SIGKILL not yet taken (a thread stuck in an
/// uninterruptible write). A process whose main thread ended on its own while others go
/// on looks the same; it is only waited for in vain.
bool isEnding(int pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream statFile(proc + "/stat");
    std::string stat;
    std::getline(statFile, stat);
    const auto nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos)
        return false;
    // After the name: state, ppid, pgrp, session, tty_nr, tpgid, flags.
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string state;
    long long skipped = 0;
    unsigned long long flags = 0;
    fields >> state;
    for (int i = 0; i < 5; ++i)
        fields >> skipped;
    fields >> flags;
    constexpr unsigned long long exitingFlag = 0x4; // PF_EXITING
    if (fields && (state == "Z" || state == "X" || state == "x" || (flags & exitingFlag)))
        return true;
    std::ifstream status(proc + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigPnd:", 0) != 0 && line.rfind("ShdPnd:", 0) != 0)
            continue;
        unsigned long long pending = 0;
        std::istringstream(line.substr(7)) >> std::hex >> pending;
        if (pending & (1ULL << (SIGKILL - 1)))
            return true;
    }
    return false;
}

/// The id a lock file's holder wrote into it.
std::optional<int> pidWrittenIn(int fd) {
    char buffer[32] = {};
    const ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (got <= 0)
        return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(got));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    return positivePid(text);
}

/// True when the lock was taken; false when another open description holds it.
bool tryLock(int fd, const fs::path& path, const std::string& what) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno == EWOULDBLOCK)
            return false;
        const int error = errno;
        throw FolderLockError(FolderLockError::Kind::unavailable, path,
                              what + " \u201C" + displayName(path) + "\u201D cannot be locked.",
                              std::nullopt, errorFrom(error));
    }
}

struct Holder {
    std::optional<int> pid;
    bool ending = false;
};

/// Takes the lock, waiting while its holder is ending. False, with the holder, when a
/// live one keeps it or an ending one outlasts the wait.
bool lockOrFindHolder(int fd, const fs::path& path, const std::string& what, Holder& holder) {
    // Between taking a SIGKILL off its queue and marking itself as exiting, a dying
    // process looks alive for a moment; a holder is taken as running only when it looks
    // alive for a little while.
    constexpr auto confirmLive = std::chrono::milliseconds(100);
    const auto deadline = std::chrono::steady_clock::now() + FolderLock::endingHolderWait;
    std::optional<std::chrono::steady_clock::time_point> seenLive;
    for (;;) {
        if (tryLock(fd, path, what))
            return true;
        holder.pid = holderOfDescriptor(fd);
        holder.ending = holder.pid && isEnding(*holder.pid);
        const auto now = std::chrono::steady_clock::now();
        if (holder.ending) {
            seenLive.reset();
            if (now >= deadline)
                return false;
        } else if (!seenLive) {
            seenLive = now;
        } else if (now - *seenLive >= confirmLive) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string heldBy(const Holder& holder) {
    if (holder.ending)
        return "a run that is still ending (process " + std::to_string(*holder.pid) + ")";
    return holder.pid ? "another program (process " + std::to_string(*holder.pid) + ")"
                      : "another program";
}

} // namespace

FolderLockError::FolderLockError(Kind kind, fs::path path, const std::string& message,
                                 std::optional<int> holderPid, std::error_code code,
                                 bool holderEnding)
    : Error(message), kind_(kind), path_(std::move(path)), holderPid_(holderPid), code_(code),
      holderEnding_(holderEnding) {}

std::string FolderLockError::description(AppLanguage language) const {
    const std::string name = quotedName(path_, language);
    std::error_code error;
    // Only a folder is locked through itself; a lock file is the single-instance lock.
    const bool folder = fs::is_directory(path_, error);
    if (kind_ == Kind::unavailable)
        return text(language, "Не удалось заблокировать " + name + ".",
                    name + " could not be locked.");
    if (kind_ == Kind::unsafe)
        return text(language,
                    "Файл блокировки " + name +
                        " — не обычный файл (например, символическая ссылка). Удалите его и "
                        "запустите программу снова.",
                    "The lock file " + name +
                        " is not a plain file (a symbolic link, for example). Remove it and "
                        "start again.");
    if (holderEnding_) {
        const std::string process = holderPid_ ? " (" + std::to_string(*holderPid_) + ")" : "";
        return text(language,
                    "Предыдущий запуск" + process +
                        " ещё завершается. Запустите снова через "
                        "минуту.",
                    "The previous run" + process + " is still ending. Start again in a moment.");
    }
    if (!folder)
        return text(language, "Velk | Compressor уже запущен.",
                    "Velk | Compressor is already running.");
    const std::string process = holderPid_ ? std::to_string(*holderPid_) : std::string();
    return text(language,
                "Папку " + name + " уже сжимает другая программа" +
                    (holderPid_ ? " (процесс " + process + ")" : "") +
                    ". Закройте её или выберите другую папку.",
                "The folder " + name + " is already being compressed by another program" +
                    (holderPid_ ? " (process " + process + ")" : "") +
                    ". Close that program or choose another folder.");
}

FolderLock::FolderLock(int fd, fs::path path) : fd_(fd), path_(std::move(path)) {}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

FolderLock::~FolderLock() {
    // Closing the last descriptor of the open description releases the lock.
    if (fd_ >= 0)
        ::close(fd_);
}

FolderLock FolderLock::lockFolder(const fs::path& folder) {
    OpenDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        const int error = errno;
        throw FolderLockError(FolderLockError::Kind::unavailable, folder,
                              "The folder \u201C" + displayName(folder) +
                                  "\u201D cannot be locked.",
                              std::nullopt, errorFrom(error));
    }
    if (Holder holder; !lockOrFindHolder(fd.get(), folder, "The folder", holder)) {
        throw FolderLockError(FolderLockError::Kind::held, folder,
                              "The folder \u201C" + displayName(folder) +
                                  "\u201D is already being compressed by " + heldBy(holder) + ".",
                              holder.pid, errorFrom(EWOULDBLOCK), holder.ending);
    }
    return FolderLock(fd.release(), folder);
}

FolderLock FolderLock::lockFile(const fs::path& file) {
    const auto unavailable = [&](int error) {
        return FolderLockError(FolderLockError::Kind::unavailable, file,
                               "The lock file \u201C" + displayName(file) +
                                   "\u201D cannot be opened.",
                               std::nullopt, errorFrom(error));
    };
    // Whatever else sits under the name would be locked instead of the file every other
    // program locks, so the lock would exclude no one: refuse rather than run unguarded.
    const auto unsafe = [&](mode_t type) {
        const std::string what =
            S_ISLNK(type) ? "a symbolic link, which is not followed" : "not a regular file";
        return FolderLockError(FolderLockError::Kind::unsafe, file,
                               "The lock file \u201C" + displayName(file) + "\u201D is " + what +
                                   "; remove it and start again.",
                               std::nullopt, errorFrom(S_ISLNK(type) ? ELOOP : EINVAL));
    };
    // Non-blocking only so that a FIFO planted under the name cannot hang the open.
    OpenDescriptor fd(
        ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (fd.get() < 0) {
        const int error = errno;
        struct stat there {};
        if (::lstat(file.c_str(), &there) == 0 && !S_ISREG(there.st_mode))
            throw unsafe(there.st_mode);
        throw unavailable(error);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throw unavailable(errno);
    if (!S_ISREG(info.st_mode))
        throw unsafe(info.st_mode);
    if (Holder holder; !lockOrFindHolder(fd.get(), file, "The lock file", holder)) {
        if (!holder.pid)
            holder.pid = pidWrittenIn(fd.get());
        throw FolderLockError(FolderLockError::Kind::held, file,
                              "\u201C" + displayName(file) + "\u201D is held by " + heldBy(holder) +
                                  ".",
                              holder.pid, errorFrom(EWOULDBLOCK), holder.ending);
    }
    // Only the holder writes, so the text is never torn for a reader who found it held.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0 ||
        ::pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock itself holds; only the courtesy of naming us is lost.
    }
    return FolderLock(fd.release(), file);
}

FolderLock::Presence FolderLock::presenceAt(const fs::path& path) const {
    struct stat locked {};
    if (::fstat(fd_, &locked) != 0 || locked.st_nlink == 0)
        return Presence::removed;
    struct stat there {};
    if (::stat(path.c_str(), &there) != 0 || there.st_dev != locked.st_dev ||
        there.st_ino != locked.st_ino)
        return Presence::elsewhere;
    return Presence::atPath;
}

std::optional<int> FolderLock::holderOf(const fs::path& path) {
    OpenDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        return std::nullopt;
    if (const auto holder = holderOfDescriptor(fd.get()))
        return holder;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    // A lock file names its holder; an unlocked one only names the last.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0)
        return std::nullopt;
    return pidWrittenIn(fd.get());
}

} // namespace velk
