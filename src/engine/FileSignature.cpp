#include "engine/FileSignature.h"

#include <algorithm>
#include <fstream>
#include <limits>
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

/// Reads exactly `count` bytes at `offset`, or none when the file is now shorter: a file
/// that shrinks while we look at it has no stable fingerprint.
std::optional<std::string> readExactly(std::ifstream& in, std::int64_t offset, std::int64_t count) {
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in)
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(count), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    if (in.gcount() != static_cast<std::streamsize>(count))
        return std::nullopt;
    return bytes;
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

    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    const std::int64_t headCount = std::min(size, fingerprintSpan);
    const auto head = readExactly(in, 0, headCount);
    if (!head)
        return std::nullopt;

    ContentFingerprint fingerprint;
    fingerprint.size = size;
    fingerprint.headHash = fnv1a64(*head);
    if (size > fingerprintSpan) {
        const auto tail = readExactly(in, size - fingerprintSpan, fingerprintSpan);
        if (!tail)
            return std::nullopt;
        fingerprint.tailHash = fnv1a64(*tail);
    } else {
        fingerprint.tailHash = fingerprint.headHash;
    }
    return fingerprint;
}

} // namespace velk
