#include "engine/OutputNaming.h"

#include <string>

#include "core/Constants.h"
#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

fs::path outputPathFor(const fs::path& source, ImageFormat sourceFormat, ImageFormat target,
                       OriginalPolicy policy) {
    if (policy == OriginalPolicy::replace && sourceFormat == target)
        return source;
    std::string name = source.stem().native();
    if (policy == OriginalPolicy::keep)
        name += compressedFileSuffix;
    name += '.';
    name += fileExtension(target);
    return source.parent_path() / name;
}

std::vector<fs::path> besideOutputCandidates(const fs::path& source) {
    std::vector<fs::path> candidates;
    candidates.reserve(supportedExtensions.size());
    const std::string stem = source.stem().native() + std::string(compressedFileSuffix) + ".";
    for (std::string_view extension : supportedExtensions) {
        candidates.push_back(source.parent_path() / (stem + std::string(extension)));
    }
    return candidates;
}

bool existingOutputIsFresh(const FileSystem& fs, OriginalPolicy policy, const fs::path& source,
                           const fs::path& output) {
    if (policy != OriginalPolicy::keep)
        return false;
    if (standardized(source) == standardized(output))
        return false;
    const auto outputAttributes = fs.attributes(output);
    if (!outputAttributes || !outputAttributes->isRegularFile || outputAttributes->size == 0) {
        return false;
    }
    const auto sourceAttributes = fs.attributes(source);
    if (!sourceAttributes)
        return false;
    return outputAttributes->modificationDate >= sourceAttributes->modificationDate;
}

} // namespace velk
