#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <vips/vips8>

namespace velk {

enum class HeifCodec { av1, hevc };

/// What the encoder is told besides the quality; chosen by measurement (bench/avif.sh).
struct HeifEncoderSettings {
    /// Name and value pairs for heif_encoder_set_parameter, in order.
    std::vector<std::pair<std::string, std::string>> parameters;
};

/// The settings for an image of `width` pixels on a machine with `cores` processors.
HeifEncoderSettings heifEncoderSettings(HeifCodec codec, int quality, std::int64_t width,
                                        unsigned cores);

/// Encodes an RGB or RGBA image, cast to 8 bits, to an AVIF or HEIC file in memory, with the
/// image's ICC profile, when it has one, as its only colour description. Throws std::runtime_error
/// with libheif's message on failure.
/// The pixels are copied into libheif's image first, and `image` is cleared before the
/// encoder starts (VImage copies share the pixels and has no move, hence the reference): a
/// caller that hands over its only way to them frees them for the encoder's frames.
std::string encodeHeif(vips::VImage&& image, HeifCodec codec, int quality);

} // namespace velk
