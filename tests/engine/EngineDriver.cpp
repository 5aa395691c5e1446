// Runs the engine on one folder until it has settled, then exits: the process the crash
// trials kill at random moments and start again.
//
//   velk_engine_driver FOLDER REGISTRY_FILE keep|replace automatic|jpeg|png|webp|avif|heic
//       [--idle SECONDS] [--jobs N] [--preset P]
//   velk_engine_driver --restore FOLDER REGISTRY_FILE FILE...   puts the files' originals
//       back through a stopped engine, as --restore does; exits 1 when one is refused
//   velk_engine_driver --make-images FOLDER     (the trial's sources)
//   velk_engine_driver --check-images FILE...   names each file that is empty or does not
//       decode completely; exits 1 when there is one
//   velk_engine_driver FOLDER REGISTRY_FILE POLICY FORMAT --idle SECONDS
//       settles with the real timings and the folder's change events, reports how long
//       that took and the CPU time it cost, then the CPU time the engine spends over
//       SECONDS (0: none) of an unchanging folder (the idle and restart benchmarks)
//   --jobs N   files in flight at once (1 to 4; default as in the program)
//   --preset P the compression preset (default as in the program), given last
//
// Exits 3, with "refused: " and the lock's message (naming the holder's process id) on
// stderr, when another engine already holds the folder.
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <optional>
#include <sys/resource.h>
#include <thread>

#include "engine/FolderCompressor.h"
#include "model/CompressionPreset.h"
#include "model/FormatStrategy.h"
#include "model/OriginalPolicy.h"
#include "platform/DecodeCheck.h"
#include "platform/FolderLock.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/TestImages.h"

