#include "engine/encoders/ImageWriter.h"

#include "core/FileError.h"
#include "engine/EngineControl.h"
#include "engine/encoders/ExternalTools.h"
#include "engine/encoders/JpegEncoder.h"
#include "engine/encoders/PngOptimizer.h"
#include "engine/encoders/ToolEncoding.h"
#include "engine/encoders/WebpEncoder.h"
#include "platform/ImageCodec.h"

namespace velk {

namespace {

namespace fs = std::filesystem;

const Raster& planImage(const ImagePlan& plan) {
    if (!plan.image)
        throw FileError(FileError::Kind::writeUnknown);
    return *plan.image;
}

} // namespace

ImageWriter::ImageWriter(const ImageCodec& codec, EngineControl& control, FileSystem& fs,
                         bool outputDecodedAfterwards)
    : codec_(codec), control_(control), fs_(fs), outputDecodedAfterwards_(outputDecodedAfterwards) {
}

ImageWriter::ImageWriter(const ImageCodec& codec, EngineControl& control,
                         bool outputDecodedAfterwards)
    : ImageWriter(codec, control, systemFileSystem(), outputDecodedAfterwards) {}

void ImageWriter::writeImage(const fs::path& source, const fs::path& destination, ImagePlan plan,
                             const AppConfig& config) const {
    control_.checkpoint();
    switch (plan.target) {
    case ImageFormat::jpeg:
        writeJpeg(destination, std::move(plan), config.qualities);
        break;
    case ImageFormat::png:
        writePng(source, destination, std::move(plan), config.qualities.png);
        break;
    case ImageFormat::webp:
        writeWebPImage({control_, codec_, fs_, outputDecodedAfterwards_}, destination,
                       std::move(plan), config.preset, config.qualities.webp);
        break;
    case ImageFormat::avif:
    case ImageFormat::heic: {
        const std::string_view type = typeIdentifierOf(plan.target);
        if (!codec_.canWrite(type))
            throw FileError(FileError::Kind::writeUnsupportedScheme);
        planImage(plan);
        // Handed over: the codec lets go of the raster once the encoder has its copy.
        if (!codec_.encodeTaking(std::move(plan.image), destination, type,
                                 config.qualities.forFormat(plan.target) / 100.0))
            throw FileError(FileError::Kind::writeUnknown);
        break;
    }
    }
    // The codec cannot be interrupted, so a stop requested while it ran is honoured
    // here; the caller discards the finished file.
    control_.checkpoint();
}

void ImageWriter::writeImageWithImageIO(const fs::path& destination, const Raster& image,
                                        ImageFormat format,
                                        const QualitySettings& qualities) const {
    const std::string_view type = typeIdentifierOf(format);
    if (!codec_.canWrite(type))
        throw FileError(FileError::Kind::writeUnsupportedScheme);
    // Not clamped: what an out-of-range value means is the codec's affair.
    std::optional<double> quality;
    if (format != ImageFormat::png)
        quality = qualities.forFormat(format) / 100.0;
    // The codec flattens alpha on white itself when saving JPEG.
    if (!codec_.encode(image, destination, type, quality)) {
        throw FileError(FileError::Kind::writeUnknown);
    }
}

void ImageWriter::writeJpeg(const fs::path& destination, ImagePlan plan,
                            const QualitySettings& qualities) const {
    if (toolURL("cjpeg")) {
        writeJPEGImage({control_, codec_, fs_, outputDecodedAfterwards_}, destination,
                       std::move(plan), qualities.jpeg);
        return;
    }
    writeImageWithImageIO(destination, planImage(plan), ImageFormat::jpeg, qualities);
}

void ImageWriter::writePng(const fs::path& source, const fs::path& destination, ImagePlan plan,
                           int quality) const {
    writePNGImage({control_, codec_, fs_}, destination, plan.iccData, quality,
                  [&](const fs::path& base) {
                      // A PNG source is already lossless: its own bytes are the starting
                      // point, metadata and all, rather than a re-encode that could only
                      // lose chunks.
                      if (plan.source == ImageFormat::png)
                          copyScratchFile(source, base);
                      else
                          writeImageWithImageIO(base, planImage(plan), ImageFormat::png, {});
                      // The tools and the checks work from the base file from here on.
                      plan.image.reset();
                  });
}

} // namespace velk
