#include "engine/ImagePlan.h"

#include <string_view>
#include <utility>

#include "core/FileError.h"
#include "core/Text.h"
#include "engine/ImageSafetyError.h"
#include "platform/ImageStructure.h"
#include "platform/PosixFileSystem.h"

namespace velk {

namespace {

namespace fs = std::filesystem;

/// The content decides; the extension is only a fallback for a decoder that names no type.
std::optional<ImageFormat> detectedSourceFormat(const fs::path& source,
                                                const ImageProperties& properties) {
    if (auto format = imageFormatFromTypeIdentifier(properties.typeIdentifier))
        return format;
    std::string extension = source.extension().string();
    if (extension.empty())
        return std::nullopt;
    return imageFormatFromExtension(std::string_view(extension).substr(1));
}

ImageFormat automaticTarget(ImageFormat source, bool sourceHasAlpha,
                            const FormatWritability& canWrite, const ImageCodec& codec) {
    if (canWrite(source))
        return source;
    if (isNativeWritable(ImageFormat::avif, codec))
        return ImageFormat::avif;
    return sourceHasAlpha ? ImageFormat::png : ImageFormat::jpeg;
}

/// What the container says beyond the decoder's view: an APNG's frames, a HEIF image
/// sequence, a PNG chunk that would unpack past safe bounds in every tool given the file.
void refuseUnsafeStructure(ReadableFile& file) {
    if (const std::optional<PngStructure> png = pngStructure(file)) {
        if (png->oversizedChunk)
            throw ImageSafetyError::oversizedMetadata(*png->oversizedChunk);
        if (png->pictureCount > 1)
            throw ImageSafetyError::multiplePictures(png->pictureCount);
    } else if (heifHasImageSequence(file)) {
        throw ImageSafetyError::multiplePictures(std::nullopt);
    }
}

ColorSpace workingColorSpace(const std::optional<ColorSpace>& own) {
    if (own && own->model == ColorModel::rgb)
        return *own;
    return ColorSpace::sRGB();
}

} // namespace

bool hasAlpha(AlphaInfo alphaInfo) {
    switch (alphaInfo) {
    case AlphaInfo::premultipliedLast:
    case AlphaInfo::premultipliedFirst:
    case AlphaInfo::last:
    case AlphaInfo::first:
    case AlphaInfo::only:
        return true;
    case AlphaInfo::none:
    case AlphaInfo::noneSkipLast:
    case AlphaInfo::noneSkipFirst:
        return false;
    }
    return false;
}

std::optional<std::string> iccDataForEncoding(const std::optional<ColorSpace>& colorSpace) {
    if (!colorSpace || colorSpace->model != ColorModel::rgb)
        return std::nullopt;
    if (colorSpace->name && asciiLowercase(*colorSpace->name).find("srgb") != std::string::npos) {
        return std::nullopt;
    }
    return colorSpace->iccData;
}

std::optional<ImageFormat> predictedTargetFormat(const fs::path& source, FormatStrategy strategy,
                                                 const FormatWritability& canWrite,
                                                 const ImageCodec& codec) {
    if (auto explicitTarget = targetFormat(strategy))
        return explicitTarget;
    const std::optional<ImageProperties> properties = codec.readProperties(source);
    if (!properties)
        return std::nullopt;
    const std::optional<ImageFormat> sourceFormat = detectedSourceFormat(source, *properties);
    if (!sourceFormat)
        return std::nullopt;
    // The header's alpha flag stands in for the decoded raster's: the codec reports both
    // from the same band layout, so the name predicted is the name written.
    return automaticTarget(*sourceFormat, properties->hasAlpha, canWrite, codec);
}

ImagePlanner::ImagePlanner(const ImageCodec& codec, FormatWritability canWrite,
                           const FileReader& reader)
    : codec_(codec), canWrite_(std::move(canWrite)), reader_(reader) {}

ImagePlan ImagePlanner::makePlan(const fs::path& source, FormatStrategy strategy) const {
    // Before the codec opens it: a profile bomb must not reach the decoder either, and a
    // sequence the decoder cannot read would otherwise pass for a damaged file.
    std::unique_ptr<ReadableFile> file;
    try {
        file = reader_.openForReading(source);
    } catch (const FileSystemError&) {
        // Gone, or not a regular file: what the codec would have found unreadable.
        throw FileError(FileError::Kind::readCorruptFile, source);
    }
    refuseUnsafeStructure(*file);
    file.reset();
    const std::optional<ImageProperties> properties = codec_.readProperties(source);
    if (!properties)
        throw FileError(FileError::Kind::readCorruptFile, source);
    // Before any decode, on the stored size: a decompression bomb must never get its
    // raster allocated.
    validatedDecodedRasterByteCount(properties->width, properties->height);
    // Nothing below sees more than the first frame: an animation or a set of images
    // would be replaced by a still of it. And oversized metadata would be unpacked in
    // full by every tool the file is handed to.
    if (properties->pictureCount > 1)
        throw ImageSafetyError::multiplePictures(properties->pictureCount);

    std::shared_ptr<const Raster> image = createDisplayOrientedImage(source, *properties);
    if (!image)
        throw FileError(FileError::Kind::readCorruptFile, source);
    // The file may have been replaced since its header was read; what reaches the
    // encoders must be within the limits too.
    validatedDecodedRasterByteCount(image->width(), image->height());

    const std::optional<ImageFormat> sourceFormat = detectedSourceFormat(source, *properties);
    if (!sourceFormat)
        throw FileError(FileError::Kind::readUnsupportedScheme, source);

    ImagePlan plan;
    plan.source = *sourceFormat;
    if (auto explicitTarget = targetFormat(strategy)) {
        // Used even when we cannot write it: the encoder's failure then tells the user why.
        plan.target = *explicitTarget;
    } else {
        plan.target = automaticTarget(plan.source, hasAlpha(image->alphaInfo()), canWrite_, codec_);
    }
    const std::optional<ColorSpace> own = image->colorSpace();
    plan.colorSpace = workingColorSpace(own);
    // From the raster's own space, not the working one: an untagged or grey source must
    // not gain an sRGB profile it never had.
    plan.iccData = iccDataForEncoding(own);
    plan.image = std::move(image);
    return plan;
}

std::shared_ptr<const Raster>
ImagePlanner::createDisplayOrientedImage(const fs::path& source,
                                         const ImageProperties& properties) const {
    if (properties.orientation && *properties.orientation != 1) {
        if (auto upright = codec_.decodeUpright(source))
            return upright;
    }
    return codec_.decode(source);
}

} // namespace velk
