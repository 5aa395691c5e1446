#include "engine/FolderCompressor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "core/Constants.h"
#include "core/FileError.h"
#include "core/Uuid.h"
#include "engine/FakeTools.h"
#include "engine/ProcessedFileRegistry.h"
#include "platform/PosixFileSystem.h"
#include "platform/ScratchFolder.h"
#include "platform/VipsImageCodec.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::TestImages;

class FolderCompressorTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    test::ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    test::ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    PosixFileSystem fs_;
    VipsImageCodec codec_;
    Date now_ = std::chrono::system_clock::now();
    std::unique_ptr<FolderCompressor> engine_;
    std::function<void(FolderCompressor::Options&)> adjustOptions_;

    std::mutex mutex_;
    std::vector<CompressionHistoryEntry> history_;
    std::vector<CompressionNotificationEvent> events_;
    CompressionStats lastStats_;
    /// Every report made while a batch was under way.
    std::vector<CompressionStats> batchReports_;

    void SetUp() override {
        fs::create_directories(folder_);
        engine_ = makeEngine();
    }

    std::unique_ptr<FolderCompressor> makeEngine() {
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
        if (adjustOptions_)
            adjustOptions_(options);
        auto engine = std::make_unique<FolderCompressor>(fs_, codec_, options);
        engine->onHistory = [this](const CompressionHistoryEntry& entry) {
            std::scoped_lock lock(mutex_);
            history_.push_back(entry);
        };
        engine->onEvent = [this](const CompressionNotificationEvent& event) {
            std::scoped_lock lock(mutex_);
            events_.push_back(event);
        };
        engine->onStats = [this](const CompressionStats& stats) {
            std::scoped_lock lock(mutex_);
            lastStats_ = stats;
            if (stats.batchTotal > 0)
                batchReports_.push_back(stats);
        };
        return engine;
    }

    void advance(double seconds) {
        std::scoped_lock lock(mutex_);
        now_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(seconds));
    }

    void start(OriginalPolicy policy = OriginalPolicy::keep,
               FormatStrategy strategy = FormatStrategy::automatic) {
        AppConfig config;
        config.originalPolicy = policy;
        config.formatStrategy = strategy;
        engine_->start(config, folder_);
        engine_->waitUntilIdle();
    }

    /// Two scans a stability interval apart: enough for any quiet file to be processed.
    void settle() {
        engine_->scanNow();
        advance(writeStabilityInterval + 0.1);
        engine_->scanNow();
    }

    std::size_t historyCount() {
        std::scoped_lock lock(mutex_);
        return history_.size();
    }
};

TEST_F(FolderCompressorTest, StartOnMissingFolderFailsAndDoesNotRun) {
    AppConfig config;
    try {
        engine_->start(config, dir_ / "missing");
        FAIL() << "start succeeded";
    } catch (const FileError& error) {
        EXPECT_EQ(error.kind(), FileError::Kind::readNoSuchFile);
    }
    EXPECT_FALSE(engine_->isRunning());
}

TEST_F(FolderCompressorTest, NewFileWaitsForStabilityThenGetsAnOutputBeside) {
    TestImages::jpeg(folder_ / "photo.jpg", 400, 300,
                     test::imageOptions().withDetail().withQuality(98));
    start();
    engine_->scanNow();
    EXPECT_EQ(historyCount(), 0u) << "a file seen for the first time must wait";

    advance(0.5);
    engine_->scanNow();
    EXPECT_EQ(historyCount(), 0u);

    advance(0.4);
    engine_->scanNow();
    ASSERT_EQ(historyCount(), 1u);
    EXPECT_EQ(history_[0].status, CompressionHistoryStatus::compressed);
    EXPECT_EQ(history_[0].outputURL, folder_ / "photo_velkcompressed.jpg");
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
    EXPECT_EQ(lastStats_.done, 1);
    EXPECT_EQ(lastStats_.active, 0);

    // Neither the source nor the output is processed again, however long it runs.
    for (int i = 0; i < 5; ++i) {
        advance(10);
        engine_->scanNow();
    }
    EXPECT_EQ(historyCount(), 1u);
}

TEST_F(FolderCompressorTest, ChangingFileRestartsItsStabilityWait) {
    TestImages::jpeg(folder_ / "growing.jpg", 200, 150, test::imageOptions().withDetail());
    start();
    engine_->scanNow();
    advance(0.9);
    TestImages::jpeg(folder_ / "growing.jpg", 300, 150, test::imageOptions().withDetail());
    engine_->scanNow();
    EXPECT_EQ(historyCount(), 0u);
    advance(0.9);
    engine_->scanNow();
    EXPECT_EQ(historyCount(), 1u);
}

