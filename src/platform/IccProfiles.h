#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk::icc {

/// lcms2's built-in sRGB profile as ICC bytes, made once. Thread-safe.
const std::string& srgbProfile();

/// True when the profile is colorimetrically sRGB: an RGB profile whose colorants are
/// sRGB's D50 values and whose tone curves follow the sRGB curve. Descriptions are not
/// trusted ("Artifex Software sRGB ICC Profile", or a Display P3 called "sP3C").
bool isSrgb(std::string_view profile);

/// The profile's description tag, or none when unreadable or empty.
std::optional<std::string> description(std::string_view profile);

/// The colour channels of pixels handed to a transform.
enum class Channels { grey, rgb, cmyk };

/// Interleaved pixels: colour channels first, then an optional alpha; 1 or 2 bytes per
/// sample (native byte order for 2), rows packed without padding.
struct PixelBuffer {
    const std::uint8_t* data = nullptr;
    std::int64_t width = 0;
    std::int64_t height = 0;
    Channels channels = Channels::rgb;
    int bytesPerSample = 1;
    bool alpha = false;
};

/// Whether `profile` opens in lcms2 and describes pixels of `channels`.
bool profileMatches(std::string_view profile, Channels channels);

/// Converts `source` from `sourceProfile` (none: sRGB, or grey with the sRGB tone curve)
/// into 8-bit RGBA in the RGB profile `targetProfile`, writing width×height×4 bytes to
/// `out` (not premultiplied; alpha copied, or 255 without one). False when a profile
/// cannot be used or no transform can be made.
bool transformToRgba8(const PixelBuffer& source, const std::optional<std::string>& sourceProfile,
                      std::string_view targetProfile, std::uint8_t* out);

} // namespace velk::icc
