#include "platform/FolderLock.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

std::optional<int> holderOfDescriptor(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return holderInLockTable(info.st_dev, info.st_ino);
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

std::string heldBy(std::optional<int> pid) {
    return pid ? "another program (process " + std::to_string(*pid) + ")" : "another program";
}

} // namespace

FolderLockError::FolderLockError(Kind kind, fs::path path, const std::string& message,
                                 std::optional<int> holderPid, std::error_code code)
    : Error(message), kind_(kind), path_(std::move(path)), holderPid_(holderPid), code_(code) {}

std::string FolderLockError::description(AppLanguage language) const {
    const std::string name = quotedName(path_, language);
    std::error_code error;
    // Only a folder is locked through itself; a lock file is the single-instance lock.
    const bool folder = fs::is_directory(path_, error);
    if (kind_ == Kind::unavailable)
        return text(language, "Не удалось заблокировать " + name + ".",
                    name + " could not be locked.");
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
    if (!tryLock(fd.get(), folder, "The folder")) {
        const std::optional<int> holder = holderOfDescriptor(fd.get());
        throw FolderLockError(FolderLockError::Kind::held, folder,
                              "The folder \u201C" + displayName(folder) +
                                  "\u201D is already being compressed by " + heldBy(holder) + ".",
                              holder, errorFrom(EWOULDBLOCK));
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
    // Non-blocking only so that a FIFO planted under the name cannot hang the open.
    OpenDescriptor fd(
        ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (fd.get() < 0)
        throw unavailable(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throw unavailable(errno);
    if (!S_ISREG(info.st_mode))
        throw unavailable(EINVAL);
    if (!tryLock(fd.get(), file, "The lock file")) {
        std::optional<int> holder = holderOfDescriptor(fd.get());
        if (!holder)
            holder = pidWrittenIn(fd.get());
        throw FolderLockError(FolderLockError::Kind::held, file,
                              "\u201C" + displayName(file) + "\u201D is held by " + heldBy(holder) +
                                  ".",
                              holder, errorFrom(EWOULDBLOCK));
    }
    // Only the holder writes, so the text is never torn for a reader who found it held.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) != 0 ||
        ::pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock itself holds; only the courtesy of naming us is lost.
    }
    return FolderLock(fd.release(), file);
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
