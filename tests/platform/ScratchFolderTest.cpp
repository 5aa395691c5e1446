#include "platform/ScratchFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core/Uuid.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

TEST(ScratchFolderTest, PrivateFreshAndGoneWithItsContents) {
    TempDir dir;
    fs::path made;
    {
        const ScratchFolder scratch(dir.path(), ".velk-temp");
        made = scratch.path();
        EXPECT_EQ(made.parent_path(), dir.path());
        EXPECT_TRUE(ScratchFolder::isScratchFolderName(made.filename().native(), ".velk-temp"));
        struct stat info {};
        ASSERT_EQ(::lstat(made.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        test::writeFile(made / "image.jpg", "work");
        fs::create_symlink(dir / "keep", made / "link");
    }
    test::writeFile(dir / "keep", "target of a link inside");
    EXPECT_FALSE(fs::exists(fs::symlink_status(made)));
    EXPECT_EQ(test::readFile(dir / "keep"), "target of a link inside");

    const std::string uuid = Uuid::random().toString();
    for (const auto& [name, matches] : std::initializer_list<std::pair<std::string, bool>>{
             {".velk-temp-" + uuid, true},
             {".velk-temp-mine", false},
             {".velk-temp-" + uuid + ".jpg", false},
             {".velk-replace-" + uuid, false},
             {"velk-temp-" + uuid, false},
         }) {
        EXPECT_EQ(ScratchFolder::isScratchFolderName(name, ".velk-temp"), matches) << name;
    }
}

} // namespace
} // namespace velk
