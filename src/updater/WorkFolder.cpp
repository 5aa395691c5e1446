#include "updater/WorkFolder.h"

#include "updater/BundleCopy.h"
#include "updater/BundleInfo.h"
#include "updater/TemporaryNames.h"
#include "updater/UpdateHelperError.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace velk::updater {

namespace fs = std::filesystem;

namespace {

/// One open descriptor, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

void syncDescriptor(const fs::path& path, int flags) {
    const Descriptor descriptor(::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW));
    if (descriptor.get() < 0)
        fail("cannot open", path, errno);
    if (::fsync(descriptor.get()) != 0)
        fail("cannot flush", path, errno);
}

// Whether the program a bundle starts with is there to be started: a bundle a copy left
// half-made usually lacks it or its Info.plist.
bool isUsable(const fs::path& bundle) {
    const auto executable = bundleExecutable(bundle);
    struct stat info {};
    return executable && ::stat(executable->c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(executable->c_str(), X_OK) == 0;
}

bool isPresent(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// A backup an earlier installer made by moving the installed bundle aside before copying the
// new one in; killed in between, it left the only complete bundle here.
void repairBackup(const fs::path& backup, const fs::path& installed) {
    if (!isPresent(installed)) {
        if (::rename(backup.c_str(), installed.c_str()) == 0)
            syncFolder(installed.parent_path());
        return;
    }
    if (!isUsable(installed) && isUsable(backup)) {
        try {
            if (exchangePaths(backup, installed))
                syncFolder(installed.parent_path());
        } catch (const fs::filesystem_error&) {
            return;
        }
    }
    removeBundle(backup);
}

void repairWorkFolder(const fs::path& folder, const fs::path& installed) {
    const Descriptor descriptor(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    // An installation still running holds the lock: its folder is in use, not left over.
    if (descriptor.get() < 0 || ::flock(descriptor.get(), LOCK_EX | LOCK_NB) != 0)
        return;
    const fs::path previous = folder / "previous";
    if (!isPresent(installed) && isPresent(previous) &&
        ::rename(previous.c_str(), installed.c_str()) == 0) {
        syncFolder(installed.parent_path());
    }
    removeBundle(folder);
}

} // namespace

std::string workFolderPrefix(const fs::path& installed) {
    return "." + installed.filename().string() + ".update-";
}

WorkFolder::WorkFolder(const fs::path& installed)
    : path_(installed.parent_path() / (workFolderPrefix(installed) + randomUuidText())) {
    if (::mkdir(path_.c_str(), 0700) != 0) {
        const int error = errno;
        throw UpdateHelperError::installationFailed("Could not create the folder " +
                                                    path_.string() + ": " +
                                                    std::generic_category().message(error));
    }
    descriptor_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor_ < 0 || ::flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        removeBundle(path_);
        throw UpdateHelperError::installationFailed("Could not lock the folder " + path_.string() +
                                                    ": " + std::generic_category().message(error));
    }
}

WorkFolder::~WorkFolder() {
    // Removed before the lock goes: a repair never sees it half removed and unlocked.
    removeBundle(path_);
    syncFolder(path_.parent_path());
    ::close(descriptor_);
}

void repairInterruptedUpdate(const fs::path& installed) {
    const std::string prefix = workFolderPrefix(installed);
    const std::string backupPrefix = prefix + "backup-";
    std::vector<fs::path> leftovers;
    std::error_code error;
    for (auto it = fs::directory_iterator(installed.parent_path(), error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        if (it->path().filename().string().starts_with(prefix))
            leftovers.push_back(it->path());
    }
    for (const auto& leftover : leftovers) {
        if (leftover.filename().string().starts_with(backupPrefix)) {
            repairBackup(leftover, installed);
        } else {
            repairWorkFolder(leftover, installed);
        }
    }
}

bool exchangePaths(const fs::path& first, const fs::path& second) {
    if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0) {
        return true;
    }
    const int error = errno;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP)
        return false;
    fail("cannot exchange", first, error);
}

void syncTree(const fs::path& root) {
    struct stat info {};
    if (::lstat(root.c_str(), &info) != 0)
        fail("cannot read attributes", root, errno);
    if (S_ISREG(info.st_mode)) {
        syncDescriptor(root, O_RDONLY);
    } else if (S_ISDIR(info.st_mode)) {
        for (const auto& entry : fs::directory_iterator(root))
            syncTree(entry.path());
        syncDescriptor(root, O_RDONLY | O_DIRECTORY);
    }
    // A link is its own entry in its folder: the folder's flush keeps it.
}

void syncFolder(const fs::path& folder) noexcept {
    const Descriptor descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (descriptor.get() >= 0)
        ::fsync(descriptor.get());
}

} // namespace velk::updater
