#include "engine/ScanListing.h"

#include <string_view>

#include "core/Constants.h"
#include "core/Paths.h"
#include "core/Text.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
// Name, stem and lower-cased extension, read off the path's text: building path objects
// for each of thousands of entries every second is most of an idle scan.
struct NameParts {
    std::string_view name;
    std::string_view stem;
    std::string extension;
};

NameParts nameParts(const fs::path& file) {
    const std::string& text = file.native();
    const auto slash = text.rfind('/');
    NameParts parts;
    parts.name = std::string_view(text).substr(slash == std::string::npos ? 0 : slash + 1);
    const auto dot = parts.name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || parts.name == "..") {
        parts.stem = parts.name;
    } else {
        parts.stem = parts.name.substr(0, dot);
        parts.extension = asciiLowercase(parts.name.substr(dot + 1));
    }
    return parts;
}

bool isIgnoredName(const NameParts& parts) {
    const std::string_view name = parts.name;
    if (name.empty())
        return true;
    if (name.front() == '.')
        return true;
    if (name.substr(0, 2) == "~$")
        return true;
    if (name.find(tempFileMarker) != std::string::npos ||
        name.find(replaceFileMarker) != std::string::npos) {
        return true;
    }
    if (isTemporaryExtension(parts.extension))
        return true;
    return parts.stem.ends_with(compressedFileSuffix);
}
} // namespace

bool shouldIgnore(const fs::path& file, const fs::path& folder) {
    if (isIgnoredName(nameParts(file)))
        return true;
    const std::string filePath = standardizedString(file);
    const std::string backupComponent = "/" + std::string(backupDirName);
    const auto at = filePath.find(backupComponent);
    if (at != std::string::npos) {
        const std::size_t end = at + backupComponent.size();
        if (end == filePath.size() || filePath[end] == '/')
            return true;
    }
    const std::string folderPath = standardizedString(folder);
    if (filePath == folderPath)
        return false;
    const bool descendant = filePath.size() > folderPath.size() &&
                            filePath.compare(0, folderPath.size(), folderPath) == 0 &&
                            (folderPath == "/" || filePath[folderPath.size()] == '/');
    return !descendant;
}

ScanListing::ScanListing(std::vector<DirectoryEntry> entries, const fs::path& folder) {
    for (auto& entry : entries) {
        if (!entry.isRegularFile || entry.isHidden || shouldIgnore(entry.path, folder))
            continue;
        if (isSupportedExtension(nameParts(entry.path).extension)) {
            candidates_.push_back(std::move(entry.path));
        } else {
            others_.push_back(std::move(entry.path));
        }
    }
}

const std::vector<fs::path>& ScanListing::sourcesWithStem(const fs::path& source) const {
    if (!byStem_) {
        byStem_.emplace();
        for (const auto& candidate : candidates_)
            (*byStem_)[candidate.stem().native()].push_back(candidate);
    }
    static const std::vector<fs::path> none;
    const auto found = byStem_->find(source.stem().native());
    return found == byStem_->end() ? none : found->second;
}

} // namespace velk
