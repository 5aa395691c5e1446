#include "engine/ProcessedFileRegistry.h"

#include <filesystem>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/Paths.h"
#include "support/FaultyFileSystem.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

constexpr std::uint64_t maxHash = std::numeric_limits<std::uint64_t>::max();

ProcessedFileRecord sampleRecord(double seconds) {
    ProcessedFileRecord record;
    record.fingerprint = {1234, maxHash, 42};
    record.decision = ProcessedDecision::compressed;
    record.updatedAt = dateFromSecondsSince2001(seconds);
    record.resourceIdentifier = "77";
    record.settingsKey = "v2|x";
    return record;
}

class ProcessedFileRegistryTest : public ::testing::Test {
protected:
    fs::path registryFile() const { return dir_ / "support" / "processed-files.json"; }
    ProcessedFileRegistry load() { return ProcessedFileRegistry(fs_, registryFile()); }
    void writeRegistry(std::string_view text) {
        fs::create_directories(registryFile().parent_path());
        writeFile(registryFile(), text);
    }

    TempDir dir_;
    test::FaultyFileSystem fs_;
};

TEST_F(ProcessedFileRegistryTest, WritesSortedKeysEscapedSlashesAndFullIntegers) {
    auto registry = load();
    ProcessedFileRecord record = sampleRecord(0.5);
    registry.store("/photos/a.jpg", record);
    record.decision = ProcessedDecision::alreadyOptimal;
    record.resourceIdentifier.reset();
    record.settingsKey.reset();
    record.fingerprint = {7, 0, 1};
    registry.store("/photos/b.png", record);
    registry.save();

    EXPECT_EQ(readFile(registryFile()),
              R"({"entries":{"\/photos\/a.jpg":{"decision":"compressed","fingerprint":)"
              R"({"headHash":18446744073709551615,"size":1234,"tailHash":42},)"
              R"("resourceIdentifier":"77","settingsKey":"v2|x","updatedAt":0.5},)"
              R"("\/photos\/b.png":{"decision":"alreadyOptimal","fingerprint":)"
              R"({"headHash":0,"size":7,"tailHash":1},"updatedAt":0.5}},"version":1})");
}

TEST_F(ProcessedFileRegistryTest, RoundTripsEveryFieldAndANonUtf8Path) {
    auto registry = load();
    const fs::path latin1 = std::string("/photos/caf\xE9.jpg");
    ProcessedFileRecord first = sampleRecord(786'371'234.567891);
    ProcessedFileRecord second = sampleRecord(-12.25);
    second.decision = ProcessedDecision::existingOutputFresh;
    second.resourceIdentifier.reset();
    second.settingsKey.reset();
    second.fingerprint = {-1, 1, maxHash - 1};
    registry.store(latin1, first);
    registry.store("/photos/plain.jpg", second);
    registry.save();

    const auto reloaded = load();
    EXPECT_EQ(reloaded.version(), 1);
    ASSERT_EQ(reloaded.entries().size(), 2u);
    ASSERT_TRUE(reloaded.record(latin1));
    EXPECT_EQ(reloaded.record(latin1)->fingerprint, first.fingerprint);
    EXPECT_EQ(reloaded.record(latin1)->resourceIdentifier, first.resourceIdentifier);
    // Dates travel as seconds in a double: equal to well under a microsecond.
    EXPECT_NEAR(secondsSince2001(reloaded.record(latin1)->updatedAt), 786'371'234.567891, 1e-6);
    ASSERT_TRUE(reloaded.record("/photos/plain.jpg"));
    EXPECT_EQ(*reloaded.record("/photos/plain.jpg"), second);
    // A different byte in the name is a different key.
    EXPECT_FALSE(reloaded.record(std::string("/photos/caf\xE8.jpg")));
}

TEST_F(ProcessedFileRegistryTest, ReadsAnyStandardEscapeAndKeepsItsVersion) {
    writeRegistry(R"({"version":7,"entries":{"/p/a.jpg":{"decision":"compressed",)"
                  R"("fingerprint":{"size":3,"headHash":1,"tailHash":2},"updatedAt":10,)"
                  R"("settingsKey":null},"\u002fp\/b.jpg":{"decision":"alreadyOptimal",)"
                  R"("fingerprint":{"size":3,"headHash":1,"tailHash":2},"updatedAt":1.5,)"
                  R"("extra":true}}})");
    auto registry = load();
    EXPECT_EQ(registry.version(), 7);
    EXPECT_TRUE(registry.record("/p/a.jpg"));
    EXPECT_TRUE(registry.record("/p/b.jpg"));
    EXPECT_FALSE(registry.record("/p/a.jpg")->settingsKey);

    registry.save();
    EXPECT_NE(readFile(registryFile()).find(R"("version":7)"), std::string::npos);
}

