#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "model/AppLanguage.h"

namespace velk {

/// What happens to a source after a successful compression: `keep` writes the output
/// beside it, `replace` backs it up and puts the output in its place.
enum class OriginalPolicy { keep, replace };

inline constexpr std::array<OriginalPolicy, 2> allOriginalPolicies = {OriginalPolicy::keep,
                                                                      OriginalPolicy::replace};

/// Note that `keep` is stored as "backup", the name an earlier version gave it.
std::string_view rawValue(OriginalPolicy policy);
/// Exact raw value only.
std::optional<OriginalPolicy> originalPolicyFromRaw(std::string_view raw);
/// Reading a stored value: legacy names map to their current case, and anything unknown
/// becomes `keep`, the choice that never touches a source.
OriginalPolicy originalPolicyFromStored(std::string_view stored);
std::string_view title(OriginalPolicy policy, AppLanguage language = AppLanguage::russian);

} // namespace velk
