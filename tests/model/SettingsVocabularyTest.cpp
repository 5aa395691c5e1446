#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/CompressionHistoryEntry.h"
#include "model/CompressionPreset.h"
#include "model/FormatStrategy.h"
#include "model/ImageFormat.h"
#include "model/OriginalPolicy.h"
#include "platform/ImageCodec.h"
#include "support/ScopedEnv.h"

namespace velk {
namespace {

// Checks that raw values round-trip, are unique, and that near misses are refused.
template <class Enum, std::size_t N, class FromRaw>
void expectRawValues(const std::array<Enum, N>& all, FromRaw fromRaw,
                     const std::vector<std::string>& expected) {
    ASSERT_EQ(all.size(), expected.size());
    std::set<std::string> seen;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(rawValue(all[i]), expected[i]);
        EXPECT_EQ(fromRaw(expected[i]), all[i]) << expected[i];
        EXPECT_TRUE(seen.insert(expected[i]).second) << "duplicate " << expected[i];
        std::string upper = expected[i];
        upper[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[0])));
        EXPECT_FALSE(fromRaw(upper)) << upper;
        EXPECT_FALSE(fromRaw(expected[i] + " ")) << expected[i];
    }
    EXPECT_FALSE(fromRaw(""));
}

TEST(SettingsVocabularyTest, EveryRawValueRoundTripsExactly) {
    expectRawValues(allCompressionPresets, compressionPresetFromRaw,
                    {"balanced", "gentle", "maximum", "jpegCompatible", "custom"});
    expectRawValues(allFormatStrategies, formatStrategyFromRaw,
                    {"automatic", "jpeg", "png", "webp", "avif", "heic"});
    expectRawValues(allOriginalPolicies, originalPolicyFromRaw, {"backup", "replace"});
    expectRawValues(allAppLanguages, appLanguageFromRaw, {"russian", "english"});
    expectRawValues(allCompressionHistoryStatuses, compressionHistoryStatusFromRaw,
                    {"compressed", "alreadyOptimal", "failed"});
    // The old name of keep is not its raw value, only a stored alias.
    EXPECT_FALSE(originalPolicyFromRaw("keep"));
}

TEST(SettingsVocabularyTest, StoredValuesDecodeTolerantly) {
    for (FormatStrategy strategy : allFormatStrategies) {
        EXPECT_EQ(formatStrategyFromStored(rawValue(strategy)), strategy);
    }
    for (OriginalPolicy policy : allOriginalPolicies) {
        EXPECT_EQ(originalPolicyFromStored(rawValue(policy)), policy);
    }
    using S = FormatStrategy;
    for (const auto& [stored, expected] :
         std::vector<std::pair<std::string, S>>{{"keepOriginal", S::automatic},
                                                {"heicToJpeg", S::jpeg},
                                                {"gif", S::automatic},
                                                {"JPEG", S::automatic},
                                                {"", S::automatic}}) {
        EXPECT_EQ(formatStrategyFromStored(stored), expected) << stored;
    }
    using P = OriginalPolicy;
    for (const auto& [stored, expected] :
         std::vector<std::pair<std::string, P>>{{"outputFolder", P::keep},
                                                {"keep", P::keep},
                                                {"remove", P::replace},
                                                {"delete", P::keep},
                                                {"Replace", P::keep}}) {
        EXPECT_EQ(originalPolicyFromStored(stored), expected) << stored;
    }
}

TEST(SettingsVocabularyTest, TheLocaleChoosesAFirstRunsLanguage) {
    struct Case {
        std::optional<std::string> lcAll, lcMessages, lang;
        AppLanguage expected;
    };
    const auto ru = AppLanguage::russian;
    const auto en = AppLanguage::english;
    for (const auto& [lcAll, lcMessages, lang, expected] : std::vector<Case>{
             {std::nullopt, std::nullopt, "ru_RU.UTF-8", ru},
             {std::nullopt, std::nullopt, "ru", ru},
             {std::nullopt, std::nullopt, "ru_UA@euro", ru},
             {std::nullopt, std::nullopt, "en_US.UTF-8", en},
             {std::nullopt, std::nullopt, "rus", en},
             {std::nullopt, std::nullopt, "C", en},
             {std::nullopt, std::nullopt, std::nullopt, en},
             {std::nullopt, "ru_RU.UTF-8", "en_US.UTF-8", ru},
             {"en_GB.UTF-8", "ru_RU.UTF-8", "ru_RU.UTF-8", en},
             // An empty variable counts as unset.
             {"", "", "ru_RU.UTF-8", ru},
         }) {
        test::ScopedEnv all("LC_ALL", lcAll), messages("LC_MESSAGES", lcMessages),
            language("LANG", lang);
        EXPECT_EQ(localeAppLanguage(), expected)
            << lcAll.value_or("-") << " " << lcMessages.value_or("-") << " " << lang.value_or("-");
    }
}

