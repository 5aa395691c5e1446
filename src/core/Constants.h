#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "core/BuildSettings.h"

namespace velk {

inline constexpr std::string_view appName = "Velk | Compressor";
inline constexpr std::string_view appSupportName = "velk compressor";
inline constexpr std::string_view backupDirName = ".velk-compressor-backups";
inline constexpr std::string_view compressedFileSuffix = "_velkcompressed";
inline constexpr std::string_view tempFileMarker = ".velk-temp";
inline constexpr std::string_view replaceFileMarker = ".velk-replace";

// Intervals in seconds.
inline constexpr double writeStabilityInterval = 0.8;
inline constexpr double scanDebounceInterval = 0.35;
inline constexpr double pollingInterval = 1.0;
inline constexpr double recentWriteCooldown = 4.0;
inline constexpr double ownWriteSettlingInterval = 8.0;

// An outside encoder may run for toolTimeLimitBase + toolTimeLimitPerMegapixel × the
// image's megapixels before it is stopped: several times what the slowest tool needs on
// a slow laptop, so only a hung or runaway tool ever meets it.
inline constexpr double toolTimeLimitBase = 60.0;
inline constexpr double toolTimeLimitPerMegapixel = 20.0;

inline constexpr std::int64_t maximumDecodedPixelCount = 50'000'000;
inline constexpr std::int64_t maximumDecodedRasterBytes = 268'435'456;

inline constexpr std::array<std::string_view, 7> supportedExtensions = {
    "jpg", "jpeg", "png", "webp", "avif", "heic", "heif"};
inline constexpr std::array<std::string_view, 18> unsupportedDropExtensions = {
    "3gp", "avi", "bmp", "dng", "gif", "hevc", "ico", "m4v",  "mkv",
    "mov", "mp4", "pdf", "psd", "raw", "svg",  "tif", "tiff", "webm"};
inline constexpr std::array<std::string_view, 6> temporaryExtensions = {
    "tmp", "temp", "download", "crdownload", "part", "filepart"};

/// Membership tests take the extension without its dot, in any letter case.
bool isSupportedExtension(std::string_view extension);
bool isUnsupportedDropExtension(std::string_view extension);
bool isTemporaryExtension(std::string_view extension);

inline constexpr std::string_view websiteURL = "https://velk.app/";
// updateManifestURL, whose host is a deployment setting, is in core/BuildSettings.h.

// Menu panel geometry, in points.
inline constexpr int popoverWidth = 288;
inline constexpr int popoverHeight = 386;
inline constexpr int panelTailHeight = 10;
inline constexpr int panelTailWidth = 28;
inline constexpr int panelCornerRadius = 18;
inline constexpr int contentInset = 8;
inline constexpr int contentWidth = popoverWidth - 2 * contentInset;

inline constexpr std::string_view configFileName = "native-config.json";
inline constexpr std::string_view historyFileName = "compression-history.json";
inline constexpr std::string_view registryFileName = "processed-files.json";
inline constexpr std::string_view logFileName = "native.log";
inline constexpr std::string_view rotatedLogFileName = "native.log.1";
/// Held (flock) by the one program that uses the application support folder; holds its pid.
inline constexpr std::string_view instanceLockFileName = "velk-compressor.lock";

} // namespace velk
