#pragma once

#include <cstddef>
#include <exception>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "engine/encoders/ExternalTools.h"
#include "engine/encoders/ToolEncoding.h"

namespace velk {

class EngineControl;
class ImageCodec;
class Raster;
struct ColorSpace;

/// Writes the raster as the uncompressed input of an outside encoder: binary PPM over
/// opaque white, or, with `preserveAlpha`, a PAM with straight alpha. The raster is
/// rendered into `colorSpace` first. Any file at `destination` is replaced; the new
/// one is private to this user and flushed to disk before returning.
///
/// Throws ImageSafetyError (before anything is rendered or allocated), FileError
/// writeUnknown (render or create failed), FileSystemError (write or flush failed) or
/// FolderCompressorControlError cancelled. On any failure no file is left behind.
void writePNMImage(EngineControl& control, const ImageCodec& codec,
                   const std::filesystem::path& destination, const Raster& image,
                   bool preserveAlpha, const ColorSpace& colorSpace);

/// The same bytes writePNMImage writes, handed to `sink` in order, a band of rows at a
/// time, without any file. Throws as writePNMImage does (less the file errors), and
/// whatever `sink` throws.
void streamPNMImage(EngineControl& control, const ImageCodec& codec, const Raster& image,
                    bool preserveAlpha, const ColorSpace& colorSpace,
                    const std::function<void(const std::uint8_t*, std::size_t)>& sink);

/// A raster as an outside encoder's standard input (see runTool): the PNM
/// streamPNMImage makes, afresh for each run. Holds references to all it is given.
class RasterInput {
public:
    RasterInput(const EncoderContext& context, const Raster& image, bool preserveAlpha,
                const ColorSpace& colorSpace)
        : context_(context), image_(image), preserveAlpha_(preserveAlpha),
          colorSpace_(colorSpace) {}

    ToolInput input();
    /// A raster that could not be made is the file's failure, not one tool run's: raises
    /// it again, when that is what ended the last run.
    void rethrowFailure() const;

private:
    const EncoderContext& context_;
    const Raster& image_;
    bool preserveAlpha_;
    const ColorSpace& colorSpace_;
    std::exception_ptr failure_;
};

} // namespace velk
