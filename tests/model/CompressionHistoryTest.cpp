#include "model/CompressionHistory.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/Text.h"
#include "model/RecordDecodeError.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

Date at(const char* iso) {
    return *parseISO8601(iso);
}

CompressionHistoryEntry compressed(int n) {
    CompressionHistoryEntry entry;
    entry.date = at("2026-12-07T10:15:30Z") + std::chrono::seconds(n);
    entry.sourceURL = "/home/u/In/photo" + std::to_string(n) + ".png";
    entry.outputURL = "/home/u/In/photo" + std::to_string(n) + "_velkcompressed.png";
    entry.originalBytes = 1000 + n;
    entry.outputBytes = 600;
    entry.status = CompressionHistoryStatus::compressed;
    return entry;
}

CompressionHistoryEntry failed(const fs::path& source, std::string message) {
    CompressionHistoryEntry entry;
    entry.date = at("2026-12-08T00:00:00Z");
    entry.sourceURL = source;
    entry.originalBytes = 5;
    entry.status = CompressionHistoryStatus::failed;
    entry.message = std::move(message);
    return entry;
}

class CompressionHistoryTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path file_ = dir_ / "support" / "compression-history.json";
    test::ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "log").native()};

    CompressionHistory sample() const {
        CompressionHistory history;
        history.record(compressed(1));
        history.record(failed("/home/u/In/broken.jpg", "Decoding failed"));
        CompressionHistoryEntry optimal = compressed(2);
        optimal.status = CompressionHistoryStatus::alreadyOptimal;
        optimal.outputURL.reset();
        optimal.outputBytes = 2000;
        history.record(optimal);
        return history;
    }

    CompressionHistory loadText(const std::string& text) {
        fs::create_directories(file_.parent_path());
        test::writeFile(file_, text);
        return CompressionHistory::load(file_);
    }
};

