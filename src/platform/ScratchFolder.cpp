#include "platform/ScratchFolder.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <system_error>

#include "core/Uuid.h"
#include "platform/FileSystem.h"

namespace velk {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(const fs::path& parent, std::string_view prefix) {
    std::string name(prefix);
    name += '-';
    name += Uuid::random().toString();
    path_ = parent / name;
    // The mode is set by mkdir itself, so the folder is never open to others, not even
    // for a moment; the umask can only narrow it.
    if (::mkdir(path_.c_str(), 0700) != 0)
        throw FileSystemError("create folder", path_, {errno, std::generic_category()});
}

ScratchFolder::~ScratchFolder() {
    // remove_all looks at each item with lstat, so a link a tool left inside is unlinked,
    // never followed.
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool ScratchFolder::isScratchFolderName(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + 1 + 36 || !name.starts_with(prefix) ||
        name[prefix.size()] != '-') {
        return false;
    }
    return Uuid::parse(name.substr(prefix.size() + 1)).has_value();
}

} // namespace velk
