#include "app/shell/HistoryCells.h"

#include <QDateTime>
#include <QLocale>
#include <set>

#include "core/ByteCountText.h"
#include "core/Paths.h"
#include "core/Text.h"

namespace velk {

namespace {

bool isCompressed(const CompressionHistoryEntry& entry) {
    return entry.status == CompressionHistoryStatus::compressed;
}

std::string resultText(const CompressionHistoryEntry& entry, AppLanguage language) {
    switch (entry.status) {
    case CompressionHistoryStatus::compressed:
        if (entry.originalBytes && entry.outputBytes)
            return byteCountText(*entry.originalBytes, language) + " → " +
                   byteCountText(*entry.outputBytes, language);
        return text(language, "Сжато", "Compressed");
    case CompressionHistoryStatus::alreadyOptimal:
        return text(language, "Уже оптимально", "Already optimal");
    case CompressionHistoryStatus::failed:
        // A stored message may hold a file name's raw bytes; the label needs UTF-8.
        if (entry.message)
            return displayText(*entry.message);
        return text(language, "Ошибка", "Error");
    }
    return {};
}

} // namespace

std::string historyCellText(std::string_view column, const CompressionHistoryEntry& entry,
                            AppLanguage language) {
    if (column == "file")
        return displayName(entry.sourceURL);
    if (column == "result")
        return resultText(entry, language);
    if (column == "saved") {
        const auto saved = entry.savedBytes();
        if (!saved || !isCompressed(entry))
            return "—";
        return byteCountText(*saved, language);
    }
    if (column == "date")
        return historyDateText(entry.date, language);
    return {};
}

bool historyCellIsError(std::string_view column, const CompressionHistoryEntry& entry) {
    return column == "result" && entry.status == CompressionHistoryStatus::failed;
}

std::string historySummary(const std::vector<CompressionHistoryEntry>& entries,
                           AppLanguage language) {
    if (entries.empty())
        return text(language, "Здесь появятся обработанные файлы и ошибки.",
                    "Processed files and errors will appear here.");
    // A file made again (new settings, a changed source) has several rows; its latest one,
    // the first in this newest-first list, is what the folder holds now.
    std::set<std::filesystem::path> files;
    std::int64_t saved = 0;
    for (const auto& entry : entries) {
        if (!files.insert(entry.sourceURL).second)
            continue;
        // Saturate: five hundred absurd stored sizes must not wrap into a negative sum.
        if (const auto bytes = entry.savedBytes())
            saved = *bytes > INT64_MAX - saved ? INT64_MAX : saved + *bytes;
    }
    return text(language, "Операций: ", "Operations: ") + std::to_string(files.size()) +
           text(language, " · Сэкономлено: ", " · Saved: ") + byteCountText(saved, language);
}

std::string historyDateText(Date date, AppLanguage language, const std::string& systemLocale) {
    const QLocale system =
        systemLocale.empty() ? QLocale::system() : QLocale(QString::fromStdString(systemLocale));
    const QLocale::Language wanted =
        language == AppLanguage::russian ? QLocale::Russian : QLocale::English;
    // The system's formats when it speaks the interface language; else the interface
    // language as spoken in the system's country (Qt falls back to the language's main
    // country where the pair is unknown).
    QLocale locale = system.language() == wanted ? system : QLocale(wanted, system.territory());
    if (locale.language() != wanted)
        locale = QLocale(wanted);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(millis);
    return locale.toString(local, QLocale::ShortFormat).toStdString();
}

} // namespace velk
