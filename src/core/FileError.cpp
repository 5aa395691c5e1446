#include "core/FileError.h"

#include "core/Paths.h"

namespace velk {

std::string FileError::describe(Kind kind, const std::optional<std::filesystem::path>& file) {
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

FileError::FileError(Kind kind, std::optional<std::filesystem::path> file)
    : Error(describe(kind, file)), kind_(kind) {}

} // namespace velk
