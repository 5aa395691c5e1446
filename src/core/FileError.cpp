#include "core/FileError.h"

#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

// A scratch file's name (".photo.velk-temp-…") would only puzzle the reader.
std::optional<fs::path> shownFile(const std::optional<fs::path>& file) {
    if (!file || isScratchPath(*file))
        return std::nullopt;
    return file;
}

// The format the name promises; the reader knows a photo by its extension, and a damaged
// file says nothing more reliable about itself.
std::string formatName(const fs::path& file, AppLanguage language) {
    const std::string extension = lowercaseExtension(file);
    if (extension == "jpg" || extension == "jpeg")
        return "JPEG";
    if (extension == "png")
        return "PNG";
    if (extension == "webp")
        return "WebP";
    if (extension == "avif")
        return "AVIF";
    if (extension == "heic" || extension == "heif")
        return "HEIC";
    return text(language, "изображение", "image");
}

std::string notFound(const std::optional<fs::path>& file, FileError::Item item,
                     AppLanguage language) {
    if (item == FileError::Item::folder) {
        if (file) {
            const std::string name = quotedName(*file, language);
            return text(language, "Папка " + name + " не найдена. Выберите папку заново.",
                        "The folder " + name + " could not be found. Choose the folder again.");
        }
        return text(language, "Папка не найдена. Выберите папку заново.",
                    "The folder could not be found. Choose the folder again.");
    }
    if (file) {
        const std::string name = quotedName(*file, language);
        return text(language, "Файл " + name + " не найден: возможно, его переместили или удалили.",
                    "The file " + name + " could not be found. It may have been moved or deleted.");
    }
    return text(language, "Файл не найден: возможно, его переместили или удалили.",
                "The file could not be found. It may have been moved or deleted.");
}

} // namespace

std::string FileError::describe(Kind kind, const std::optional<fs::path>& file) {
    const std::string named = file ? "The file \u201C" + displayName(*file) + "\u201D" : "The file";
    switch (kind) {
    case Kind::noSuchFile:
        return "The file doesn\u2019t exist.";
    case Kind::readNoSuchFile:
        return named + " couldn\u2019t be opened because there is no such file.";
    case Kind::readCorruptFile:
        return named + " couldn\u2019t be opened because it isn\u2019t in the correct format.";
    case Kind::readUnsupportedScheme:
        return "The file couldn\u2019t be opened because the specified URL type isn\u2019t "
               "supported.";
    case Kind::writeUnsupportedScheme:
        return "The file couldn\u2019t be saved because the specified URL type isn\u2019t "
               "supported.";
    case Kind::writeUnknown:
        return named + " couldn\u2019t be saved.";
    }
    return "Unknown file error.";
}

FileError::FileError(Kind kind, std::optional<fs::path> file, Item item)
    : Error(describe(kind, file)), kind_(kind), item_(item), file_(std::move(file)) {}

std::string FileError::description(AppLanguage language) const {
    const std::optional<fs::path> file = shownFile(file_);
    switch (kind_) {
    case Kind::noSuchFile:
    case Kind::readNoSuchFile:
        return notFound(file, item_, language);
    case Kind::readCorruptFile:
        if (file) {
            const std::string name = quotedName(*file, language);
            const std::string format = formatName(*file, language);
            return text(language,
                        name + " не читается как " + format +
                            " (похоже, данные повреждены). Файл пропущен.",
                        name + " is not a readable " + format +
                            " (its data looks damaged). Skipped.");
        }
        return text(language, "Изображение не читается (похоже, данные повреждены). Файл пропущен.",
                    "The image is not readable (its data looks damaged). Skipped.");
    case Kind::readUnsupportedScheme:
        if (file) {
            const std::string name = quotedName(*file, language);
            return text(language, "Формат " + name + " не поддерживается. Файл пропущен.",
                        name + " is in a format Velk | Compressor cannot compress. Skipped.");
        }
        return text(language, "Этот формат изображений не поддерживается. Файл пропущен.",
                    "This image format is not supported. Skipped.");
    case Kind::writeUnsupportedScheme:
        return text(language,
                    "Нет кодировщика для выходного формата. Выберите другой формат или "
                    "переустановите Velk | Compressor.",
                    "No encoder for the output format is available. Choose another output "
                    "format or reinstall Velk | Compressor.");
    case Kind::writeUnknown:
        if (file) {
            const std::string name = quotedName(*file, language);
            return text(language, "Не удалось сохранить " + name + ".",
                        name + " could not be saved.");
        }
        return text(language, "Не удалось записать сжатый файл; исходный файл не изменён.",
                    "The compressed file could not be written; the original is unchanged.");
    }
    return Error::description(language);
}

} // namespace velk