TEST_F(FolderCompressorTest, OwnFilesAndOtherFoldersAreNeverCandidates) {
    const fs::path folder = "/photos";
    for (const char* name :
         {"photo_velkcompressed.jpg", ".hidden.jpg", "~$lock.jpg", "photo.jpg.part",
          "a.velk-temp-x.jpg", "b.velk-replace-y.png", "photo.crdownload"}) {
        EXPECT_TRUE(shouldIgnore(folder / name, folder)) << name;
    }
    EXPECT_TRUE(shouldIgnore(folder / ".velk-compressor-backups" / "2026-12-07" / "a.jpg", folder));
    EXPECT_TRUE(shouldIgnore("/elsewhere/a.jpg", folder));
    EXPECT_FALSE(shouldIgnore(folder / "PHOTO.JPG", folder));
    EXPECT_FALSE(shouldIgnore(folder / "-rf.jpg", folder));
}

TEST_F(FolderCompressorTest, BrokenFilesFailOnceEachAndTheRestIsProcessed) {
    test::writeFile(folder_ / "random.jpg", std::string(4096, '\x5A'));
    TestImages::pngHeaderOnly(folder_ / "bomb.png", 60000, 60000);
    TestImages::jpeg(folder_ / "cut.jpg", 300, 200, test::imageOptions().withDetail());
    TestImages::truncate(folder_ / "cut.jpg", 0.5);
    TestImages::svg(folder_ / "vector.jpg", 50, 50);
    TestImages::png(folder_ / "good.png", 64, 64, test::imageOptions().withDetail());
    test::writeFile(folder_ / "empty.jpg", "");
    start();
    settle();
    for (int i = 0; i < 3; ++i) {
        advance(5);
        engine_->scanNow();
    }
    std::size_t failed = 0;
    for (const auto& entry : history_) {
        if (entry.status == CompressionHistoryStatus::failed) {
            ++failed;
            EXPECT_FALSE(entry.message.value_or("").empty());
            EXPECT_FALSE(entry.outputURL);
        }
    }
    EXPECT_EQ(failed, 4u) << "each broken file gives exactly one failed row";
    EXPECT_EQ(lastStats_.errors, 4);
    EXPECT_EQ(history_.size(), 5u) << "the good file is processed; the empty one stays silent";
}

TEST_F(FolderCompressorTest, ToolPastItsTimeLimitIsStoppedAndTheFileFails) {
    test::FakeToolFolder tools(dir_ / "tools");
    tools.add("cjpeg", "exec sleep 60");
    adjustOptions_ = [](FolderCompressor::Options& options) {
        options.toolTimeLimitBase = 0.5;
        options.toolTimeLimitPerMegapixel = 0;
    };
    engine_ = makeEngine();
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240, test::imageOptions().withDetail());
    start();
    const auto began = std::chrono::steady_clock::now();
    settle();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
    ASSERT_EQ(historyCount(), 1u);
    EXPECT_EQ(history_[0].status, CompressionHistoryStatus::failed);
    // The row speaks the interface language (the default, Russian); the log stays English.
    EXPECT_EQ(history_[0].message, "Сжатие заняло слишком много времени: «cjpeg» остановлен "
                                   "через 1 с. Файл пропущен.");
    EXPECT_EQ(tools.runs("cjpeg").size(), 1u) << "the file fails; no other candidate is tried";
    EXPECT_TRUE(test::scratchLeftIn(folder_).empty());
    EXPECT_FALSE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
}

TEST_F(FolderCompressorTest, SameNamedSourcesOfTwoFormatsKeepBothOutputs) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    TestImages::avif(folder_ / "photo.avif", 320, 240,
                     test::imageOptions().withDetail().withQuality(95));
    start();
    settle();
    const std::size_t rows = historyCount();
    ASSERT_EQ(rows, 2u);
    for (int i = 0; i < 4; ++i) {
        advance(5);
        engine_->scanNow();
    }
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.avif"));
    EXPECT_EQ(historyCount(), rows) << "the two sources must not re-encode each other";
}

