#include "engine/BackupFolder.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/Constants.h"
#include "engine/OutputMark.h"
#include "engine/Validation.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
constexpr std::string_view originalInfix = ".original";

/// Whether `name` is a backup's name for a file of stem `stem`. A long stem loses its end
/// in the backup's name, so a prefix of it counts too; the digest decides in the end.
bool isBackupNameFor(const std::string& name, const std::string& stem) {
    const auto at = name.rfind(originalInfix);
    if (at == std::string::npos || at == 0)
        return false;
    const char after =
        at + originalInfix.size() < name.size() ? name[at + originalInfix.size()] : '\0';
    if (after != '.' && after != '-' && after != '\0')
        return false;
    return at <= stem.size() && stem.compare(0, at, name, 0, at) == 0;
}
} // namespace

BackupFolder::BackupFolder(const FileSystem& fs, fs::path watchDirectory)
    : fs_(fs), folder_(std::move(watchDirectory) / backupDirName) {}

std::optional<KeptOriginal> BackupFolder::find(const fs::path& file, const Sha256::Digest& digest,
                                               const EngineControl& control) const {
    const auto root = fs_.attributes(folder_);
    if (!root || !root->isDirectory)
        return std::nullopt;
    const std::string stem = file.stem().native();
    // Day folders sort by name as by date: the newest copy is the likeliest.
    std::vector<fs::path> days;
    try {
        for (const DirectoryEntry& entry : fs_.list(folder_)) {
            const auto attributes = fs_.attributes(entry.path);
            if (attributes && attributes->isDirectory && !attributes->isSymbolicLink)
                days.push_back(entry.path);
        }
    } catch (const FileSystemError&) {
        return std::nullopt;
    }
    std::sort(days.rbegin(), days.rend());
    for (const fs::path& day : days) {
        std::vector<DirectoryEntry> entries;
        try {
            entries = fs_.list(day);
        } catch (const FileSystemError&) {
            continue;
        }
        for (const DirectoryEntry& entry : entries) {
            if (!entry.isRegularFile || !isBackupNameFor(entry.path.filename().native(), stem))
                continue;
            try {
                if (sha256Digest(fs_, control, entry.path) != digest)
                    continue;
            } catch (const FileSystemError&) {
                continue;
            }
            const auto attributes = fs_.attributes(entry.path);
            if (!attributes)
                continue;
            return KeptOriginal{entry.path, digest, static_cast<std::int64_t>(attributes->size)};
        }
    }
    return std::nullopt;
}

std::optional<KeptOriginal> BackupFolder::originalOf(const fs::path& file,
                                                     const EngineControl& control) const {
    if (!carriesValidOutputMark(fs_, file))
        return std::nullopt;
    const auto mark = readOutputMark(fs_, file);
    if (!mark || !mark->sourceDigest)
        return std::nullopt;
    return find(file, *mark->sourceDigest, control);
}

} // namespace velk
