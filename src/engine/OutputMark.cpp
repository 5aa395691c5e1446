#include "engine/OutputMark.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/Constants.h"
#include "core/Uuid.h"
#include "platform/ExtendedAttributes.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

// Every container carries the same payload: keyword, NUL, body. The keyword doubles as
// the PNG text chunk's keyword, so the mark reads naturally in metadata viewers.
constexpr std::string_view keyword = "velk-output-mark";
constexpr std::string_view bodyPrefix = "1 sha256=";
constexpr std::string_view sourcePrefix = " source=";
constexpr std::string_view settingsPrefix = " settings=";
constexpr std::string_view noSource = "-";
constexpr std::size_t digestHexLength = 64;
// Marks are about two hundred bytes; a unit far larger is someone else's.
constexpr std::uint64_t maximumPayload = 4096;
constexpr std::string_view webpChunk = "VELK";
// The extended type of our ISO base media box (a random UUID, fixed for good).
constexpr std::array<unsigned char, 16> boxUuid = {0x6b, 0x1f, 0x3a, 0x52, 0x9c, 0x0e, 0x4d, 0x47,
                                                   0xa1, 0x58, 0x2d, 0xe4, 0x70, 0x93, 0xbc, 0x16};
constexpr std::size_t copyBlock = 1 << 20;
constexpr int maximumUnits = 100'000;

enum class Container { jpeg, png, webp, isobmff };

