#include "model/CompressionPreset.h"

#include "model/RawValueTable.h"

namespace velk {

namespace {
struct PresetRow {
    CompressionPreset value;
    std::string_view raw;
    std::string_view russian;
    std::string_view english;
    QualitySettings defaults;
};

constexpr std::array<PresetRow, 5> presetTable = {{
    {CompressionPreset::balanced, "balanced", "Оптимально", "Optimal", {76, 82, 78, 50, 72}},
    {CompressionPreset::gentle, "gentle", "Бережно", "Gentle", {86, 92, 86, 62, 82}},
    {CompressionPreset::maximum, "maximum", "Максимально", "Maximum", {64, 72, 64, 42, 60}},
    {CompressionPreset::jpegCompatible, "jpegCompatible", "JPEG", "JPEG", {82, 82, 82, 52, 72}},
    {CompressionPreset::custom, "custom", "Свой", "Custom", {76, 82, 78, 50, 72}},
}};
} // namespace

std::string_view rawValue(CompressionPreset preset) {
    return rowFor(presetTable, preset).raw;
}

std::optional<CompressionPreset> compressionPresetFromRaw(std::string_view raw) {
    return valueForRaw(presetTable, raw);
}

std::string_view title(CompressionPreset preset, AppLanguage language) {
    const auto& row = rowFor(presetTable, preset);
    return language == AppLanguage::russian ? row.russian : row.english;
}

QualitySettings defaults(CompressionPreset preset) {
    return rowFor(presetTable, preset).defaults;
}

} // namespace velk
