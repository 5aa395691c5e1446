#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace velk::test {

/// A PNG chunk: its type and its data.
using PngChunk = std::pair<std::string, std::string>;

/// Files no saver writes, put together chunk by chunk from the ones TestImages makes:
/// animations and hostile metadata.
class CraftedImages {
public:
    /// A zlib stream that inflates to `mebibytes` MiB of zero bytes, made in
    /// milliseconds however large (one flushed block of a MiB, repeated).
    static std::string zerosStream(std::uint64_t mebibytes);
    /// A zlib stream of `bytes`, compressed as usual.
    static std::string compressed(const std::string& bytes);

    /// Inserts `chunks` into the PNG at `png` right after its IHDR.
    static void insertPngChunks(const std::filesystem::path& png,
                                const std::vector<PngChunk>& chunks);
    /// Turns the still PNG at `png` into an APNG of `frames` frames, each showing its
    /// image. With `defaultImageIsFrame` false the image data before the animation is
    /// only what viewers without APNG support show, and `frames` follow it.
    static void animatePng(const std::filesystem::path& png, int frames,
                           bool defaultImageIsFrame = true);
    /// Appends an ISO box of `type` holding `payload` to the file at `path`.
    static void appendBox(const std::filesystem::path& path, const std::string& type,
                          const std::string& payload = {});
};

} // namespace velk::test