TEST_F(ProcessedFileRegistryTest, AnyInvalidFileLoadsAsAnEmptyRegistry) {
    const std::string record =
        R"("decision":"compressed","fingerprint":{"size":3,"headHash":1,"tailHash":2},)"
        R"("updatedAt":10)";
    const auto file = [](const std::string& body) {
        return R"({"version":1,"entries":{"\/p\/a.jpg":{)" + body + "}}}";
    };
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"not JSON", "{"},
        {"an array", "[]"},
        {"no version", R"({"entries":{}})"},
        {"no entries", R"({"version":1})"},
        {"fractional version", R"({"version":1.5,"entries":{}})"},
        {"entries not an object", R"({"version":1,"entries":[]})"},
        {"unknown decision", file(R"("decision":"deleted","fingerprint":{"size":3,"headHash":1,)"
                                  R"("tailHash":2},"updatedAt":10)")},
        {"no fingerprint", file(R"("decision":"compressed","updatedAt":10)")},
        {"no tail hash", file(R"("decision":"compressed","fingerprint":{"size":3,"headHash":1},)"
                              R"("updatedAt":10)")},
        {"negative hash", file(R"("decision":"compressed","fingerprint":{"size":3,)"
                               R"("headHash":-1,"tailHash":2},"updatedAt":10)")},
        {"hash past 64 bits", file(R"("decision":"compressed","fingerprint":{"size":3,)"
                                   R"("headHash":18446744073709551616,"tailHash":2},)"
                                   R"("updatedAt":10)")},
        {"size past 63 bits", file(R"("decision":"compressed","fingerprint":)"
                                   R"({"size":9223372036854775808,"headHash":1,"tailHash":2},)"
                                   R"("updatedAt":10)")},
        {"size as text", file(R"("decision":"compressed","fingerprint":{"size":"3",)"
                              R"("headHash":1,"tailHash":2},"updatedAt":10)")},
        {"date as text", file(R"("decision":"compressed","fingerprint":{"size":3,"headHash":1,)"
                              R"("tailHash":2},"updatedAt":"2024-01-01T00:00:00Z")")},
        {"date out of range", file(R"("decision":"compressed","fingerprint":{"size":3,)"
                                   R"("headHash":1,"tailHash":2},"updatedAt":1e300)")},
        {"null decision", file(R"("decision":null,"fingerprint":{"size":3,"headHash":1,)"
                               R"("tailHash":2},"updatedAt":10)")},
        {"null fingerprint", file(R"("decision":"compressed","fingerprint":null,"updatedAt":10)")},
        {"no date", file(R"("decision":"compressed","fingerprint":{"size":3,"headHash":1,)"
                         R"("tailHash":2})")},
        {"record not an object", R"({"version":1,"entries":{"\/p\/a.jpg":[]}})"},
        {"numeric file number", file(record + R"(,"resourceIdentifier":12)")},
        {"invalid UTF-8", file(record + ",\"settingsKey\":\"\xFF\"")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeRegistry(c.text);
        const auto registry = load();
        EXPECT_EQ(registry.version(), 1);
        EXPECT_TRUE(registry.entries().empty());
    }
    // The sanity check for the table: the same record with nothing wrong loads.
    writeRegistry(file(record));
    EXPECT_EQ(load().entries().size(), 1u);
}

TEST_F(ProcessedFileRegistryTest, EveryTruncationLoadsEmptyOrIntact) {
    {
        auto registry = load();
        registry.store("/photos/a.jpg", sampleRecord(100));
        registry.store("/photos/b.jpg", sampleRecord(200));
        registry.save();
    }
    const std::string full = readFile(registryFile());
    const auto intact = load().entries();
    ASSERT_EQ(intact.size(), 2u);

    for (std::size_t length = 0; length < full.size(); ++length) {
        writeRegistry(full.substr(0, length));
        const auto registry = load();
        SCOPED_TRACE(length);
        EXPECT_TRUE(registry.entries().empty() || registry.entries() == intact);
    }
}

