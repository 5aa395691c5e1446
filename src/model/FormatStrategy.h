#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include "model/AppLanguage.h"
#include "model/ImageFormat.h"

namespace velk {

class ImageCodec;

/// The output format: `automatic` keeps each file's own format, the others convert.
enum class FormatStrategy { automatic, jpeg, png, webp, avif, heic };

inline constexpr std::array<FormatStrategy, 6> allFormatStrategies = {
    FormatStrategy::automatic, FormatStrategy::jpeg, FormatStrategy::png,
    FormatStrategy::webp,      FormatStrategy::avif, FormatStrategy::heic};

std::string_view rawValue(FormatStrategy strategy);
/// Exact raw value only.
std::optional<FormatStrategy> formatStrategyFromRaw(std::string_view raw);
/// Reading a stored value: names written by earlier versions map to their current case,
/// and anything unknown falls back to `automatic` rather than losing the whole file.
FormatStrategy formatStrategyFromStored(std::string_view stored);
std::string_view title(FormatStrategy strategy, AppLanguage language = AppLanguage::russian);

/// The format every output is converted to; none for `automatic`.
std::optional<ImageFormat> targetFormat(FormatStrategy strategy);

/// Offered in the panel: AVIF and HEIC only when this machine can write them, asked of
/// the codec on every call.
std::vector<FormatStrategy> formatStrategyMenuCases(const ImageCodec& codec);

} // namespace velk
