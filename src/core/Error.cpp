#include "core/Error.h"

namespace velk {

namespace {
std::string unexpectedErrorText(AppLanguage language) {
    return text(language, "Произошла непредвиденная ошибка. Подробности записаны в журнал.",
                "Something unexpected went wrong. The details are in the log.");
}
} // namespace

std::string Error::description(AppLanguage language) const {
    return unexpectedErrorText(language);
}

std::string userDescription(const std::exception& error, AppLanguage language) {
    if (const auto* own = dynamic_cast<const Error*>(&error))
        return own->description(language);
    return unexpectedErrorText(language);
}

} // namespace velk
