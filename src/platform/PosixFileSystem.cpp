#include "platform/PosixFileSystem.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/AtomicWrite.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

std::error_code errorFrom(int number) {
    return {number, std::generic_category()};
}

[[noreturn]] void fail(std::string_view operation, const fs::path& path, int number) {
    throw FileSystemError(operation, path, errorFrom(number));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    /// close(2) reports late write errors on some file systems, so the copy checks it.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

struct DirectoryCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

/// Removes a file this process created unless the work that fills it completes.
class PartialFile {
public:
    explicit PartialFile(fs::path path) : path_(std::move(path)) {}
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        if (!committed_)
            ::unlink(path_.c_str());
    }
    void commit() { committed_ = true; }

private:
    fs::path path_;
    bool committed_ = false;
};

Date dateFrom(const struct statx_timestamp& stamp) {
    const auto sinceEpoch =
        std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec);
    return Date(std::chrono::duration_cast<Date::duration>(sinceEpoch));
}

std::error_code copyBytes(int in, int out) {
    // copy_file_range lets the file system share extents or copy in the kernel; it is
    // refused across some file systems and by older kernels, and may stop short on
    // file systems that only pretend to support it. The read/write loop picks up from
    // the current offsets in every such case and finds the real end of the file.
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t{1} << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)
            break;
        return errorFrom(errno);
    }
    constexpr std::size_t bufferSize = 128 * 1024;
    auto buffer = std::make_unique<char[]>(bufferSize);
    for (;;) {
        const ssize_t got = ::read(in, buffer.get(), bufferSize);
        if (got == 0)
            return {};
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errorFrom(errno);
        }
        ssize_t written = 0;
        while (written < got) {
            const ssize_t n =
                ::write(out, buffer.get() + written, static_cast<std::size_t>(got - written));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errorFrom(errno);
            }
            written += n;
        }
    }
}

/// Makes a new name in the folder durable. Some file systems refuse fsync on a
/// folder; the file's own data is already flushed then, so that is not an error.
void flushFolderOf(const fs::path& path) {
    fs::path folder = path.parent_path();
    if (folder.empty())
        folder = ".";
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
}

/// A regular file opened without following a link at its name.
FileDescriptor openRegularFile(std::string_view operation, const fs::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd)
        fail(operation, file, errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        fail(operation, file, errno);
    if (!S_ISREG(info.st_mode))
        fail(operation, file, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    return fd;
}

struct timespec timespecFrom(Date date) {
    const auto since =
        std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch());
    struct timespec stamp {};
    stamp.tv_sec = static_cast<time_t>(std::chrono::floor<std::chrono::seconds>(since).count());
    stamp.tv_nsec = static_cast<long>((since - std::chrono::seconds(stamp.tv_sec)).count());
    return stamp;
}

class PosixReadableFile final : public ReadableFile {
public:
    PosixReadableFile(FileDescriptor fd, fs::path path)
        : fd_(std::move(fd)), path_(std::move(path)) {}

    std::uint64_t size() const override {
        struct stat info {};
        if (::fstat(fd_.get(), &info) != 0)
            fail("read", path_, errno);
        return static_cast<std::uint64_t>(info.st_size);
    }

    std::size_t readAt(std::uint64_t offset, char* buffer, std::size_t count) override {
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got =
                ::pread(fd_.get(), buffer + done, count - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                fail("read", path_, errno);
            if (got == 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    }

private:
    FileDescriptor fd_;
    fs::path path_;
};

} // namespace

std::optional<ItemAttributes> PosixFileSystem::attributes(const fs::path& path) const {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                &info) != 0) {
        return std::nullopt;
    }
    ItemAttributes attributes;
    attributes.size = info.stx_size;
    attributes.modificationDate = dateFrom(info.stx_mtime);
    // The change time is no substitute: a rename updates it, and the engine relies on
    // the creation date surviving a move within the folder.
    if (info.stx_mask & STATX_BTIME)
        attributes.creationDate = dateFrom(info.stx_btime);
    attributes.fileNumber = info.stx_ino;
    attributes.permissions = info.stx_mode & 0777;
    attributes.isRegularFile = S_ISREG(info.stx_mode);
    attributes.isDirectory = S_ISDIR(info.stx_mode);
    attributes.isSymbolicLink = S_ISLNK(info.stx_mode);
    return attributes;
}

std::vector<DirectoryEntry> PosixFileSystem::list(const fs::path& folder) const {
    std::unique_ptr<DIR, DirectoryCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        fail("list", folder, errno);
    std::vector<DirectoryEntry> entries;
    std::string prefix = folder.native();
    if (prefix.empty() || prefix.back() != '/')
        prefix += '/';
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0)
                fail("list", folder, errno);
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool isRegular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue; // removed since readdir saw it
                isRegular = false;
            } else {
                isRegular = S_ISREG(info.st_mode);
            }
        }
        // One string and one parse per entry: a scan lists thousands of them every second.
        std::string path = prefix;
        path += name;
        entries.push_back({fs::path(std::move(path)), isRegular, name.front() == '.'});
    }
    return entries;
}

