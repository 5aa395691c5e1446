#include "engine/OutputOwnership.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>

#include "core/Constants.h"
#include "engine/FolderCompressor.h"
#include "engine/OutputMark.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TestImages;

// photo.jpg keeps its output photo_velkcompressed.jpg; what else carries an output's name
// beside it goes only when its mark says the engine made it from photo.jpg as it is now.
TEST(OutputOwnershipTest, OnlyTheEnginesOwnUnchangedFilesGoAsStaleOutputs) {
    test::TempDir dir;
    test::ScopedEnv logDir("VELK_LOG_DIR", (dir / "logs").native());
    PosixFileSystem fs;
    VipsImageCodec codec;
    const RunSettings settings = runSettings(AppConfig{}, 1, 1);
    const Date now = std::chrono::system_clock::now();

    struct Case {
        std::string name;
        /// Makes photo_velkcompressed.png (`stale`) in `folder`; may record it.
        std::function<void(const fs::path& folder, const fs::path& stale,
                           ProcessedFileRegistry& registry)>
            make;
        bool removed;
    };
    const auto image = [](const fs::path& file) {
        TestImages::png(file, 48, 32, test::imageOptions().withDetail());
    };
    // An output made from the folder's photo.jpg as it is now, or from other bytes.
    const auto outputOf = [&](const fs::path& file, const std::optional<fs::path>& source) {
        image(file);
        stampOutputMark(fs, file, settings.key,
                        source ? std::optional(Sha256::of(test::readFile(*source))) : std::nullopt);
    };
    const auto output = [&](const fs::path& file) {
        outputOf(file, file.parent_path() / "photo.jpg");
    };
    const std::vector<Case> cases = {
        {"a user's image under an output's name",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry&) { image(stale); },
         false},
        {"an output with its record",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry& registry) {
             output(stale);
             registry.remember(stale, ProcessedDecision::compressed, settings.key, now);
         },
         true},
        {"an output after its registry was lost",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry&) { output(stale); },
         true},
        {"an output renamed to the name",
         [&](const fs::path& folder, const fs::path& stale, ProcessedFileRegistry& registry) {
             output(folder / "old_velkcompressed.png");
             registry.remember(folder / "old_velkcompressed.png", ProcessedDecision::compressed,
                               settings.key, now);
             fs::rename(folder / "old_velkcompressed.png", stale);
         },
         true},
        {"a copy of an output",
         [&](const fs::path& folder, const fs::path& stale, ProcessedFileRegistry&) {
             output(folder / "elsewhere.png");
             fs::copy_file(folder / "elsewhere.png", stale);
         },
         true},
        {"the output of a picture deleted since, or copied in from elsewhere",
         [&](const fs::path& folder, const fs::path& stale, ProcessedFileRegistry& registry) {
             image(folder / "gone.png");
             outputOf(stale, folder / "gone.png");
             registry.remember(stale, ProcessedDecision::compressed, settings.key, now);
         },
         false},
        {"an output made before the source was rewritten",
         [&](const fs::path& folder, const fs::path& stale, ProcessedFileRegistry&) {
             output(stale);
             TestImages::jpeg(folder / "photo.jpg", 64, 32, test::imageOptions().withDetail());
         },
         false},
        {"an output marked before marks named their source",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry& registry) {
             outputOf(stale, std::nullopt);
             registry.remember(stale, ProcessedDecision::compressed, settings.key, now);
         },
         false},
        {"an unmarked file the registry recorded as written",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry& registry) {
             image(stale);
             registry.remember(stale, ProcessedDecision::compressed, settings.key, now);
         },
         false},
        {"a recorded file the user rewrote since",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry& registry) {
             image(stale);
             registry.remember(stale, ProcessedDecision::compressed, settings.key, now);
             TestImages::png(stale, 64, 32, test::imageOptions().withDetail());
         },
         false},
        {"a marked output edited since",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry&) {
             output(stale);
             test::writeFile(stale, test::readFile(stale) + "edited");
         },
         false},
        {"a folder under the name",
         [&](const fs::path&, const fs::path& stale, ProcessedFileRegistry&) {
             fs::create_directory(stale);
         },
         false},
        {"another source's output",
         [&](const fs::path& folder, const fs::path& stale, ProcessedFileRegistry&) {
             image(folder / "photo.png");
             output(stale);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = dir / std::to_string(&c - cases.data());
        fs::create_directories(folder);
        ProcessedFileRegistry registry(fs, folder / "registry.json");
        TestImages::jpeg(folder / "photo.jpg", 48, 32, test::imageOptions().withDetail());
        const fs::path stale = folder / "photo_velkcompressed.png";
        c.make(folder, stale, registry);
        const ScanListing listing(fs.list(folder), folder);
        OutputOwnership ownership(fs, codec, registry);

        const auto removed = ownership.removeStaleOutputs(
            folder / "photo.jpg", folder / "photo_velkcompressed.jpg", listing, settings);
        EXPECT_EQ(removed, c.removed ? std::vector<fs::path>{stale} : std::vector<fs::path>{});
        EXPECT_EQ(fs::exists(stale), !c.removed);
    }
}

