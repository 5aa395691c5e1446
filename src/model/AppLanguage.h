#pragma once

#include <optional>
#include <string_view>

#include "core/AppLanguage.h"

namespace velk {

std::string_view rawValue(AppLanguage language);
/// Exact raw value only.
std::optional<AppLanguage> appLanguageFromRaw(std::string_view raw);
/// The language's own name ("Русский", "English"), the same whatever the interface language.
std::string_view title(AppLanguage language);

} // namespace velk
