#include "core/AtomicWrite.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <system_error>
#include <unistd.h>

#include "core/Uuid.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::error_code lastError() {
    return {errno, std::generic_category()};
}
} // namespace

std::error_code writeFileAtomically(const fs::path& target, std::string_view bytes) {
    std::string suffix;
    try {
        suffix = Uuid::random().toString();
    } catch (const std::system_error& error) {
        return error.code();
    }
    const fs::path temp =
        target.parent_path() / ("." + target.filename().native() + ".tmp-" + suffix);
    FileDescriptor fd(
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0)
        return lastError();
    auto fail = [&](std::error_code ec) {
        ::unlink(temp.c_str());
        return ec;
    };
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(lastError());
        }
        written += static_cast<std::size_t>(n);
    }
    // Move into place only after fsync: a crash leaves the old file or the new, never half.
    if (::fsync(fd.get()) != 0)
        return fail(lastError());
    if (::close(fd.release()) != 0)
        return fail(lastError());
    if (::rename(temp.c_str(), target.c_str()) != 0)
        return fail(lastError());
    return {};
}

bool readWholeFile(const fs::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        return false;
    bytes = std::move(data);
    return true;
}

} // namespace velk
