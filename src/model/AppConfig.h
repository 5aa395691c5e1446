#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/DateTime.h"
#include "model/AppLanguage.h"
#include "model/CompressionPreset.h"
#include "model/FormatStrategy.h"
#include "model/OriginalPolicy.h"
#include "model/QualitySettings.h"

namespace velk {

/// How the tray icon is drawn: for the panel's background as the desktop reports it, or
/// always light or always dark where that report is wrong.
enum class TrayIconStyle { automatic, light, dark };

std::string_view rawValue(TrayIconStyle style);
std::optional<TrayIconStyle> trayIconStyleFromRaw(std::string_view raw);

/// The whole user configuration, stored as "native-config.json".
struct AppConfig {
    bool enabled = true;
    bool autostart = false;
    bool autostartAsked = false;
    bool showMenuBarProgress = true;
    bool notificationsEnabled = true;
    AppLanguage language = AppLanguage::russian;
    std::optional<std::filesystem::path> watchDirectory;
    /// Opaque access bytes for the folder; on Linux the folder's path.
    std::optional<std::string> watchDirectoryBookmark;
    /// Read from old files only to be dropped: nothing writes outputs elsewhere any more.
    std::optional<std::filesystem::path> outputDirectory;
    CompressionPreset preset = CompressionPreset::balanced;
    FormatStrategy formatStrategy = FormatStrategy::automatic;
    OriginalPolicy originalPolicy = OriginalPolicy::keep;
    QualitySettings qualities = defaults(CompressionPreset::balanced);
    /// Compression is wanted (`enabled`) but held back for a while: until `pausedUntil`,
    /// or until the user resumes when that is none. Kept across restarts.
    bool paused = false;
    std::optional<Date> pausedUntil;
    TrayIconStyle trayIcon = TrayIconStyle::automatic;

    /// Brings a configuration read from disk up to date: the retired `jpegCompatible`
    /// level becomes `balanced` (keeping its qualities) and `outputDirectory` is cleared.
    void normalizeForCurrentVersion();

    /// Whether a running engine must restart to apply this configuration, compared with
    /// the one it was started with: only the folder, its access bytes and the compression
    /// settings matter.
    bool requiresCompressorRestart(const AppConfig& old) const;

    bool operator==(const AppConfig&) const = default;
};

/// Throws RecordDecodeError when any key has the wrong type or an unknown language or
/// preset; the file is then unusable as a whole. Not normalised.
AppConfig decodeAppConfig(std::string_view bytes);
/// Compact JSON; never throws.
std::string encodeAppConfig(const AppConfig& config);

/// The normalised configuration in `file`, or the defaults when it is unreadable or invalid.
/// A bad file is left where it is; the next save replaces it. With no file at all (a first
/// run) the defaults speak the user's locale's language rather than the stored default's.
AppConfig loadAppConfig(const std::filesystem::path& file);

/// Creates the folder and replaces `file` atomically. False on any failure, with the
/// previous file intact; the caller counts it, nothing is shown.
[[nodiscard]] bool saveAppConfig(const std::filesystem::path& file, const AppConfig& config);

} // namespace velk
