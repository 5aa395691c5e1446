#include "engine/encoders/JpegEncoder.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <system_error>

#include "core/AtomicWrite.h"
#include "core/FileError.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "core/Uuid.h"
#include "engine/EngineControl.h"
#include "engine/FolderCompressorControlError.h"
#include "engine/ImagePlan.h"
#include "engine/Validation.h"
#include "engine/encoders/CandidateSelection.h"
#include "engine/encoders/ExternalTools.h"
#include "engine/encoders/JpegIccSegments.h"
#include "engine/encoders/PnmWriter.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

struct JpegVariant {
    std::string_view name;
    std::vector<std::string> extra;
};

const std::vector<JpegVariant>& jpegVariants() {
    static const std::vector<JpegVariant> variants = {{"default", {}}};
    return variants;
}

/// Identifies one version of a tool file: replacing it changes at least one of these.
struct ToolFileVersion {
    std::uintmax_t size = 0;
    fs::file_time_type modified;
    bool operator==(const ToolFileVersion&) const = default;
};

std::optional<ToolFileVersion> toolFileVersion(const fs::path& tool) {
    std::error_code error;
    ToolFileVersion version;
    version.size = fs::file_size(tool, error);
    if (error)
        return std::nullopt;
    version.modified = fs::last_write_time(tool, error);
    if (error)
        return std::nullopt;
    return version;
}

class ICCOptionCache {
public:
    std::optional<bool> find(const fs::path& tool, const ToolFileVersion& version) {
        std::scoped_lock lock(mutex_);
        const auto found = answers_.find(tool);
        if (found == answers_.end() || !(found->second.first == version))
            return std::nullopt;
        return found->second.second;
    }
    void store(const fs::path& tool, const ToolFileVersion& version, bool accepts) {
        std::scoped_lock lock(mutex_);
        answers_[tool] = {version, accepts};
    }

private:
    std::mutex mutex_;
    std::map<fs::path, std::pair<ToolFileVersion, bool>> answers_;
};

ICCOptionCache& iccOptionCache() {
    static ICCOptionCache cache;
    return cache;
}

