#include "platform/FileSystem.h"

#include <algorithm>
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

std::optional<std::string> ReadableFile::readExactly(std::uint64_t offset, std::size_t count) {
    std::string bytes(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        const std::size_t got = readAt(offset + done, bytes.data() + done, count - done);
        if (got == 0)
            return std::nullopt;
        done += got;
    }
    return bytes;
}

std::string FileReader::readFile(const std::filesystem::path& path) const {
    const std::unique_ptr<ReadableFile> file = openForReading(path);
    // The size is only a hint: a block one byte larger finds the end in one read, and a
    // file that grows meanwhile is read on to its new end.
    constexpr std::size_t minimumBlock = 65'536;
    const std::size_t block = std::max<std::size_t>(file->size() + 1, minimumBlock);
    std::string bytes;
    std::size_t done = 0;
    for (;;) {
        bytes.resize(done + block);
        const std::size_t got = file->readAt(done, bytes.data() + done, block);
        done += got;
        if (got < block)
            break;
    }
    bytes.resize(done);
    return bytes;
}

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