TEST_F(FolderCompressorTest, StaleOutputOfAnotherFormatIsRemoved) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    start(OriginalPolicy::keep, FormatStrategy::webp);
    settle();
    ASSERT_TRUE(fs::exists(folder_ / "photo_velkcompressed.webp"));
    start();
    settle();
    EXPECT_FALSE(fs::exists(folder_ / "photo_velkcompressed.webp"));
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
}

TEST_F(FolderCompressorTest, ALossyGainUnderOnePercentIsAlreadyOptimal) {
    // The "encoder" returns the source's image without the padding behind its end, so the
    // re-encode gains exactly the padding.
    const fs::path clean = dir_ / "clean.jpg";
    TestImages::jpeg(clean, 320, 240, test::imageOptions().withDetail().withQuality(90));
    test::FakeToolFolder tools(dir_ / "tools");
    tools.add("cjpeg", "cp '" + clean.native() + "' \"$out\"");
    const auto cleanSize = static_cast<double>(fs::file_size(clean));
    const std::map<std::string, std::pair<double, CompressionHistoryStatus>> cases = {
        {"half.jpg", {0.5, CompressionHistoryStatus::alreadyOptimal}},
        {"two.jpg", {2.0, CompressionHistoryStatus::compressed}},
    };
    for (const auto& [name, gain] : cases) {
        std::string bytes = test::readFile(clean);
        bytes.append(static_cast<std::size_t>(cleanSize * gain.first / (100 - gain.first)) + 1,
                     '\0');
        test::writeFile(folder_ / name, bytes);
    }
    start(OriginalPolicy::keep, FormatStrategy::jpeg);
    settle();
    std::scoped_lock lock(mutex_);
    ASSERT_EQ(history_.size(), cases.size());
    for (const auto& entry : history_) {
        EXPECT_EQ(entry.status, cases.at(entry.sourceURL.filename().native()).second)
            << entry.sourceURL;
    }
}

TEST_F(FolderCompressorTest, ReplaceKeepsAVerifiedBackupOfTheOriginal) {
    TestImages::jpeg(folder_ / "photo.jpg", 400, 300,
                     test::imageOptions().withDetail().withQuality(98));
    const std::string original = test::readFile(folder_ / "photo.jpg");
    start(OriginalPolicy::replace);
    settle();
    ASSERT_EQ(historyCount(), 1u);
    EXPECT_EQ(history_[0].outputURL, folder_ / "photo.jpg");
    EXPECT_LT(fs::file_size(folder_ / "photo.jpg"), original.size());
    const fs::path day = folder_ / backupDirName / isoDay(now_);
    EXPECT_EQ(test::readFile(day / "photo.original.jpg"), original);
}

TEST_F(FolderCompressorTest, ReplaceWithConversionLeavesOnlyTheNewFormatAndTheBackup) {
    TestImages::png(folder_ / "chart.png", 200, 100, test::imageOptions().withDetail());
    const std::string original = test::readFile(folder_ / "chart.png");
    start(OriginalPolicy::replace, FormatStrategy::jpeg);
    settle();
    EXPECT_FALSE(fs::exists(folder_ / "chart.png"));
    EXPECT_TRUE(fs::exists(folder_ / "chart.jpg"));
    EXPECT_EQ(test::readFile(folder_ / backupDirName / isoDay(now_) / "chart.original.png"),
              original);
}

TEST_F(FolderCompressorTest, SymbolicLinksAreNeverProcessed) {
    TestImages::jpeg(dir_ / "outside.jpg", 200, 100,
                     test::imageOptions().withDetail().withQuality(98));
    fs::create_symlink(dir_ / "outside.jpg", folder_ / "link.jpg");
    start(OriginalPolicy::replace);
    settle();
    EXPECT_EQ(historyCount(), 0u);
    EXPECT_TRUE(fs::is_symlink(folder_ / "link.jpg"));
    EXPECT_FALSE(fs::exists(folder_ / backupDirName));
}

TEST_F(FolderCompressorTest, AlreadyOptimalSourceIsReportedAndLeftAlone) {
    // Without outside tools a PNG's only candidate is a copy of itself: never smaller.
    TestImages::png(folder_ / "small.png", 64, 64, test::imageOptions().withDetail());
    const std::string original = test::readFile(folder_ / "small.png");
    start();
    settle();
    ASSERT_EQ(historyCount(), 1u);
    EXPECT_EQ(history_[0].status, CompressionHistoryStatus::alreadyOptimal);
    EXPECT_EQ(history_[0].outputURL, folder_ / "small.png");
    EXPECT_EQ(history_[0].originalBytes, history_[0].outputBytes);
    EXPECT_FALSE(fs::exists(folder_ / "small_velkcompressed.png"));
    EXPECT_EQ(test::readFile(folder_ / "small.png"), original);
    ASSERT_EQ(events_.size(), 1u);
    EXPECT_FALSE(events_[0].allowsSystemNotification());
}

