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

/// The language a locale name such as "ru_RU.UTF-8" asks for: Russian for a Russian locale,
/// English for any other.
AppLanguage appLanguageForLocale(std::string_view locale);
/// The language of the user's locale, from LC_ALL, LC_MESSAGES and LANG, the first one set
/// and not empty winning, as the C library resolves message catalogues.
AppLanguage localeAppLanguage();

} // namespace velk
