#pragma once

#include <array>
#include <string>
#include <string_view>

namespace velk {

// Down here rather than with the rest of the settings vocabulary: every error type, in
// whatever module, describes itself in the interface language.
enum class AppLanguage { russian, english };

inline constexpr std::array<AppLanguage, 2> allAppLanguages = {AppLanguage::russian,
                                                               AppLanguage::english};

/// The one place a bilingual text is chosen: `russian` for russian, `english` for english.
inline std::string text(AppLanguage language, std::string_view russian, std::string_view english) {
    return std::string(language == AppLanguage::russian ? russian : english);
}

} // namespace velk