TEST_F(FolderCompressorTest, RestartSkipsFilesHandledInAnEarlierRun) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    start();
    settle();
    ASSERT_EQ(historyCount(), 1u);
    engine_->stop();
    engine_ = makeEngine();
    start();
    settle();
    advance(5);
    engine_->scanNow();
    EXPECT_EQ(historyCount(), 1u);
}

TEST_F(FolderCompressorTest, OwnOutputsAreNotEncodedAgainWhenRenamedCopiedOrForgotten) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    start(OriginalPolicy::replace);
    settle();
    ASSERT_EQ(historyCount(), 1u);
    engine_->stop();
    const std::string output = test::readFile(folder_ / "photo.jpg");
    fs::remove(dir_ / "support" / "processed-files.json");
    fs::rename(folder_ / "photo.jpg", folder_ / "renamed.jpg");
    fs::copy_file(folder_ / "renamed.jpg", folder_ / "copy.jpg");

    engine_ = makeEngine();
    start(OriginalPolicy::replace);
    settle();
    advance(5);
    engine_->scanNow();
    EXPECT_EQ(historyCount(), 1u);
    EXPECT_TRUE(test::readFile(folder_ / "renamed.jpg") == output);
    EXPECT_TRUE(test::readFile(folder_ / "copy.jpg") == output);

    // Other settings: a result is re-made only from its kept original, and no backup is
    // named for these two: encoding them again could only lose more.
    engine_->stop();
    engine_ = makeEngine();
    AppConfig config;
    config.originalPolicy = OriginalPolicy::replace;
    config.qualities.jpeg -= 10;
    engine_->start(config, folder_);
    engine_->waitUntilIdle();
    settle();
    EXPECT_EQ(historyCount(), 1u);
    EXPECT_TRUE(test::readFile(folder_ / "renamed.jpg") == output);
    EXPECT_TRUE(test::readFile(folder_ / "copy.jpg") == output);
}

TEST_F(FolderCompressorTest, StartRecoversWhatAnInterruptedSwapLeftBehind) {
    const std::string uuid = Uuid::random().toString();
    test::writeFile(folder_ / (".photo.velk-replace-" + uuid + ".jpg"), "the only copy");
    test::writeFile(folder_ / (".photo.velk-temp-" + uuid + ".jpg"), "half an output");
    test::writeFile(folder_ / (".x.velk-temp-png-source-" + uuid + ".png"), "scratch");
    fs::create_directories(folder_ / (".velk-temp-" + uuid) / "sub");
    fs::create_directories(folder_ / ".velk-temp-mine"); // not a name the engine makes
    start();
    EXPECT_EQ(test::readFile(folder_ / "photo.jpg"), "the only copy");
    for (const auto& entry : fs::directory_iterator(folder_)) {
        const std::string name = entry.path().filename().native();
        if (name == ".velk-temp-mine")
            continue;
        EXPECT_EQ(name.find(".velk-"), std::string::npos) << name;
    }
}

