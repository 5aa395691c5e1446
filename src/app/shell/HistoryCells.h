#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "core/DateTime.h"
#include "model/AppLanguage.h"
#include "model/CompressionHistoryEntry.h"

namespace velk {

/// One column of the history table: its identifier, its title and its width in pixels.
struct HistoryColumn {
    std::string_view identifier;
    std::string_view russianTitle;
    std::string_view englishTitle;
    int width;
};

inline constexpr std::array<HistoryColumn, 4> historyColumns = {
    HistoryColumn{"file", "Файл", "File", 220},
    HistoryColumn{"result", "Результат", "Result", 190},
    HistoryColumn{"saved", "Экономия", "Saved", 90},
    HistoryColumn{"date", "Дата", "Date", 130},
};

/// The text of one cell; empty for an identifier that names no column.
std::string historyCellText(std::string_view column, const CompressionHistoryEntry& entry,
                            AppLanguage language);

/// Whether the cell is drawn in the error colour: the result of a failed row.
bool historyCellIsError(std::string_view column, const CompressionHistoryEntry& entry);

/// The line above the table: the count and the sum of the known savings, or the hint that
/// files will appear here when there are none.
std::string historySummary(const std::vector<CompressionHistoryEntry>& entries,
                           AppLanguage language);

/// Short date and short time, local time, as the system locale writes them, in the
/// interface language: with an en_GB system and a Russian interface, the Russian words
/// and the British order where the locale data has one. `systemLocale` is a locale name
/// such as "de_DE"; empty for the system's own.
std::string historyDateText(Date date, AppLanguage language, const std::string& systemLocale = {});

} // namespace velk
