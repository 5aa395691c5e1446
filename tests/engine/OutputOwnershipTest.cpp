#include "engine/OutputOwnership.h"

#include <gtest/gtest.h>

#include <functional>

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

} // namespace
} // namespace velk
