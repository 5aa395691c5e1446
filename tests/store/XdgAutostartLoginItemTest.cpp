#include "platform/XdgAutostartLoginItem.h"

#include <gtest/gtest.h>

#include "core/FileError.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;
using test::TempDir;

std::string execLine(const std::string& entry) {
    const auto start = entry.find("\nExec=") + 1;
    return entry.substr(start, entry.find('\n', start) - start);
}

class XdgAutostartLoginItemTest : public ::testing::Test {
protected:
    TempDir dir_;
    XdgAutostartLoginItem item_{dir_ / "config" / "autostart", "/opt/velk/VelkCompressor"};
};

TEST_F(XdgAutostartLoginItemTest, RegisterAndUnregisterRoundTrip) {
    EXPECT_FALSE(item_.isEnabled());
    item_.registerItem();
    EXPECT_TRUE(item_.isEnabled());
    const std::string entry = test::readFile(item_.file());
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(execLine(entry), "Exec=\"/opt/velk/VelkCompressor\"");
    // Icon and comment in both languages, or session settings list a blank row.
    for (const char* line : {"\nType=Application\n", "\nIcon=velk-compressor\n",
                             "\nComment=Keeps one folder of images compressed\n",
                             "\nComment[ru]=Сжимает новые изображения в выбранной папке\n"})
        EXPECT_NE(entry.find(line), std::string::npos) << line;

    item_.unregisterItem();
    EXPECT_FALSE(item_.isEnabled());
    EXPECT_FALSE(fs::exists(item_.file()));
    EXPECT_NO_THROW(item_.unregisterItem()) << "already gone is what was asked for";
}

TEST_F(XdgAutostartLoginItemTest, HiddenInTheMainGroupSwitchesItOff) {
    fs::create_directories(item_.file().parent_path());
    struct Case {
        const char* text;
        bool enabled;
    };
    for (const auto& [text, enabled] : {
             Case{"[Desktop Entry]\nExec=x\nHidden=true\n", false},
             Case{"[Desktop Entry]\nHidden = true \n", false},
             Case{"[Desktop Entry]\nHidden=false\n", true},
             Case{"[Desktop Entry]\n# Hidden=true\n", true},
             Case{"[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n", true},
             Case{"", true},
         }) {
        test::writeFile(item_.file(), text);
        EXPECT_EQ(item_.isEnabled(), enabled) << text;
    }
    // Registering over a switched-off entry switches it on again.
    test::writeFile(item_.file(), "[Desktop Entry]\nHidden=true\n");
    item_.registerItem();
    EXPECT_TRUE(item_.isEnabled());
}

TEST_F(XdgAutostartLoginItemTest, ExecQuotesEveryPathTheSessionMustRunVerbatim) {
    struct Case {
        const char* path;
        const char* exec;
    };
    for (const auto& [path, exec] : {
             Case{"/opt/My Apps/Velk", R"(Exec="/opt/My Apps/Velk")"},
             Case{"/opt/a\"b/Velk", R"(Exec="/opt/a\\"b/Velk")"},
             Case{"/opt/$HOME/`x`", R"(Exec="/opt/\\$HOME/\\`x\\`")"},
             Case{"/opt/back\\slash", R"(Exec="/opt/back\\\\slash")"},
             Case{"/opt/100%/Velk", R"(Exec="/opt/100%%/Velk")"},
         }) {
        EXPECT_EQ(execLine(XdgAutostartLoginItem::desktopEntry(path)), exec) << path;
    }
}

TEST_F(XdgAutostartLoginItemTest, PathsAnEntryCannotCarryAreRefusedWithoutWriting) {
    for (const std::string& path : {std::string("/opt/new\nline"), std::string("/opt/\xff\xfe"),
                                    std::string("relative/Velk"), std::string()}) {
        XdgAutostartLoginItem item(dir_ / "autostart", path);
        EXPECT_THROW(item.registerItem(), FileError) << path;
        EXPECT_FALSE(fs::exists(item.file()));
    }
}

TEST_F(XdgAutostartLoginItemTest, DefaultFolderFollowsXdgConfigHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/srv/config");
        EXPECT_EQ(XdgAutostartLoginItem::defaultAutostartDirectory(), "/srv/config/autostart");
    }
    for (const std::optional<std::string>& ignored :
         {std::optional<std::string>("relative"), std::optional<std::string>(""),
          std::optional<std::string>()}) {
        ScopedEnv config("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(XdgAutostartLoginItem::defaultAutostartDirectory(),
                  "/home/someone/.config/autostart");
    }
    EXPECT_TRUE(XdgAutostartLoginItem::currentExecutable().is_absolute());
}

} // namespace
} // namespace velk
