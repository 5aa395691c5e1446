#include "support/CraftedImages.h"

#include <zlib.h>

#include <stdexcept>

#include "support/TempDir.h"

namespace velk::test {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t signatureSize = 8;

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::uint32_t readBigEndian(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

std::string chunkBytes(const PngChunk& chunk) {
    const std::string body = chunk.first + chunk.second;
    const auto crc =
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    return bigEndian(static_cast<std::uint32_t>(chunk.second.size())) + body +
           bigEndian(static_cast<std::uint32_t>(crc));
}

/// The chunks of a PNG file, in order.
std::vector<PngChunk> chunksOf(const std::string& png) {
    std::vector<PngChunk> chunks;
    for (std::size_t at = signatureSize; at + 12 <= png.size();) {
        const std::uint32_t length = readBigEndian(png, at);
        chunks.emplace_back(png.substr(at + 4, 4), png.substr(at + 8, length));
        at += 12 + length;
    }
    return chunks;
}

std::string assemble(const std::string& signature, const std::vector<PngChunk>& chunks) {
    std::string bytes = signature;
    for (const PngChunk& chunk : chunks)
        bytes += chunkBytes(chunk);
    return bytes;
}

} // namespace

std::string CraftedImages::zerosStream(std::uint64_t mebibytes) {
    // Raw deflate (no header), one MiB, then a full flush: a block that starts afresh and
    // ends on a byte boundary, so any number of copies in a row is one valid stream.
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string zeros(std::size_t{1} << 20, '\0');
    std::string block(64 << 10, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
    stream.avail_in = static_cast<uInt>(zeros.size());
    stream.next_out = reinterpret_cast<Bytef*>(block.data());
    stream.avail_out = static_cast<uInt>(block.size());
    deflate(&stream, Z_FULL_FLUSH);
    block.resize(block.size() - stream.avail_out);
    deflateEnd(&stream);

    std::string out("\x78\xDA", 2);
    out.reserve(2 + block.size() * mebibytes + 6);
    for (std::uint64_t i = 0; i < mebibytes; ++i)
        out += block;
    // A final empty fixed-Huffman block, then the Adler-32 of the zeros: its low half
    // stays 1, its high half counts the bytes.
    out += std::string("\x03\x00", 2);
    const std::uint64_t count = mebibytes << 20;
    return out + bigEndian(static_cast<std::uint32_t>((count % 65521) << 16 | 1));
}

std::string CraftedImages::compressed(const std::string& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
                  9) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

void CraftedImages::insertPngChunks(const fs::path& png, const std::vector<PngChunk>& chunks) {
    const std::string bytes = readFile(png);
    std::vector<PngChunk> all = chunksOf(bytes);
    all.insert(all.begin() + 1, chunks.begin(), chunks.end());
    writeFile(png, assemble(bytes.substr(0, signatureSize), all));
}

void CraftedImages::animatePng(const fs::path& png, int frames, bool defaultImageIsFrame) {
    const std::string bytes = readFile(png);
    const std::vector<PngChunk> chunks = chunksOf(bytes);
    const std::string& header = chunks.at(0).second;
    std::string image;
    for (const PngChunk& chunk : chunks) {
        if (chunk.first == "IDAT")
            image += chunk.second;
    }
    std::uint32_t sequence = 0;
    // Full size at the origin, shown for a tenth of a second, no disposal or blending.
    const auto frameControl = [&] {
        return PngChunk{"fcTL", bigEndian(sequence++) + header.substr(0, 8) + bigEndian(0) +
                                    bigEndian(0) + std::string("\x00\x01\x00\x0A\x00\x00", 6)};
    };
    std::vector<PngChunk> out{chunks.at(0), {"acTL", bigEndian(frames) + bigEndian(0)}};
    if (defaultImageIsFrame)
        out.push_back(frameControl());
    out.emplace_back("IDAT", image);
    for (int frame = defaultImageIsFrame ? 1 : 0; frame < frames; ++frame) {
        out.push_back(frameControl());
        out.emplace_back("fdAT", bigEndian(sequence++) + image);
    }
    out.emplace_back("IEND", "");
    writeFile(png, assemble(bytes.substr(0, signatureSize), out));
}

void CraftedImages::appendBox(const fs::path& path, const std::string& type,
                              const std::string& payload) {
    writeFile(path, readFile(path) + bigEndian(static_cast<std::uint32_t>(8 + payload.size())) +
                        type + payload);
}

} // namespace velk::test
