#include "model/AppLanguage.h"

#include "model/RawValueTable.h"

#include <cstdlib>

namespace velk {

namespace {
struct LanguageRow {
    AppLanguage value;
    std::string_view raw;
    std::string_view title;
};

constexpr std::array<LanguageRow, 2> languageTable = {{
    {AppLanguage::russian, "russian", "Русский"},
    {AppLanguage::english, "english", "English"},
}};
} // namespace

std::string_view rawValue(AppLanguage language) {
    return rowFor(languageTable, language).raw;
}

std::optional<AppLanguage> appLanguageFromRaw(std::string_view raw) {
    return valueForRaw(languageTable, raw);
}

std::string_view title(AppLanguage language) {
    return rowFor(languageTable, language).title;
}

AppLanguage appLanguageForLocale(std::string_view locale) {
    // "ru", "ru_RU", "ru_UA.UTF-8", "ru@…": the language code ends at the first separator.
    const auto code = locale.substr(0, locale.find_first_of("_.@"));
    return code == "ru" ? AppLanguage::russian : AppLanguage::english;
}

AppLanguage localeAppLanguage() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return appLanguageForLocale(value);
    }
    return AppLanguage::english;
}

} // namespace velk