/// A private folder for the probe's files, removed with them.
class ProbeFolder {
public:
    ProbeFolder() {
        std::error_code error;
        const fs::path temp = fs::temp_directory_path(error);
        if (error)
            return;
        fs::path folder = temp / (".velk-cjpeg-probe-" + Uuid::random().toString());
        if (fs::create_directory(folder, error) && !error) {
            fs::permissions(folder, fs::perms::owner_all, error);
            path_ = std::move(folder);
        }
    }
    ProbeFolder(const ProbeFolder&) = delete;
    ProbeFolder& operator=(const ProbeFolder&) = delete;
    ~ProbeFolder() {
        std::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

/// Runs the tool with "-icc" on a one-pixel image. The answer counts only when the tool
/// ran to completion; none when the probe could not be set up or launched.
std::optional<bool> probeICCOption(EngineControl& control, const fs::path& tool) {
    ProbeFolder folder;
    if (folder.path().empty())
        return std::nullopt;
    const fs::path image = folder.path() / "pixel.ppm";
    const fs::path profile = folder.path() / "profile.icc";
    const fs::path output = folder.path() / "pixel.jpg";
    if (writeFileAtomically(image, std::string_view("P6\n1 1\n255\n\xff\xff\xff", 14)) ||
        writeFileAtomically(profile, "velk icc probe"))
        return std::nullopt;
    try {
        runTool(control, tool,
                {"-icc", profile.native(), "-outfile", output.native(), image.native()});
    } catch (const FolderCompressorControlError&) {
        throw;
    } catch (const FileError&) {
        return false; // it ran and refused
    } catch (const std::exception&) {
        return std::nullopt;
    }
    // A tool that quietly ignores the option would lose the profile: check it is there.
    std::string written;
    return readWholeFile(output, written) &&
           written.find(std::string_view("ICC_PROFILE\0", 12)) != std::string::npos;
}

} // namespace

fs::path jpegIntermediateURL(const fs::path& destination) {
    return scratchURL(destination.parent_path(), scratchBaseName(destination), "jpeg-source",
                      "ppm");
}

std::vector<ToolCandidate> jpegCandidates(const fs::path& baseName, const fs::path& directory,
                                          const fs::path& input, const std::optional<fs::path>& icc,
                                          int quality) {
    std::vector<ToolCandidate> candidates;
    for (const JpegVariant& variant : jpegVariants()) {
        ToolCandidate candidate;
        candidate.url =
            scratchURL(directory, baseName, "mozjpeg-" + std::string(variant.name), "jpg");
        candidate.arguments = {"-quality",     std::to_string(clampedToolQuality(quality)),
                               "-progressive", "-optimize",
                               "-sample",      "2x2"};
        if (icc) {
            candidate.arguments.push_back("-icc");
            candidate.arguments.push_back(icc->native());
        }
        candidate.arguments.insert(candidate.arguments.end(), variant.extra.begin(),
                                   variant.extra.end());
        candidate.arguments.push_back("-outfile");
        candidate.arguments.push_back(candidate.url.native());
        candidate.arguments.push_back(input.native());
        candidates.push_back(std::move(candidate));
    }
    return candidates;
}

bool cjpegAcceptsICCOption(EngineControl& control, const fs::path& tool) {
    const std::optional<ToolFileVersion> version = toolFileVersion(tool);
    if (!version)
        return false;
    if (const std::optional<bool> known = iccOptionCache().find(tool, *version))
        return *known;
    const std::optional<bool> accepts = probeICCOption(control, tool);
    if (!accepts)
        return false;
    NativeLog::debug(displayPath(tool) + (*accepts ? " embeds" : " cannot embed") +
                     " ICC profiles itself");
    iccOptionCache().store(tool, *version, *accepts);
    return *accepts;
}

void writeJPEGImage(const EncoderContext& context, const fs::path& destination, ImagePlan plan,
                    int quality) {
    const std::optional<fs::path> cjpeg = toolURL("cjpeg");
    if (!cjpeg)
        throw FileError(FileError::Kind::writeUnsupportedScheme);
    if (!plan.image)
        throw FileError(FileError::Kind::writeUnknown);
    const fs::path directory = destination.parent_path();
    const fs::path base = scratchBaseName(destination);

    ScratchFiles scratch(destination);
    const fs::path intermediate = scratch.add(jpegIntermediateURL(destination));
    writePNMImage(context.control, context.codec, intermediate, *plan.image,
                  /*preserveAlpha=*/false, plan.colorSpace);
    // The tool has its copy now. Checking its output decodes every coefficient of a
    // progressive JPEG (3 bytes a pixel), which must not come on top of the raster.
    plan.image.reset();

    std::optional<fs::path> profile;
    bool insertProfileAfterwards = false;
    if (plan.iccData && !plan.iccData->empty()) {
        // A cjpeg without -icc would turn a wide-gamut photo into a failure, or into
        // wrong colours; the same segments are added to its output instead.
        if (cjpegAcceptsICCOption(context.control, *cjpeg)) {
            profile = scratch.add(scratchURL(directory, base, "profile", "icc"));
            writeProfileFile(*profile, *plan.iccData);
        } else {
            insertProfileAfterwards = true;
        }
    }

    std::vector<fs::path> valid;
    const auto candidates = jpegCandidates(base, directory, intermediate, profile, quality);
    for (const ToolCandidate& candidate : candidates) {
        scratch.add(candidate.url);
        try {
            runTool(context.control, *cjpeg, candidate.arguments);
            if (insertProfileAfterwards)
                insertICCProfileIntoJPEG(context.fs, candidate.url, *plan.iccData);
            checkCandidate(context, candidate.url, candidates.size());
            valid.push_back(candidate.url);
        } catch (const FolderCompressorControlError&) {
            throw;
        } catch (const ToolTimeLimitError&) {
            throw;
        } catch (const std::exception& error) {
            dropCandidate(candidate.url, error);
        }
    }
    installWinner(smallestCandidate(valid), destination);
}

} // namespace velk
