#include "engine/OutputMark.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/Constants.h"
#include "core/Uuid.h"
#include "engine/OutputMarkLayout.h"
#include "platform/ExtendedAttributes.h"
#include "platform/PosixFileSystem.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view bodyPrefix = "1 sha256=";
constexpr std::string_view sourcePrefix = " source=";
constexpr std::string_view settingsPrefix = " settings=";
constexpr std::string_view noSource = "-";
constexpr std::size_t digestHexLength = 64;
constexpr std::size_t copyBlock = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::error_code lastError() {
    return {errno ? errno : EIO, std::generic_category()};
}

/// Never through a symbolic link: a link under an output's name is not an output.
std::unique_ptr<ReadableFile> openForReading(const FileSystem& fs, const fs::path& path) {
    const auto attributes = fs.attributes(path);
    if (!attributes || !attributes->isRegularFile)
        throw FileSystemError("read", path, std::make_error_code(std::errc::invalid_argument));
    return fs.openForReading(path);
}

/// The byte ranges the digest leaves out, in order.
std::vector<ByteRange> excludedRanges(const std::optional<OutputMarkLayout>& layout) {
    std::vector<ByteRange> ranges;
    if (!layout)
        return ranges;
    if (layout->container == MarkContainer::webp)
        ranges.push_back({4, 8});
    if (layout->mark)
        ranges.push_back(*layout->mark);
    return ranges;
}

