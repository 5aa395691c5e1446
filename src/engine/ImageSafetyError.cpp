#include "engine/ImageSafetyError.h"

#include <string>

#include "core/Constants.h"

namespace velk {

namespace {

std::string describe(ImageSafetyError::Kind kind, std::int64_t width, std::int64_t height) {
    switch (kind) {
    case ImageSafetyError::Kind::resourceLimitExceeded:
        return "The image is too large to process safely (" + std::to_string(width) + "\u00D7" +
               std::to_string(height) + ").";
    case ImageSafetyError::Kind::invalidDimensions:
        return "The image has invalid dimensions.";
    }
    return "The image cannot be processed.";
}

} // namespace

ImageSafetyError::ImageSafetyError(Kind kind, std::int64_t width, std::int64_t height)
    : Error(describe(kind, width, height)), kind_(kind), width_(width), height_(height) {}

std::string ImageSafetyError::description(AppLanguage language) const {
    if (kind_ == Kind::invalidDimensions)
        return text(language, "У изображения недопустимые размеры. Файл пропущен.",
                    "The image has invalid dimensions. Skipped.");
    const std::string size = std::to_string(width_) + "\u00D7" + std::to_string(height_);
    return text(language,
                "Изображение слишком большое для безопасной обработки (" + size +
                    "). Файл пропущен.",
                "The image is too large to process safely (" + size + "). Skipped.");
}

ImageSafetyError ImageSafetyError::resourceLimitExceeded(std::int64_t width, std::int64_t height) {
    return ImageSafetyError(Kind::resourceLimitExceeded, width, height);
}

ImageSafetyError ImageSafetyError::invalidDimensions() {
    return ImageSafetyError(Kind::invalidDimensions, 0, 0);
}

std::int64_t validatedDecodedRasterByteCount(std::int64_t width, std::int64_t height) {
    if (width < 1 || height < 1)
        throw ImageSafetyError::invalidDimensions();
    std::int64_t pixels = 0;
    std::int64_t bytes = 0;
    if (__builtin_mul_overflow(width, height, &pixels) ||
        __builtin_mul_overflow(pixels, 4, &bytes) || pixels > maximumDecodedPixelCount ||
        bytes > maximumDecodedRasterBytes) {
        throw ImageSafetyError::resourceLimitExceeded(width, height);
    }
    return bytes;
}

} // namespace velk
