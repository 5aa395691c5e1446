#include <gtest/gtest.h>

#include <mutex>

#include "core/Constants.h"
#include "engine/FakeTools.h"
#include "engine/FolderCompressor.h"
#include "engine/OutputMark.h"
#include "platform/DecodeCheck.h"
#include "platform/VipsImageCodec.h"
#include "support/FaultyFileSystem.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::FaultyFileSystem;
using test::TestImages;

struct Outcome {
    std::vector<CompressionHistoryEntry> history;
    bool faulted = false;
};

class ReadFaultTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    test::ScopedEnv logDir_{"VELK_LOG_DIR", (dir_ / "logs").native()};
    test::ScopedEnv toolDir_{"VELK_TOOL_DIR", (dir_ / "no-tools").native()};
    FaultyFileSystem fs_;
    VipsImageCodec codec_{fs_};

    /// One engine over a folder of its own holding `make`'s image, with the nth read of
    /// file contents failing from the engine's start to its end.
    Outcome runWithFailedRead(const fs::path& folder, int nth, OriginalPolicy policy) {
        std::mutex mutex;
        Outcome run;
        Date now = std::chrono::system_clock::now();
        FolderCompressor::Options options;
        options.registryFile = folder.parent_path() / (folder.filename().native() + ".json");
        options.clock = [&] {
            std::scoped_lock lock(mutex);
            return now;
        };
        options.pollingInterval = 0;
        options.watchEvents = false;
        options.scanDebounceInterval = 0;
        options.pauseAfterFile = 0;
        fs_.failNth(FaultyFileSystem::Operation::read, nth);
        {
            FolderCompressor engine(fs_, codec_, options);
            engine.onHistory = [&](const CompressionHistoryEntry& entry) {
                std::scoped_lock lock(mutex);
                run.history.push_back(entry);
            };
            AppConfig config;
            config.originalPolicy = policy;
            engine.start(config, folder);
            engine.waitUntilIdle();
            engine.scanNow();
            {
                std::scoped_lock lock(mutex);
                now += std::chrono::seconds(5);
            }
            engine.scanNow();
            engine.stop();
        }
        run.faulted = fs_.faulted();
        fs_.reset();
        return run;
    }
};

// Whichever read fails, the file either ends as a whole marked output or fails with the
// reason reported: the original is never lost and no scratch or partial output is left.
TEST_F(ReadFaultTest, AFailedReadAnywhereEndsAsAWholeOutputOrACleanFailure) {
    const struct {
        const char* name;
        const char* file;
        void (*make)(const fs::path&);
        OriginalPolicy policy;
    } cases[] = {
        {"JPEG beside", "photo.jpg",
         [](const fs::path& f) {
             TestImages::jpeg(f, 160, 120, test::imageOptions().withDetail().withQuality(98));
         },
         OriginalPolicy::keep},
        {"PNG beside", "chart.png",
         [](const fs::path& f) { TestImages::png(f, 96, 64, test::imageOptions().withDetail()); },
         OriginalPolicy::keep},
        {"WebP replaced", "picture.webp",
         [](const fs::path& f) {
             TestImages::webp(f, 160, 120, test::imageOptions().withDetail().withQuality(98));
         },
         OriginalPolicy::replace},
    };
    for (const auto& c : cases) {
        bool reported = false;
        int nth = 1;
        for (;; ++nth) {
            SCOPED_TRACE(std::string(c.name) + ", read " + std::to_string(nth));
            const fs::path folder = dir_ / (std::string(c.name) + " " + std::to_string(nth));
            fs::create_directories(folder);
            const fs::path source = folder / c.file;
            c.make(source);
            const std::string original = test::readFile(source);

            const Outcome run = runWithFailedRead(folder, nth, c.policy);
            EXPECT_TRUE(test::scratchLeftIn(folder).empty());
            ASSERT_LE(run.history.size(), 1u);
            if (!run.faulted) {
                ASSERT_EQ(run.history.size(), 1u) << "with every read served the file is done";
                EXPECT_NE(run.history[0].status, CompressionHistoryStatus::failed);
                break;
            }
            if (run.history.empty() || run.history[0].status == CompressionHistoryStatus::failed) {
                EXPECT_EQ(test::readFile(source), original);
                // A verified backup may stay: the next attempt uses it rather than making
                // a second one.
                for (const auto& entry : fs::recursive_directory_iterator(folder)) {
                    if (entry.is_regular_file() && entry.path() != source) {
                        EXPECT_EQ(test::readFile(entry.path()), original) << entry.path();
                    }
                }
                if (!run.history.empty()) {
                    EXPECT_FALSE(run.history[0].message.value_or("").empty());
                    reported = true;
                }
                continue;
            }
            const CompressionHistoryEntry& done = run.history[0];
            if (done.status == CompressionHistoryStatus::compressed) {
                ASSERT_TRUE(done.outputURL);
                EXPECT_TRUE(carriesValidOutputMark(*done.outputURL));
                EXPECT_NE(decodesCompletely(fs_, *done.outputURL, 1 << 24),
                          std::optional<bool>(false));
            }
            if (c.policy == OriginalPolicy::keep) {
                EXPECT_EQ(test::readFile(source), original);
            }
        }
        EXPECT_GT(nth, 3) << c.name << ": the run makes several reads";
        EXPECT_TRUE(reported) << c.name << ": some failed read fails the file, visibly";
    }
}

} // namespace
} // namespace velk