/// The rules as the running engine keeps them, over a real folder and real encoders.
class OwnershipInTheEngineTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    test::ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    test::ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    std::mutex mutex_;
    Date now_ = std::chrono::system_clock::now();
    std::vector<CompressionHistoryEntry> history_;
    std::unique_ptr<FolderCompressor> engine_;

    void SetUp() override {
        fs::create_directories(folder_);
        FolderCompressor::Options options;
        options.registryFile = dir_ / "support" / "processed-files.json";
        options.clock = [this] {
            std::scoped_lock lock(mutex_);
            return now_;
        };
        options.pollingInterval = 0;
        options.watchEvents = false;
        options.scanDebounceInterval = 0;
        options.pauseAfterFile = 0;
        engine_ = std::make_unique<FolderCompressor>(fs_, codec_, options);
        engine_->onHistory = [this](const CompressionHistoryEntry& entry) {
            std::scoped_lock lock(mutex_);
            history_.push_back(entry);
        };
    }

    void advance(double seconds) {
        std::scoped_lock lock(mutex_);
        now_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(seconds));
    }

    void start(OriginalPolicy policy = OriginalPolicy::keep,
               CompressionPreset preset = CompressionPreset::balanced) {
        AppConfig config;
        config.originalPolicy = policy;
        config.preset = preset;
        config.qualities = defaults(preset);
        engine_->start(config, folder_);
        engine_->waitUntilIdle();
    }

    /// Two scans a stability interval apart: enough for any quiet file to be processed.
    void settle() {
        engine_->scanNow();
        advance(writeStabilityInterval + 0.1);
        engine_->scanNow();
    }
};

TEST_F(OwnershipInTheEngineTest, OutputsOfOtherPicturesAreNeverSweptAsStale) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    TestImages::avif(folder_ / "photo.avif", 320, 240,
                     test::imageOptions().withDetail().withQuality(95));
    start();
    settle();
    // The user deletes photo.avif, keeping its compressed copy, and copies in a compressed
    // picture from another folder under a name that could be photo.jpg's.
    ASSERT_TRUE(fs::exists(folder_ / "photo_velkcompressed.avif"));
    const std::string avifCopy = test::readFile(folder_ / "photo_velkcompressed.avif");
    fs::remove(folder_ / "photo.avif");
    const fs::path copied = folder_ / "photo_velkcompressed.webp";
    TestImages::webp(copied, 300, 200, test::imageOptions().withDetail());
    stampOutputMark(fs_, copied, "elsewhere", Sha256::of("another picture"));
    for (int i = 0; i < 2; ++i) {
        start();
        settle();
    }
    EXPECT_EQ(test::readFile(folder_ / "photo_velkcompressed.avif"), avifCopy);
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.webp"));
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
}

TEST_F(OwnershipInTheEngineTest, AFileUnderTheOutputNameThatIsNotOursIsNeverReplaced) {
    const auto detailed = test::imageOptions().withDetail().withQuality(98);
    TestImages::jpeg(folder_ / "clash.jpg", 320, 240, detailed);
    TestImages::jpeg(folder_ / "fresh.jpg", 320, 240, detailed);
    TestImages::jpeg(folder_ / "edited.jpg", 320, 240, detailed);
    // The person's own pictures under output names: one older than its source, one newer.
    TestImages::jpeg(folder_ / "clash_velkcompressed.jpg", 64, 48, detailed);
    TestImages::jpeg(folder_ / "fresh_velkcompressed.jpg", 64, 48, detailed);
    const auto age = [](const fs::path& file, const fs::path& than, int seconds) {
        fs::last_write_time(file, fs::last_write_time(than) + std::chrono::seconds(seconds));
    };
    age(folder_ / "clash_velkcompressed.jpg", folder_ / "clash.jpg", -3600);
    age(folder_ / "fresh_velkcompressed.jpg", folder_ / "fresh.jpg", 3600);
    const std::string clashBytes = test::readFile(folder_ / "clash_velkcompressed.jpg");
    const std::string freshBytes = test::readFile(folder_ / "fresh_velkcompressed.jpg");
    const auto failures = [this](const std::string& name) {
        std::scoped_lock lock(mutex_);
        return std::count_if(history_.begin(), history_.end(), [&](const auto& entry) {
            return entry.sourceURL.filename() == name &&
                   entry.status == CompressionHistoryStatus::failed &&
                   entry.message.value_or("").find(name.substr(0, name.size() - 4) +
                                                   "_velkcompressed.jpg") != std::string::npos;
        });
    };
    start();
    settle();
    settle();
    EXPECT_EQ(failures("clash.jpg"), 1) << "once per signature";
    EXPECT_EQ(failures("fresh.jpg"), 0) << "a newer file under the name counts as fresh";
    ASSERT_TRUE(fs::exists(folder_ / "edited_velkcompressed.jpg"));

    // The output edited since, and older than its source: no longer ours to overwrite.
    const fs::path edited = folder_ / "edited_velkcompressed.jpg";
    test::writeFile(edited, test::readFile(edited) + "edited");
    age(edited, folder_ / "edited.jpg", -3600);
    const std::string editedBytes = test::readFile(edited);
    start();
    settle();
    settle();
    EXPECT_EQ(failures("edited.jpg"), 1);
    EXPECT_EQ(test::readFile(edited), editedBytes);
    EXPECT_EQ(test::readFile(folder_ / "clash_velkcompressed.jpg"), clashBytes);
    EXPECT_EQ(test::readFile(folder_ / "fresh_velkcompressed.jpg"), freshBytes);
}

