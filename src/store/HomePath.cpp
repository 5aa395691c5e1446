#include "store/HomePath.h"

#include <cstdlib>

#include "core/Paths.h"

namespace velk {

std::string homeRelativePath(const std::filesystem::path& path) {
    const char* home = std::getenv("HOME");
    const std::string full = displayPath(path);
    if (!home || *home == '\0')
        return full;
    std::string prefix = displayPath(std::filesystem::path(home));
    while (prefix.size() > 1 && prefix.back() == '/')
        prefix.pop_back();
    if (full == prefix)
        return "~";
    if (prefix != "/" && full.starts_with(prefix + "/"))
        return "~" + full.substr(prefix.size());
    return full;
}

} // namespace velk
