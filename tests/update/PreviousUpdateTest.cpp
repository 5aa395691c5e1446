#include "update/PreviousUpdate.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::writeFile;

TEST(PreviousUpdateTest, StartRemovesWhatInstallationsLeftAndReportsTheRecordOnce) {
    test::TempDir dir;
    const fs::path bundle = dir / "Applications" / "VelkCompressor.app";
    fs::create_directories(bundle / "Contents");
    const fs::path beside = bundle.parent_path();
    // What a killed installer, the installer's copy and an older installer leave behind.
    for (const std::string name :
         {".VelkCompressor.app.update-1/VelkCompressor-Mount-1/VelkCompressor.app/x",
          ".VelkCompressor.app.updater-1/VelkUpdater",
          ".VelkCompressor.app.update-backup-1/Contents/Info.plist", ".other/kept",
          ".VelkCompressor.app.update-2/in-use"}) {
        fs::create_directories((beside / name).parent_path());
        writeFile(beside / name, "x");
    }
    // An installer at work holds its folder's lock.
    const int running = ::open((beside / ".VelkCompressor.app.update-2").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(running, LOCK_EX), 0);
    const fs::path record = dir / "config" / "update-result.plist";
    fs::create_directories(record.parent_path());
    writeFile(record,
              "<plist><dict><key>Result</key><string>failed</string>"
              "<key>Version</key><string>2.0</string><key>Reason</key>"
              "<string>The update bundle does not match &amp; more</string></dict></plist>");

    EXPECT_EQ(settleUpdateLeftovers(bundle, record),
              (InstallOutcome{false, "2.0", "The update bundle does not match & more"}));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(beside))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".VelkCompressor.app.update-2", ".other",
                                              "VelkCompressor.app"}));
    EXPECT_FALSE(fs::exists(record));
    EXPECT_EQ(settleUpdateLeftovers(bundle, record), std::nullopt);
    ::close(running);

    writeFile(record, "<plist><dict><key>Result</key><string>installed</string>"
                      "<key>Version</key><string>2.0</string></dict></plist>");
    EXPECT_EQ(settleUpdateLeftovers(std::nullopt, record), (InstallOutcome{true, "2.0", ""}));
}

} // namespace
} // namespace velk
