#include "core/Locations.h"

#include <gtest/gtest.h>

#include "core/Constants.h"
#include "support/ScopedEnv.h"

namespace velk {
namespace {

using test::ScopedEnv;

TEST(LocationsTest, SupportFolderPrefersConfigDirThenXdgThenHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv config("VELK_CONFIG_DIR", "/srv/velk");
        ScopedEnv xdg("XDG_DATA_HOME", "/xdg");
        EXPECT_EQ(velkApplicationSupportDirectory(), "/srv/velk");
        EXPECT_EQ(logDirectory(), "/xdg/velk compressor");
    }
    {
        ScopedEnv config("VELK_CONFIG_DIR", "");
        ScopedEnv xdg("XDG_DATA_HOME", "/xdg");
        EXPECT_EQ(velkApplicationSupportDirectory(), "/xdg/velk compressor");
    }
    {
        ScopedEnv config("VELK_CONFIG_DIR", std::nullopt);
        ScopedEnv xdg("XDG_DATA_HOME", "relative/ignored");
        EXPECT_EQ(velkApplicationSupportDirectory(), "/home/someone/.local/share/velk compressor");
    }
}

TEST(LocationsTest, ExtensionSetsIgnoreLetterCase) {
    EXPECT_TRUE(isSupportedExtension("JPG"));
    EXPECT_TRUE(isSupportedExtension("Heif"));
    EXPECT_FALSE(isSupportedExtension("tif"));
    EXPECT_TRUE(isUnsupportedDropExtension("TIFF"));
    EXPECT_TRUE(isTemporaryExtension("crdownload"));
    EXPECT_FALSE(isTemporaryExtension("jpg"));
}

} // namespace
} // namespace velk
