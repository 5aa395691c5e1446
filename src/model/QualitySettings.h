#pragma once

#include "model/ImageFormat.h"

namespace velk {

/// Per-format quality on the encoders' 0–100 scale. Deliberately not clamped: the
/// encoders decide what a value means, and a stored value must survive a round trip.
struct QualitySettings {
    int jpeg = 0;
    int png = 0;
    int webp = 0;
    int avif = 0;
    int heic = 0;

    int forFormat(ImageFormat format) const;
    bool operator==(const QualitySettings&) const = default;
};

} // namespace velk
