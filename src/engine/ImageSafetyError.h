#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/Error.h"

namespace velk {

/// A source refused before decoding: its dimensions are not positive, its decoded
/// raster would be too large, it holds more pictures than the first frame an encoder
/// sees, or its metadata would unpack past safe bounds in every tool that reads it.
class ImageSafetyError : public Error {
public:
    enum class Kind {
        resourceLimitExceeded,
        invalidDimensions,
        multiplePictures,
        oversizedMetadata
    };

    static ImageSafetyError resourceLimitExceeded(std::int64_t width, std::int64_t height);
    static ImageSafetyError invalidDimensions();
    /// An animation or a container of several images: re-encoded, it would become a
    /// still of its first frame.
    /// `count` when the file says how many (a sequence's frames are not counted).
    static ImageSafetyError multiplePictures(std::optional<std::int64_t> count);
    /// `chunkType` is the PNG chunk ("iCCP", "zTXt", "iTXt").
    static ImageSafetyError oversizedMetadata(const std::string& chunkType);

    Kind kind() const noexcept { return kind_; }
    /// The refused dimensions; zero for the other kinds.
    std::int64_t width() const noexcept { return width_; }
    std::int64_t height() const noexcept { return height_; }

    std::string description(AppLanguage language) const override;

private:
    ImageSafetyError(Kind kind, std::int64_t width, std::int64_t height, std::string detail = {});

    Kind kind_;
    std::int64_t width_;
    std::int64_t height_;
    /// The picture count or the chunk type, for the two kinds that have one.
    std::string detail_;
};

/// width × height × 4, the bytes of the decoded 8-bit RGBA raster. Throws
/// ImageSafetyError when a side is below 1 or the raster exceeds the decode limits.
std::int64_t validatedDecodedRasterByteCount(std::int64_t width, std::int64_t height);

} // namespace velk
