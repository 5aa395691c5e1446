#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "model/FormatStrategy.h"
#include "model/ImageFormat.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"
#include "platform/PosixFileSystem.h"

namespace velk {

/// Whether the engine can produce a format right now (EngineCapabilities::canWrite in
/// the service; anything in tests).
using FormatWritability = std::function<bool(ImageFormat)>;

/// Everything the encoders need about one source, decoded once.
struct ImagePlan {
    ImageFormat source = ImageFormat::jpeg;
    ImageFormat target = ImageFormat::jpeg;
    /// First frame, already in display orientation. Never null in a plan from makePlan.
    std::shared_ptr<const Raster> image;
    /// The space the raster is rendered into for outside encoders.
    ColorSpace colorSpace;
    /// The profile outside encoders and PNG outputs must embed; none for sRGB, non-RGB
    /// or untagged sources.
    std::optional<std::string> iccData;
};

/// True for the layouts that carry alpha: premultiplied first/last, first/last, alpha only.
bool hasAlpha(AlphaInfo alphaInfo);

/// The profile to embed for a raster in `colorSpace`: none without a colour space, for a
/// non-RGB model, for a name containing "srgb" in any letter case (what decoders assume
/// anyway), or when the space has no ICC bytes.
std::optional<std::string> iccDataForEncoding(const std::optional<ColorSpace>& colorSpace);

/// The output format processing will write for `source`, decided by the same rule as
/// ImagePlanner::makePlan, so the output name can be chosen before decoding. Explicit
/// strategies need no file access; `automatic` reads the header only. None when the
/// header cannot be read or names no supported format (makePlan would fail then too).
std::optional<ImageFormat> predictedTargetFormat(const std::filesystem::path& source,
                                                 FormatStrategy strategy,
                                                 const FormatWritability& canWrite,
                                                 const ImageCodec& codec);

/// Turns a source file into an ImagePlan, refusing oversized images before decoding.
class ImagePlanner {
public:
    /// `reader` reads the container before the codec does.
    ImagePlanner(const ImageCodec& codec, FormatWritability canWrite,
                 const FileReader& reader = systemFileSystem());

    /// Throws ImageSafetyError for invalid or oversized dimensions (checked on the stored
    /// size, before any pixel is decoded), for more than one frame or image and for
    /// metadata that unpacks past safe bounds, FileError readCorruptFile for an unreadable or
    /// undecodable file and readUnsupportedScheme when neither the content nor the
    /// extension names a format we handle. Writes nothing.
    ImagePlan makePlan(const std::filesystem::path& source, FormatStrategy strategy) const;

    /// The first frame turned upright when the header carries an orientation other than
    /// 1; the frame as stored when turning fails. Null when the file cannot be decoded.
    std::shared_ptr<const Raster>
    createDisplayOrientedImage(const std::filesystem::path& source,
                               const ImageProperties& properties) const;

private:
    const ImageCodec& codec_;
    FormatWritability canWrite_;
    const FileReader& reader_;
};

} // namespace velk