TEST_F(ProcessedFileRegistryTest, RemembersTheFileAsItIsNowAndSavesAtOnce) {
    auto registry = load();
    const fs::path photo = dir_ / "photo.jpg";
    writeFile(photo, "jpeg bytes");
    writeFile(dir_ / "empty.jpg", "");

    const Date when = dateFromSecondsSince2001(5000);
    EXPECT_FALSE(registry.remember(dir_ / "missing.jpg", ProcessedDecision::compressed, "k", when));
    EXPECT_FALSE(registry.remember(dir_ / "empty.jpg", ProcessedDecision::compressed, "k", when));
    EXPECT_TRUE(registry.entries().empty());
    EXPECT_FALSE(fs::exists(registryFile()));

    ASSERT_TRUE(registry.remember(photo, ProcessedDecision::alreadyOptimal, "k", when));
    const auto record = load().record(photo);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->fingerprint, contentFingerprint(fs_, photo));
    EXPECT_EQ(record->resourceIdentifier, fileSignature(fs_, photo)->resourceIdentifier);
    EXPECT_EQ(record->decision, ProcessedDecision::alreadyOptimal);
    EXPECT_EQ(record->settingsKey, "k");
    EXPECT_EQ(record->updatedAt, when);
}

TEST_F(ProcessedFileRegistryTest, MatchesOnlyTheSameContentsFileNumberAndSettings) {
    auto registry = load();
    const ContentFingerprint fingerprint{10, 1, 2};
    ProcessedFileRecord record;
    record.fingerprint = fingerprint;
    record.resourceIdentifier = "5";
    record.settingsKey = "key";
    registry.store("/p/a.jpg", record);
    record.settingsKey.reset();
    registry.store("/p/no-key.jpg", record);
    record.settingsKey = "key";
    record.resourceIdentifier.reset();
    registry.store("/p/no-number.jpg", record);

    const struct {
        const char* name;
        const char* file;
        ContentFingerprint fingerprint;
        std::optional<std::string> number;
        const char* key;
        bool expected;
    } cases[] = {
        {"all equal", "/p/a.jpg", fingerprint, "5", "key", true},
        {"via a non-standard path", "/p/./x/../a.jpg", fingerprint, "5", "key", true},
        {"no record", "/p/other.jpg", fingerprint, "5", "key", false},
        {"size differs", "/p/a.jpg", {11, 1, 2}, "5", "key", false},
        {"head differs", "/p/a.jpg", {10, 9, 2}, "5", "key", false},
        {"tail differs", "/p/a.jpg", {10, 1, 9}, "5", "key", false},
        {"file number differs", "/p/a.jpg", fingerprint, "6", "key", false},
        {"file number now missing", "/p/a.jpg", fingerprint, std::nullopt, "key", false},
        {"both without file number", "/p/no-number.jpg", fingerprint, std::nullopt, "key", true},
        {"file number now present", "/p/no-number.jpg", fingerprint, "5", "key", false},
        {"settings changed", "/p/a.jpg", fingerprint, "5", "key2", false},
        {"record has no settings", "/p/no-key.jpg", fingerprint, "5", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(registry.matches(c.file, c.fingerprint, c.number, c.key), c.expected);
    }
}

TEST_F(ProcessedFileRegistryTest, KeepsTheNewestTwoThousandFiles) {
    auto registry = load();
    // Stored out of date order so that key order and age disagree.
    for (int i = 0; i < 2'000; ++i) {
        const int age = (i * 7919) % 2'000;
        registry.store("/p/" + std::to_string(i) + ".jpg", sampleRecord(1'000 + age));
    }
    const std::string oldest = "/p/0.jpg"; // age 0
    ASSERT_TRUE(registry.record(oldest));

    const fs::path photo = dir_ / "new.jpg";
    writeFile(photo, "bytes");
    ASSERT_TRUE(registry.remember(photo, ProcessedDecision::compressed, "k",
                                  dateFromSecondsSince2001(50'000)));

    EXPECT_EQ(registry.entries().size(), 2'000u);
    EXPECT_FALSE(registry.record(oldest));
    EXPECT_TRUE(registry.record(photo));
    EXPECT_TRUE(registry.record("/p/1.jpg"));
    const auto reloaded = load();
    EXPECT_EQ(reloaded.entries(), registry.entries());
}

TEST_F(ProcessedFileRegistryTest, RoomGrowsWithTheWatchedFolderAndDeferredDecisionsWaitForASave) {
    auto registry = load();
    registry.reserveForFolder(10);
    EXPECT_EQ(registry.capacity(), ProcessedFileRegistry::maximumEntries);
    registry.reserveForFolder(5'000);
    ASSERT_GE(registry.capacity(), 10'000u) << "a record for each entry and each output";
    for (int i = 0; i < 9'000; ++i) {
        registry.store("/p/" + std::to_string(i) + ".jpg", sampleRecord(1'000 + i));
    }
    const fs::path photo = dir_ / "new.jpg";
    writeFile(photo, "bytes");
    ASSERT_TRUE(registry.remember(photo, ProcessedDecision::alreadyOptimal, "k",
                                  dateFromSecondsSince2001(50'000),
                                  ProcessedFileRegistry::Save::later));
    EXPECT_EQ(registry.entries().size(), 9'001u);
    EXPECT_FALSE(fs::exists(registryFile()));
    EXPECT_TRUE(registry.hasUnsavedChanges());
    registry.saveIfChanged();
    EXPECT_FALSE(registry.hasUnsavedChanges());
    EXPECT_EQ(load().entries().size(), 9'001u);
}

TEST_F(ProcessedFileRegistryTest, SaveFailureIsLoggedAndTheEntryKept) {
    const test::ScopedEnv logDir("VELK_LOG_DIR", (dir_ / "logs").native());
    fs::create_directories(dir_ / "logs");
    auto registry = load();
    const fs::path photo = dir_ / "photo.jpg";
    writeFile(photo, "bytes");

    fs_.failNth(test::FaultyFileSystem::Operation::writeAtomically, 1);
    EXPECT_TRUE(
        registry.remember(photo, ProcessedDecision::compressed, "k", dateFromSecondsSince2001(1)));
    EXPECT_TRUE(fs_.faulted());
    EXPECT_TRUE(registry.record(photo));
    EXPECT_FALSE(fs::exists(registryFile()));
    EXPECT_NE(readFile(dir_ / "logs" / "native.log").find("Processed registry save failed: "),
              std::string::npos);
}

TEST_F(ProcessedFileRegistryTest, LeftAloneFilesHoldUnderAnySettingsUntilTheyChange) {
    const fs::path photo = dir_ / "photo.jpg";
    writeFile(photo, "bytes");
    const Date when = dateFromSecondsSince2001(100);
    const auto fingerprint = *contentFingerprint(fs_, photo);
    const auto number = fileSignature(fs_, photo)->resourceIdentifier;
    const ContentFingerprint changed{fingerprint.size + 1, 1, 2};

    const struct {
        LeftAloneReason reason;
        bool holdsWhenChanged;
    } cases[] = {
        {LeftAloneReason::failed, false},   {LeftAloneReason::unsupported, false},
        {LeftAloneReason::restored, false}, {LeftAloneReason::existing, false},
        {LeftAloneReason::ignored, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.reason)));
        {
            auto registry = load();
            ASSERT_TRUE(registry.leaveAlone(photo, c.reason, "old-key", when));
        }
        const auto reloaded = load();
        EXPECT_EQ(reloaded.leftAloneReason(photo, fingerprint, number), c.reason);
        EXPECT_EQ(reloaded.leftAloneReason(photo, changed, number).has_value(), c.holdsWhenChanged);
        // The version before this one sees a plain "already optimal" under the old key.
        EXPECT_TRUE(reloaded.matches(photo, fingerprint, number, "old-key"));
        EXPECT_EQ(reloaded.record(photo)->decision, ProcessedDecision::alreadyOptimal);
    }

    // A failure recorded by another version is tried again; an unknown reason is a plain
    // record.
    writeRegistry(R"({"version":1,"entries":{"\/p\/a.jpg":{"decision":"alreadyOptimal",)"
                  R"("fingerprint":{"size":3,"headHash":1,"tailHash":2},"updatedAt":1,)"
                  R"("leftAlone":"failed","programVersion":"0.0.1"},"\/p\/b.jpg":)"
                  R"({"decision":"alreadyOptimal","fingerprint":{"size":3,"headHash":1,)"
                  R"("tailHash":2},"updatedAt":1,"leftAlone":"someday"}}})");
    const auto other = load();
    ASSERT_EQ(other.entries().size(), 2u);
    EXPECT_FALSE(other.leftAloneReason("/p/a.jpg", {3, 1, 2}, std::nullopt));
    EXPECT_FALSE(other.leftAloneReason("/p/b.jpg", {3, 1, 2}, std::nullopt));
}

TEST_F(ProcessedFileRegistryTest, PruningNeverDropsAnIgnoredFile) {
    auto registry = load();
    const fs::path photo = dir_ / "ignored.jpg";
    writeFile(photo, "bytes");
    ASSERT_TRUE(registry.leaveAlone(photo, LeftAloneReason::ignored, "k",
                                    dateFromSecondsSince2001(1),
                                    ProcessedFileRegistry::Save::later));
    for (int i = 0; i < 2'001; ++i)
        registry.store("/p/" + std::to_string(i) + ".jpg", sampleRecord(1'000 + i));
    registry.pruneIfNeeded();
    EXPECT_EQ(registry.entries().size(), 2'000u);
    EXPECT_TRUE(registry.record(photo));
    registry.forget(photo);
    EXPECT_FALSE(registry.record(photo));
}

} // namespace
} // namespace velk
