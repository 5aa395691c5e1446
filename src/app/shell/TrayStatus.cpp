#include "app/shell/TrayStatus.h"

#include <algorithm>
#include <ctime>

#include "core/ByteCountText.h"
#include "notify/BatchNotification.h"
#include "store/AppStore.h"
#include "store/HomePath.h"

namespace velk {

namespace {

std::tm localTime(Date date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string formatted(const std::tm& local, const char* format) {
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
}

bool sameDay(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_yday == b.tm_yday;
}

} // namespace

TrayFacts TrayFacts::of(const AppStore& store) {
    const AppConfig& config = store.config();
    TrayFacts facts;
    facts.hasFolder = config.watchDirectory.has_value();
    facts.enabled = config.enabled;
    facts.running = store.isRunning();
    facts.folderUnavailable = store.folderUnavailable();
    facts.watcherError = store.watcherError();
    facts.paused = config.paused;
    facts.pausedUntil = config.pausedUntil;
    facts.stats = store.stats();
    facts.unseenFailures = store.unseenFailures();
    if (config.watchDirectory)
        facts.folder = homeRelativePath(*config.watchDirectory);
    for (const CompressionHistoryEntry& entry : store.history()) {
        if (entry.status != CompressionHistoryStatus::compressed)
            continue;
        ++facts.compressedFiles;
        facts.savedBytes += entry.savedBytes().value_or(0);
    }
    facts.language = config.language;
    facts.now = store.now();
    return facts;
}

TrayState trayState(const TrayFacts& facts) {
    if (!facts.hasFolder)
        return TrayState::setup;
    if (facts.folderUnavailable)
        return TrayState::folderUnavailable;
    if (!facts.enabled)
        return TrayState::off;
    if (facts.paused)
        return TrayState::paused;
    if (facts.watcherError && !facts.running)
        return TrayState::problem;
    if (facts.stats.active >= 1)
        return TrayState::working;
    if (facts.unseenFailures > 0)
        return TrayState::attention;
    return TrayState::idle;
}

std::string groupedNumber(std::int64_t value, AppLanguage language) {
    std::string digits = std::to_string(std::max<std::int64_t>(value, 0));
    // A no-break space keeps "1 204" on one line in Russian.
    const std::string separator = text(language, "\u00A0", ",");
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<std::size_t>(i), separator);
    return digits;
}

std::string pausedText(const std::optional<Date>& until, Date now, AppLanguage language) {
    if (!until)
        return text(language, "Пауза", "Paused");
    const std::tm end = localTime(*until);
    const std::tm today = localTime(now);
    if (sameDay(end, today)) {
        const std::string time = formatted(end, "%H:%M");
        return text(language, "Пауза до " + time, "Paused until " + time);
    }
    const std::tm tomorrow = localTime(now + std::chrono::hours(24));
    if (sameDay(end, tomorrow) && end.tm_hour == 0 && end.tm_min == 0)
        return text(language, "Пауза до завтра", "Paused until tomorrow");
    return text(language, "Пауза до " + formatted(end, "%d.%m %H:%M"),
                "Paused until " + formatted(end, "%Y-%m-%d %H:%M"));
}

std::string batchProgressText(const CompressionStats& stats, AppLanguage language) {
    if (stats.batchTotal <= 0) {
        const int percent = std::clamp(stats.progress.value_or(0), 0, 100);
        return text(language, "Сжатие… ", "Compressing… ") + std::to_string(percent) + "%";
    }
    const int current = std::clamp(stats.batchDone + 1, 1, stats.batchTotal);
    std::string line =
        std::to_string(current) + text(language, " из ", " of ") + std::to_string(stats.batchTotal);
    if (stats.currentFile)
        line += " · " + *stats.currentFile;
    return line;
}

std::string trayStatusLine(const TrayFacts& facts) {
    const AppLanguage language = facts.language;
    switch (trayState(facts)) {
    case TrayState::setup:
        return text(language, "Выберите папку для сжатия", "Choose a compression folder");
    case TrayState::folderUnavailable:
    case TrayState::problem:
        return facts.watcherError.value_or(std::string());
    case TrayState::off:
        return text(language, "Автоматическое сжатие выключено", "Automatic compression is off");
    case TrayState::paused:
        return pausedText(facts.pausedUntil, facts.now, language);
    case TrayState::working:
        return batchProgressText(facts.stats, language);
    case TrayState::attention:
        return imagesNotCompressedText(facts.unseenFailures, language);
    case TrayState::idle:
        break;
    }
    std::string line = text(language, "Слежу за ", "Watching ") + facts.folder;
    if (facts.compressedFiles > 0) {
        line +=
            " · " + groupedNumber(facts.compressedFiles, language) + " " +
            nounFor(facts.compressedFiles, language, "файл", "файла", "файлов", "file", "files") +
            " · " + byteCountText(facts.savedBytes, language) +
            text(language, " сэкономлено", " saved");
    }
    return line;
}

} // namespace velk