/// Throws FileSystemError when the file cannot be read.
Sha256::Digest digestOf(ReadableFile& file, const std::optional<OutputMarkLayout>& layout) {
    const std::vector<ByteRange> excluded = excludedRanges(layout);
    Sha256 hash;
    const std::uint64_t size = file.size();
    std::vector<char> block(std::size_t(std::clamp<std::uint64_t>(size, 1, copyBlock)));
    std::uint64_t pos = 0;
    for (;;) {
        const std::size_t count = file.readAt(pos, block.data(), block.size());
        if (count == 0)
            break;
        std::uint64_t from = pos;
        const std::uint64_t to = pos + count;
        for (const ByteRange& range : excluded) {
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

void copyRange(ReadableFile& from, std::FILE* to, ByteRange range, const fs::path& source,
               const fs::path& target) {
    std::vector<char> block(
        std::size_t(std::min<std::uint64_t>(range.end - range.begin, copyBlock)));
    for (std::uint64_t left = range.end - range.begin; left > 0;) {
        const std::size_t want = std::size_t(std::min<std::uint64_t>(left, block.size()));
        if (from.readAt(range.end - left, block.data(), want) != want) {
            // The file shrank under us: what is missing cannot be copied.
            throw FileSystemError("read", source, std::make_error_code(std::errc::io_error));
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
void copyWithout(ReadableFile& source, std::FILE* target, ByteRange range,
                 const std::optional<ByteRange>& old, const fs::path& sourcePath,
                 const fs::path& targetPath) {
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
void writeMarked(ReadableFile& source, const OutputMarkLayout& layout, std::string_view placeholder,
                 const fs::path& file, const fs::path& scratch, std::FILE* target) {
    const std::string unit = outputMarkUnit(layout.container, placeholder);
    const std::optional<ByteRange>& old = layout.mark;
    const std::uint64_t oldBytes = old ? old->end - old->begin : 0;
    if (layout.container == MarkContainer::webp) {
        const std::uint64_t riffSize =
            layout.size - 8 - oldBytes + layout.vp8xChunk.size() + unit.size();
        std::string header = "RIFF";
        for (int i = 0; i < 4; ++i)
            header += char((riffSize >> (8 * i)) & 0xff);
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
    const std::unique_ptr<ReadableFile> source = openForReading(fs, file);
    const std::optional<OutputMarkLayout> layout = outputMarkLayout(*source);
    if (!layout) {
        // No room we trust inside the file: the attribute alone carries the mark.
        writeExtendedAttribute(file, outputMarkAttribute,
                               bodyFor(settingsKey, digestOf(*source, std::nullopt), sourceDigest));
        return;
    }
    const fs::path scratch =
        file.parent_path() / ("." + Uuid::random().toString() + std::string(tempFileMarker));
    ScratchRemover remover{fs, scratch};
    {
        // "x": never through a name someone else planted.
        const File target(std::fopen(scratch.c_str(), "wbx"));
        if (!target)
            throw FileSystemError("create", scratch, lastError());
        writeMarked(*source, *layout, bodyFor(settingsKey, Sha256::Digest{}, sourceDigest), file,
                    scratch, target.get());
        if (std::fflush(target.get()) != 0)
            throw FileSystemError("write", scratch, lastError());

        // The digest covers the file as it now stands, so it is read back rather than
        // predicted; the mark then takes its final text at the same length.
        const std::unique_ptr<ReadableFile> written = fs.openForReading(scratch);
        const auto marked = outputMarkLayout(*written);
        if (!marked || !marked->mark)
            throw FileSystemError("read", scratch, std::make_error_code(std::errc::io_error));
        const std::string body = bodyFor(settingsKey, digestOf(*written, marked), sourceDigest);
        if (::fseeko(target.get(), static_cast<off_t>(marked->mark->begin), SEEK_SET) != 0) {
            throw FileSystemError("write", scratch, lastError());
        }
        write(target.get(), outputMarkUnit(layout->container, body), scratch);
        if (std::fflush(target.get()) != 0)
            throw FileSystemError("write", scratch, lastError());
        writeExtendedAttribute(scratch, outputMarkAttribute, body);
    }
    std::error_code error;
    fs::permissions(scratch, fs::status(file, error).permissions(), error);
    fs.replace(scratch, file);
    remover.committed = true;
}

std::optional<OutputMark> readOutputMark(const FileSystem& fs, const fs::path& file) {
    try {
        const std::unique_ptr<ReadableFile> source = openForReading(fs, file);
        if (const auto layout = outputMarkLayout(*source); layout && layout->mark)
            return parseBody(layout->body);
    } catch (const FileSystemError&) {
        return std::nullopt;
    }
    const auto attribute = readExtendedAttribute(file, outputMarkAttribute);
    return attribute ? parseBody(*attribute) : std::nullopt;
}

std::optional<Sha256::Digest> unmarkedDigest(const FileSystem& fs, const fs::path& file) {
    try {
        const std::unique_ptr<ReadableFile> source = openForReading(fs, file);
        return digestOf(*source, outputMarkLayout(*source));
    } catch (const FileSystemError&) {
        return std::nullopt;
    }
}

bool carriesValidOutputMark(const FileSystem& fs, const fs::path& file) {
    const auto mark = readOutputMark(fs, file);
    return mark && unmarkedDigest(fs, file) == mark->digest;
}

bool isMarkedOutput(const FileSystem& fs, const fs::path& file, std::string_view settingsKey) {
    const auto mark = readOutputMark(fs, file);
    return mark && mark->settingsKey == settingsKey && unmarkedDigest(fs, file) == mark->digest;
}

bool isMarkedOutputOf(const FileSystem& fs, const fs::path& output,
                      const Sha256::Digest& sourceDigest) {
    const auto mark = readOutputMark(fs, output);
    return mark && mark->sourceDigest == sourceDigest && unmarkedDigest(fs, output) == mark->digest;
}

std::optional<OutputMark> readOutputMark(const fs::path& file) {
    return readOutputMark(systemFileSystem(), file);
}

std::optional<Sha256::Digest> unmarkedDigest(const fs::path& file) {
    return unmarkedDigest(systemFileSystem(), file);
}

bool carriesValidOutputMark(const fs::path& file) {
    return carriesValidOutputMark(systemFileSystem(), file);
}

bool isMarkedOutput(const fs::path& file, std::string_view settingsKey) {
    return isMarkedOutput(systemFileSystem(), file, settingsKey);
}

bool isMarkedOutputOf(const fs::path& output, const Sha256::Digest& sourceDigest) {
    return isMarkedOutputOf(systemFileSystem(), output, sourceDigest);
}

} // namespace velk
