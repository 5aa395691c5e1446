#include "update/AppUpdateManifest.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "model/RecordDecodeError.h"
#include "update/AppUpdateError.h"
#include "update/AppVersion.h"
#include "update/BundleInfo.h"

namespace velk {
namespace {

using Components = std::vector<std::int64_t>;

TEST(AppVersionTest, ParsesOnlyDottedDecimalReleases) {
    const std::pair<const char*, std::optional<Components>> cases[] = {
        {"2.10.1", Components{2, 10, 1}},
        {"2.3.1-beta", Components{2, 3, 1}},
        {"2.3.1+45", Components{2, 3, 1}},
        {"-1.2", Components{1, 2}},
        {"1.2-rc.1", Components{1, 2}},
        {"1..2.", Components{1, 2}},
        {"9223372036854775807", Components{9223372036854775807}},
        {"9223372036854775808", std::nullopt},
        {"", std::nullopt},
        {"-", std::nullopt},
        {".", std::nullopt},
        {"1.2.x", std::nullopt},
        {" 1.2", std::nullopt},
        {"1.2 ", std::nullopt},
        {"fourteen", std::nullopt},
        {"1.+2", Components{1}},
    };
    for (const auto& [text, expected] : cases) {
        const auto version = AppVersion::parse(text);
        ASSERT_EQ(version.has_value(), expected.has_value()) << '"' << text << '"';
        if (version) {
            EXPECT_EQ(version->components(), *expected) << text;
        }
    }
}

TEST(AppVersionTest, OrdersWithMissingComponentsAsZeroButComparesListsForEquality) {
    const auto v = [](const char* text) { return *AppVersion::parse(text); };
    EXPECT_LT(v("1.2"), v("1.10"));
    EXPECT_LT(v("1.2"), v("1.2.1"));
    EXPECT_LT(v("1.9.9"), v("2"));
    EXPECT_FALSE(v("1.2") < v("1.2.0"));
    EXPECT_FALSE(v("1.2.0") < v("1.2"));
    EXPECT_NE(v("1.2"), v("1.2.0"));
    EXPECT_EQ(v("1.2"), v("1.2-rc"));
}

std::string manifestJson(const std::string& fields) {
    return "{\"version\":\"1.5\",\"download\":\"https://velk.app/u.tar.gz\",\"sha256\":\"" +
           std::string(64, 'a') + "\"" + fields + "}";
}

TEST(AppUpdateManifestTest, ValidationFailsWithTheFirstBrokenRuleInOrder) {
    const std::string hex64(64, 'a');
    // Later keys repeat earlier ones: the JSON decoder keeps the last value.
    const std::pair<std::string, const char*> cases[] = {
        {R"(,"download":"http://velk.app/u.tar.gz")", "The update URL must use HTTPS"},
        {R"(,"download":"https:///u.tar.gz")", "The update URL must use HTTPS"},
        {R"(,"download":"https://velk app/u")", "The update URL must use HTTPS"},
        {R"(,"download":"velk.app/u.tar.gz")", "The update URL must use HTTPS"},
        {R"(,"sha256":")" + std::string(63, 'a') + "\"", "The update checksum is invalid"},
        {R"(,"sha256":")" + std::string(65, 'a') + "\"", "The update checksum is invalid"},
        {R"(,"sha256":")" + std::string(63, 'a') + "g\"", "The update checksum is invalid"},
        {R"(,"version":"1.2.x")", "The update version is invalid"},
        {R"(,"version":"1.2.x","download":"http://velk.app/u")", "The update URL must use HTTPS"},
        {R"(,"build":"")", "The update build number is invalid"},
        {R"(,"minimum_macOS":"fourteen")", "The minimum Linux version is invalid"},
    };
    for (const auto& [fields, message] : cases) {
        try {
            decodeAppUpdateManifest(manifestJson(fields));
            ADD_FAILURE() << "accepted " << fields;
        } catch (const AppUpdateError& error) {
            EXPECT_EQ(error.kind(), AppUpdateError::Kind::invalidManifest) << fields;
            EXPECT_STREQ(error.what(), message) << fields;
        }
    }
}

TEST(AppUpdateManifestTest, DecoderErrorsForShapeAndTypes) {
    const std::string hex64(64, 'a');
    const std::string cases[] = {
        "not json",
        "",
        "[]",
        R"({"download":"https://velk.app/u","sha256":")" + hex64 + "\"}",
        R"({"version":1.5,"download":"https://velk.app/u","sha256":")" + hex64 + "\"}",
        manifestJson(R"(,"notes":7)"),
    };
    for (const auto& json : cases) {
        EXPECT_THROW(decodeAppUpdateManifest(json), RecordDecodeError) << json;
    }
}

TEST(AppUpdateManifestTest, AcceptsLenientFormsAndNormalisesTheChecksum) {
    const std::string upper(64, 'A');
    const auto manifest = decodeAppUpdateManifest(
        R"({"version":"2.0-rc","build":null,"download":"HTTPS://user@velk.app:8443/u?x#y",)"
        R"("sha256":"  )" +
        upper + R"(\n","notes":"Fixes","extra":[1],"signature":"c2ln"})");
    EXPECT_EQ(manifest.version, "2.0-rc");
    EXPECT_EQ(manifest.build, std::nullopt);
    EXPECT_EQ(manifest.downloadURL, "HTTPS://user@velk.app:8443/u?x#y");
    EXPECT_EQ(manifest.sha256, std::string(64, 'a'));
    EXPECT_EQ(manifest.notes, "Fixes");
    EXPECT_EQ(manifest.signature, "c2ln");
}

TEST(AppUpdateManifestTest, NewerComparesVersionsThenBuildsOfEqualVersions) {
    struct Case {
        RunningVersion running;
        const char* version;
        std::optional<std::string> build;
        bool newer;
    };
    const Case cases[] = {
        {{"1.4", "12"}, "1.5", std::nullopt, true},  {{"1.4", "12"}, "1.3.9", "99", false},
        {{"1.4", "12"}, "1.4.0", "13", false}, // unequal lists, equal order: no build check
        {{"1.4", "12"}, "1.4", "13", true},          {{"1.4", "12"}, "1.4", "12", false},
        {{"1.4", "12"}, "1.4", std::nullopt, false}, {{"1.4", "x"}, "1.4", "13", false},
        {{"0", "0"}, "0.0.1", std::nullopt, true},   {{"unknown", "1"}, "9", std::nullopt, false},
    };
    for (const auto& c : cases) {
        AppUpdateManifest manifest;
        manifest.version = c.version;
        manifest.build = c.build;
        EXPECT_EQ(isNewer(manifest, c.running), c.newer)
            << c.running.version << '/' << c.running.build << " vs " << c.version;
    }
}

TEST(AppUpdateManifestTest, SupportedUnlessTheSystemIsBelowTheMinimum) {
    const std::pair<std::optional<std::string>, bool> cases[] = {
        {std::nullopt, true}, {"14.0", false},   {"13.6.1", true},
        {"13.6", true},       {"13.6.2", false}, {"junk", true},
    };
    for (const auto& [minimum, supported] : cases) {
        AppUpdateManifest manifest;
        manifest.version = "2";
        manifest.minimumMacOS = minimum;
        EXPECT_EQ(isSupportedOnThisMac(manifest, "13.6.1"), supported) << minimum.value_or("-");
    }
    AppUpdateManifest manifest;
    EXPECT_EQ(requiredSystemText(manifest), "the required version");
    manifest.minimumMacOS = "14.0";
    EXPECT_EQ(requiredSystemText(manifest), "14.0");
    EXPECT_STREQ(AppUpdateError::unsupportedSystem("14.0").what(),
                 "This update requires Linux 14.0 or newer.");
    EXPECT_STREQ(AppUpdateError::httpStatus(503).what(), "The update server returned HTTP 503.");
}

TEST(BundleInfoTest, ReadsPlistStringsAndFindsTheBundleAboveTheExecutable) {
    const std::string plist = "<dict>\n\t<key>CFBundleShortVersionString</key>\n\t"
                              "<string>1.2&amp;3</string>\n<key>CFBundleVersion</key><integer>4"
                              "</integer></dict>";
    EXPECT_EQ(infoPlistString(plist, "CFBundleShortVersionString"), "1.2&3");
    EXPECT_EQ(infoPlistString(plist, "CFBundleVersion"), std::nullopt);
    EXPECT_EQ(infoPlistString(plist, "CFBundleExecutable"), std::nullopt);

    EXPECT_EQ(bundleOfExecutable("/opt/V.app/Contents/MacOS/VelkCompressor"), "/opt/V.app");
    EXPECT_EQ(bundleOfExecutable("/opt/V.app/Contents/./MacOS/VelkCompressor"), "/opt/V.app");
    EXPECT_EQ(bundleOfExecutable("/usr/bin/VelkCompressor"), std::nullopt);
}

} // namespace
} // namespace velk
