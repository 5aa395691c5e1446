#include "engine/EngineCapabilities.h"

#include "engine/encoders/ExternalTools.h"
#include "platform/ImageCodec.h"

namespace velk {

EngineCapabilities::EngineCapabilities(const ImageCodec& codec) : codec_(codec) {}

bool EngineCapabilities::canWrite(ImageFormat format) const {
    // WebP outputs are made only by the outside tool, so the codec's own WebP saver
    // does not count.
    if (format == ImageFormat::webp)
        return toolURL("cwebp").has_value();
    return isNativeWritable(format, codec_);
}

} // namespace velk
