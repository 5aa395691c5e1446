#include "updater/BundleCopy.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>

namespace velk::updater {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

struct stat linkStatus(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        fail("cannot read attributes", path, errno);
    return info;
}

void copyTimes(const fs::path& path, const struct stat& info) {
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        fail("cannot set times", path, errno);
    }
}

void copyMode(const fs::path& path, const struct stat& info) {
    if (::chmod(path.c_str(), info.st_mode & 07777) != 0)
        fail("cannot set permissions", path, errno);
}

void copyEntry(const fs::path& from, const fs::path& to) {
    const struct stat info = linkStatus(from);
    if (S_ISLNK(info.st_mode)) {
        fs::copy_symlink(from, to);
        copyTimes(to, info);
    } else if (S_ISREG(info.st_mode)) {
        fs::copy_file(from, to, fs::copy_options::none);
        copyMode(to, info);
        copyTimes(to, info);
    } else if (S_ISDIR(info.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0)
            fail("cannot create folder", to, errno);
        for (const auto& entry : fs::directory_iterator(from)) {
            copyEntry(entry.path(), to / entry.path().filename());
        }
        // Mode and times last: writing the children would move the time, and a read-only
        // folder could not take them.
        copyMode(to, info);
        copyTimes(to, info);
    } else {
        fail("cannot copy a special file", from, ENOTSUP);
    }
}

} // namespace

void copyBundle(const fs::path& from, const fs::path& to) {
    copyEntry(from, to);
}

bool removeBundle(const fs::path& path) noexcept {
    std::error_code error;
    const auto status = fs::symlink_status(path, error);
    if (error)
        return status.type() == fs::file_type::not_found;
    if (status.type() == fs::file_type::directory) {
        // A folder without write permission keeps its entries even from its owner.
        ::chmod(path.c_str(),
                static_cast<mode_t>(status.permissions() & fs::perms::mask) | S_IRWXU);
        for (auto it = fs::directory_iterator(path, error);
             !error && it != fs::directory_iterator(); it.increment(error)) {
            removeBundle(it->path());
        }
    }
    fs::remove(path, error);
    return !error;
}

} // namespace velk::updater
