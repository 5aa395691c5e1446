#include "update/BundleInfo.h"

#include <fstream>
#include <iterator>

#include "core/Paths.h"
#include "core/Version.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view whitespace = " \t\r\n";

std::string_view skipWhitespace(std::string_view text) {
    const std::size_t first = text.find_first_not_of(whitespace);
    return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

// The five predefined entities and numeric references below 128 are all a generated
// Info.plist can hold in a version text.
std::optional<std::string> unescapeXml(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t end = text.find(';', i);
        if (end == std::string_view::npos)
            return std::nullopt;
        const std::string_view entity = text.substr(i + 1, end - i - 1);
        if (entity == "amp")
            out += '&';
        else if (entity == "lt")
            out += '<';
        else if (entity == "gt")
            out += '>';
        else if (entity == "quot")
            out += '"';
        else if (entity == "apos")
            out += '\'';
        else
            return std::nullopt;
        i = end;
    }
    return out;
}

std::optional<std::string> readText(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

} // namespace

std::optional<fs::path> bundleOfExecutable(const fs::path& executable) {
    const fs::path standard = standardized(executable);
    const fs::path macos = standard.parent_path();
    const fs::path contents = macos.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents")
        return std::nullopt;
    return contents.parent_path();
}

std::optional<std::string> infoPlistString(std::string_view plist, std::string_view key) {
    const std::string keyElement = "<key>" + std::string(key) + "</key>";
    std::size_t position = plist.find(keyElement);
    if (position == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = skipWhitespace(plist.substr(position + keyElement.size()));
    constexpr std::string_view open = "<string>";
    if (!rest.starts_with(open))
        return std::nullopt;
    rest.remove_prefix(open.size());
    const std::size_t close = rest.find("</string>");
    if (close == std::string_view::npos)
        return std::nullopt;
    return unescapeXml(rest.substr(0, close));
}

RunningVersion runningVersion(const std::optional<fs::path>& bundle) {
    if (!bundle)
        return {std::string(compiledVersion), std::string(compiledVersion)};
    const std::string plist = readText(*bundle / "Contents" / "Info.plist").value_or("");
    return {infoPlistString(plist, "CFBundleShortVersionString").value_or("0"),
            infoPlistString(plist, "CFBundleVersion").value_or("0")};
}

} // namespace velk
