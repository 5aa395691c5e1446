#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Constants.h"
#include "core/Error.h"

namespace velk {

class EngineControl;

/// The bundle's "Contents/Resources" folder when this executable sits in
/// ".../Contents/MacOS/"; none when it runs outside a bundle. Not checked for existence.
std::optional<std::filesystem::path> bundleResourcesDirectory();

/// Whether the executable can run on this processor (ELF machine, or a "#!" script
/// whose interpreter can).
bool executableSupportsCurrentArchitecture(const std::filesystem::path& executable);

/// The first usable executable called `name`, looked for in VELK_TOOL_DIR (when set and
/// not empty), the bundle's resources "bin" folder, /opt/homebrew/bin, /usr/local/bin
/// and /usr/bin. Asked afresh on every call, so a tool installed or removed while the
/// service runs is noticed. `name` must be a plain file name.
std::optional<std::filesystem::path> toolURL(std::string_view name);

/// An outside tool ran past its time limit and was stopped; what() is the sentence the
/// user sees. Unlike other failures of a tool it ends the whole file, not one candidate:
/// a tool that hangs on this image would hang on the next candidate too.
class ToolTimeLimitError : public Error {
public:
    ToolTimeLimitError(const std::filesystem::path& tool, double seconds);
};

/// Seconds one tool run may take on an image of `pixels` pixels.
double toolTimeLimitFor(std::int64_t pixels, double base = toolTimeLimitBase,
                        double perMegapixel = toolTimeLimitPerMegapixel);

/// Runs the tool to completion, registered as the engine's active process so a stop can
/// terminate it; past the control's tool time limit it is stopped (SIGTERM, then
/// SIGKILL). Throws FolderCompressorControlError (cancelled, whatever the exit status),
/// ToolTimeLimitError, FileError writeUnknown (non-zero exit) or ChildProcessError
/// (launch failure). Nothing is launched when a stop is already requested.
void runTool(EngineControl& control, const std::filesystem::path& tool,
             const std::vector<std::string>& arguments);

} // namespace velk
