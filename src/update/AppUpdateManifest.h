#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velk {

/// One release as the update server describes it in "latest.json". Only ever decoded.
struct AppUpdateManifest {
    std::string version;
    std::optional<std::string> build;
    /// An absolute https URL with a host.
    std::string downloadURL;
    std::optional<std::string> notes;
    /// 64 lower-case hexadecimal digits.
    std::string sha256;
    std::optional<std::string> minimumMacOS;
    /// Base64 Ed25519 signature of the package's bytes; only builds that trust a
    /// publisher key read it, every other build ignores it like any unknown key.
    std::optional<std::string> signature;

    bool operator==(const AppUpdateManifest&) const = default;
};

/// Decodes and validates a manifest. A document that is not a JSON object, a missing
/// required key or a value that is not a string throws RecordDecodeError; a value that
/// breaks a release rule throws AppUpdateError::invalidManifest with its fixed message.
AppUpdateManifest decodeAppUpdateManifest(std::string_view json);

/// Whether the text is an absolute URL whose scheme is https (any letter case) and that
/// names a host.
bool isHttpsURLWithHost(std::string_view url);

/// The running program's version texts ("CFBundleShortVersionString", "CFBundleVersion").
struct RunningVersion {
    std::string version = "0";
    std::string build = "0";
};

/// Newer than the running program: a higher version, or the same version list with a
/// higher build. Unreadable versions answer no.
bool isNewer(const AppUpdateManifest& manifest, const RunningVersion& running);

/// Whether `systemVersion` ("major.minor.patch") meets the release's minimum. A release
/// without a readable minimum runs everywhere.
bool isSupportedOnThisMac(const AppUpdateManifest& manifest, std::string_view systemVersion);

/// The payload of unsupportedSystem for this release.
std::string requiredSystemText(const AppUpdateManifest& manifest);

} // namespace velk
