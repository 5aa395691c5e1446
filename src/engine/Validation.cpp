#include "engine/Validation.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "core/FileError.h"

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

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

std::error_code lastError() {
    return {errno ? errno : EIO, std::generic_category()};
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

Sha256::Digest sha256Digest(const EngineControl& control, const fs::path& path,
                            const std::function<void()>& afterBlock) {
    errno = 0;
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw FileSystemError("read", path, lastError());
    // The stream's own buffer would only add a copy: every read is a whole block.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    Sha256 hash;
    const auto block = std::make_unique<unsigned char[]>(digestBlockSize);
    for (;;) {
        control.checkpoint();
        const std::size_t count = std::fread(block.get(), 1, digestBlockSize, file.get());
        if (count == 0) {
            if (std::ferror(file.get()))
                throw FileSystemError("read", path, lastError());
            break;
        }
        hash.update(block.get(), count);
        if (afterBlock)
            afterBlock();
    }
    return hash.finish();
}

} // namespace velk
