#include "platform/FileSystem.h"

#include <algorithm>
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
    : Error(describe(operation, path, code)), code_(code) {}

} // namespace velk
