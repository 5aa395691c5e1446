#include "engine/SourceVersion.h"

#include <exception>

#include "core/FileError.h"
#include "engine/Validation.h"

namespace velk {

SourceVersion sourceVersion(const FileSystem& fs, const EngineControl& control,
                            const std::filesystem::path& path) {
    const auto attributes = fs.attributes(path);
    if (!attributes || !attributes->isRegularFile) {
        throw FileError(FileError::Kind::readNoSuchFile, path);
    }
    SourceVersion version;
    version.signature = fileSignature(*attributes);
    version.digest = sha256Digest(fs, control, path);
    return version;
}

void requireSourceUnchanged(const FileSystem& fs, const EngineControl& control,
                            const std::filesystem::path& path, const SourceVersion& expected) {
    bool unchanged = false;
    try {
        unchanged = sourceVersion(fs, control, path) == expected;
    } catch (const std::exception&) {
        // A version we cannot read (gone, unreadable, or a cancelled digest) cannot be
        // vouched for, and the caller is about to destroy something on that basis.
        unchanged = false;
    }
    if (!unchanged) {
        throw FolderCompressorControlError(FolderCompressorControlError::Kind::sourceChanged);
    }
}

} // namespace velk
