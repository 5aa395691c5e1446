#pragma once

#include <filesystem>
#include <vector>

#include "model/ImageFormat.h"
#include "model/OriginalPolicy.h"
#include "platform/FileSystem.h"

namespace velk {

/// Where a source's output goes: the source itself when it is replaced in the same
/// format; otherwise the source's stem (plus "_velkcompressed" when the source is kept)
/// with the target's extension, beside the source.
std::filesystem::path outputPathFor(const std::filesystem::path& source, ImageFormat sourceFormat,
                                    ImageFormat target, OriginalPolicy policy);

/// Every name a beside-output of `source` can have, one per supported extension, in the
/// order jpg, jpeg, png, webp, avif, heic, heif.
std::vector<std::filesystem::path> besideOutputCandidates(const std::filesystem::path& source);

/// True only with policy keep, for an existing, non-empty output that is not the source
/// and is at least as new as the source.
bool existingOutputIsFresh(const FileSystem& fs, OriginalPolicy policy,
                           const std::filesystem::path& source,
                           const std::filesystem::path& output);

} // namespace velk
