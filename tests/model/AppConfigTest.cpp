#include "model/AppConfig.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "model/Base64.h"
#include "model/RecordDecodeError.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

class AppConfigTest : public ::testing::Test {
protected:
    test::TempDir dir_;
    fs::path file_ = dir_ / "support" / "native-config.json";

    AppConfig loadText(const std::string& text) {
        fs::create_directories(file_.parent_path());
        test::writeFile(file_, text);
        return loadAppConfig(file_);
    }

    static AppConfig sample() {
        AppConfig config;
        config.enabled = false;
        config.autostart = true;
        config.autostartAsked = true;
        config.showMenuBarProgress = false;
        config.notificationsEnabled = false;
        config.language = AppLanguage::english;
        config.watchDirectory = fs::path("/home/u/Pictures/In box/\xFF\xFE");
        config.watchDirectoryBookmark = std::string("/home/u/\x00\xFF", 10);
        config.preset = CompressionPreset::custom;
        config.formatStrategy = FormatStrategy::webp;
        config.originalPolicy = OriginalPolicy::replace;
        config.qualities = {25, 100, 0, 33, 99};
        return config;
    }
};

TEST_F(AppConfigTest, MissingQualitiesComeFromTheStoredPresetBeforeNormalising) {
    using P = CompressionPreset;
    const std::vector<std::tuple<std::string, P, QualitySettings>> cases = {
        {R"({})", P::balanced, {76, 82, 78, 50, 72}},
        {R"({"preset":"maximum"})", P::maximum, {64, 72, 64, 42, 60}},
        {R"({"preset":"gentle","qualities":null,"unknownKey":[1]})",
         P::gentle,
         {86, 92, 86, 62, 82}},
        {R"({"preset":"jpegCompatible"})", P::balanced, {82, 82, 82, 52, 72}},
        {R"({"preset":"jpegCompatible","qualities":{"jpeg":1,"png":2,"webp":3,"avif":4,"heic":5}})",
         P::balanced,
         {1, 2, 3, 4, 5}},
    };
    for (const auto& [json, preset, qualities] : cases) {
        const AppConfig config = loadText(json);
        EXPECT_EQ(config.preset, preset) << json;
        EXPECT_EQ(config.qualities, qualities) << json;
    }
    AppConfig nulls = loadText(R"({"enabled":null,"language":null,"watchDirectory":null})");
    EXPECT_EQ(nulls, AppConfig());
}

TEST_F(AppConfigTest, AnyInvalidValueRejectsTheWholeFile) {
    // Each would otherwise load a folder; a rejected file must not keep any of it.
    const std::string folder = R"("watchDirectory":"file:///home/u/In/")";
    const std::vector<std::string> bad = {
        R"("language":"german")",
        R"("language":"Russian")",
        R"("preset":"ultra")",
        R"("enabled":"yes")",
        R"("enabled":1)",
        R"("formatStrategy":3)",
        R"("originalPolicy":false)",
        R"("watchDirectory":"https://example.com/x/")",
        R"("outputDirectory":"not a url")",
        R"("watchDirectoryBookmark":"Zm9v!A==")",
        R"("watchDirectoryBookmark":42)",
        R"("qualities":{"jpeg":1,"png":2,"webp":3,"avif":4})",
        R"("qualities":{"jpeg":1,"png":2,"webp":3,"avif":4,"heic":5.5})",
        R"("qualities":{"jpeg":1,"png":2,"webp":3,"avif":4,"heic":"5"})",
        R"("qualities":{"jpeg":1,"png":2,"webp":3,"avif":4,"heic":4294967296})",
        R"("qualities":[76,82,78,50,72])",
    };
    for (const std::string& entry : bad) {
        const std::string json = "{" + folder + "," + entry + "}";
        EXPECT_THROW(decodeAppConfig(json), RecordDecodeError) << json;
        EXPECT_EQ(loadText(json), AppConfig()) << json;
    }
    for (const char* notAnObject : {"[]", "null", "\"{}\"", "", "{", "{}{}"}) {
        EXPECT_THROW(decodeAppConfig(notAnObject), RecordDecodeError) << notAnObject;
    }
    EXPECT_EQ(loadText("{" + folder + "}").watchDirectory, fs::path("/home/u/In"));
}

TEST_F(AppConfigTest, SaveThenLoadRoundTripsEveryField) {
    const AppConfig config = sample();
    ASSERT_TRUE(saveAppConfig(file_, config));
    EXPECT_EQ(loadAppConfig(file_), config);

    const auto json = nlohmann::json::parse(test::readFile(file_));
    EXPECT_EQ(json["watchDirectory"], "file:///home/u/Pictures/In%20box/%FF%FE/");
    EXPECT_EQ(json["watchDirectoryBookmark"], "L2hvbWUvdS8A/w==");
    EXPECT_EQ(json["originalPolicy"], "replace");
    EXPECT_EQ(test::readFile(file_).find('\n'), std::string::npos) << "expected compact JSON";
}

