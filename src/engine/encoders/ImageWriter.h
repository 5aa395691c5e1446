#pragma once

#include <filesystem>

#include "engine/ImagePlan.h"
#include "model/AppConfig.h"
#include "model/ImageFormat.h"
#include "model/QualitySettings.h"
#include "platform/PosixFileSystem.h"

namespace velk {

class EngineControl;
class ImageCodec;
class Raster;

/// Writes a plan's output: the single entry point processing uses, dispatching on the
/// target format to one writer per format. Runs on the engine's work queue.
class ImageWriter {
public:
    /// `outputDecodedAfterwards`: the caller decodes the written file before using it,
    /// so a JPEG or WebP tool's lone candidate is not decoded twice. The encoders' scratch
    /// files are examined and read through `fs`.
    ImageWriter(const ImageCodec& codec, EngineControl& control, FileSystem& fs,
                bool outputDecodedAfterwards = false);
    /// As above, through the system's file system.
    ImageWriter(const ImageCodec& codec, EngineControl& control,
                bool outputDecodedAfterwards = false);

    /// Writes the output for `plan` at `destination`, replacing what is there, with the
    /// preset's and qualities' settings from `config`. Throws FolderCompressorControlError
    /// cancelled (when a stop was requested before the write, during an outside tool, or
    /// during a platform-encoder write, whose file is then left for the caller to
    /// discard), FileError writeUnsupportedScheme / writeUnknown, ImageSafetyError, or
    /// FileSystemError when the PNG source cannot be copied. Takes the plan: its raster
    /// is let go as soon as nothing needs it any more, before the outputs are checked.
    void writeImage(const std::filesystem::path& source, const std::filesystem::path& destination,
                    ImagePlan plan, const AppConfig& config) const;

    /// One raster through the codec's own encoder, with the format's quality / 100 (PNG:
    /// none). A JPEG of a raster with alpha comes out flattened on white. Carries the
    /// raster's colour profile and no other metadata. Throws FileError
    /// writeUnsupportedScheme when the codec cannot write the format, writeUnknown when
    /// encoding fails.
    void writeImageWithImageIO(const std::filesystem::path& destination, const Raster& image,
                               ImageFormat format, const QualitySettings& qualities) const;

private:
    void writeJpeg(const std::filesystem::path& destination, ImagePlan plan,
                   const QualitySettings& qualities) const;
    void writePng(const std::filesystem::path& source, const std::filesystem::path& destination,
                  ImagePlan plan, int quality) const;

    const ImageCodec& codec_;
    EngineControl& control_;
    FileSystem& fs_;
    bool outputDecodedAfterwards_;
};

} // namespace velk
