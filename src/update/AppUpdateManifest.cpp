#include "update/AppUpdateManifest.h"

#include <algorithm>

#include "core/Text.h"
#include "model/JsonFields.h"
#include "update/AppUpdateError.h"
#include "update/AppVersion.h"

namespace velk {

namespace {

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters a URL may carry unescaped: printable ASCII without space and the few
// delimiters RFC 3986 never allows raw.
bool isUrlCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F)
        return false;
    return std::string_view("<>\"{}|\\^`").find(c) == std::string_view::npos;
}

std::string trimmedLowercase(std::string_view text) {
    constexpr std::string_view space = " \t\n\r\v\f";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(space);
    return asciiLowercase(text.substr(first, last - first + 1));
}

} // namespace

bool isHttpsURLWithHost(std::string_view url) {
    if (!std::all_of(url.begin(), url.end(), isUrlCharacter))
        return false;
    const std::size_t colon = url.find(':');
    if (colon == std::string_view::npos || asciiLowercase(url.substr(0, colon)) != "https") {
        return false;
    }
    std::string_view rest = url.substr(colon + 1);
    if (!rest.starts_with("//"))
        return false;
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host;
    std::string_view port;
    if (authority.starts_with("[")) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return false;
        host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(":"))
            return false;
        if (!after.empty())
            port = after.substr(1);
    } else {
        const std::size_t portColon = authority.find(':');
        host = authority.substr(0, portColon);
        if (portColon != std::string_view::npos)
            port = authority.substr(portColon + 1);
    }
    return !host.empty() && std::all_of(port.begin(), port.end(), isAsciiDigit);
}

AppUpdateManifest decodeAppUpdateManifest(std::string_view json) {
    const nlohmann::json document = recordjson::parse(json);
    recordjson::requireObject(document, "manifest");

    AppUpdateManifest manifest;
    manifest.version = recordjson::requiredString(document, "version");
    manifest.build = recordjson::string(document, "build");
    manifest.notes = recordjson::string(document, "notes");
    manifest.minimumMacOS = recordjson::string(document, "minimum_macOS");

    manifest.downloadURL = recordjson::requiredString(document, "download");
    if (!isHttpsURLWithHost(manifest.downloadURL)) {
        throw AppUpdateError::invalidManifest("The update URL must use HTTPS");
    }

    manifest.sha256 = trimmedLowercase(recordjson::requiredString(document, "sha256"));
    if (manifest.sha256.size() != 64 ||
        !std::all_of(manifest.sha256.begin(), manifest.sha256.end(), isHexDigit)) {
        throw AppUpdateError::invalidManifest("The update checksum is invalid");
    }

    if (!AppVersion::parse(manifest.version)) {
        throw AppUpdateError::invalidManifest("The update version is invalid");
    }
    if (manifest.build && !AppVersion::parse(*manifest.build)) {
        throw AppUpdateError::invalidManifest("The update build number is invalid");
    }
    if (manifest.minimumMacOS && !AppVersion::parse(*manifest.minimumMacOS)) {
        throw AppUpdateError::invalidManifest("The minimum Linux version is invalid");
    }
    // Read last and never validated here: only a build with a publisher key uses it, and
    // then a missing or malformed one fails the download, not the check.
    if (const nlohmann::json* signature = recordjson::find(document, "signature");
        signature && signature->is_string()) {
        manifest.signature = signature->get<std::string>();
    }
    return manifest;
}

bool isNewer(const AppUpdateManifest& manifest, const RunningVersion& running) {
    const auto remote = AppVersion::parse(manifest.version);
    const auto current = AppVersion::parse(running.version);
    if (!remote || !current)
        return false;
    if (*remote != *current)
        return *current < *remote;
    if (!manifest.build)
        return false;
    const auto currentBuild = AppVersion::parse(running.build);
    const auto remoteBuild = AppVersion::parse(*manifest.build);
    if (!currentBuild || !remoteBuild)
        return false;
    return *currentBuild < *remoteBuild;
}

bool isSupportedOnThisMac(const AppUpdateManifest& manifest, std::string_view systemVersion) {
    if (!manifest.minimumMacOS)
        return true;
    const auto minimum = AppVersion::parse(*manifest.minimumMacOS);
    if (!minimum)
        return true;
    const auto system = AppVersion::parse(systemVersion);
    // A system version we cannot read is no reason to refuse; the installer's own
    // checks still stand between the package and the bundle.
    if (!system)
        return true;
    return !(*system < *minimum);
}

std::string requiredSystemText(const AppUpdateManifest& manifest) {
    return manifest.minimumMacOS.value_or("the required version");
}

} // namespace velk
