#include "model/FormatStrategy.h"

#include "model/RawValueTable.h"

namespace velk {

namespace {
struct StrategyRow {
    FormatStrategy value;
    std::string_view raw;
    std::string_view russian;
    std::string_view english;
    std::optional<ImageFormat> target;
};

constexpr std::array<StrategyRow, 6> strategyTable = {{
    {FormatStrategy::automatic, "automatic", "Исходный", "Original", std::nullopt},
    {FormatStrategy::jpeg, "jpeg", "JPEG", "JPEG", ImageFormat::jpeg},
    {FormatStrategy::png, "png", "PNG", "PNG", ImageFormat::png},
    {FormatStrategy::webp, "webp", "WebP", "WebP", ImageFormat::webp},
    {FormatStrategy::avif, "avif", "AVIF", "AVIF", ImageFormat::avif},
    {FormatStrategy::heic, "heic", "HEIC", "HEIC", ImageFormat::heic},
}};
} // namespace

std::string_view rawValue(FormatStrategy strategy) {
    return rowFor(strategyTable, strategy).raw;
}

std::optional<FormatStrategy> formatStrategyFromRaw(std::string_view raw) {
    return valueForRaw(strategyTable, raw);
}

FormatStrategy formatStrategyFromStored(std::string_view stored) {
    if (stored == "keepOriginal")
        return FormatStrategy::automatic;
    if (stored == "heicToJpeg")
        return FormatStrategy::jpeg;
    return formatStrategyFromRaw(stored).value_or(FormatStrategy::automatic);
}

std::string_view title(FormatStrategy strategy, AppLanguage language) {
    const auto& row = rowFor(strategyTable, strategy);
    return language == AppLanguage::russian ? row.russian : row.english;
}

std::optional<ImageFormat> targetFormat(FormatStrategy strategy) {
    return rowFor(strategyTable, strategy).target;
}

std::vector<FormatStrategy> formatStrategyMenuCases(const ImageCodec& codec) {
    std::vector<FormatStrategy> cases = {FormatStrategy::automatic, FormatStrategy::jpeg,
                                         FormatStrategy::png, FormatStrategy::webp};
    if (isNativeWritable(ImageFormat::avif, codec))
        cases.push_back(FormatStrategy::avif);
    if (isNativeWritable(ImageFormat::heic, codec))
        cases.push_back(FormatStrategy::heic);
    return cases;
}

} // namespace velk
