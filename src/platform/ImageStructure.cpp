#include "platform/ImageStructure.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

namespace velk {

namespace {

constexpr std::string_view pngSignature{"\x89PNG\r\n\x1a\n", 8};
/// PNG caps a chunk's data at 2^31 - 1 bytes.
constexpr std::uint64_t maximumChunkLength = 0x7FFF'FFFF;
/// Keyword (1–79 bytes), its terminator and the compression method.
constexpr std::size_t keywordPrefix = 81;
/// Where an iTXt's language tag and translated keyword must have ended; no real one
/// comes near it, so one that has not is taken for an attempt to hide its text.
constexpr std::size_t internationalPrefix = 64 << 10;
constexpr std::size_t inflateBlock = 64 << 10;

std::uint32_t bigEndian(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

struct InflateEnd {
    void operator()(z_stream* stream) const noexcept { inflateEnd(stream); }
};

/// Unpacks the zlib stream of `length` bytes at `offset` into a scratch buffer and
/// returns how many bytes it yields, stopping as soon as that is more than `allowance`.
/// A damaged stream ends the count where the damage is (no decoder gets further).
std::uint64_t inflatedSize(ReadableFile& file, std::uint64_t offset, std::uint64_t length,
                           std::uint64_t allowance) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return 0;
    const std::unique_ptr<z_stream, InflateEnd> end(&stream);
    std::string input(inflateBlock, '\0');
    std::string output(inflateBlock, '\0');
    std::uint64_t produced = 0;
    for (std::uint64_t read = 0; read < length;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(inflateBlock, length - read));
        const std::size_t got = file.readAt(offset + read, input.data(), want);
        if (got == 0)
            return produced;
        read += got;
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(got);
        while (stream.avail_in > 0) {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = static_cast<uInt>(output.size());
            const int result = inflate(&stream, Z_NO_FLUSH);
            produced += output.size() - stream.avail_out;
            if (produced > allowance || result != Z_OK)
                return produced;
        }
    }
    // The input is used up; what zlib still holds back is at most its window.
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
    inflate(&stream, Z_SYNC_FLUSH);
    return produced + (output.size() - stream.avail_out);
}

/// Where the zlib stream of a compressed ancillary chunk starts, relative to its data;
/// none for an uncompressed iTXt or a damaged header. `hidden` is set for an iTXt whose
/// header runs on past any real one.
std::optional<std::size_t> compressedStart(ReadableFile& file, std::uint64_t data,
                                           std::uint64_t length, std::string_view type,
                                           bool& hidden) {
    const bool international = type == "iTXt";
    const std::size_t prefixLength = static_cast<std::size_t>(
        std::min<std::uint64_t>(length, international ? internationalPrefix : keywordPrefix));
    const std::optional<std::string> prefix = file.readExactly(data, prefixLength);
    if (!prefix)
        return std::nullopt;
    const std::size_t keywordEnd = prefix->find('\0');
    if (keywordEnd == std::string::npos || keywordEnd == 0)
        return std::nullopt;
    if (!international)
        return keywordEnd + 2;
    // Keyword, compression flag, method, language tag, translated keyword, text.
    if (keywordEnd + 1 >= prefix->size() || (*prefix)[keywordEnd + 1] != 1)
        return std::nullopt;
    const std::size_t languageEnd = prefix->find('\0', keywordEnd + 3);
    const std::size_t translatedEnd =
        languageEnd == std::string::npos ? languageEnd : prefix->find('\0', languageEnd + 1);
    if (translatedEnd == std::string::npos) {
        hidden = prefixLength < length;
        return std::nullopt;
    }
    return translatedEnd + 1;
}

} // namespace

