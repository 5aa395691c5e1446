#include "platform/FileSystem.h"

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
    : Error(describe(operation, path, code)), code_(code) {}

} // namespace velk
