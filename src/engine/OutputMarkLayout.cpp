#include "engine/OutputMarkLayout.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace velk {

namespace {

// Every container carries the same payload: keyword, NUL, body. The keyword doubles as
// the PNG text chunk's keyword, so the mark reads naturally in metadata viewers.
constexpr std::string_view keyword = "velk-output-mark";
// Marks are about two hundred bytes; a unit far larger is someone else's.
constexpr std::uint64_t maximumPayload = 4096;
constexpr std::string_view webpChunk = "VELK";
// The extended type of our ISO base media box (a random UUID, fixed for good).
constexpr std::array<unsigned char, 16> boxUuid = {0x6b, 0x1f, 0x3a, 0x52, 0x9c, 0x0e, 0x4d, 0x47,
                                                   0xa1, 0x58, 0x2d, 0xe4, 0x70, 0x93, 0xbc, 0x16};
constexpr int maximumUnits = 100'000;

OutputMarkLayout emptyLayout(MarkContainer container, std::uint64_t size) {
    OutputMarkLayout layout;
    layout.container = container;
    layout.size = size;
    return layout;
}

/// None where the file ends sooner: a structure that claims more than is there.
std::optional<std::string> readAt(ReadableFile& file, std::uint64_t offset, std::size_t count) {
    return file.readExactly(offset, count);
}

std::uint32_t be16(std::string_view b, std::size_t at) {
    return (std::uint32_t(std::uint8_t(b[at])) << 8) | std::uint8_t(b[at + 1]);
}
std::uint32_t be32(std::string_view b, std::size_t at) {
    return (be16(b, at) << 16) | be16(b, at + 2);
}
std::uint32_t le32(std::string_view b, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | std::uint8_t(b[at + std::size_t(i)]);
    return value;
}
void putBe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out += char((value >> (8 * i)) & 0xff);
}
void putLe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += char((value >> (8 * i)) & 0xff);
}

/// The body of a payload that starts with our keyword, else none.
std::optional<std::string> bodyOf(std::string_view payload) {
    if (payload.size() <= keyword.size() || payload.substr(0, keyword.size()) != keyword ||
        payload[keyword.size()] != '\0') {
        return std::nullopt;
    }
    return std::string(payload.substr(keyword.size() + 1));
}

/// Reads `count` payload bytes at `offset` and keeps the body when they are our mark's.
bool readMarkPayload(ReadableFile& file, std::uint64_t offset, std::uint64_t count,
                     OutputMarkLayout& layout, ByteRange unit) {
    if (count > maximumPayload || count <= keyword.size())
        return false;
    const auto payload = readAt(file, offset, std::size_t(count));
    if (!payload)
        return false;
    auto body = bodyOf(*payload);
    if (!body)
        return false;
    layout.mark = unit;
    layout.body = std::move(*body);
    return true;
}

std::optional<OutputMarkLayout> jpegLayout(ReadableFile& file, std::uint64_t size) {
    OutputMarkLayout layout = emptyLayout(MarkContainer::jpeg, size);
    std::uint64_t pos = 2;
    std::optional<std::uint64_t> insertAt;
    for (int units = 0; units < maximumUnits; ++units) {
        const auto head = readAt(file, pos, 4);
        if (!head || std::uint8_t((*head)[0]) != 0xFF)
            return std::nullopt;
        const std::uint8_t marker = std::uint8_t((*head)[1]);
        if (marker == 0xFF) { // fill byte
            pos += 1;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) {
            // The comment goes after the APPn run, so a JFIF or EXIF header stays first.
            layout.insertAt = insertAt.value_or(pos);
            return layout;
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        const std::uint32_t length = be16(*head, 2);
        if (length < 2 || pos + 2 + length > size)
            return std::nullopt;
        if (!insertAt && !(marker >= 0xE0 && marker <= 0xEF))
            insertAt = pos;
        if (marker == 0xFE && !layout.mark) {
            readMarkPayload(file, pos + 4, length - 2, layout, {pos, pos + 2 + length});
        }
        pos += 2 + length;
    }
    return std::nullopt;
}

std::optional<OutputMarkLayout> pngLayout(ReadableFile& file, std::uint64_t size) {
    OutputMarkLayout layout = emptyLayout(MarkContainer::png, size);
    std::uint64_t pos = 8;
    for (int units = 0; units < maximumUnits; ++units) {
        const auto head = readAt(file, pos, 8);
        if (!head)
            return std::nullopt;
        const std::uint64_t length = be32(*head, 0);
        const std::string_view type = std::string_view(*head).substr(4, 4);
        const std::uint64_t end = pos + 12 + length;
        if (end > size)
            return std::nullopt;
        if (units == 0) {
            if (type != "IHDR")
                return std::nullopt;
            // Right after the header: found again without walking the image data.
            layout.insertAt = end;
        } else if (type == "IDAT" || type == "IEND") {
            return layout;
        } else if (type == "tEXt" && !layout.mark) {
            readMarkPayload(file, pos + 8, length, layout, {pos, end});
        }
        pos = end;
    }
    return std::nullopt;
}

/// The VP8X chunk that describes a simple file's one image, or none for a bitstream
/// whose header is not understood.
std::optional<std::string> vp8xFor(std::string_view fourcc, std::string_view data) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool alpha = false;
    if (fourcc == "VP8 ") {
        if (data.size() < 10 || data.substr(3, 3) != "\x9d\x01\x2a")
            return std::nullopt;
        width = (std::uint8_t(data[6]) | (std::uint32_t(std::uint8_t(data[7])) << 8)) & 0x3fff;
        height = (std::uint8_t(data[8]) | (std::uint32_t(std::uint8_t(data[9])) << 8)) & 0x3fff;
    } else {
        if (data.size() < 5 || std::uint8_t(data[0]) != 0x2f)
            return std::nullopt;
        const std::uint32_t bits = le32(data, 1);
        width = (bits & 0x3fff) + 1;
        height = ((bits >> 14) & 0x3fff) + 1;
        alpha = (bits >> 28) & 1;
    }
    if (width == 0 || height == 0)
        return std::nullopt;
    std::string chunk = "VP8X";
    putLe(chunk, 10, 4);
    chunk += char(alpha ? 0x10 : 0x00);
    chunk.append(3, '\0');
    putLe(chunk, width - 1, 3);
    putLe(chunk, height - 1, 3);
    return chunk;
}