std::optional<PngStructure> pngStructure(ReadableFile& file, const PngChunkLimits& limits) {
    const std::optional<std::string> signature = file.readExactly(0, pngSignature.size());
    if (!signature || *signature != pngSignature)
        return std::nullopt;

    PngStructure structure;
    std::optional<std::uint32_t> frames;
    bool defaultImageIsFrame = false;
    bool imageDataSeen = false;
    std::uint64_t unpacked = 0;
    for (std::uint64_t offset = pngSignature.size();;) {
        const std::optional<std::string> header = file.readExactly(offset, 8);
        if (!header)
            break;
        const std::uint64_t length = bigEndian(*header, 0);
        const std::string type = header->substr(4, 4);
        if (length > maximumChunkLength)
            break;
        const std::uint64_t data = offset + 8;
        if (type == "IEND")
            break;
        if (type == "IDAT") {
            imageDataSeen = true;
        } else if (!imageDataSeen && type == "acTL" && length >= 8) {
            if (const auto control = file.readExactly(data, 4))
                frames = bigEndian(*control, 0);
        } else if (!imageDataSeen && type == "fcTL") {
            defaultImageIsFrame = true;
        } else if (type == "iCCP" || type == "zTXt" || type == "iTXt") {
            bool hidden = false;
            const std::optional<std::size_t> start =
                compressedStart(file, data, length, type, hidden);
            const std::uint64_t own = type == "iCCP" ? limits.profileBytes : limits.textBytes;
            // Never past the total: the walk ends as soon as that is exceeded.
            const std::uint64_t left = limits.totalBytes - unpacked;
            std::uint64_t chunkBytes = 0;
            if (start && *start <= length)
                chunkBytes =
                    inflatedSize(file, data + *start, length - *start, std::min(own, left));
            unpacked += chunkBytes;
            if (hidden || chunkBytes > own || unpacked > limits.totalBytes) {
                structure.oversizedChunk = type;
                break;
            }
        }
        offset = data + length + 4;
    }
    if (frames)
        structure.pictureCount = std::int64_t{*frames} + (defaultImageIsFrame ? 0 : 1);
    return structure;
}

bool heifHasImageSequence(ReadableFile& file) {
    constexpr std::array<std::string_view, 4> sequenceBrands{"avis", "msf1", "hevs", "avcs"};
    const std::uint64_t size = file.size();
    // Only an ISO file begins with its "ftyp" box; anything else has no boxes to walk.
    if (file.readExactly(4, 4) != std::optional<std::string>("ftyp"))
        return false;
    // The boxes a file may hold at its top level are few; a long run of them is junk.
    constexpr int boxLimit = 256;
    std::uint64_t offset = 0;
    for (int box = 0; box < boxLimit && offset + 8 <= size; ++box) {
        const std::optional<std::string> header = file.readExactly(offset, 16);
        const std::optional<std::string> shortHeader =
            header ? header : file.readExactly(offset, 8);
        if (!shortHeader)
            return false;
        std::uint64_t boxSize = bigEndian(*shortHeader, 0);
        const std::string type = shortHeader->substr(4, 4);
        std::uint64_t headerSize = 8;
        if (boxSize == 1) {
            if (!header)
                return false;
            boxSize = std::uint64_t{bigEndian(*header, 8)} << 32 | bigEndian(*header, 12);
            headerSize = 16;
        } else if (boxSize == 0) {
            boxSize = size - offset;
        }
        if (boxSize < headerSize || boxSize > size - offset)
            return type == "moov";
        if (type == "moov")
            return true;
        if (type == "ftyp" && boxSize >= headerSize + 8) {
            const std::size_t brandBytes =
                static_cast<std::size_t>(std::min<std::uint64_t>(boxSize - headerSize, 1024));
            const std::optional<std::string> brands =
                file.readExactly(offset + headerSize, brandBytes);
            if (!brands)
                return false;
            for (std::size_t at = 0; at + 4 <= brands->size(); at += 4) {
                // Bytes 4–7 are the minor version, not a brand.
                if (at == 4)
                    continue;
                const std::string_view brand = std::string_view(*brands).substr(at, 4);
                if (std::find(sequenceBrands.begin(), sequenceBrands.end(), brand) !=
                    sequenceBrands.end())
                    return true;
            }
        }
        offset += boxSize;
    }
    return false;
}

} // namespace velk
