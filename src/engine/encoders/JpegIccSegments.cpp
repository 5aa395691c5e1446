#include "engine/encoders/JpegIccSegments.h"

#include <system_error>

#include "core/AtomicWrite.h"
#include "core/FileError.h"
#include "platform/PosixFileSystem.h"

namespace velk {

namespace {

constexpr std::string_view iccIdentifier{"ICC_PROFILE\0", 12};
constexpr std::string_view jfifIdentifier{"JFIF\0", 5};
constexpr std::size_t maximumSegments = 255;

unsigned char byteAt(std::string_view data, std::size_t index) {
    return static_cast<unsigned char>(data[index]);
}

/// Where the profile goes: after SOI, and after the JFIF APP0 when it follows at once.
std::size_t insertionOffset(std::string_view jpeg) {
    if (jpeg.size() < 2 || byteAt(jpeg, 0) != 0xFF || byteAt(jpeg, 1) != 0xD8)
        throw FileError(FileError::Kind::readCorruptFile);
    std::size_t offset = 2;
    if (jpeg.size() >= offset + 4 && byteAt(jpeg, offset) == 0xFF &&
        byteAt(jpeg, offset + 1) == 0xE0) {
        const std::size_t length =
            (std::size_t{byteAt(jpeg, offset + 2)} << 8) | byteAt(jpeg, offset + 3);
        if (length < 2 || offset + 2 + length > jpeg.size())
            throw FileError(FileError::Kind::readCorruptFile);
        if (jpeg.substr(offset + 4, std::min<std::size_t>(length - 2, jfifIdentifier.size())) ==
            jfifIdentifier)
            offset += 2 + length;
    }
    return offset;
}

} // namespace

std::string jpegWithICCProfile(std::string_view jpeg, std::string_view iccData) {
    const std::size_t offset = insertionOffset(jpeg);
    const std::size_t segments =
        (iccData.size() + iccBytesPerJpegSegment - 1) / iccBytesPerJpegSegment;
    if (segments == 0 || segments > maximumSegments)
        throw FileError(FileError::Kind::writeUnknown);

    std::string result;
    result.reserve(jpeg.size() + iccData.size() + segments * (4 + iccIdentifier.size() + 2));
    result.append(jpeg.substr(0, offset));
    for (std::size_t index = 0; index < segments; ++index) {
        const std::string_view chunk =
            iccData.substr(index * iccBytesPerJpegSegment, iccBytesPerJpegSegment);
        const std::size_t length = 2 + iccIdentifier.size() + 2 + chunk.size();
        result += '\xFF';
        result += '\xE2';
        result += static_cast<char>(length >> 8);
        result += static_cast<char>(length & 0xFF);
        result.append(iccIdentifier);
        result += static_cast<char>(index + 1);
        result += static_cast<char>(segments);
        result.append(chunk);
    }
    result.append(jpeg.substr(offset));
    return result;
}

void insertICCProfileIntoJPEG(const FileReader& reader, const std::filesystem::path& file,
                              std::string_view iccData) {
    const std::string withProfile = jpegWithICCProfile(reader.readFile(file), iccData);
    if (const std::error_code error = writeFileAtomically(file, withProfile))
        throw FileSystemError("write", file, error);
}

void insertICCProfileIntoJPEG(const std::filesystem::path& file, std::string_view iccData) {
    insertICCProfileIntoJPEG(systemFileSystem(), file, iccData);
}

} // namespace velk
