#include "model/AppLanguage.h"

#include "model/RawValueTable.h"

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

} // namespace velk