TEST_F(FolderCompressorTest, ToolsWriteOnlyInsideAPrivateFolderThatGoesAway) {
    test::FakeToolFolder tools(dir_ / "tools");
    const fs::path modes = dir_ / "modes";
    tools.add("cjpeg", "stat -c %a \"$(dirname \"$out\")\" >> '" + modes.native() + "'; exit 1");
    TestImages::jpeg(folder_ / "photo.jpg", 64, 48, test::imageOptions().withQuality(98));
    start();
    settle();

    const auto runs = tools.runs("cjpeg");
    ASSERT_FALSE(runs.empty());
    for (const auto& arguments : runs) {
        const auto out = std::find(arguments.begin(), arguments.end(), "-outfile");
        ASSERT_NE(out, arguments.end());
        const fs::path scratch = fs::path(*(out + 1)).parent_path();
        EXPECT_EQ(scratch.parent_path(), folder_);
        EXPECT_TRUE(ScratchFolder::isScratchFolderName(scratch.filename().native(), tempFileMarker))
            << scratch;
    }
    std::istringstream modeLines(test::readFile(modes));
    for (std::string mode; std::getline(modeLines, mode);)
        EXPECT_EQ(mode, "700");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(FolderCompressorTest, OneEngineAtATimePerFolderWithNothingWrittenIntoIt) {
    start();
    const auto second = makeEngine();
    try {
        second->start(AppConfig{}, folder_);
        ADD_FAILURE() << "two engines on one folder";
    } catch (const FolderLockError& error) {
        EXPECT_EQ(error.holderPid(), ::getpid());
    }
    EXPECT_FALSE(second->isRunning());
    EXPECT_TRUE(fs::is_empty(folder_));
    engine_->stop();
    EXPECT_NO_THROW(second->start(AppConfig{}, folder_));
    EXPECT_TRUE(second->isRunning());
}

TEST_F(FolderCompressorTest, AFolderReachedThroughALinkIsWatchedAndLockedAsItsTarget) {
    const fs::path link = dir_ / "Pictures";
    fs::create_directory_symlink(folder_, link);
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    engine_->start(AppConfig{}, link);
    settle();
    EXPECT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
    EXPECT_EQ(FolderLock::holderOf(folder_), ::getpid());
    EXPECT_TRUE(engine_->holdsFolder());
}

// The tool's output is decoded once, after the mark: a damaged one must still never be installed.
TEST_F(FolderCompressorTest, ADamagedToolOutputFailsTheFileAndIsNeverInstalled) {
    struct Case {
        std::string tool;
        fs::path real;
        FormatStrategy strategy;
        std::string output;
    };
    for (const Case& c :
         {Case{"cjpeg", test::projectTool("cjpeg"), FormatStrategy::jpeg,
               "photo_velkcompressed.jpg"},
          Case{"cwebp", "/usr/bin/cwebp", FormatStrategy::webp, "photo_velkcompressed.webp"}}) {
        SCOPED_TRACE(c.tool);
        if (!fs::exists(c.real)) {
            std::cout << "skipped: no " << c.real << "\n";
            continue;
        }
        TempDir dir;
        const fs::path folder = dir / "Inbox";
        fs::create_directories(folder);
        test::FakeToolFolder tools(dir / "tools");
        tools.add(c.tool, "'" + c.real.native() + "' \"$@\" || exit 1; truncate -s 60% \"$out\"");
        adjustOptions_ = [&dir](FolderCompressor::Options& options) {
            options.registryFile = dir / "registry.json";
        };
        history_.clear();
        engine_ = makeEngine();
        TestImages::jpeg(folder / "photo.jpg", 400, 300,
                         test::imageOptions().withDetail().withQuality(98));
        const std::string original = test::readFile(folder / "photo.jpg");
        AppConfig config;
        config.formatStrategy = c.strategy;
        engine_->start(config, folder);
        engine_->scanNow();
        advance(writeStabilityInterval + 0.1);
        engine_->scanNow();
        engine_->stop();

        ASSERT_EQ(history_.size(), 1u);
        EXPECT_EQ(history_[0].status, CompressionHistoryStatus::failed);
        EXPECT_FALSE(fs::exists(folder / c.output));
        EXPECT_EQ(test::readFile(folder / "photo.jpg"), original);
        EXPECT_TRUE(test::scratchLeftIn(folder).empty());
    }
}

// Two sources in flight at once must end exactly as they would one after the other.
TEST_F(FolderCompressorTest, TwoFilesEncodedAtOnceAreBothInstalledAndRecorded) {
    if (!fs::exists(test::projectTool("cjpeg")))
        GTEST_SKIP() << "skipped: no cjpeg in the project's tools";
    struct Case {
        OriginalPolicy policy;
        std::string outputA, outputB;
    };
    for (const Case& c :
         {Case{OriginalPolicy::keep, "a_velkcompressed.jpg", "b_velkcompressed.jpg"},
          Case{OriginalPolicy::replace, "a.jpg", "b.jpg"}}) {
        SCOPED_TRACE(std::string(rawValue(c.policy)));
        TempDir dir;
        const fs::path folder = dir / "Inbox";
        fs::create_directories(folder);
        // Each run logs when it starts and ends, and lingers so that two runs in flight overlap.
        test::FakeToolFolder tools(dir / "tools");
        const fs::path spans = dir / "spans";
        tools.add("cjpeg", "echo \"$(date +%s%N) 1\" >> '" + spans.native() + "'; sleep 0.4; '" +
                               test::projectTool("cjpeg").native() +
                               "' \"$@\"; s=$?; echo \"$(date +%s%N) -1\" >> '" + spans.native() +
                               "'; exit $s");
        adjustOptions_ = [&dir](FolderCompressor::Options& options) {
            options.jobs = 2;
            options.registryFile = dir / "registry.json";
        };
        {
            history_.clear();
            engine_ = makeEngine();
            for (const char* name : {"a.jpg", "b.jpg"})
                TestImages::jpeg(folder / name, 500, 400,
                                 test::imageOptions().withDetail().withQuality(98));
            AppConfig config;
            config.originalPolicy = c.policy;
            engine_->start(config, folder);
            engine_->scanNow();
            advance(writeStabilityInterval + 0.1);
            engine_->scanNow();
            engine_->stop();
        }

        std::vector<std::pair<std::string, int>> marks;
        std::istringstream lines(test::readFile(spans));
        for (std::string at; lines >> at;) {
            int step = 0;
            lines >> step;
            marks.emplace_back(at, step);
        }
        std::sort(marks.begin(), marks.end());
        int inFlight = 0, most = 0;
        for (const auto& mark : marks)
            most = std::max(most, inFlight += mark.second);
        EXPECT_EQ(most, 2) << "the two encodes ran one after the other";
        // The panel's "1 of 2 · a.jpg": the batch's size, files done and the file at work.
        ASSERT_FALSE(batchReports_.empty());
        for (const CompressionStats& report : batchReports_) {
            EXPECT_EQ(report.batchTotal, 2);
            EXPECT_LE(report.batchDone, 2);
            if (report.currentFile) {
                EXPECT_TRUE(*report.currentFile == "a.jpg" || *report.currentFile == "b.jpg")
                    << *report.currentFile;
            }
        }
        EXPECT_TRUE(std::any_of(batchReports_.begin(), batchReports_.end(),
                                [](const auto& report) { return report.currentFile.has_value(); }));
        batchReports_.clear();

        ASSERT_EQ(history_.size(), 2u);
        std::sort(history_.begin(), history_.end(),
                  [](const auto& x, const auto& y) { return x.outputURL < y.outputURL; });
        const ProcessedFileRegistry registry(fs_, dir / "registry.json");
        for (int i = 0; i < 2; ++i) {
            const fs::path output = folder / (i == 0 ? c.outputA : c.outputB);
            EXPECT_EQ(history_[i].status, CompressionHistoryStatus::compressed);
            EXPECT_EQ(history_[i].outputURL, output);
            EXPECT_NE(codec_.decode(output), nullptr);
            const auto record = registry.record(output);
            ASSERT_TRUE(record) << output;
            EXPECT_EQ(record->decision, ProcessedDecision::compressed);
        }
        EXPECT_TRUE(test::scratchLeftIn(folder).empty());
    }
}

TEST_F(FolderCompressorTest, StopDuringATwoFileBatchLeavesTheSourcesAndNoScratch) {
    test::FakeToolFolder tools(dir_ / "tools");
    tools.add("cjpeg", "exec sleep 60");
    adjustOptions_ = [](FolderCompressor::Options& options) { options.jobs = 2; };
    engine_ = makeEngine();
    std::map<std::string, std::string> originals;
    for (const char* name : {"a.jpg", "b.jpg"}) {
        TestImages::jpeg(folder_ / name, 320, 240,
                         test::imageOptions().withDetail().withQuality(98));
        originals[name] = test::readFile(folder_ / name);
    }
    start(OriginalPolicy::replace);
    engine_->scanNow();
    advance(writeStabilityInterval + 0.1);
    std::thread scan([this] { engine_->scanNow(); });
    const auto began = std::chrono::steady_clock::now();
    while (tools.runs("cjpeg").size() < 2 &&
           std::chrono::steady_clock::now() - began < std::chrono::seconds(20))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(tools.runs("cjpeg").size(), 2u) << "both files were in flight";
    engine_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(20));
    scan.join();

    EXPECT_TRUE(test::scratchLeftIn(folder_).empty());
    for (const auto& [name, bytes] : originals)
        EXPECT_EQ(test::readFile(folder_ / name), bytes);
    EXPECT_EQ(historyCount(), 0u) << "a stopped file is neither a result nor a failure";
}

} // namespace
} // namespace velk
