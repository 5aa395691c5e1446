#include "engine/encoders/PngColorProfile.h"

#include <algorithm>
#include <array>
#include <limits>
#include <system_error>
#include <zlib.h>

#include "core/AtomicWrite.h"
#include "core/FileError.h"
#include "platform/PosixFileSystem.h"

namespace velk {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view pngSignature{"\x89PNG\r\n\x1a\n", 8};
constexpr std::string_view profileName = "VELK ICC";
/// Length, type and CRC around a chunk's data.
constexpr std::size_t chunkOverhead = 12;
/// PNG caps a chunk's data at 2^31 - 1 bytes.
constexpr std::size_t maximumChunkLength = 0x7FFF'FFFF;
/// Every chunk that says how to read the colours; the new iCCP must be the only one left.
constexpr std::array<std::string_view, 5> colourChunkTypes{"iCCP", "sRGB", "gAMA", "cHRM", "cICP"};

constexpr std::array<std::uint32_t, 256> crcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < table.size(); ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? 0xEDB8'8320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

void appendBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFFu);
}

std::uint32_t bigEndianAt(std::string_view bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

/// The chunk type as text, or empty when a byte is not ASCII.
std::string_view chunkType(std::string_view typeBytes) {
    const bool ascii = std::all_of(typeBytes.begin(), typeBytes.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? typeBytes : std::string_view{};
}

bool isColourChunk(std::string_view type) {
    return std::find(colourChunkTypes.begin(), colourChunkTypes.end(), type) !=
           colourChunkTypes.end();
}

/// Raw DEFLATE of `data` into `out`, which must not grow: the bytes written, or 0 when
/// they did not fit (or zlib could not start).
std::size_t rawDeflate(std::string_view data, std::string& out) {
    z_stream stream{};
    // Negative window bits: no zlib header or trailer, which the caller writes itself.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        return 0;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const std::size_t written = stream.total_out;
    deflateEnd(&stream);
    return result == Z_STREAM_END ? written : 0;
}

/// The zlib stream, or none when compression failed.
std::optional<std::string> zlibStream(std::string_view data) {
    if (data.empty())
        return std::string{};
    const std::size_t n = data.size();
    // zlib counts input and output in 32 bits; the largest buffer tried is 4n.
    if (n > std::numeric_limits<uInt>::max() / 4)
        return std::nullopt;
    const std::size_t limit = std::max<std::size_t>(4096, 4 * n);
    for (std::size_t capacity = n + n / 8 + 128; capacity <= limit; capacity *= 2) {
        std::string deflated(capacity, '\0');
        if (const std::size_t written = rawDeflate(data, deflated); written > 0) {
            // 0x78 0x9C: DEFLATE with a 32 KiB window at the default level, matching
            // the raw stream above; the pair is a multiple of 31 as RFC 1950 requires.
            std::string out{"\x78\x9C"};
            out.reserve(2 + written + 4);
            out.append(deflated, 0, written);
            appendBigEndian(out, adler32(data));
            return out;
        }
    }
    return std::nullopt;
}

std::string iccpChunk(std::string_view compressedProfile) {
    std::string typeAndData{"iCCP"};
    typeAndData += profileName;
    typeAndData += '\0'; // name terminator
    typeAndData += '\0'; // compression method: zlib
    typeAndData += compressedProfile;
    std::string chunk;
    chunk.reserve(typeAndData.size() + 8);
    appendBigEndian(chunk, static_cast<std::uint32_t>(typeAndData.size() - 4));
    chunk += typeAndData;
    appendBigEndian(chunk, crc32(typeAndData));
    return chunk;
}

std::string readPng(const FileReader& reader, const fs::path& file) {
    try {
        return reader.readFile(file);
    } catch (const FileSystemError& error) {
        if (error.code() == std::errc::no_such_file_or_directory)
            throw FileError(FileError::Kind::readNoSuchFile, file);
        throw;
    }
}

void replaceContents(const fs::path& file, std::string_view bytes) {
    std::error_code statusError;
    const fs::perms permissions = fs::status(file, statusError).permissions();
    if (const std::error_code ec = writeFileAtomically(file, bytes))
        throw FileSystemError("write", file, ec);
    // The replacement is created 0644 less the umask; a candidate made private stays
    // private. The contents are already in place, so a failure here is not reported.
    if (!statusError) {
        std::error_code ignored;
        fs::permissions(file, permissions, fs::perm_options::replace, ignored);
    }
}

} // namespace

void attachICCProfileToPNGIfNeeded(const fs::path& file,
                                   const std::optional<std::string>& iccData) {
    attachICCProfileToPNGIfNeeded(systemFileSystem(), file, iccData);
}

void attachICCProfileToPNGIfNeeded(const FileReader& reader, const fs::path& file,
                                   const std::optional<std::string>& iccData) {
    if (!iccData || iccData->empty())
        return;

    const std::string original = readPng(reader, file);
    const std::string_view bytes{original};
    if (!bytes.starts_with(pngSignature))
        return;

    const std::optional<std::string> compressed = zlibStream(*iccData);
    if (!compressed || compressed->size() + profileName.size() + 2 > maximumChunkLength)
        throw FileError(FileError::Kind::writeUnknown, file);
    const std::string iccp = iccpChunk(*compressed);

    std::string output{pngSignature};
    output.reserve(bytes.size() + iccp.size());
    bool inserted = false;
    std::size_t offset = pngSignature.size();
    // A tail too short for a chunk header is dropped, like anything after IEND.
    while (offset + chunkOverhead <= bytes.size()) {
        const std::size_t end = offset + chunkOverhead + bigEndianAt(bytes, offset);
        if (end > bytes.size())
            throw FileError(FileError::Kind::readCorruptFile, file);
        const std::string_view type = chunkType(bytes.substr(offset + 4, 4));
        if (!isColourChunk(type))
            output.append(bytes.substr(offset, end - offset));
        if (type == "IHDR" && !inserted) {
            output += iccp;
            inserted = true;
        }
        if (type == "IEND")
            break;
        offset = end;
    }
    // Without IHDR this is no PNG a decoder would read; leave it as it is.
    if (!inserted)
        return;
    replaceContents(file, output);
}

std::string zlibCompressedData(std::string_view data) {
    std::optional<std::string> stream = zlibStream(data);
    if (!stream)
        throw FileError(FileError::Kind::writeUnknown);
    return std::move(*stream);
}

std::uint32_t crc32(std::string_view data) {
    std::uint32_t crc = 0xFFFF'FFFFu;
    for (const char byte : data)
        crc = crcTable[(crc ^ static_cast<unsigned char>(byte)) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFF'FFFFu;
}

std::uint32_t adler32(std::string_view data) {
    constexpr std::uint32_t modulus = 65521;
    // The most bytes both sums can take from a fresh start without passing 2^32.
    constexpr std::size_t block = 5552;
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    while (!data.empty()) {
        const std::size_t count = std::min(block, data.size());
        for (const char byte : data.substr(0, count)) {
            a += static_cast<unsigned char>(byte);
            b += a;
        }
        a %= modulus;
        b %= modulus;
        data.remove_prefix(count);
    }
    return (b << 16) | a;
}

} // namespace velk
