#include "store/WatchFolderBookmark.h"

#include "core/Paths.h"

namespace velk {

std::string watchFolderBookmark(const std::filesystem::path& folder) {
    return standardized(folder).native();
}

std::optional<std::filesystem::path> resolveWatchFolderBookmark(std::string_view bookmark) {
    // A NUL would silently cut the path short at every system call.
    if (bookmark.empty() || bookmark.front() != '/' ||
        bookmark.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return standardized(std::filesystem::path(std::string(bookmark)));
}

} // namespace velk
