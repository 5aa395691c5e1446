#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace velk {

/// Profile bytes one APP2 "ICC_PROFILE" segment can carry: the 65,535-byte segment limit
/// minus the length field and the 14-byte identifier, sequence number and count.
inline constexpr std::size_t iccBytesPerJpegSegment = 65'519;

/// `jpeg` with `iccData` inserted as APP2 "ICC_PROFILE\0" segments (sequence numbers from
/// 1, then the count) right after SOI and a JFIF APP0 when there is one: the layout
/// libjpeg's own -icc option writes. Throws FileError readCorruptFile when `jpeg` does
/// not start with SOI or its APP0 runs past the end, writeUnknown when the profile is
/// empty or needs more than 255 segments.
std::string jpegWithICCProfile(std::string_view jpeg, std::string_view iccData);

/// Rewrites the file (atomically) with the profile inserted, reading it through `reader`.
/// Throws FileError as jpegWithICCProfile, or FileSystemError when the file cannot be read
/// or replaced; the file is unchanged after any failure.
void insertICCProfileIntoJPEG(const FileReader& reader, const std::filesystem::path& file,
                              std::string_view iccData);
/// As above, reading through the system's file system.
void insertICCProfileIntoJPEG(const std::filesystem::path& file, std::string_view iccData);

} // namespace velk