void PosixFileSystem::writeAtomically(const fs::path& target, std::string_view bytes) {
    if (const std::error_code code = writeFileAtomically(target, bytes)) {
        throw FileSystemError("write", target, code);
    }
}

void PosixFileSystem::createDirectories(const fs::path& folder) {
    std::error_code code;
    fs::create_directories(folder, code);
    if (code)
        throw FileSystemError("create folder", folder, code);
}

void PosixFileSystem::move(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return;
    const int renameError = errno;
    if (renameError != EINVAL && renameError != ENOSYS) {
        fail("move", renameError == EEXIST ? to : from, renameError);
    }
    // No RENAME_NOREPLACE here. link() refuses an existing name atomically and keeps
    // the inode, so dates and file number survive as they would with a rename. A
    // folder cannot be hard-linked, so moving one fails on such file systems rather
    // than risk replacing something.
    if (::link(from.c_str(), to.c_str()) != 0) {
        const int linkError = errno;
        fail("move", linkError == EEXIST ? to : from, linkError);
    }
    if (::unlink(from.c_str()) != 0) {
        const int unlinkError = errno;
        ::unlink(to.c_str());
        fail("move", from, unlinkError);
    }
}

void PosixFileSystem::replace(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        fail("replace", from, errno);
}

void PosixFileSystem::copy(const fs::path& from, const fs::path& to) {
    // O_NONBLOCK only so that a FIFO cannot hang the open; it is rejected just below.
    FileDescriptor source(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!source)
        fail("copy", from, errno);
    struct stat info {};
    if (::fstat(source.get(), &info) != 0)
        fail("copy", from, errno);
    if (!S_ISREG(info.st_mode))
        fail("copy", from, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    const int sourceFlags = ::fcntl(source.get(), F_GETFL);
    if (sourceFlags >= 0)
        ::fcntl(source.get(), F_SETFL, sourceFlags & ~O_NONBLOCK);

    // O_EXCL refuses any existing name, a planted link included (O_NOFOLLOW says so
    // twice), so a copy never writes through someone else's name.
    FileDescriptor target(
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!target)
        fail("copy", to, errno);
    PartialFile partial(to);

    if (const std::error_code code = copyBytes(source.get(), target.get())) {
        throw FileSystemError("copy", to, code);
    }
    // Set after creation so the umask cannot narrow it; set-id bits are not carried
    // over to a copy.
    if (::fchmod(target.get(), info.st_mode & 0777) != 0)
        fail("copy", to, errno);
    // A copy stands for the original (a backup, a move across volumes): it keeps its dates.
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::futimens(target.get(), times) != 0)
        fail("copy", to, errno);
    if (::fsync(target.get()) != 0)
        fail("copy", to, errno);
    if (target.close() != 0)
        fail("copy", to, errno);
    flushFolderOf(to);
    partial.commit();
}

void PosixFileSystem::remove(const fs::path& path) {
    // remove_all looks at each item with lstat: a link is unlinked, never followed,
    // both at the top and inside a folder.
    std::error_code code;
    fs::remove_all(path, code);
    if (code)
        throw FileSystemError("remove", path, code);
}

void PosixFileSystem::removeFile(const fs::path& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        fail("remove", path, errno);
}

void PosixFileSystem::setPermissionsAndTime(const fs::path& file,
                                            std::optional<std::uint32_t> permissions,
                                            std::optional<Date> modified) {
    const FileDescriptor fd = openRegularFile("set attributes of", file);
    if (permissions && ::fchmod(fd.get(), *permissions & 0777) != 0)
        fail("set attributes of", file, errno);
    if (modified) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, timespecFrom(*modified)};
        if (::futimens(fd.get(), times) != 0)
            fail("set attributes of", file, errno);
    }
}

void PosixFileSystem::flushFile(const fs::path& file) {
    const FileDescriptor fd = openRegularFile("flush", file);
    if (::fsync(fd.get()) != 0)
        fail("flush", file, errno);
}

std::unique_ptr<ReadableFile> PosixFileSystem::openForReading(const fs::path& path) const {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        fail("read", path, errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        fail("read", path, errno);
    if (!S_ISREG(info.st_mode))
        fail("read", path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    return std::make_unique<PosixReadableFile>(std::move(fd), path);
}

FileSystem& systemFileSystem() {
    // Stateless, so one instance serves every thread.
    static PosixFileSystem instance;
    return instance;
}

void PosixFileSystem::flushFolder(const fs::path& folder) {
    flushFolderOf(folder / ".");
}

} // namespace velk
