#include "updater/MountedPackage.h"

#include "support/TempDir.h"
#include "updater/UpdateHelperError.h"
#include "updater/UpdaterTestSupport.h"

#include <archive_entry.h>
#include <gtest/gtest.h>

namespace velk::updater {
namespace {

namespace fs = std::filesystem;
using test::ArchiveEntry;

class MountedPackageTest : public ::testing::Test {
protected:
    fs::path mountRoot() const { return dir_ / "tmp"; }

    test::TempDir dir_;
    fs::path package_ = dir_ / "update.dmg";
};

TEST_F(MountedPackageTest, ExtractsFilesFoldersAndInsideLinksAndRemovesThemWhenDone) {
    const auto source = dir_ / "src/VelkCompressor.app";
    test::makeBundle(source, {});
    test::packFolder(package_, source);

    // The temporary folder is often reached through a link (/tmp on some systems).
    fs::create_directories(mountRoot());
    fs::create_symlink(mountRoot(), dir_ / "tmp-link");

    fs::path mountPoint;
    {
        const MountedPackage mounted(package_, dir_ / "tmp-link");
        mountPoint = mounted.mountPoint();
        const auto bundle = mountPoint / "VelkCompressor.app";
        const auto program = bundle / "Contents/MacOS/VelkCompressor";
        EXPECT_EQ(test::readFile(program),
                  test::readFile(source / "Contents/MacOS/VelkCompressor"));
        EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none);
        EXPECT_EQ(fs::read_symlink(bundle / "Contents/Resources/launcher"),
                  "../MacOS/VelkCompressor");
        EXPECT_EQ(fs::status(mountPoint).permissions() & fs::perms::all, fs::perms::owner_all);
    }
    EXPECT_FALSE(fs::exists(mountPoint));
}

TEST_F(MountedPackageTest, RefusesWholePackagesThatCouldWriteOutsideOrAreDamaged) {
    const std::string outside = (dir_ / "outside").string();
    fs::create_directories(outside);
    const ArchiveEntry bundleFile{"App.app/Contents/Info.plist", "<plist/>"};
    const ArchiveEntry directory{"App.app/sub", "", "", "", AE_IFDIR};
    const struct {
        const char* name;
        std::vector<ArchiveEntry> entries;
    } cases[] = {
        {"dot-dot name", {bundleFile, {"../evil", "x"}}},
        {"dot-dot inside name", {bundleFile, {"App.app/../../evil", "x"}}},
        {"absolute name", {bundleFile, {outside + "/evil", "x"}}},
        {"absolute link", {bundleFile, {"App.app/evil", "", outside}}},
        {"link climbing out", {bundleFile, {"App.app/evil", "", "../../outside"}}},
        {"link to the parent", {{"evil", "", ".."}}},
        {"link climbing after descending", {directory, {"App.app/evil", "", "sub/../../.."}}},
        {"write through a link", {directory, {"App.app/l", "", "sub"}, {"App.app/l/evil", "x"}}},
        {"hard link out", {bundleFile, {"App.app/evil", "", "", "../outside/x"}}},
        {"device file", {bundleFile, {"App.app/evil", "", "", "", AE_IFCHR}}},
        {"fifo", {bundleFile, {"App.app/evil", "", "", "", AE_IFIFO}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeArchive(package_, c.entries);
        try {
            MountedPackage mounted(package_, mountRoot());
            ADD_FAILURE() << "extracted";
        } catch (const UpdateHelperError& error) {
            EXPECT_EQ(error.kind(), UpdateHelperError::Kind::invalidDiskImage);
        }
        EXPECT_TRUE(fs::is_empty(mountRoot()));
        EXPECT_TRUE(fs::is_empty(outside));
        for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
            EXPECT_NE(entry.path().filename(), "evil") << entry.path();
        }
    }
}

TEST_F(MountedPackageTest, RefusesDamagedArchives) {
    std::string noise(100000, '\0');
    unsigned state = 1;
    for (auto& byte : noise)
        byte = static_cast<char>((state = state * 1103515245 + 12345) >> 16);
    test::writeArchive(package_, {{"App.app/Contents/Info.plist", noise}});
    const auto whole = test::readFile(package_);
    const std::string damaged[] = {whole.substr(0, whole.size() / 2), "not an archive at all",
                                   std::string(whole).replace(100, 40, 40, '\x55')};
    for (const auto& bytes : damaged) {
        test::writeFile(package_, bytes);
        EXPECT_THROW(MountedPackage(package_, mountRoot()), UpdateHelperError);
        EXPECT_TRUE(fs::is_empty(mountRoot()));
    }
}

} // namespace
} // namespace velk::updater
