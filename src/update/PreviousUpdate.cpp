#include "update/PreviousUpdate.h"

#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

#include "update/BundleInfo.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t maximumRecordBytes = 64 * 1024;

// An installer at work holds a lock on its folder beside the bundle; one that was killed
// holds none, and what it left (the staged bundle or the old one) is of no use: the bundle
// this program runs from is complete, or it would not have started.
bool isInUse(const fs::path& folder) {
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0)
        return false;
    const bool locked = ::flock(descriptor, LOCK_EX | LOCK_NB) != 0;
    ::close(descriptor);
    return locked;
}

void removeLeftovers(const fs::path& bundle) {
    // ".<name>.update-…" (an installer's folder, or an older installer's backup) and
    // ".<name>.updater-…" (the copy of the installer that ran).
    const std::string prefix = "." + bundle.filename().string() + ".update";
    std::vector<fs::path> leftovers;
    std::error_code error;
    for (auto it = fs::directory_iterator(bundle.parent_path(), error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        if (it->path().filename().string().starts_with(prefix))
            leftovers.push_back(it->path());
    }
    for (const auto& leftover : leftovers) {
        if (!isInUse(leftover))
            fs::remove_all(leftover, error);
    }
}

std::optional<InstallOutcome> readRecord(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream)
        return std::nullopt;
    std::string text(maximumRecordBytes, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(stream.gcount()));
    const auto result = infoPlistString(text, "Result");
    if (!result)
        return std::nullopt;
    return InstallOutcome{*result == "installed", infoPlistString(text, "Version").value_or(""),
                          infoPlistString(text, "Reason").value_or("")};
}

} // namespace

std::optional<InstallOutcome> settleUpdateLeftovers(const std::optional<fs::path>& bundle,
                                                    const fs::path& resultFile) {
    if (bundle)
        removeLeftovers(*bundle);
    auto outcome = readRecord(resultFile);
    std::error_code ignored;
    fs::remove(resultFile, ignored);
    return outcome;
}

} // namespace velk
