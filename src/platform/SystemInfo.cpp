#include "platform/SystemInfo.h"

#include <sys/utsname.h>

namespace velk {

std::string kernelVersionFromRelease(std::string_view release) {
    std::string text;
    std::size_t position = 0;
    for (int part = 0; part < 3; ++part) {
        std::string number;
        while (position < release.size() && release[position] >= '0' && release[position] <= '9') {
            number += release[position++];
        }
        const bool found = !number.empty();
        text += (part == 0 ? "" : ".") + (found ? number : "0");
        // The next part only follows a dot; "6.1-rc2" has no patch.
        if (found && position < release.size() && release[position] == '.') {
            ++position;
        } else {
            position = release.size();
        }
    }
    return text;
}

std::string kernelVersion() {
    utsname names{};
    if (::uname(&names) != 0)
        return "0.0.0";
    return kernelVersionFromRelease(names.release);
}

std::optional<std::filesystem::path> currentExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::nullopt;
    return path;
}

} // namespace velk
