#include "engine/ChangeDetector.h"

#include <gtest/gtest.h>

#include "platform/PosixFileSystem.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

class NoDelegate : public ChangeDetector::Delegate {
public:
    std::vector<fs::path> removeStaleOutputs(const fs::path&) override { return {}; }
    bool registryCanSkip(const fs::path&) override { return false; }
    bool recogniseMarkedOutput(const fs::path&) override { return false; }
    std::string settingsKey() const override { return "key"; }
    void report(const CompressionNotificationEvent&) override {}
    void recordUnsupported(const fs::path&) override {}
};

TEST(ChangeDetectorTest, FilesGoneFromTheFolderAreForgotten) {
    test::TempDir dir;
    test::ScopedEnv logDir("VELK_LOG_DIR", (dir / "logs").native());
    PosixFileSystem fs;
    ProcessedFileRegistry registry(fs, dir / "processed-files.json");
    NoDelegate delegate;
    Date now = std::chrono::system_clock::now();
    ChangeDetector detector(fs, registry, delegate, [&] { return now; });

    const fs::path folder = dir / "Inbox";
    fs::create_directories(folder);
    for (const char* name : {"kept.jpg", "handled.jpg", "out.jpg", "broken.jpg", "clip.mov"})
        test::writeFile(folder / name, name);
    const auto signature = [&](const char* name) { return *fileSignature(fs, folder / name); };
    detector.rememberHandled(folder / "kept.jpg", signature("kept.jpg"));
    detector.rememberHandled(folder / "handled.jpg", signature("handled.jpg"));
    detector.rememberRecentWrite(folder / "out.jpg", signature("out.jpg"));
    detector.rememberOwnWrite(folder / "out.jpg", OwnWrite{});
    detector.rememberDealtWith(folder / "broken.jpg", signature("broken.jpg"));
    detector.reportUnsupportedIfNeeded(folder / "clip.mov");
    ASSERT_EQ(detector.rememberedCount(), 6u);

    for (const char* name : {"handled.jpg", "out.jpg", "broken.jpg", "clip.mov"})
        fs::remove(folder / name);
    detector.beginScan(fs.attributes(folder)->modificationDate);
    detector.forgetVanished(fs.list(folder));
    EXPECT_EQ(detector.rememberedCount(), 1u);
    EXPECT_TRUE(detector.shouldSkip(folder / "kept.jpg")) << "a present file stays handled";
}

} // namespace
} // namespace velk