TEST_F(AppConfigTest, SaveWritesCurrentNamesAndDropsTheLegacyFolder) {
    loadText(R"({"formatStrategy":"heicToJpeg","originalPolicy":"outputFolder",)"
             R"("outputDirectory":"file:///home/u/Out/","preset":"jpegCompatible"})");
    ASSERT_TRUE(saveAppConfig(file_, loadAppConfig(file_)));
    const auto json = nlohmann::json::parse(test::readFile(file_));
    EXPECT_EQ(json["formatStrategy"], "jpeg");
    EXPECT_EQ(json["originalPolicy"], "backup");
    EXPECT_EQ(json["preset"], "balanced");
    EXPECT_EQ(json["qualities"],
              nlohmann::json::parse(R"({"jpeg":82,"png":82,"webp":82,"avif":52,"heic":72})"));
    EXPECT_FALSE(json.contains("outputDirectory"));
    EXPECT_FALSE(json.contains("watchDirectory"));
    EXPECT_FALSE(json.contains("watchDirectoryBookmark"));
}

TEST_F(AppConfigTest, EveryTruncationLoadsDefaultsOrTheWholeConfiguration) {
    const AppConfig config = sample();
    const std::string full = encodeAppConfig(config);
    for (std::size_t length = 0; length <= full.size(); ++length) {
        const AppConfig loaded = loadText(full.substr(0, length));
        if (loaded != AppConfig()) {
            EXPECT_EQ(loaded, config) << "prefix of " << length;
        }
    }
    EXPECT_EQ(loadText(full), config);
}

TEST_F(AppConfigTest, DamagedFileStaysInPlaceUntilTheNextSave) {
    const std::string damaged = R"({"language":"klingon","enabled":false})";
    EXPECT_EQ(loadText(damaged), AppConfig());
    EXPECT_EQ(test::readFile(file_), damaged);
    // A first run has no file: everything is the default but the language, the locale's.
    const test::ScopedEnv all("LC_ALL", "en_US.UTF-8");
    AppConfig english;
    english.language = AppLanguage::english;
    EXPECT_EQ(loadAppConfig(dir_ / "missing" / "native-config.json"), english);
}

TEST_F(AppConfigTest, FailedSaveReportsFalseAndKeepsThePreviousFile) {
    ASSERT_TRUE(saveAppConfig(file_, sample()));
    const std::string before = test::readFile(file_);
    // The target is a folder: the atomic rename must fail and leave no temporary behind.
    fs::create_directories(dir_ / "asdir" / "native-config.json" / "inner");
    EXPECT_FALSE(saveAppConfig(dir_ / "asdir" / "native-config.json", AppConfig()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "asdir"), fs::directory_iterator()), 1);
    EXPECT_EQ(test::readFile(file_), before);
}

TEST_F(AppConfigTest, RestartIsNeededOnlyForFolderAndCompressionChanges) {
    const AppConfig base = sample();
    const auto changed = [&](auto change) {
        AppConfig config = base;
        change(config);
        return config.requiresCompressorRestart(base);
    };
    EXPECT_FALSE(changed([](AppConfig& c) { c.language = AppLanguage::russian; }));
    EXPECT_FALSE(changed([](AppConfig& c) { c.outputDirectory = fs::path("/tmp/out"); }));
    EXPECT_FALSE(
        changed([](AppConfig& c) { c.watchDirectory = "/home/u/x/../Pictures/In box/\xFF\xFE/"; }));
    EXPECT_TRUE(changed([](AppConfig& c) { c.watchDirectoryBookmark->back() = 'x'; }));
    EXPECT_TRUE(changed([](AppConfig& c) { c.watchDirectoryBookmark.reset(); }));
    EXPECT_TRUE(changed([](AppConfig& c) { c.watchDirectory.reset(); }));
    EXPECT_TRUE(changed([](AppConfig& c) { c.originalPolicy = OriginalPolicy::keep; }));
    EXPECT_TRUE(changed([](AppConfig& c) { c.qualities.heic += 1; }));

    AppConfig a, b;
    a.watchDirectory = fs::path("/a/b/../c");
    b.watchDirectory = fs::path("/a/c");
    EXPECT_FALSE(a.requiresCompressorRestart(b));
}

TEST(Base64Test, RoundTripsAndRejectsAnythingNonCanonical) {
    const std::string bytes("\x00\xFF\x80/home/ü", 11);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        EXPECT_EQ(base64Decode(base64Encode(bytes.substr(0, length))), bytes.substr(0, length));
    }
    EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64Decode("L2hvbWUvdS9QaWN0dXJlcw=="), "/home/u/Pictures");
    for (const char* bad : {"Zm9vYg=", "Zm9vYg", "Zm9v Yg==", "Zm9vYg==\n",
                            "Zm=vYg==", "Zm9vYh==", "====", "Zm9v-_==", "Zg==Zg=="}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
}

} // namespace
} // namespace velk
