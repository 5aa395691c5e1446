#include "platform/FileSystem.h"

#include <cerrno>
#include <optional>
#include <string>

#include "core/Paths.h"

namespace velk {

namespace {
// displayPath keeps the message valid UTF-8 whatever bytes the file name holds, so the
// log and any JSON that quotes it stay readable.
std::string describe(std::string_view operation, const std::filesystem::path& path,
                     std::error_code code) {
    std::string text(operation);
    text += ' ';
    text += displayPath(path);
    text += ": ";
    text += code.message();
    return text;
}
} // namespace

FileSystemError::FileSystemError(std::string_view operation, const std::filesystem::path& path,
                                 std::error_code code)
    : Error(describe(operation, path, code)), code_(code), path_(path) {}

std::string FileSystemError::description(AppLanguage language) const {
    // A scratch file's name would only puzzle the reader.
    const std::optional<std::string> name = isScratchPath(path_) || path_.empty()
                                                ? std::nullopt
                                                : std::optional(quotedName(path_, language));
    const std::error_condition reason = code_.default_error_condition();
    if (reason == std::errc::no_such_file_or_directory) {
        if (name)
            return text(language,
                        "Не удаётся найти " + *name + ": возможно, его переместили или удалили.",
                        *name + " could not be found. It may have been moved or deleted.");
        return text(language, "Не удаётся найти файл: возможно, его переместили или удалили.",
                    "A file could not be found. It may have been moved or deleted.");
    }
    if (reason == std::errc::permission_denied || reason == std::errc::operation_not_permitted) {
        if (name)
            return text(language, "Нет прав на изменение " + *name + ". Проверьте права доступа.",
                        "Velk | Compressor is not allowed to change " + *name +
                            ". Check its permissions.");
        return text(language, "Нет прав на запись в папку. Проверьте права доступа к ней.",
                    "Velk | Compressor is not allowed to write in the folder. Check the "
                    "folder’s permissions.");
    }
    if (reason == std::errc::no_space_on_device ||
        reason == std::error_condition(EDQUOT, std::generic_category()))
        return text(language, "На диске закончилось место. Освободите место и повторите попытку.",
                    "The disk is full. Free some space and try again.");
    if (reason == std::errc::read_only_file_system)
        return text(language, "Диск доступен только для чтения: сжатые файлы на нём не сохранить.",
                    "The disk is read-only, so compressed files cannot be saved on it.");
    if (name)
        return text(language, "Не удалось прочитать или сохранить " + *name + ".",
                    *name + " could not be read or saved.");
    return text(language, "Не удалось прочитать или сохранить файл.",
                "A file could not be read or saved.");
}

} // namespace velk
