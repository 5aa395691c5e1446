#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velk::test {

struct BundleFields {
    std::string identifier = "com.velk.compressor";
    std::string version = "2.0.0";
    std::string executable = "VelkCompressor";
};

/// Writes a bundle folder at `bundle` whose program is a shell script appending its version
/// to the file named by $VELK_TEST_MARKER.
void makeBundle(const std::filesystem::path& bundle, const BundleFields& fields);

/// One entry of a hand-made archive; `linkTarget` makes it a symbolic link, `hardlink` a hard
/// link, `type` (an AE_IF* value) anything else.
struct ArchiveEntry {
    std::string name;
    std::string contents = {};
    std::string linkTarget = {};
    std::string hardlink = {};
    unsigned type = 0100000;
    unsigned permissions = 0; // 0: 0755 for folders, 0644 for the rest
};

/// Writes a gzip-compressed tar archive of `entries`.
void writeArchive(const std::filesystem::path& archive, const std::vector<ArchiveEntry>& entries);

/// Writes a gzip-compressed tar archive holding the folder `top` (under its own name) with
/// everything below it, links kept as links.
void packFolder(const std::filesystem::path& archive, const std::filesystem::path& top);

/// The version written into the marker file, or an empty text after a few seconds without one.
std::string awaitMarker(const std::filesystem::path& marker);

} // namespace velk::test
