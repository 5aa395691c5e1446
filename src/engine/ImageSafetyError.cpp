#include "engine/ImageSafetyError.h"

#include <string>
#include <utility>

#include "core/Constants.h"

namespace velk {

namespace {

bool isProfile(const std::string& chunkType) {
    return chunkType == "iCCP";
}

std::string describe(ImageSafetyError::Kind kind, std::int64_t width, std::int64_t height,
                     const std::string& detail) {
    switch (kind) {
    case ImageSafetyError::Kind::multiplePictures:
        return "The file holds " + (detail.empty() ? "more than one" : detail) +
               " frames or images; animated and multi-image files are kept as they are.";
    case ImageSafetyError::Kind::oversizedMetadata:
        return "The PNG's " + detail +
               " chunk unpacks past its safe size; the file is kept as it is.";
    case ImageSafetyError::Kind::resourceLimitExceeded:
        return "The image is too large to process safely (" + std::to_string(width) + "\u00D7" +
               std::to_string(height) + ").";
    case ImageSafetyError::Kind::invalidDimensions:
        return "The image has invalid dimensions.";
    }
    return "The image cannot be processed.";
}

} // namespace

ImageSafetyError::ImageSafetyError(Kind kind, std::int64_t width, std::int64_t height,
                                   std::string detail)
    : Error(describe(kind, width, height, detail)), kind_(kind), width_(width), height_(height),
      detail_(std::move(detail)) {}

std::string ImageSafetyError::description(AppLanguage language) const {
    if (kind_ == Kind::multiplePictures)
        return text(language, "Анимированные и многокадровые файлы остаются как есть.",
                    "Animated and multi-image files are kept as they are.");
    if (kind_ == Kind::oversizedMetadata && isProfile(detail_))
        return text(language,
                    "Встроенный цветовой профиль слишком велик для безопасной распаковки. "
                    "Файл оставлен как есть.",
                    "The embedded colour profile is too large to unpack safely. The file is "
                    "kept as it is.");
    if (kind_ == Kind::oversizedMetadata)
        return text(language,
                    "Встроенный текст (" + detail_ +
                        ") слишком велик для безопасной распаковки. Файл оставлен как есть.",
                    "The embedded text (" + detail_ +
                        ") is too large to unpack safely. The file is kept as it is.");
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

ImageSafetyError ImageSafetyError::multiplePictures(std::optional<std::int64_t> count) {
    return ImageSafetyError(Kind::multiplePictures, 0, 0, count ? std::to_string(*count) : "");
}

ImageSafetyError ImageSafetyError::oversizedMetadata(const std::string& chunkType) {
    return ImageSafetyError(Kind::oversizedMetadata, 0, 0, chunkType);
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
