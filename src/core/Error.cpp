#include "core/Error.h"

#include <new>

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
    // A large image on a machine short of memory: the file is skipped, not the program.
    if (dynamic_cast<const std::bad_alloc*>(&error))
        return text(language,
                    "Для обработки этого изображения не хватило памяти. Файл оставлен как есть.",
                    "There was not enough memory to process this image. The file is left as it "
                    "is.");
    return unexpectedErrorText(language);
}

} // namespace velk
