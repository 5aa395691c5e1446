#include "model/AppConfig.h"

#include <system_error>

#include "core/AtomicWrite.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "model/Base64.h"
#include "model/JsonFields.h"
#include "model/RecordDecodeError.h"

namespace velk {

namespace fs = std::filesystem;

void AppConfig::normalizeForCurrentVersion() {
    if (preset == CompressionPreset::jpegCompatible)
        preset = CompressionPreset::balanced;
    outputDirectory.reset();
}

namespace {
bool sameLocation(const std::optional<fs::path>& a, const std::optional<fs::path>& b) {
    if (a.has_value() != b.has_value())
        return false;
    return !a || standardized(*a) == standardized(*b);
}

[[noreturn]] void badValue(std::string_view key, std::string_view value) {
    throw RecordDecodeError(RecordDecodeError::Kind::badValue,
                            std::string(key) + ": unknown value \"" + std::string(value) + "\"");
}

QualitySettings decodeQualities(const nlohmann::json& object) {
    recordjson::requireObject(object, "qualities");
    const auto required = [&](std::string_view key) {
        const auto value = recordjson::int32(object, key);
        if (!value) {
            throw RecordDecodeError(RecordDecodeError::Kind::missingKey,
                                    "qualities." + std::string(key) + ": missing");
        }
        return *value;
    };
    QualitySettings q;
    q.jpeg = required("jpeg");
    q.png = required("png");
    q.webp = required("webp");
    q.avif = required("avif");
    q.heic = required("heic");
    return q;
}
} // namespace

std::string_view rawValue(TrayIconStyle style) {
    switch (style) {
    case TrayIconStyle::light:
        return "light";
    case TrayIconStyle::dark:
        return "dark";
    case TrayIconStyle::automatic:
        break;
    }
    return "automatic";
}

std::optional<TrayIconStyle> trayIconStyleFromRaw(std::string_view raw) {
    for (const TrayIconStyle style :
         {TrayIconStyle::automatic, TrayIconStyle::light, TrayIconStyle::dark}) {
        if (rawValue(style) == raw)
            return style;
    }
    return std::nullopt;
}

bool AppConfig::requiresCompressorRestart(const AppConfig& old) const {
    return !sameLocation(watchDirectory, old.watchDirectory) ||
           watchDirectoryBookmark != old.watchDirectoryBookmark || preset != old.preset ||
           formatStrategy != old.formatStrategy || originalPolicy != old.originalPolicy ||
           qualities != old.qualities;
}

AppConfig decodeAppConfig(std::string_view bytes) {
    const nlohmann::json root = recordjson::parse(bytes);
    recordjson::requireObject(root, "configuration");

    AppConfig config;
    config.enabled = recordjson::boolean(root, "enabled").value_or(config.enabled);
    config.autostart = recordjson::boolean(root, "autostart").value_or(config.autostart);
    config.autostartAsked =
        recordjson::boolean(root, "autostartAsked").value_or(config.autostartAsked);
    config.showMenuBarProgress =
        recordjson::boolean(root, "showMenuBarProgress").value_or(config.showMenuBarProgress);
    config.notificationsEnabled =
        recordjson::boolean(root, "notificationsEnabled").value_or(config.notificationsEnabled);
    if (const auto raw = recordjson::string(root, "language")) {
        const auto language = appLanguageFromRaw(*raw);
        if (!language)
            badValue("language", *raw);
        config.language = *language;
    }
    config.watchDirectory = recordjson::fileURL(root, "watchDirectory");
    if (const auto text = recordjson::string(root, "watchDirectoryBookmark")) {
        config.watchDirectoryBookmark = base64Decode(*text);
        if (!config.watchDirectoryBookmark) {
            throw RecordDecodeError(RecordDecodeError::Kind::badValue,
                                    "watchDirectoryBookmark: not Base64");
        }
    }
    config.outputDirectory = recordjson::fileURL(root, "outputDirectory");
    if (const auto raw = recordjson::string(root, "preset")) {
        const auto preset = compressionPresetFromRaw(*raw);
        if (!preset)
            badValue("preset", *raw);
        config.preset = *preset;
    }
    if (const auto raw = recordjson::string(root, "formatStrategy")) {
        config.formatStrategy = formatStrategyFromStored(*raw);
    }
    if (const auto raw = recordjson::string(root, "originalPolicy")) {
        config.originalPolicy = originalPolicyFromStored(*raw);
    }
    // Without stored qualities the preset's own defaults apply, taken before
    // normalisation so a legacy level keeps the qualities it always had.
    const nlohmann::json* qualities = recordjson::find(root, "qualities");
    config.qualities = qualities ? decodeQualities(*qualities) : defaults(config.preset);
    // Newer keys: a value this version does not understand falls back to the default
    // rather than costing the user every other setting.
    const auto lenient = [&root](auto read, std::string_view key) {
        try {
            return read(root, key);
        } catch (const RecordDecodeError&) {
            return decltype(read(root, key))();
        }
    };
    config.paused = lenient(recordjson::boolean, "paused").value_or(false);
    if (const auto text = lenient(recordjson::string, "pausedUntil"))
        config.pausedUntil = parseISO8601(*text);
    if (const auto raw = lenient(recordjson::string, "trayIcon"))
        config.trayIcon = trayIconStyleFromRaw(*raw).value_or(TrayIconStyle::automatic);
    return config;
}

std::string encodeAppConfig(const AppConfig& config) {
    nlohmann::json root = nlohmann::json::object();
    root["enabled"] = config.enabled;
    root["autostart"] = config.autostart;
    root["autostartAsked"] = config.autostartAsked;
    root["showMenuBarProgress"] = config.showMenuBarProgress;
    root["notificationsEnabled"] = config.notificationsEnabled;
    root["language"] = rawValue(config.language);
    if (config.watchDirectory) {
        root["watchDirectory"] = fileURL(*config.watchDirectory, /*isDirectory=*/true);
    }
    if (config.watchDirectoryBookmark) {
        root["watchDirectoryBookmark"] = base64Encode(*config.watchDirectoryBookmark);
    }
    if (config.outputDirectory) {
        root["outputDirectory"] = fileURL(*config.outputDirectory, /*isDirectory=*/true);
    }
    root["preset"] = rawValue(config.preset);
    root["formatStrategy"] = rawValue(config.formatStrategy);
    root["originalPolicy"] = rawValue(config.originalPolicy);
    root["qualities"] = {{"jpeg", config.qualities.jpeg},
                         {"png", config.qualities.png},
                         {"webp", config.qualities.webp},
                         {"avif", config.qualities.avif},
                         {"heic", config.qualities.heic}};
    if (config.paused) {
        root["paused"] = true;
        if (config.pausedUntil)
            root["pausedUntil"] = iso8601(*config.pausedUntil);
    }
    root["trayIcon"] = rawValue(config.trayIcon);
    return recordjson::dump(root);
}

AppConfig loadAppConfig(const fs::path& file) {
    std::string bytes;
    if (!readWholeFile(file, bytes)) {
        AppConfig config;
        std::error_code ec;
        if (fs::symlink_status(file, ec).type() == fs::file_type::not_found)
            config.language = localeAppLanguage();
        return config;
    }
    try {
        AppConfig config = decodeAppConfig(bytes);
        config.normalizeForCurrentVersion();
        return config;
    } catch (const RecordDecodeError& error) {
        NativeLog::debug(std::string("Config ignored: ") + error.what());
        return AppConfig();
    }
}

bool saveAppConfig(const fs::path& file, const AppConfig& config) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec)
        return false;
    return !writeFileAtomically(file, encodeAppConfig(config));
}

} // namespace velk
