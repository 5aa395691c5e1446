// Damaged images of every format, made by mutating real ones, go through the whole
// engine: each must end as exactly one history row, and nothing may crash. Runs under
// the sanitizers with the rest of the suite.
#include <gtest/gtest.h>

#include <mutex>
#include <random>

#include "core/Constants.h"
#include "engine/FolderCompressor.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TestImages;

std::string mutate(std::string bytes, int kind, std::mt19937& random) {
    auto at = [&](std::size_t from) {
        return from + random() % std::max<std::size_t>(bytes.size() - from, 1);
    };
    switch (kind % 4) {
    case 0: // a few flipped bits past the signature
        for (int i = 0; i < 1 + static_cast<int>(random() % 8); ++i) {
            bytes[at(12)] ^= static_cast<char>(1 << (random() % 8));
        }
        break;
    case 1: // cut short, as a copy in progress leaves it
        bytes.resize(at(8));
        break;
    case 2: // a run of 0xFF over a header or marker
        for (std::size_t i = at(4), end = std::min(bytes.size(), i + 24); i < end; ++i) {
            bytes[i] = '\xFF';
        }
        break;
    default: // a block of the file repeated in the middle
        const std::size_t from = at(8);
        const std::size_t length = std::min<std::size_t>(64, bytes.size() - from);
        bytes.insert(at(8), bytes.substr(from, length));
        break;
    }
    return bytes;
}

TEST(FuzzCorpusTest, EveryMutatedImageEndsAsOneHistoryRow) {
    test::TempDir dir;
    test::ScopedEnv logDir("VELK_LOG_DIR", (dir / "logs").native());
    const fs::path folder = dir / "Inbox";
    fs::create_directories(folder / "seeds");

    const auto detailed = test::imageOptions().withDetail();
    TestImages::jpeg(folder / "seeds" / "s.jpg", 48, 32, detailed.withOrientation(6));
    TestImages::png(folder / "seeds" / "s.png", 48, 32, detailed.withAlpha());
    TestImages::webp(folder / "seeds" / "s.webp", 48, 32, detailed);
    TestImages::avif(folder / "seeds" / "s.avif", 48, 32, detailed);
    TestImages::heic(folder / "seeds" / "s.heic", 48, 32, detailed);

    std::mt19937 random(20261208);
    int mutants = 0;
    for (const char* extension : {"jpg", "png", "webp", "avif", "heic"}) {
        const std::string seed = test::readFile(folder / "seeds" / (std::string("s.") + extension));
        for (int i = 0; i < 12; ++i) {
            const std::string bytes = mutate(seed, i, random);
            if (bytes.empty())
                continue;
            test::writeFile(folder / ("m" + std::to_string(i) + "." + extension), bytes);
            ++mutants;
        }
    }

    PosixFileSystem fs;
    VipsImageCodec codec;
    Date now = std::chrono::system_clock::now();
    FolderCompressor::Options options;
    options.registryFile = dir / "processed-files.json";
    options.clock = [&now] { return now; };
    options.pollingInterval = 0;
    options.watchEvents = false;
    options.scanDebounceInterval = 0;
    options.pauseAfterFile = 0;
    FolderCompressor engine(fs, codec, options);
    std::mutex mutex;
    std::map<std::string, int> rowsPerFile;
    engine.onHistory = [&](const CompressionHistoryEntry& entry) {
        std::scoped_lock lock(mutex);
        ++rowsPerFile[entry.sourceURL.filename().native()];
        if (entry.status == CompressionHistoryStatus::failed) {
            EXPECT_FALSE(entry.message.value_or("").empty()) << entry.sourceURL;
        }
    };
    AppConfig config;
    engine.start(config, folder);
    engine.waitUntilIdle();
    for (int scan = 0; scan < 4; ++scan) {
        engine.scanNow();
        now += std::chrono::seconds(2);
    }
    engine.stop();

    EXPECT_EQ(static_cast<int>(rowsPerFile.size()), mutants);
    for (const auto& [name, rows] : rowsPerFile)
        EXPECT_EQ(rows, 1) << name;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().native();
        EXPECT_EQ(name.find(tempFileMarker), std::string::npos) << name;
    }
}

} // namespace
} // namespace velk
