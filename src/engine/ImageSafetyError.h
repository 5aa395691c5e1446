#pragma once

#include <cstdint>

#include "core/Error.h"

namespace velk {

/// A source refused before decoding: its dimensions are not positive, or its decoded
/// raster would be too large.
class ImageSafetyError : public Error {
public:
    enum class Kind { resourceLimitExceeded, invalidDimensions };

    static ImageSafetyError resourceLimitExceeded(std::int64_t width, std::int64_t height);
    static ImageSafetyError invalidDimensions();

    Kind kind() const noexcept { return kind_; }
    /// The refused dimensions; zero for invalidDimensions.
    std::int64_t width() const noexcept { return width_; }
    std::int64_t height() const noexcept { return height_; }

    std::string description(AppLanguage language) const override;

private:
    ImageSafetyError(Kind kind, std::int64_t width, std::int64_t height);

    Kind kind_;
    std::int64_t width_;
    std::int64_t height_;
};

/// width × height × 4, the bytes of the decoded 8-bit RGBA raster. Throws
/// ImageSafetyError when a side is below 1 or the raster exceeds the decode limits.
std::int64_t validatedDecodedRasterByteCount(std::int64_t width, std::int64_t height);

} // namespace velk
