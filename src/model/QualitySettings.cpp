#include "model/QualitySettings.h"

namespace velk {

int QualitySettings::forFormat(ImageFormat format) const {
    switch (format) {
    case ImageFormat::jpeg:
        return jpeg;
    case ImageFormat::png:
        return png;
    case ImageFormat::webp:
        return webp;
    case ImageFormat::avif:
        return avif;
    case ImageFormat::heic:
        return heic;
    }
    return jpeg;
}

} // namespace velk
