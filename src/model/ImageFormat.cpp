#include "model/ImageFormat.h"

#include "core/Text.h"
#include "model/RawValueTable.h"
#include "platform/ImageCodec.h"

namespace velk {

namespace {
struct FormatRow {
    ImageFormat value;
    std::string_view extension;
    std::string_view typeIdentifier;
};

constexpr std::array<FormatRow, 5> formatTable = {{
    {ImageFormat::jpeg, "jpg", typeIdentifier::jpeg},
    {ImageFormat::png, "png", typeIdentifier::png},
    {ImageFormat::webp, "webp", typeIdentifier::webp},
    {ImageFormat::avif, "avif", typeIdentifier::avif},
    {ImageFormat::heic, "heic", typeIdentifier::heic},
}};

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}
} // namespace

std::string_view fileExtension(ImageFormat format) {
    return rowFor(formatTable, format).extension;
}

std::string_view typeIdentifierOf(ImageFormat format) {
    return rowFor(formatTable, format).typeIdentifier;
}

std::optional<ImageFormat> imageFormatFromExtension(std::string_view extension) {
    const std::string lower = asciiLowercase(extension);
    if (lower == "jpg" || lower == "jpeg")
        return ImageFormat::jpeg;
    if (lower == "png")
        return ImageFormat::png;
    if (lower == "webp")
        return ImageFormat::webp;
    if (lower == "avif")
        return ImageFormat::avif;
    if (lower == "heic" || lower == "heif")
        return ImageFormat::heic;
    return std::nullopt;
}

std::optional<ImageFormat> imageFormatFromTypeIdentifier(std::optional<std::string_view> optional) {
    if (!optional)
        return std::nullopt;
    const std::string_view identifier = *optional;
    if (identifier == typeIdentifier::jpeg)
        return ImageFormat::jpeg;
    if (identifier == typeIdentifier::png)
        return ImageFormat::png;
    if (contains(identifier, "webp"))
        return ImageFormat::webp;
    if (contains(identifier, "avif"))
        return ImageFormat::avif;
    if (contains(identifier, "heic") || contains(identifier, "heif"))
        return ImageFormat::heic;
    return std::nullopt;
}

bool isNativeWritable(ImageFormat format, const ImageCodec& codec) {
    return codec.canWrite(typeIdentifierOf(format));
}

} // namespace velk
