#include "core/Paths.h"

#include <system_error>

#include "core/Constants.h"
#include "core/Text.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
// Most paths the engine handles are already standard (a standard folder joined with a
// listed name); recognising them spares the allocations of a full normalisation on
// every file of every scan.
bool isAlreadyStandard(const std::string& text) {
    if (text.empty() || text.front() != '/')
        return false;
    if (text.size() > 1 && text.back() == '/')
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '/')
            continue;
        const std::size_t next = i + 1;
        if (next < text.size() && text[next] == '/')
            return false;
        if (next < text.size() && text[next] == '.') {
            const std::size_t after = next + 1;
            if (after == text.size() || text[after] == '/')
                return false;
            if (text[after] == '.' && (after + 1 == text.size() || text[after + 1] == '/')) {
                return false;
            }
        }
    }
    return true;
}
} // namespace

fs::path standardized(const fs::path& path) {
    if (path.empty())
        return path;
    if (isAlreadyStandard(path.native()))
        return path;
    fs::path absolute = path;
    if (!absolute.is_absolute()) {
        std::error_code ec;
        absolute = fs::absolute(path, ec);
        if (ec)
            absolute = path;
    }
    fs::path normal = absolute.lexically_normal();
    std::string text = normal.native();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return fs::path(text);
}

std::string standardizedString(const fs::path& path) {
    if (isAlreadyStandard(path.native()))
        return path.native();
    return standardized(path).native();
}

namespace {
bool isUnescaped(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '/':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
        return true;
    default:
        return false;
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

std::string fileURL(const fs::path& path, bool isDirectory) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const std::string text = standardized(path).native();
    std::string url = "file://";
    for (unsigned char c : text) {
        if (isUnescaped(c)) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0xF];
        }
    }
    if (isDirectory && url.back() != '/')
        url += '/';
    return url;
}

std::optional<fs::path> pathFromFileURL(std::string_view url) {
    constexpr std::string_view scheme = "file://";
    if (url.size() < scheme.size() || asciiLowercase(url.substr(0, scheme.size())) != scheme) {
        return std::nullopt;
    }
    std::string_view rest = url.substr(scheme.size());
    if (rest.substr(0, 9) == "localhost")
        rest.remove_prefix(9);
    if (rest.empty() || rest.front() != '/')
        return std::nullopt;
    if (const auto cut = rest.find_first_of("?#"); cut != std::string_view::npos) {
        rest = rest.substr(0, cut);
    }
    std::string bytes;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%') {
            if (i + 2 >= rest.size())
                return std::nullopt;
            const int hi = hexValue(rest[i + 1]);
            const int lo = hexValue(rest[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            bytes += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            bytes += rest[i];
        }
    }
    if (bytes.find('\0') != std::string::npos)
        return std::nullopt;
    return standardized(fs::path(bytes));
}

std::string pathKey(const fs::path& path) {
    const std::string& text = path.native();
    if (isValidUtf8(text))
        return text;
    return fileURL(path);
}

fs::path pathFromKey(std::string_view key) {
    if (key.substr(0, 5) == "file:") {
        if (auto path = pathFromFileURL(key))
            return *path;
    }
    return fs::path(std::string(key));
}

std::string lowercaseExtension(const fs::path& path) {
    const std::string extension = path.extension().native();
    return extension.empty() ? std::string() : asciiLowercase(extension.substr(1));
}

std::string displayPath(const fs::path& path) {
    return displayText(path.native());
}

std::string displayName(const fs::path& path) {
    return displayText(path.filename().native());
}

bool isScratchPath(const fs::path& path) {
    for (const fs::path& component : path) {
        const std::string& name = component.native();
        if (name.starts_with('.') && (name.find(tempFileMarker) != std::string::npos ||
                                      name.find(replaceFileMarker) != std::string::npos))
            return true;
    }
    return false;
}

std::string quotedName(const fs::path& path, AppLanguage language) {
    const std::string name = displayName(path);
    return text(language, "\u00AB" + name + "\u00BB", "\u201C" + name + "\u201D");
}

} // namespace velk