struct Range {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

/// Where things are in a file the mark can live in.
struct Layout {
    Container container{};
    std::uint64_t size = 0;
    /// An existing mark unit and its body.
    std::optional<Range> mark;
    std::string body;
    /// Where a new mark unit goes, in the file's own offsets.
    std::uint64_t insertAt = 0;
    /// A simple (VP8/VP8L-only) WebP must become an extended one to carry another chunk.
    std::string vp8xChunk;
};

Layout emptyLayout(Container container, std::uint64_t size) {
    Layout layout;
    layout.container = container;
    layout.size = size;
    return layout;
}

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::error_code lastError() {
    return {errno ? errno : EIO, std::generic_category()};
}

/// Opens regular files only: a FIFO planted under an output's name would block the queue.
File openForReading(const fs::path& path) {
    std::error_code error;
    if (fs::symlink_status(path, error).type() != fs::file_type::regular)
        return nullptr;
    return File(std::fopen(path.c_str(), "rb"));
}

std::optional<std::string> readAt(std::FILE* file, std::uint64_t offset, std::size_t count) {
    if (::fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0)
        return std::nullopt;
    std::string bytes(count, '\0');
    if (count > 0 && std::fread(bytes.data(), 1, count, file) != count)
        return std::nullopt;
    return bytes;
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
bool readMarkPayload(std::FILE* file, std::uint64_t offset, std::uint64_t count, Layout& layout,
                     Range unit) {
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

std::optional<Layout> jpegLayout(std::FILE* file, std::uint64_t size) {
    Layout layout = emptyLayout(Container::jpeg, size);
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

std::optional<Layout> pngLayout(std::FILE* file, std::uint64_t size) {
    Layout layout = emptyLayout(Container::png, size);
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

std::optional<Layout> webpLayout(std::FILE* file, std::uint64_t size) {
    Layout layout = emptyLayout(Container::webp, size);
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

std::optional<Layout> isobmffLayout(std::FILE* file, std::uint64_t size) {
    Layout layout = emptyLayout(Container::isobmff, size);
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

std::optional<Layout> layoutOf(std::FILE* file) {
    if (::fseeko(file, 0, SEEK_END) != 0)
        return std::nullopt;
    const off_t end = ::ftello(file);
    if (end < 12)
        return std::nullopt;
    const auto size = std::uint64_t(end);
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

/// The byte ranges the digest leaves out, in order.
std::vector<Range> excludedRanges(const std::optional<Layout>& layout) {
    std::vector<Range> ranges;
    if (!layout)
        return ranges;
    if (layout->container == Container::webp)
        ranges.push_back({4, 8});
    if (layout->mark)
        ranges.push_back(*layout->mark);
    return ranges;
}

std::optional<Sha256::Digest> digestOf(std::FILE* file, const std::optional<Layout>& layout) {
    const std::vector<Range> excluded = excludedRanges(layout);
    Sha256 hash;
    const off_t size = ::fseeko(file, 0, SEEK_END) == 0 ? ::ftello(file) : -1;
    if (size < 0 || ::fseeko(file, 0, SEEK_SET) != 0)
        return std::nullopt;
    std::vector<char> block(std::size_t(std::clamp<off_t>(size, 1, copyBlock)));
    std::uint64_t pos = 0;
    for (;;) {
        const std::size_t count = std::fread(block.data(), 1, block.size(), file);
        if (count == 0)
            break;
        std::uint64_t from = pos;
        const std::uint64_t to = pos + count;
        for (const Range& range : excluded) {
            if (range.end <= from || range.begin >= to)
                continue;
            if (range.begin > from)
                hash.update(block.data() + (from - pos), range.begin - from);
            from = std::min(range.end, to);
        }
        if (from < to)
            hash.update(block.data() + (from - pos), to - from);
        pos = to;
    }
    if (std::ferror(file))
        return std::nullopt;
    return hash.finish();
}

std::string hex(const Sha256::Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string bodyFor(std::string_view settingsKey, const Sha256::Digest& digest,
                    const std::optional<Sha256::Digest>& sourceDigest) {
    return std::string(bodyPrefix) + hex(digest) + std::string(sourcePrefix) +
           (sourceDigest ? hex(*sourceDigest) : std::string(noSource)) +
           std::string(settingsPrefix) + std::string(settingsKey);
}

std::optional<Sha256::Digest> parseDigest(std::string_view text) {
    if (text.size() != digestHexLength)
        return std::nullopt;
    Sha256::Digest digest{};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (value < 0)
            return std::nullopt;
        digest[i / 2] = std::uint8_t(digest[i / 2] * 16 + value);
    }
    return digest;
}

/// "1 sha256=<hex> source=<hex or -> settings=<key>".
std::optional<OutputMark> parseBody(std::string_view body) {
    if (body.substr(0, bodyPrefix.size()) != bodyPrefix)
        return std::nullopt;
    body.remove_prefix(bodyPrefix.size());
    OutputMark mark;
    const auto digest = parseDigest(body.substr(0, digestHexLength));
    if (!digest)
        return std::nullopt;
    mark.digest = *digest;
    body.remove_prefix(digestHexLength);
    if (body.substr(0, sourcePrefix.size()) != sourcePrefix)
        return std::nullopt;
    body.remove_prefix(sourcePrefix.size());
    const auto end = body.find(settingsPrefix);
    if (end == std::string_view::npos)
        return std::nullopt;
    if (body.substr(0, end) != noSource) {
        mark.sourceDigest = parseDigest(body.substr(0, end));
        if (!mark.sourceDigest)
            return std::nullopt;
    }
    mark.settingsKey = std::string(body.substr(end + settingsPrefix.size()));
    return mark;
}

/// The container unit holding `body`.
std::string markUnit(Container container, std::string_view body) {
    std::string payload(keyword);
    payload += '\0';
    payload += body;
    std::string unit;
    switch (container) {
    case Container::jpeg:
        unit = "\xFF\xFE";
        putBe(unit, payload.size() + 2, 2);
        unit += payload;
        break;
    case Container::png: {
        putBe(unit, payload.size(), 4);
        const std::string typed = "tEXt" + payload;
        unit += typed;
        putBe(unit, ::crc32(0, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size())),
              4);
        break;
    }
    case Container::webp:
        unit = webpChunk;
        putLe(unit, payload.size(), 4);
        unit += payload;
        if (payload.size() & 1)
            unit += '\0';
        break;
    case Container::isobmff:
        putBe(unit, 24 + payload.size(), 4);
        unit += "uuid";
        unit.append(reinterpret_cast<const char*>(boxUuid.data()), boxUuid.size());
        unit += payload;
        break;
    }
    return unit;
}

void copyRange(std::FILE* from, std::FILE* to, Range range, const fs::path& source,
               const fs::path& target) {
    if (::fseeko(from, static_cast<off_t>(range.begin), SEEK_SET) != 0) {
        throw FileSystemError("read", source, lastError());
    }
    std::vector<char> block(
        std::size_t(std::min<std::uint64_t>(range.end - range.begin, copyBlock)));
    for (std::uint64_t left = range.end - range.begin; left > 0;) {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(left, block.size()));
        if (std::fread(block.data(), 1, want, from) != want) {
            throw FileSystemError("read", source, lastError());
        }
        if (std::fwrite(block.data(), 1, want, to) != want) {
            throw FileSystemError("write", target, lastError());
        }
        left -= want;
    }
}

void write(std::FILE* to, std::string_view bytes, const fs::path& target) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), to) != bytes.size()) {
        throw FileSystemError("write", target, lastError());
    }
}

/// Copies [from, to) of the source without the old mark unit.
void copyWithout(std::FILE* source, std::FILE* target, Range range, const std::optional<Range>& old,
                 const fs::path& sourcePath, const fs::path& targetPath) {
    if (old && old->begin < range.end && old->end > range.begin) {
        if (old->begin > range.begin)
            copyRange(source, target, {range.begin, old->begin}, sourcePath, targetPath);
        if (old->end < range.end)
            copyRange(source, target, {old->end, range.end}, sourcePath, targetPath);
    } else if (range.begin < range.end) {
        copyRange(source, target, range, sourcePath, targetPath);
    }
}

/// Removes the scratch file unless it was renamed into place.
struct ScratchRemover {
    FileSystem& fs;
    fs::path path;
    bool committed = false;
    ~ScratchRemover() {
        if (committed)
            return;
        try {
            fs.remove(path);
        } catch (...) {
        }
    }
};

/// Writes `file` with a placeholder mark of the final length into `scratch`.
void writeMarked(std::FILE* source, const Layout& layout, std::string_view placeholder,
                 const fs::path& file, const fs::path& scratch, std::FILE* target) {
    const std::string unit = markUnit(layout.container, placeholder);
    const std::optional<Range>& old = layout.mark;
    const std::uint64_t oldBytes = old ? old->end - old->begin : 0;
    if (layout.container == Container::webp) {
        const std::uint64_t riffSize =
            layout.size - 8 - oldBytes + layout.vp8xChunk.size() + unit.size();
        std::string header = "RIFF";
        putLe(header, riffSize, 4);
        header += "WEBP";
        write(target, header, scratch);
        write(target, layout.vp8xChunk, scratch);
        copyWithout(source, target, {12, layout.size}, old, file, scratch);
        write(target, unit, scratch);
        return;
    }
    copyWithout(source, target, {0, layout.insertAt}, old, file, scratch);
    write(target, unit, scratch);
    copyWithout(source, target, {layout.insertAt, layout.size}, old, file, scratch);
}

} // namespace

void stampOutputMark(FileSystem& fs, const fs::path& file, std::string_view settingsKey,
                     const std::optional<Sha256::Digest>& sourceDigest) {
    std::optional<Layout> layout;
    {
        const File source = openForReading(file);
        if (!source)
            throw FileSystemError("read", file, lastError());
        layout = layoutOf(source.get());
        if (!layout) {
            // No room we trust inside the file: the attribute alone carries the mark.
            const auto digest = digestOf(source.get(), std::nullopt);
            if (!digest)
                throw FileSystemError("read", file, lastError());
            writeExtendedAttribute(file, outputMarkAttribute,
                                   bodyFor(settingsKey, *digest, sourceDigest));
            return;
        }
        const fs::path scratch =
            file.parent_path() / ("." + Uuid::random().toString() + std::string(tempFileMarker));
        ScratchRemover remover{fs, scratch};
        {
            // "x": never through a name someone else planted.
            const File target(std::fopen(scratch.c_str(), "w+bx"));
            if (!target)
                throw FileSystemError("create", scratch, lastError());
            writeMarked(source.get(), *layout, bodyFor(settingsKey, Sha256::Digest{}, sourceDigest),
                        file, scratch, target.get());
            if (std::fflush(target.get()) != 0)
                throw FileSystemError("write", scratch, lastError());

            // The digest covers the file as it now stands, so it is read back rather than
            // predicted; the mark then takes its final text at the same length.
            const auto marked = layoutOf(target.get());
            const auto digest =
                marked && marked->mark ? digestOf(target.get(), marked) : std::nullopt;
            if (!digest)
                throw FileSystemError("read", scratch, std::make_error_code(std::errc::io_error));
            const std::string body = bodyFor(settingsKey, *digest, sourceDigest);
            if (::fseeko(target.get(), static_cast<off_t>(marked->mark->begin), SEEK_SET) != 0) {
                throw FileSystemError("write", scratch, lastError());
            }
            write(target.get(), markUnit(layout->container, body), scratch);
            if (std::fflush(target.get()) != 0)
                throw FileSystemError("write", scratch, lastError());
            writeExtendedAttribute(scratch, outputMarkAttribute, body);
        }
        std::error_code error;
        fs::permissions(scratch, fs::status(file, error).permissions(), error);
        fs.replace(scratch, file);
        remover.committed = true;
    }
}

std::optional<OutputMark> readOutputMark(const fs::path& file) {
    if (const File source = openForReading(file)) {
        if (const auto layout = layoutOf(source.get()); layout && layout->mark) {
            return parseBody(layout->body);
        }
    } else {
        return std::nullopt;
    }
    const auto attribute = readExtendedAttribute(file, outputMarkAttribute);
    return attribute ? parseBody(*attribute) : std::nullopt;
}

std::optional<Sha256::Digest> unmarkedDigest(const fs::path& file) {
    const File source = openForReading(file);
    if (!source)
        return std::nullopt;
    return digestOf(source.get(), layoutOf(source.get()));
}

bool carriesValidOutputMark(const fs::path& file) {
    const auto mark = readOutputMark(file);
    return mark && unmarkedDigest(file) == mark->digest;
}

bool isMarkedOutput(const fs::path& file, std::string_view settingsKey) {
    const auto mark = readOutputMark(file);
    return mark && mark->settingsKey == settingsKey && unmarkedDigest(file) == mark->digest;
}

bool isMarkedOutputOf(const fs::path& output, const Sha256::Digest& sourceDigest) {
    const auto mark = readOutputMark(output);
    return mark && mark->sourceDigest == sourceDigest && unmarkedDigest(output) == mark->digest;
}

} // namespace velk
