#include "updater/BundleCopy.h"

#include <sys/stat.h>

namespace velk::updater {

namespace fs = std::filesystem;

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