std::optional<OutputMarkLayout> webpLayout(ReadableFile& file, std::uint64_t size) {
    OutputMarkLayout layout = emptyLayout(MarkContainer::webp, size);
    const auto header = readAt(file, 0, 12);
    if (!header)
        return std::nullopt;
    // Bytes past the container's end would end up inside it after the new chunk.
    if (8 + std::uint64_t(le32(*header, 4)) != size)
        return std::nullopt;
    std::uint64_t pos = 12;
    for (int units = 0; pos < size; ++units) {
        if (units >= maximumUnits)
            return std::nullopt;
        const auto head = readAt(file, pos, 8);
        if (!head)
            return std::nullopt;
        const std::string_view fourcc = std::string_view(*head).substr(0, 4);
        const std::uint64_t length = le32(*head, 4);
        const std::uint64_t end = pos + 8 + length + (length & 1);
        if (end > size)
            return std::nullopt;
        if (units == 0 && fourcc != "VP8X") {
            if (fourcc != "VP8 " && fourcc != "VP8L")
                return std::nullopt;
            const auto data =
                readAt(file, pos + 8, std::size_t(std::min<std::uint64_t>(length, 10)));
            auto vp8x = data ? vp8xFor(fourcc, *data) : std::nullopt;
            if (!vp8x)
                return std::nullopt;
            layout.vp8xChunk = std::move(*vp8x);
        }
        if (fourcc == webpChunk && !layout.mark) {
            readMarkPayload(file, pos + 8, length, layout, {pos, end});
        }
        pos = end;
    }
    layout.insertAt = size;
    return layout;
}

std::optional<OutputMarkLayout> isobmffLayout(ReadableFile& file, std::uint64_t size) {
    OutputMarkLayout layout = emptyLayout(MarkContainer::isobmff, size);
    std::uint64_t pos = 0;
    for (int units = 0; pos < size; ++units) {
        if (units >= maximumUnits)
            return std::nullopt;
        const auto head = readAt(file, pos, std::size_t(std::min<std::uint64_t>(size - pos, 24)));
        if (!head || head->size() < 8)
            return std::nullopt;
        std::uint64_t length = be32(*head, 0);
        std::uint64_t headerBytes = 8;
        if (length == 1) {
            if (head->size() < 16)
                return std::nullopt;
            length = (std::uint64_t(be32(*head, 8)) << 32) | be32(*head, 12);
            headerBytes = 16;
        }
        // A box running to the end of the file (size 0) leaves no room after it.
        if (length < headerBytes || pos + length > size)
            return std::nullopt;
        const std::string_view type = std::string_view(*head).substr(4, 4);
        if (units == 0 && type != "ftyp")
            return std::nullopt;
        if (type == "uuid" && headerBytes == 8 && length >= 24 && !layout.mark &&
            std::memcmp(head->data() + 8, boxUuid.data(), boxUuid.size()) == 0) {
            readMarkPayload(file, pos + 24, length - 24, layout, {pos, pos + length});
        }
        pos += length;
    }
    layout.insertAt = size;
    return layout;
}

} // namespace

std::optional<OutputMarkLayout> outputMarkLayout(ReadableFile& file) {
    const std::uint64_t size = file.size();
    if (size < 12)
        return std::nullopt;
    const auto magic = readAt(file, 0, 12);
    if (!magic)
        return std::nullopt;
    const std::string_view m = *magic;
    if (m.substr(0, 3) == "\xFF\xD8\xFF")
        return jpegLayout(file, size);
    if (m.substr(0, 8) == "\x89PNG\r\n\x1a\n")
        return pngLayout(file, size);
    if (m.substr(0, 4) == "RIFF" && m.substr(8, 4) == "WEBP")
        return webpLayout(file, size);
    if (m.substr(4, 4) == "ftyp")
        return isobmffLayout(file, size);
    return std::nullopt;
}

/// The container unit holding `body`.
std::string outputMarkUnit(MarkContainer container, std::string_view body) {
    std::string payload(keyword);
    payload += '\0';
    payload += body;
    std::string unit;
    switch (container) {
    case MarkContainer::jpeg:
        unit = "\xFF\xFE";
        putBe(unit, payload.size() + 2, 2);
        unit += payload;
        break;
    case MarkContainer::png: {
        putBe(unit, payload.size(), 4);
        const std::string typed = "tEXt" + payload;
        unit += typed;
        putBe(unit, ::crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size())),
              4);
        break;
    }
    case MarkContainer::webp:
        unit = webpChunk;
        putLe(unit, payload.size(), 4);
        unit += payload;
        if (payload.size() & 1)
            unit += '\0';
        break;
    case MarkContainer::isobmff:
        putBe(unit, 24 + payload.size(), 4);
        unit += "uuid";
        unit.append(reinterpret_cast<const char*>(boxUuid.data()), boxUuid.size());
        unit += payload;
        break;
    }
    return unit;
}

} // namespace velk
