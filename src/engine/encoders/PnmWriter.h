#pragma once

#include <filesystem>

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

} // namespace velk
