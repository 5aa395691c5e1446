#include "engine/encoders/ToolEncoding.h"

#include <algorithm>
#include <system_error>

#include "core/AtomicWrite.h"
#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "core/Uuid.h"
#include "engine/Validation.h"
#include "platform/FileSystem.h"

namespace velk {

namespace fs = std::filesystem;

fs::path scratchURL(const fs::path& directory, const fs::path& base, std::string_view role,
                    std::string_view extension) {
    // Built from the native bytes: a base that is not UTF-8 must survive unchanged.
    std::string name = ".";
    name += base.native();
    name += tempFileMarker;
    name += '-';
    name += role;
    name += '-';
    name += Uuid::random().toString();
    name += '.';
    name += extension;
    return directory / name;
}

fs::path scratchBaseName(const fs::path& destination) {
    // The destination is itself a scratch name that holds the source's; nesting it whole
    // would push a long name past the file system's limit.
    constexpr std::size_t baseBytes = 48;
    return std::string(truncatedToBytes(destination.stem().native(), baseBytes));
}

int clampedToolQuality(int quality) {
    return std::clamp(quality, 0, 100);
}

void writeProfileFile(const fs::path& file, std::string_view iccData) {
    if (const std::error_code error = writeFileAtomically(file, iccData))
        throw FileSystemError("write", file, error);
}

void copyScratchFile(const fs::path& from, const fs::path& to) {
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (error)
        throw FileSystemError("copy to", to, error);
}

void dropCandidate(const fs::path& candidate, const std::exception& reason) noexcept {
    std::error_code ignored;
    fs::remove(candidate, ignored);
    try {
        NativeLog::debug("Dropped candidate " + displayPath(candidate) + ": " + reason.what());
    } catch (...) {
        // Losing one log line is no reason to end the program.
    }
}

void checkCandidate(const EncoderContext& context, const fs::path& candidate,
                    std::size_t candidateCount) {
    if (context.outputDecodedAfterwards && candidateCount == 1) {
        validateTemporaryFile(context.fs, candidate);
        return;
    }
    validateEncodedImage(context.fs, context.codec, candidate);
}

} // namespace velk
