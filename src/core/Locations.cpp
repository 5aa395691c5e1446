#include "core/Locations.h"

#include <cstdlib>
#include <pwd.h>
#include <string>
#include <unistd.h>

#include "core/Constants.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

fs::path homeDirectory() {
    if (const char* home = nonEmptyEnv("HOME"))
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir) {
        return entry->pw_dir;
    }
    return "/";
}

fs::path defaultSupportDirectory() {
    // XDG says a relative XDG_DATA_HOME is invalid and must be ignored.
    if (const char* data = nonEmptyEnv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
        return fs::path(data) / appSupportName;
    }
    return homeDirectory() / ".local" / "share" / appSupportName;
}
} // namespace

fs::path velkApplicationSupportDirectory() {
    if (const char* dir = nonEmptyEnv("VELK_CONFIG_DIR"))
        return dir;
    return defaultSupportDirectory();
}

fs::path logDirectory() {
    if (const char* dir = nonEmptyEnv("VELK_LOG_DIR"))
        return dir;
    return defaultSupportDirectory();
}

fs::path temporaryDirectory() {
    if (const char* dir = nonEmptyEnv("TMPDIR"))
        return dir;
    return "/tmp";
}

} // namespace velk