TEST(SettingsVocabularyTest, FormatsFromExtensionsAndTypeIdentifiers) {
    using F = ImageFormat;
    for (const auto& [extension, expected] :
         std::vector<std::pair<std::string, std::optional<F>>>{{"JPG", F::jpeg},
                                                               {"Jpeg", F::jpeg},
                                                               {"WebP", F::webp},
                                                               {"HEIF", F::heic},
                                                               {"tif", std::nullopt},
                                                               {".jpg", std::nullopt},
                                                               {"", std::nullopt}}) {
        EXPECT_EQ(imageFormatFromExtension(extension), expected) << extension;
    }
    for (const auto& [identifier, expected] : std::vector<std::pair<std::string, std::optional<F>>>{
             {"public.heif", F::heic},
             {"public.jpeg-2000", std::nullopt},
             {"public.PNG", std::nullopt},
             {"public.HEIC", std::nullopt},
             {"com.compuserve.gif", std::nullopt}}) {
        EXPECT_EQ(imageFormatFromTypeIdentifier(identifier), expected) << identifier;
    }
    for (ImageFormat format : allImageFormats) {
        EXPECT_EQ(imageFormatFromExtension(fileExtension(format)), format);
        EXPECT_EQ(imageFormatFromTypeIdentifier(typeIdentifierOf(format)), format);
    }
    ImageProperties reported;
    EXPECT_EQ(imageFormatFromTypeIdentifier(reported.typeIdentifier), std::nullopt);
    reported.typeIdentifier = "public.heif";
    EXPECT_EQ(imageFormatFromTypeIdentifier(reported.typeIdentifier), ImageFormat::heic);
}

// Answers only the question the settings ask; nothing here decodes or encodes.
class WritableListCodec : public ImageCodec {
public:
    explicit WritableListCodec(std::vector<std::string> writable)
        : writable_(std::move(writable)) {}
    std::vector<std::string> writableTypeIdentifiers() const override { return writable_; }
    std::optional<ImageProperties> readProperties(const std::filesystem::path&) const override {
        return std::nullopt;
    }
    std::shared_ptr<const Raster> decode(const std::filesystem::path&) const override {
        return nullptr;
    }
    std::shared_ptr<const Raster> decodeUpright(const std::filesystem::path&) const override {
        return nullptr;
    }
    bool encode(const Raster&, const std::filesystem::path&, std::string_view,
                std::optional<double>) const override {
        return false;
    }
    std::optional<RgbaBitmap> render(const Raster&, const ColorSpace&, Background) const override {
        return std::nullopt;
    }

private:
    std::vector<std::string> writable_;
};

TEST(SettingsVocabularyTest, FormatMenuOffersOnlyWritableModernFormats) {
    using S = FormatStrategy;
    const std::vector<std::pair<std::vector<std::string>, std::vector<S>>> cases = {
        {{"public.jpeg", "public.png", "public.avif", "public.heic"},
         {S::automatic, S::jpeg, S::png, S::webp, S::avif, S::heic}},
        {{"public.jpeg", "public.heic"}, {S::automatic, S::jpeg, S::png, S::webp, S::heic}},
        {{"public.avif"}, {S::automatic, S::jpeg, S::png, S::webp, S::avif}},
        {{}, {S::automatic, S::jpeg, S::png, S::webp}},
    };
    for (const auto& [writable, expected] : cases) {
        EXPECT_EQ(formatStrategyMenuCases(WritableListCodec(writable)), expected);
    }
}

} // namespace
} // namespace velk
