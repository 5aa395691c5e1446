#include "engine/FileSignature.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <string>

#include "core/FileError.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

// Sizes beyond the signed range cannot occur on Linux, but a clamp keeps a corrupt
// attribute from turning into a negative size.
std::int64_t signedSize(std::uint64_t size) {
    constexpr auto maximum = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(size > maximum ? maximum : size);
}

} // namespace

std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t hash) {
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= fnvPrime;
    }
    return hash;
}

FileSignature fileSignature(const ItemAttributes& attributes) {
    FileSignature signature;
    signature.size = signedSize(attributes.size);
    signature.modifiedAt = attributes.modificationDate;
    signature.attributeModifiedAt = attributes.creationDate;
    signature.resourceIdentifier = std::to_string(attributes.fileNumber);
    return signature;
}

std::optional<FileSignature> fileSignature(const FileSystem& fs, const fs::path& path) {
    const auto attributes = fs.attributes(path);
    if (!attributes)
        return std::nullopt;
    return fileSignature(*attributes);
}

std::int64_t fileSize(const FileSystem& fs, const fs::path& path) {
    const auto attributes = fs.attributes(path);
    if (!attributes)
        throw FileError(FileError::Kind::readNoSuchFile, path);
    return signedSize(attributes->size);
}

std::optional<ContentFingerprint> contentFingerprint(const FileSystem& fs, const fs::path& path) {
    const auto attributes = fs.attributes(path);
    // Only a regular file: opening a link would hash whatever it points at, and opening
    // a FIFO could block the engine's queue.
    if (!attributes || !attributes->isRegularFile)
        return std::nullopt;
    const std::int64_t size = signedSize(attributes->size);
    if (size <= 0)
        return std::nullopt;

    // A file that shrinks while we look at it has no stable fingerprint, and one we cannot
    // read has none at all: either way the caller looks again later.
    try {
        const std::unique_ptr<ReadableFile> file = fs.openForReading(path);
        const std::int64_t headCount = std::min(size, fingerprintSpan);
        const auto head = file->readExactly(0, static_cast<std::size_t>(headCount));
        if (!head)
            return std::nullopt;

        ContentFingerprint fingerprint;
        fingerprint.size = size;
        fingerprint.headHash = fnv1a64(*head);
        if (size > fingerprintSpan) {
            const auto tail = file->readExactly(static_cast<std::uint64_t>(size - fingerprintSpan),
                                                static_cast<std::size_t>(fingerprintSpan));
            if (!tail)
                return std::nullopt;
            fingerprint.tailHash = fnv1a64(*tail);
        } else {
            fingerprint.tailHash = fingerprint.headHash;
        }
        return fingerprint;
    } catch (const FileSystemError&) {
        return std::nullopt;
    }
}

} // namespace velk
