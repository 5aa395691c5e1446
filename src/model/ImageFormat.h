#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

class ImageCodec;

enum class ImageFormat { jpeg, png, webp, avif, heic };

inline constexpr std::array<ImageFormat, 5> allImageFormats = {
    ImageFormat::jpeg, ImageFormat::png, ImageFormat::webp, ImageFormat::avif, ImageFormat::heic};

/// "jpg", "png", "webp", "avif", "heic".
std::string_view fileExtension(ImageFormat format);
/// "public.jpeg", "public.png", "org.webmproject.webp", "public.avif", "public.heic".
std::string_view typeIdentifierOf(ImageFormat format);

/// Any letter case, without the dot; "jpeg" and "heif" are accepted as aliases.
std::optional<ImageFormat> imageFormatFromExtension(std::string_view extension);
/// As a decoder reports it: the JPEG and PNG identifiers match exactly, the others by a
/// case-sensitive substring, so vendor variants such as "public.heif" are recognised.
/// None when the decoder reported no identifier.
std::optional<ImageFormat>
imageFormatFromTypeIdentifier(std::optional<std::string_view> identifier);

/// Asks the codec afresh: encoders can be present on one machine and missing on another.
bool isNativeWritable(ImageFormat format, const ImageCodec& codec);

} // namespace velk
