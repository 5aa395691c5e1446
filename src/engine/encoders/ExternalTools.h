#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Constants.h"
#include "core/Error.h"

namespace velk {

class ChildProcess;
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

/// An outside tool ran past its time limit and was stopped. Unlike other failures of a
/// tool it ends the whole file, not one candidate: a tool that hangs on this image would
/// hang on the next candidate too.
class ToolTimeLimitError : public Error {
public:
    ToolTimeLimitError(const std::filesystem::path& tool, double seconds);
    std::string description(AppLanguage language) const override;

private:
    std::filesystem::path tool_;
    long seconds_;
};

/// Seconds one tool run may take on an image of `pixels` pixels.
double toolTimeLimitFor(std::int64_t pixels, double base = toolTimeLimitBase,
                        double perMegapixel = toolTimeLimitPerMegapixel);

/// A run that was ended, or never started, because its group was abandoned.
class ToolGroupAbandonedError : public Error {
public:
    ToolGroupAbandonedError();
    std::string description(AppLanguage language) const override;
};

/// The tools one file runs side by side. When one of them fails in a way that ends the
/// whole file (a time limit), the others' results are of no use: abandon() ends every
/// tool of the group that still runs and keeps new ones from starting, without touching
/// the engine's other work. Thread-safe.
class ToolGroup {
public:
    ToolGroup() = default;
    ToolGroup(const ToolGroup&) = delete;
    ToolGroup& operator=(const ToolGroup&) = delete;

    void abandon();
    bool abandoned() const;
    /// Throws ToolGroupAbandonedError once the group is abandoned.
    void checkpoint() const;

    /// Adds a tool just launched; returns whether the group was abandoned meanwhile.
    bool add(std::shared_ptr<ChildProcess> process);
    void remove(const ChildProcess* process);

private:
    mutable std::mutex mutex_;
    bool abandoned_ = false;
    std::vector<std::shared_ptr<ChildProcess>> processes_;
};

/// Runs the tool to completion, registered as the engine's active process so a stop can
/// terminate it (and in `group`, when given, so a sibling's failure can); past the
/// control's tool time limit it is stopped (SIGTERM, then SIGKILL). Throws
/// FolderCompressorControlError (cancelled, whatever the exit status),
/// ToolTimeLimitError, ToolGroupAbandonedError, FileError writeUnknown (non-zero exit)
/// or ChildProcessError (launch failure). Nothing is launched when a stop is already
/// requested or the group abandoned.
void runTool(EngineControl& control, const std::filesystem::path& tool,
             const std::vector<std::string>& arguments, ToolGroup* group = nullptr);

} // namespace velk
