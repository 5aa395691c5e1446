#include "engine/Validation.h"

#include <memory>

#include "core/FileError.h"
#include "platform/PosixFileSystem.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

void removeQuietly(FileSystem& fs, const fs::path& path) {
    try {
        fs.remove(path);
    } catch (const std::exception&) {
        // A scratch file we could not delete is harmless: the listing ignores its name.
    }
}

} // namespace

std::int64_t validateTemporaryFile(FileSystem& fs, const fs::path& path) {
    const std::int64_t size = fileSize(fs, path);
    if (size < 1) {
        removeQuietly(fs, path);
        throw FileError(FileError::Kind::writeUnknown);
    }
    return size;
}

std::int64_t validateEncodedImage(FileSystem& fs, const ImageCodec& codec, const fs::path& path) {
    const std::int64_t size = validateTemporaryFile(fs, path);
    if (!codec.canDecode(path)) {
        removeQuietly(fs, path);
        throw FileError(FileError::Kind::writeUnknown);
    }
    return size;
}

Sha256::Digest sha256Digest(const FileReader& reader, const EngineControl& control,
                            const fs::path& path, const std::function<void()>& afterBlock) {
    const std::unique_ptr<ReadableFile> file = reader.openForReading(path);
    Sha256 hash;
    const auto block = std::make_unique<char[]>(digestBlockSize);
    for (std::uint64_t offset = 0;;) {
        control.checkpoint();
        const std::size_t count = file->readAt(offset, block.get(), digestBlockSize);
        if (count == 0)
            break;
        hash.update(block.get(), count);
        offset += count;
        if (afterBlock)
            afterBlock();
    }
    return hash.finish();
}

Sha256::Digest sha256Digest(const EngineControl& control, const fs::path& path,
                            const std::function<void()>& afterBlock) {
    return sha256Digest(systemFileSystem(), control, path, afterBlock);
}

} // namespace velk