int main(int argc, char** argv) {
    using namespace velk;
    if (argc == 3 && std::string_view(argv[1]) == "--make-images") {
        using test::TestImages;
        const std::filesystem::path folder = argv[2];
        TestImages::jpeg(folder / "photo.jpg", 3000, 2000,
                         test::imageOptions().withDetail().withQuality(97));
        TestImages::png(folder / "logo.png", 640, 480,
                        test::imageOptions().withAlpha().withDetail());
        TestImages::jpeg(folder / "scan.jpg", 900, 1200,
                         test::imageOptions().withDetail().withQuality(95).withOrientation(6));
        TestImages::png(folder / "chart.png", 1600, 1200, test::imageOptions().withDetail());
        return 0;
    }
    if (argc >= 2 && std::string_view(argv[1]) == "--check-images") {
        VipsImageCodec codec;
        int bad = 0;
        for (int i = 2; i < argc; ++i) {
            const std::filesystem::path file = argv[i];
            std::error_code error;
            const bool empty = std::filesystem::file_size(file, error) == 0 || error;
            bool decodes = false;
            if (!empty) {
                try {
                    const auto complete =
                        decodesCompletely(systemFileSystem(), file, 1'000'000'000);
                    decodes = complete ? *complete : codec.decode(file) != nullptr;
                } catch (const std::exception&) {
                    decodes = false;
                }
            }
            if (empty || !decodes) {
                ++bad;
                std::cout << file.native() << (empty ? ": empty" : ": undecodable") << "\n";
            }
        }
        return bad == 0 ? 0 : 1;
    }
    if (argc >= 5 && std::string_view(argv[1]) == "--restore") {
        PosixFileSystem fs;
        VipsImageCodec codec;
        FolderCompressor::Options options;
        options.registryFile = argv[3];
        FolderCompressor engine(fs, codec, options);
        int refused = 0;
        for (int i = 4; i < argc; ++i) {
            const RestoreResult result = engine.restoreOriginal(argv[i], AppConfig{});
            std::cout << result.message << "\n";
            refused += result.ok ? 0 : 1;
        }
        return refused == 0 ? 0 : 1;
    }
    std::optional<CompressionPreset> preset;
    if (argc >= 7 && std::string_view(argv[argc - 2]) == "--preset") {
        preset = compressionPresetFromRaw(argv[argc - 1]);
        if (!preset) {
            std::cerr << "unknown preset " << argv[argc - 1] << "\n";
            return 2;
        }
        argc -= 2;
    }
    std::optional<int> jobs;
    if (argc >= 7 && std::string_view(argv[argc - 2]) == "--jobs") {
        const std::string_view count = argv[argc - 1];
        if (count.size() != 1 || count[0] < '1' || count[0] > '4') {
            std::cerr << "--jobs takes 1 to 4\n";
            return 2;
        }
        jobs = count[0] - '0';
        argc -= 2;
    }
    double idleSeconds = 0;
    bool bench = false;
    if (argc == 7 && std::string_view(argv[5]) == "--idle") {
        idleSeconds = std::stod(argv[6]);
        bench = true;
        argc = 5;
    }
    if (argc != 5) {
        std::cerr << "usage: velk_engine_driver FOLDER REGISTRY_FILE keep|replace FORMAT\n";
        return 2;
    }
    AppConfig config;
    config.originalPolicy =
        std::string_view(argv[3]) == "replace" ? OriginalPolicy::replace : OriginalPolicy::keep;
    const auto strategy = formatStrategyFromRaw(argv[4]);
    if (!strategy) {
        std::cerr << "unknown format " << argv[4] << "\n";
        return 2;
    }
    config.formatStrategy = *strategy;
    if (preset) {
        config.preset = *preset;
        config.qualities = defaults(*preset);
    }

    PosixFileSystem fs;
    VipsImageCodec codec;
    FolderCompressor::Options options;
    options.registryFile = argv[2];
    if (jobs)
        options.jobs = *jobs;
    if (!bench) {
        // The crash trials poll fast and wait for two settled scans in a row.
        options.pollingInterval = 0.1;
        options.scanDebounceInterval = 0.02;
        options.pauseAfterFile = 0;
        options.watchEvents = false;
    }
    FolderCompressor engine(fs, codec, options);

    std::mutex mutex;
    std::condition_variable settledChanged;
    int settledScans = 0;
    int failures = 0;
    engine.onScanFinished = [&](bool settled) {
        std::scoped_lock lock(mutex);
        settledScans = settled ? settledScans + 1 : 0;
        settledChanged.notify_all();
    };
    engine.onHistory = [&](const CompressionHistoryEntry& entry) {
        std::scoped_lock lock(mutex);
        if (entry.status == CompressionHistoryStatus::failed) {
            ++failures;
            std::cerr << "failed: " << entry.sourceURL.native() << ": "
                      << entry.message.value_or("") << "\n";
        }
    };
    auto cpuSeconds = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    const auto startedAt = std::chrono::steady_clock::now();
    const double cpuAtStart = cpuSeconds();
    try {
        engine.start(config, argv[1]);
    } catch (const FolderLockError& error) {
        if (error.kind() != FolderLockError::Kind::held)
            throw;
        std::cerr << "refused: " << error.what() << "\n";
        return 3;
    }
    std::unique_lock lock(mutex);
    // Polling: two settled scans in a row, as the first may come before a new file's
    // stability wait. Events: a scan only comes when something changed, and a settled one
    // means nothing was processed and nothing waits.
    settledChanged.wait(lock, [&] { return settledScans >= (bench ? 1 : 2); });
    lock.unlock();
    if (bench) {
        std::cout
            << "settled_after_seconds="
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count()
            << " settle_cpu_seconds=" << cpuSeconds() - cpuAtStart << "\n";
    }
    if (idleSeconds > 0) {
        const double before = cpuSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        const double used = cpuSeconds() - before;
        std::cout << "idle_cpu_seconds=" << used << " over=" << idleSeconds
                  << "s share_of_one_core=" << 100.0 * used / idleSeconds << "%\n";
    }
    engine.stop();
    return failures == 0 ? 0 : 1;
}
