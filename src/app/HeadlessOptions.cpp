#include "app/HeadlessOptions.h"

#include <algorithm>

#include "core/Paths.h"
#include "core/Text.h"
#include "model/CompressionPreset.h"
#include "model/FormatStrategy.h"
#include "model/OriginalPolicy.h"
#include "platform/ImageCodec.h"
#include "store/AppStore.h"

namespace velk {

namespace {

template <typename Range, typename Name> std::string joined(const Range& values, Name name) {
    std::string text;
    for (const auto& value : values) {
        if (!text.empty())
            text += ", ";
        text += name(value);
    }
    return text;
}

[[noreturn]] void unknownValue(std::string_view option, std::string_view value,
                               const std::string& accepted) {
    throw UsageError("unknown " + std::string(option) + " value \"" + displayText(value) +
                     "\"; accepted values: " + accepted);
}

} // namespace

HeadlessOptions HeadlessOptions::parse(const std::vector<std::string>& arguments) {
    HeadlessOptions options;
    auto setMode = [&](Mode mode) {
        if (options.mode != Mode::none && options.mode != mode)
            throw UsageError(
                "--help, --version, --headless, --update and --restore cannot be combined");
        options.mode = mode;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= arguments.size())
                throw UsageError(name + " needs a value");
            return arguments[++i];
        };
        auto setOnce = [&](auto& field, auto parsed) {
            if (field)
                throw UsageError(name + " given twice");
            field = std::move(parsed);
        };
        if (inlineValue && (name == "--help" || name == "--version" || name == "--headless" ||
                            name == "--update" || name == "--once" || name == "--restore")) {
            throw UsageError(name + " takes no value");
        }
        if (name == "--help" || name == "-h") {
            setMode(Mode::help);
        } else if (name == "--version") {
            setMode(Mode::version);
        } else if (name == "--headless") {
            setMode(Mode::headless);
        } else if (name == "--update") {
            setMode(Mode::update);
        } else if (name == "--restore") {
            setMode(Mode::restore);
            // Every name up to the next option: a shell's glob gives many at once.
            while (i + 1 < arguments.size() && arguments[i + 1].rfind("--", 0) != 0)
                options.restore.emplace_back(arguments[++i]);
            if (options.restore.empty())
                throw UsageError("--restore needs at least one file");
        } else if (name == "--once") {
            options.once = true;
        } else if (name == "--watch") {
            const std::string folder = value();
            if (folder.empty())
                throw UsageError("--watch needs a folder");
            setOnce(options.watch, std::filesystem::path(folder));
        } else if (name == "--show") {
            const std::string view = value();
            if (view != "panel" && view != "settings" && view != "history")
                throw UsageError("unknown view for --show \"" + displayText(view) +
                                 "\"; accepted values: panel, settings, history");
            setOnce(options.show, view);
        } else if (name == "--preset") {
            setOnce(options.preset, value());
        } else if (name == "--format") {
            setOnce(options.format, value());
        } else if (name == "--originals") {
            setOnce(options.originals, value());
        } else if (name == "--jobs") {
            const std::string count = value();
            if (count.size() != 1 || count[0] < '1' || count[0] > '4')
                throw UsageError("--jobs takes a number from 1 to 4, not \"" + displayText(count) +
                                 "\"");
            setOnce(options.jobs, count[0] - '0');
        } else {
            throw UsageError("unknown option " + displayText(arguments[i]) + " (try --help)");
        }
    }
    if (options.mode != Mode::headless && (options.changesConfig() || options.once || options.jobs))
        throw UsageError(
            "--watch, --preset, --format, --originals, --once and --jobs need --headless");
    if (options.mode != Mode::none && options.show)
        throw UsageError("--show is for the tray program alone");
    return options;
}

std::string HeadlessOptions::helpText() {
    const auto presets =
        joined(menuCompressionPresets, [](auto p) { return std::string(rawValue(p)); });
    const auto formats =
        joined(allFormatStrategies, [](auto f) { return std::string(rawValue(f)); });
    return "Usage: VelkCompressor [--show panel|settings|history]\n"
           "       VelkCompressor --headless [--watch DIR] [--preset P] [--format F]\n"
           "                      [--originals keep|replace] [--once] [--jobs N]\n"
           "       VelkCompressor --restore FILE...\n"
           "       VelkCompressor --update | --version | --help\n"
           "\n"
           "Keeps one folder of images compressed: with no options as a tray program,\n"
           "with --headless without a display.\n"
           "\n"
           "  --show V            open the tray program's panel, settings or history window\n"
           "                      (in the running program when there is one)\n"
           "  --headless          run in the terminal or as a service, with no window\n"
           "  --watch DIR         the folder to keep compressed (saved for the next run)\n"
           "  --preset P          compression level: " +
           presets +
           "\n"
           "  --format F          output format: " +
           formats +
           "\n"
           "                      (avif and heic only where this machine can write them)\n"
           "  --originals keep|replace\n"
           "                      keep: write the result beside the source;\n"
           "                      replace: back the source up, then put the result in its place\n"
           "  --once              exit once the folder has settled: 0 if no file failed, else 1\n"
           "  --jobs N            compress up to N files at once, 1 to 4 (default: VELK_JOBS,\n"
           "                      else the number of cores, at most 4)\n"
           "  --restore FILE...   put back the originals these files were compressed from\n"
           "                      (kept in the folder's backups); their backups stay, and\n"
           "                      the originals are left as they are until they change.\n"
           "                      Exit status 1 when a file has no backup of its original\n"
           "  --update            install a newer release if there is one, then exit\n"
           "  --version           print the version\n"
           "  --help              print this help\n"
           "\n"
           "Settings given here are saved, like choices made in the menu. SIGINT or SIGTERM\n"
           "cancel the files in progress, which are left as they were and compressed on the\n"
           "next run, and exit with 0. Exit status 2: a usage error, no folder, a folder\n"
           "that cannot be watched, or another run on the same settings.\n";
}

AppConfig HeadlessOptions::apply(AppConfig config, const ImageCodec& codec) const {
    if (preset) {
        const auto parsed = compressionPresetFromRaw(*preset);
        const bool offered =
            parsed && std::find(menuCompressionPresets.begin(), menuCompressionPresets.end(),
                                *parsed) != menuCompressionPresets.end();
        if (!offered)
            unknownValue("--preset", *preset, joined(menuCompressionPresets, [](auto p) {
                             return std::string(rawValue(p));
                         }));
        config.preset = *parsed;
        if (*parsed != CompressionPreset::custom)
            config.qualities = defaults(*parsed);
    }
    if (format) {
        const auto offered = formatStrategyMenuCases(codec);
        const auto parsed = formatStrategyFromRaw(*format);
        if (!parsed || std::find(offered.begin(), offered.end(), *parsed) == offered.end())
            unknownValue("--format", *format,
                         joined(offered, [](auto f) { return std::string(rawValue(f)); }));
        config.formatStrategy = *parsed;
    }
    if (originals) {
        // The menu stores `keep` as "backup"; on the command line it reads as what it does.
        if (*originals == "keep")
            config.originalPolicy = OriginalPolicy::keep;
        else if (*originals == "replace")
            config.originalPolicy = OriginalPolicy::replace;
        else
            unknownValue("--originals", *originals, "keep, replace");
    }
    if (watch)
        config = AppStore::withChosenWatchDirectory(std::move(config), *watch);
    return config;
}

} // namespace velk