TEST_F(CompressionHistoryTest, SaveThenLoadRoundTripsEveryRow) {
    const CompressionHistory history = sample();
    ASSERT_TRUE(history.save(file_));
    EXPECT_EQ(CompressionHistory::load(file_), history);

    const auto json = nlohmann::json::parse(test::readFile(file_));
    ASSERT_EQ(json.size(), 3u);
    EXPECT_EQ(json[0]["status"], "alreadyOptimal");
    EXPECT_EQ(json[2]["date"], "2026-12-07T10:15:31Z");
    EXPECT_EQ(json[2]["sourceURL"], "file:///home/u/In/photo1.png");
    const std::string id = json[2]["id"];
    EXPECT_TRUE(std::none_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
        << id;

    const auto& failedRow = json[1];
    EXPECT_FALSE(failedRow.contains("outputURL"));
    EXPECT_FALSE(failedRow.contains("outputBytes"));
    EXPECT_EQ(failedRow["message"], "Decoding failed");
}

TEST_F(CompressionHistoryTest, NonUtf8FileNamesNeverBreakASave) {
    const fs::path source = "/home/u/In/\xE9t\xE9.jpg";
    CompressionHistory history;
    history.record(failed(source, "Could not read /home/u/In/\xE9t\xE9.jpg\xC3"));
    ASSERT_TRUE(history.save(file_));
    const CompressionHistory loaded = CompressionHistory::load(file_);
    ASSERT_EQ(loaded.entries().size(), 1u);
    // The location is exact; only the display text was made readable.
    EXPECT_EQ(loaded.entries()[0].sourceURL, source);
    EXPECT_TRUE(isValidUtf8(*loaded.entries()[0].message));
}

TEST_F(CompressionHistoryTest, KeepsTheNewest500NewestFirst) {
    CompressionHistory history;
    for (int n = 1; n <= 501; ++n)
        history.record(compressed(n));
    ASSERT_EQ(history.entries().size(), CompressionHistory::capacity);
    EXPECT_EQ(history.entries().front().sourceURL, compressed(501).sourceURL);
    EXPECT_EQ(history.entries().back().sourceURL, compressed(2).sourceURL);
    ASSERT_TRUE(history.save(file_));
    const auto json = nlohmann::json::parse(test::readFile(file_));
    ASSERT_EQ(json.size(), 500u);
    EXPECT_EQ(json[0]["sourceURL"], "file:///home/u/In/photo501.png");

    // A longer file written by hand still loads as the newest 500.
    auto longer = json;
    longer.push_back(json[499]);
    EXPECT_EQ(loadText(longer.dump()).entries().size(), 500u);
}

TEST_F(CompressionHistoryTest, OneBadRowDiscardsTheWholeFile) {
    const auto valid = nlohmann::json::parse(sample().encode());
    const std::vector<std::pair<std::string, nlohmann::json>> damage = {
        {"date", "2026-12-07T10:15:30.123Z"},
        {"date", "yesterday"},
        {"status", "skipped"},
        {"id", "not-a-uuid"},
        {"sourceURL", "/home/u/In/photo.png"},
        {"sourceURL", nullptr},
        {"originalBytes", "1000"},
        {"outputBytes", 1.5},
        {"outputBytes", 18446744073709551615u},
    };
    for (const auto& [key, value] : damage) {
        auto broken = valid;
        broken[1][key] = value;
        EXPECT_THROW(CompressionHistory::decode(broken.dump()), RecordDecodeError)
            << key << "=" << value.dump();
        EXPECT_TRUE(loadText(broken.dump()).entries().empty()) << key << "=" << value.dump();
    }
    for (const char* notAnArray : {"{}", "[1]", "[null]", "", "[", "\"x\""}) {
        EXPECT_TRUE(loadText(notAnArray).entries().empty()) << notAnArray;
    }
    // Optional keys may be null as well as missing.
    auto nulls = valid;
    nulls[0]["outputURL"] = nullptr;
    nulls[0]["message"] = nullptr;
    EXPECT_EQ(loadText(nulls.dump()).entries().size(), 3u);
}

TEST_F(CompressionHistoryTest, EveryTruncationLoadsEmptyOrWhole) {
    const CompressionHistory history = sample();
    const std::string full = history.encode();
    for (std::size_t length = 0; length < full.size(); ++length) {
        EXPECT_TRUE(loadText(full.substr(0, length)).entries().empty()) << "prefix of " << length;
    }
    EXPECT_EQ(loadText(full), history);
}

TEST_F(CompressionHistoryTest, DamagedFileStaysUntilTheNextSaveReplacesIt) {
    const std::string damaged = R"([{"id":"x"}])";
    CompressionHistory history = loadText(damaged);
    EXPECT_TRUE(history.entries().empty());
    EXPECT_EQ(test::readFile(file_), damaged);

    history.record(compressed(1));
    ASSERT_TRUE(history.save(file_));
    EXPECT_EQ(CompressionHistory::load(file_), history);
}

TEST_F(CompressionHistoryTest, FailedSaveIsLogged) {
    test::writeFile(dir_ / "blocker", "x");
    const CompressionHistory history = sample();
    EXPECT_FALSE(history.save(dir_ / "blocker" / "compression-history.json"));
    const std::string log = test::readFile(dir_ / "log" / "native.log");
    EXPECT_NE(log.find("History save failed "), std::string::npos) << log;
}

TEST(CompressionHistoryEntryTest, SavedBytesNeedsBothSizesAndNeverGoesNegative) {
    CompressionHistoryEntry entry;
    EXPECT_EQ(entry.savedBytes(), std::nullopt);
    entry.originalBytes = 1000;
    EXPECT_EQ(entry.savedBytes(), std::nullopt);
    entry.outputBytes = 1200;
    EXPECT_EQ(entry.savedBytes(), 0);
    entry.outputBytes = 400;
    EXPECT_EQ(entry.savedBytes(), 600);
    entry.originalBytes = INT64_MAX;
    entry.outputBytes = -5;
    EXPECT_EQ(entry.savedBytes(), INT64_MAX);
}

} // namespace
} // namespace velk
