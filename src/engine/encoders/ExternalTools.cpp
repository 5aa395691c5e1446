#include "engine/encoders/ExternalTools.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <system_error>

#include "core/FileError.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/EngineControl.h"
#include "platform/ChildProcess.h"
#include "platform/ExecutableCheck.h"

namespace velk {

namespace {

constexpr std::array<std::string_view, 3> fixedToolDirectories = {"/opt/homebrew/bin",
                                                                  "/usr/local/bin", "/usr/bin"};

std::vector<std::filesystem::path> toolDirectories() {
    std::vector<std::filesystem::path> folders;
    if (const char* toolDir = std::getenv("VELK_TOOL_DIR"); toolDir && *toolDir) {
        std::error_code error;
        auto folder = std::filesystem::absolute(toolDir, error);
        if (!error)
            folders.push_back(std::move(folder));
    }
    if (auto resources = bundleResourcesDirectory())
        folders.push_back(*resources / "bin");
    for (std::string_view folder : fixedToolDirectories)
        folders.emplace_back(folder);
    return folders;
}

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

/// Forgets the tool on every way out of runTool.
class ActiveProcessRegistration {
public:
    ActiveProcessRegistration(EngineControl& control, const ChildProcess* process)
        : control_(control), process_(process) {}
    ActiveProcessRegistration(const ActiveProcessRegistration&) = delete;
    ActiveProcessRegistration& operator=(const ActiveProcessRegistration&) = delete;
    ~ActiveProcessRegistration() { control_.removeActiveProcess(process_); }

private:
    EngineControl& control_;
    const ChildProcess* process_;
};

/// Forgets the tool in its group on every way out of runTool.
class GroupRegistration {
public:
    GroupRegistration(ToolGroup* group, const ChildProcess* process)
        : group_(group), process_(process) {}
    GroupRegistration(const GroupRegistration&) = delete;
    GroupRegistration& operator=(const GroupRegistration&) = delete;
    ~GroupRegistration() {
        if (group_)
            group_->remove(process_);
    }

private:
    ToolGroup* group_;
    const ChildProcess* process_;
};

// pngquant's OpenMP threads spin while they wait for work unless told otherwise: on the
// small images of a busy folder the spinning cost more CPU than the quantisation, taken
// from the other files in flight. The user's own setting wins.
std::vector<std::string> toolEnvironment() {
    if (std::getenv("OMP_WAIT_POLICY"))
        return {};
    return {"OMP_WAIT_POLICY=PASSIVE"};
}

long wholeSeconds(double seconds) {
    return std::max(1L, std::lround(seconds));
}

} // namespace

ToolGroupAbandonedError::ToolGroupAbandonedError()
    : Error("A tool run side by side failed, so this one was ended") {}

std::string ToolGroupAbandonedError::description(AppLanguage language) const {
    return text(language, "Сжатие прервано: другой кодировщик этого файла завершился с ошибкой.",
                "Compression was stopped because another encoder of this file failed.");
}

void ToolGroup::abandon() {
    std::vector<std::shared_ptr<ChildProcess>> running;
    {
        std::scoped_lock lock(mutex_);
        abandoned_ = true;
        running = processes_;
    }
    for (const auto& process : running)
        process->terminate();
}

bool ToolGroup::abandoned() const {
    std::scoped_lock lock(mutex_);
    return abandoned_;
}

void ToolGroup::checkpoint() const {
    if (abandoned())
        throw ToolGroupAbandonedError();
}

bool ToolGroup::add(std::shared_ptr<ChildProcess> process) {
    std::scoped_lock lock(mutex_);
    processes_.push_back(std::move(process));
    return abandoned_;
}

void ToolGroup::remove(const ChildProcess* process) {
    std::scoped_lock lock(mutex_);
    std::erase_if(processes_, [process](const auto& p) { return p.get() == process; });
}

ToolTimeLimitError::ToolTimeLimitError(const std::filesystem::path& tool, double seconds)
    : Error("Compression took too long: \u201C" + displayName(tool) + "\u201D was stopped after " +
            std::to_string(wholeSeconds(seconds)) +
            (wholeSeconds(seconds) == 1 ? " second." : " seconds.")),
      tool_(tool), seconds_(wholeSeconds(seconds)) {}

std::string ToolTimeLimitError::description(AppLanguage language) const {
    const std::string name = quotedName(tool_, language);
    const std::string seconds = std::to_string(seconds_);
    return text(language,
                "Сжатие заняло слишком много времени: " + name + " остановлен через " + seconds +
                    " с. Файл пропущен.",
                "Compression took too long: " + name + " was stopped after " + seconds +
                    (seconds_ == 1 ? " second" : " seconds") + ". Skipped.");
}

double toolTimeLimitFor(std::int64_t pixels, double base, double perMegapixel) {
    return base + perMegapixel * static_cast<double>(std::max<std::int64_t>(pixels, 0)) / 1e6;
}

std::optional<std::filesystem::path> bundleResourcesDirectory() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::nullopt;
    const auto macOS = executable.parent_path();
    const auto contents = macOS.parent_path();
    if (macOS.filename() != "MacOS" || contents.filename() != "Contents")
        return std::nullopt;
    return contents / "Resources";
}

bool executableSupportsCurrentArchitecture(const std::filesystem::path& executable) {
    return supportsCurrentArchitecture(executable);
}

std::optional<std::filesystem::path> toolURL(std::string_view name) {
    if (!isPlainFileName(name))
        return std::nullopt;
    for (const auto& folder : toolDirectories()) {
        auto candidate = folder / name;
        if (!isExecutableFile(candidate))
            continue;
        if (!executableSupportsCurrentArchitecture(candidate)) {
            NativeLog::debug("Skipping " + displayPath(candidate) +
                             ": not a program for this processor");
            continue;
        }
        return candidate;
    }
    return std::nullopt;
}

void runTool(EngineControl& control, const std::filesystem::path& tool,
             const std::vector<std::string>& arguments, ToolGroup* group) {
    control.checkpoint();
    if (group)
        group->checkpoint();
    auto process = std::make_shared<ChildProcess>(tool, arguments, toolEnvironment());
    ActiveProcessRegistration registration(control, process.get());
    GroupRegistration groupRegistration(group, process.get());

    // A stop that came between the checkpoint and the launch found no process to end;
    // end it here, or the tool would run to completion after the engine stopped. The
    // same holds for a group abandoned meanwhile.
    const bool stopped = control.addActiveProcess(process);
    const bool abandoned = group && group->add(process);
    if ((stopped || abandoned) && process->isRunning())
        process->terminate();

    const double limit = control.toolTimeLimit();
    const std::optional<int> exited =
        process->waitFor(std::chrono::milliseconds(std::llround(std::max(limit, 0.0) * 1000)));
    // A stopped tool often exits non-zero; report it as the stop it was.
    control.checkpoint();
    if (group && exited)
        group->checkpoint();
    if (!exited) {
        // Leaving this scope ends the tool: SIGTERM, and SIGKILL if it lingers.
        NativeLog::write(displayPath(tool) + " ran past its limit of " +
                         std::to_string(wholeSeconds(limit)) + " s and is stopped");
        throw ToolTimeLimitError(tool, limit);
    }
    const int status = *exited;
    if (status != 0) {
        NativeLog::debug(displayPath(tool) + " exited with status " + std::to_string(status));
        throw FileError(FileError::Kind::writeUnknown);
    }
}

} // namespace velk