TEST_F(OwnershipInTheEngineTest, OneOwnerForAnOutputNameHoweverManySourcesShareIt) {
    const auto detailed = test::imageOptions().withDetail().withQuality(98);
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240, detailed);
    TestImages::jpeg(folder_ / "photo.jpeg", 300, 200, detailed);
    TestImages::jpeg(folder_ / "photo.JPG", 280, 210, detailed);
    const fs::path output = folder_ / "photo_velkcompressed.jpg";
    const auto rows = [this](CompressionHistoryStatus status) {
        std::scoped_lock lock(mutex_);
        std::vector<std::string> names;
        for (const auto& entry : history_) {
            if (entry.status == status)
                names.push_back(entry.sourceURL.filename().native());
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    start();
    settle();
    settle();
    EXPECT_EQ(rows(CompressionHistoryStatus::compressed), std::vector<std::string>{"photo.JPG"});
    EXPECT_EQ(rows(CompressionHistoryStatus::failed),
              (std::vector<std::string>{"photo.jpeg", "photo.jpg"}));
    ASSERT_TRUE(fs::exists(output));
    const std::string owners = test::readFile(output);

    // Touching another source never hands it the name.
    TestImages::jpeg(folder_ / "photo.jpeg", 310, 220, detailed);
    advance(1);
    settle();
    EXPECT_EQ(test::readFile(output), owners);
    EXPECT_EQ(rows(CompressionHistoryStatus::failed),
              (std::vector<std::string>{"photo.jpeg", "photo.jpeg", "photo.jpg"}));
}

TEST_F(OwnershipInTheEngineTest, KeepThenReplaceLeavesOneImagePerPictureEncodedOnce) {
    const auto detailed = test::imageOptions().withDetail().withQuality(98);
    TestImages::jpeg(folder_ / "same.jpg", 320, 240, detailed);
    TestImages::jpeg(folder_ / "other.jpg", 300, 200, detailed);
    const std::string originals[] = {test::readFile(folder_ / "same.jpg"),
                                     test::readFile(folder_ / "other.jpg")};
    const auto run = [this](OriginalPolicy policy, CompressionPreset preset) {
        start(policy, preset);
        settle();
    };
    // other.jpg's beside-output is made under other settings than the switch to replace.
    fs::rename(folder_ / "same.jpg", dir_ / "same.jpg");
    run(OriginalPolicy::keep, CompressionPreset::maximum);
    fs::rename(dir_ / "same.jpg", folder_ / "same.jpg");
    run(OriginalPolicy::keep, CompressionPreset::balanced);
    ASSERT_TRUE(fs::exists(folder_ / "same_velkcompressed.jpg"));
    ASSERT_TRUE(fs::exists(folder_ / "other_velkcompressed.jpg"));
    const auto besideImage = unmarkedDigest(folder_ / "same_velkcompressed.jpg");

    run(OriginalPolicy::replace, CompressionPreset::balanced);
    EXPECT_FALSE(fs::exists(folder_ / "same_velkcompressed.jpg"));
    EXPECT_FALSE(fs::exists(folder_ / "other_velkcompressed.jpg"));
    EXPECT_EQ(unmarkedDigest(folder_ / "same.jpg"), besideImage)
        << "the fresh beside-output is the result, not encoded a second time";
    EXPECT_EQ(readOutputMark(folder_ / "same.jpg")->sourceDigest, Sha256::of(originals[0]));
    EXPECT_EQ(readOutputMark(folder_ / "other.jpg")->sourceDigest, Sha256::of(originals[1]));
    const fs::path day = folder_ / backupDirName / isoDay(now_);
    EXPECT_EQ(test::readFile(day / "same.original.jpg"), originals[0]);
    EXPECT_EQ(test::readFile(day / "other.original.jpg"), originals[1]);
}

} // namespace
} // namespace velk
