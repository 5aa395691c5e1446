#pragma once

#include "model/ImageFormat.h"

namespace velk {

class ImageCodec;

/// What this machine lets the engine write. Asked afresh on every call, so an encoder
/// or tool installed or removed while the service runs counts at once.
class EngineCapabilities {
public:
    explicit EngineCapabilities(const ImageCodec& codec);

    /// WebP needs the outside "cwebp" tool; every other format the codec's own encoder.
    bool canWrite(ImageFormat format) const;

private:
    const ImageCodec& codec_;
};

} // namespace velk
