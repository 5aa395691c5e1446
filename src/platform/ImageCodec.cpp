#include "platform/ImageCodec.h"

#include <algorithm>

#include "platform/IccProfiles.h"

namespace velk {

ColorSpace ColorSpace::sRGB() {
    ColorSpace space;
    space.model = ColorModel::rgb;
    space.name = "sRGB";
    if (const std::string& profile = icc::srgbProfile(); !profile.empty())
        space.iccData = profile;
    return space;
}

bool ImageCodec::canWrite(std::string_view typeIdentifier) const {
    const std::vector<std::string> writable = writableTypeIdentifiers();
    return std::find(writable.begin(), writable.end(), typeIdentifier) != writable.end();
}

bool ImageCodec::renderBands(const Raster& raster, const ColorSpace& space, Background background,
                             const BandSink& sink) const {
    const std::optional<RgbaBitmap> bitmap = render(raster, space, background);
    if (!bitmap)
        return false;
    sink(BitmapBand{bitmap->width, bitmap->height, bitmap->pixels, bitmap->channels});
    return true;
}

bool ImageCodec::encodeTaking(std::shared_ptr<const Raster> raster,
                              const std::filesystem::path& destination,
                              std::string_view typeIdentifier,
                              std::optional<double> quality) const {
    return raster && encode(*raster, destination, typeIdentifier, quality);
}

bool ImageCodec::canDecode(const std::filesystem::path& file) const {
    return decode(file) != nullptr;
}

} // namespace velk
