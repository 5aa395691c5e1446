#include "platform/XdgAutostartLoginItem.h"

#include <cstdlib>
#include <system_error>

#include "core/AtomicWrite.h"
#include "core/Constants.h"
#include "core/FileError.h"
#include "core/Text.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Exec takes a command line with its own quoting rules, and the whole value is then a
// key-file string with escapes of its own: a backslash in the path ends up as four.
std::string quotedExecArgument(std::string_view path) {
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '%') // a lone % would start a field code
            escaped += "%%";
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(fs::path autostartDirectory, fs::path executable)
    : autostartDirectory_(std::move(autostartDirectory)), executable_(std::move(executable)) {}

fs::path XdgAutostartLoginItem::defaultAutostartDirectory() {
    // The base-directory rules say a relative value is invalid and must be ignored.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return fs::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    return fs::path(home && home[0] ? home : "/") / ".config" / "autostart";
}

fs::path XdgAutostartLoginItem::currentExecutable() {
    std::error_code error;
    fs::path executable = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : executable;
}

std::string XdgAutostartLoginItem::desktopEntry(const fs::path& executable) {
    const std::string& path = executable.native();
    bool representable = executable.is_absolute() && isValidUtf8(path);
    for (const unsigned char c : path) {
        if (c < 0x20 || c == 0x7f)
            representable = false;
    }
    if (!representable)
        throw FileError(FileError::Kind::writeUnknown, executable);
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" +
           std::string(appName) +
           "\n"
           "Comment=Keeps one folder of images compressed\n"
           "Comment[ru]=Сжимает новые изображения в выбранной папке\n"
           "Exec=" +
           quotedExecArgument(path) +
           "\n"
           // The installed icon's theme name, so "Startup Applications" shows no blank row.
           "Icon=velk-compressor\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool XdgAutostartLoginItem::isEnabled() const {
    std::string bytes;
    if (!readWholeFile(file(), bytes))
        return false;
    bool inMainGroup = false;
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = trimmed(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inMainGroup || equals == std::string_view::npos)
            continue;
        if (trimmed(line.substr(0, equals)) == "Hidden" &&
            trimmed(line.substr(equals + 1)) == "true") {
            return false;
        }
    }
    return true;
}

void XdgAutostartLoginItem::registerItem() {
    const std::string entry = desktopEntry(executable_);
    std::error_code error;
    fs::create_directories(autostartDirectory_, error);
    if (error || writeFileAtomically(file(), entry))
        throw FileError(FileError::Kind::writeUnknown, file());
}

void XdgAutostartLoginItem::unregisterItem() {
    std::error_code error;
    fs::remove(file(), error);
    if (error)
        throw FileError(FileError::Kind::writeUnknown, file());
}

} // namespace velk
