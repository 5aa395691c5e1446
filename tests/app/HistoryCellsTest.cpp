#include "app/shell/HistoryCells.h"
#include "core/ByteCountText.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include "ShellFixture.h"

namespace velk {
namespace {

using test::historyRow;
using Status = CompressionHistoryStatus;

TEST(ByteCountTextTest, CountsInDecimalUnitsInEachLanguage) {
    struct Case {
        std::int64_t bytes;
        const char* english;
        const char* russian;
    };
    const Case cases[] = {
        {-5, "0 bytes", "0 байт"},
        {0, "0 bytes", "0 байт"},
        {1, "1 byte", "1 байт"},
        {3, "3 bytes", "3 байта"},
        {12, "12 bytes", "12 байт"},
        {999, "999 bytes", "999 байт"},
        {1000, "1.0 KB", "1,0 КБ"},
        {1049, "1.0 KB", "1,0 КБ"},
        {245'760, "245.8 KB", "245,8 КБ"},
        // Rounds up into the next unit rather than showing "1000.0 KB".
        {999'950, "1.0 MB", "1,0 МБ"},
        {123'456'789, "123.5 MB", "123,5 МБ"},
        {5'000'000'000, "5.0 GB", "5,0 ГБ"},
        {2'000'000'000'000, "2000.0 GB", "2000,0 ГБ"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(byteCountText(c.bytes, AppLanguage::english), c.english) << c.bytes;
        EXPECT_EQ(byteCountText(c.bytes, AppLanguage::russian), c.russian) << c.bytes;
    }
}

TEST(HistoryCellsTest, ResultAndSavedCellsFollowTheRowsOutcome) {
    struct Case {
        CompressionHistoryEntry entry;
        const char* result;
        const char* saved;
    };
    const Case cases[] = {
        {historyRow(Status::compressed, 2'400'000, 600'000), "2.4 MB → 600.0 KB", "1.8 MB"},
        {historyRow(Status::compressed, 1000, std::nullopt), "Compressed", "—"},
        {historyRow(Status::alreadyOptimal, 5000, 5000), "Already optimal", "—"},
        {historyRow(Status::failed, std::nullopt, std::nullopt), "Error", "—"},
        {historyRow(Status::failed, 900, 400, "Decode failed"), "Decode failed", "—"},
        // A message may carry a file name's raw bytes; the cell shows them replaced.
        {historyRow(Status::failed, std::nullopt, std::nullopt, "bad \xff name"),
         "bad \xef\xbf\xbd name", "—"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(historyCellText("file", c.entry, AppLanguage::english), "holiday picture.png");
        EXPECT_EQ(historyCellText("result", c.entry, AppLanguage::english), c.result);
        EXPECT_EQ(historyCellText("saved", c.entry, AppLanguage::english), c.saved);
        EXPECT_EQ(historyCellIsError("result", c.entry), c.entry.status == Status::failed);
        EXPECT_FALSE(historyCellIsError("file", c.entry));
        EXPECT_EQ(historyCellText("size", c.entry, AppLanguage::english), "");
    }
    EXPECT_EQ(
        historyCellText("result", historyRow(Status::alreadyOptimal, 1, 1), AppLanguage::russian),
        "Уже оптимально");
}

TEST(HistoryCellsTest, SummaryCountsEachFileOnceByItsLatestRowAndSumsOnlyKnownSavings) {
    EXPECT_EQ(historySummary({}, AppLanguage::english),
              "Processed files and errors will appear here.");
    EXPECT_EQ(historySummary({}, AppLanguage::russian),
              "Здесь появятся обработанные файлы и ошибки.");

    auto row = [](const char* file, Status status, std::optional<std::int64_t> original,
                  std::optional<std::int64_t> output) {
        auto entry = historyRow(status, original, output);
        entry.sourceURL = file;
        return entry;
    };
    EXPECT_EQ(historySummary({row("/a.jpg", Status::failed, std::nullopt, std::nullopt),
                              row("/b.jpg", Status::compressed, 5000, std::nullopt)},
                             AppLanguage::english),
              "Operations: 2 · Saved: 0 bytes");

    // Newest first: a.jpg was made again, and only its latest row counts.
    const std::vector<CompressionHistoryEntry> remade = {
        row("/a.jpg", Status::compressed, 3000, 1000), row("/b.jpg", Status::compressed, 900, 1200),
        row("/a.jpg", Status::compressed, 3000, 1500)};
    EXPECT_EQ(historySummary(remade, AppLanguage::russian), "Операций: 2 · Сэкономлено: 2,0 КБ");

    const std::vector<CompressionHistoryEntry> absurd = {
        row("/a.jpg", Status::compressed, INT64_MAX, 0),
        row("/b.jpg", Status::compressed, 3000, 1)};
    EXPECT_NE(historySummary(absurd, AppLanguage::english).find("Saved: 9223372036.9 GB"),
              std::string::npos)
        << "an absurd stored size saturates instead of wrapping negative";
}

TEST(HistoryCellsTest, DatesFollowTheSystemLocalesFormatInTheInterfaceLanguage) {
    const Date date = std::chrono::system_clock::from_time_t(1'796'040'000); // 2026-11-30
    struct Case {
        const char* system;
        AppLanguage language;
        const char* pattern;
    };
    const Case cases[] = {
        {"ru_RU", AppLanguage::russian, R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d$)"},
        {"en_US", AppLanguage::english, R"(^\d{1,2}/\d{1,2}/\d\d,? \d{1,2}:\d\d\s?[AP]M$)"},
        // A British system keeps its day-first order and 24-hour clock in English.
        {"en_GB", AppLanguage::english, R"(^30/11/\d{4},? \d\d:\d\d$)"},
        // A German system with a Russian interface: Russian, as Qt knows no ru_DE.
        {"de_DE", AppLanguage::russian, R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d$)"},
        // A German system with an English interface: the German-English locale data.
        {"de_DE", AppLanguage::english, R"(^30/11/\d{4},? \d\d:\d\d$)"},
    };
    for (const Case& c : cases) {
        const QString shown = QString::fromStdString(historyDateText(date, c.language, c.system));
        EXPECT_TRUE(QRegularExpression(QString::fromLatin1(c.pattern)).match(shown).hasMatch())
            << c.system << ": " << shown.toStdString();
    }
}

} // namespace
} // namespace velk
