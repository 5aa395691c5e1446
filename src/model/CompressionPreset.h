#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "model/AppLanguage.h"
#include "model/QualitySettings.h"

namespace velk {

enum class CompressionPreset { balanced, gentle, maximum, jpegCompatible, custom };

inline constexpr std::array<CompressionPreset, 5> allCompressionPresets = {
    CompressionPreset::balanced, CompressionPreset::gentle, CompressionPreset::maximum,
    CompressionPreset::jpegCompatible, CompressionPreset::custom};

/// What the panel offers. `jpegCompatible` survives only so old configuration files still
/// decode; loading turns it into `balanced`.
inline constexpr std::array<CompressionPreset, 4> menuCompressionPresets = {
    CompressionPreset::balanced, CompressionPreset::gentle, CompressionPreset::maximum,
    CompressionPreset::custom};

std::string_view rawValue(CompressionPreset preset);
/// Exact raw value only.
std::optional<CompressionPreset> compressionPresetFromRaw(std::string_view raw);
std::string_view title(CompressionPreset preset, AppLanguage language = AppLanguage::russian);
QualitySettings defaults(CompressionPreset preset);

} // namespace velk
