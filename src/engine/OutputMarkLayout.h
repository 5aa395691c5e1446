#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace velk {

/// The file families a mark can live in.
enum class MarkContainer { jpeg, png, webp, isobmff };

struct ByteRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

/// Where things are in a file the mark can live in.
struct OutputMarkLayout {
    MarkContainer container{};
    std::uint64_t size = 0;
    /// An existing mark unit and its body.
    std::optional<ByteRange> mark;
    std::string body;
    /// Where a new mark unit goes, in the file's own offsets.
    std::uint64_t insertAt = 0;
    /// A simple (VP8/VP8L-only) WebP must become an extended one to carry another chunk.
    std::string vp8xChunk;
};

/// The layout of the open file, or none when it is none of the four containers or not
/// sound enough to insert into (a structure that runs past its end, a box or container
/// size that leaves no room after it). Throws FileSystemError when the file cannot be read.
std::optional<OutputMarkLayout> outputMarkLayout(ReadableFile& file);

/// The unit (JPEG segment, PNG or WebP chunk, ISO box) that carries `body` in `container`.
std::string outputMarkUnit(MarkContainer container, std::string_view body);

} // namespace velk
