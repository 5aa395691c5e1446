#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/FileSystem.h"

namespace velk {

/// How far the compressed ancillary chunks of a PNG may unpack before the file counts as
/// hostile. Real ICC profiles are tens of kilobytes (a few hundred for the largest
/// printer profiles) and real text chunks rarely reach a hundred; every tool that reads
/// the file unpacks them in full, so a chunk past these is refused, not read.
struct PngChunkLimits {
    std::uint64_t profileBytes = std::uint64_t{4} << 20;
    std::uint64_t textBytes = std::uint64_t{512} << 10;
    /// All compressed chunks together: many chunks just under their own limit.
    std::uint64_t totalBytes = std::uint64_t{8} << 20;
};

/// What a PNG's chunk layout says beyond its header.
struct PngStructure {
    /// The pictures a viewer can show: the frames of an APNG (acTL before the image data),
    /// plus its default image when that is not one of them; 1 for a still.
    std::int64_t pictureCount = 1;
    /// The type ("iCCP", "zTXt", "iTXt") of the first compressed chunk that unpacks past
    /// its limit, or of the one that takes the chunks together past theirs.
    std::optional<std::string> oversizedChunk;
};

/// Walks the chunks of a PNG to its end (or to IEND), skipping the image data and
/// unpacking each compressed ancillary chunk into a small buffer only until its limit is
/// passed, so that no bomb is ever unpacked in full. None when the file does not start
/// with the PNG signature; a damaged chunk ends the walk (the decoder judges the rest).
/// Throws FileSystemError when a read fails.
std::optional<PngStructure> pngStructure(ReadableFile& file, const PngChunkLimits& limits = {});

/// Whether a HEIF file (AVIF, HEIC) holds an image sequence: a top-level "moov" box or a
/// sequence brand in "ftyp" ("avis", "msf1", "hevs"). Decoders that read only the still
/// items show the first frame of such a file. Throws FileSystemError when a read fails.
bool heifHasImageSequence(ReadableFile& file);

} // namespace velk
