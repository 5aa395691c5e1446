#include "engine/encoders/WebpEncoder.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "core/FileError.h"
#include "core/NativeLog.h"
#include "engine/FolderCompressorControlError.h"
#include "engine/ImagePlan.h"
#include "engine/Validation.h"
#include "engine/encoders/CandidateSelection.h"
#include "engine/encoders/ExternalTools.h"
#include "engine/encoders/PnmWriter.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

/// Alpha below this quality shows banding in soft shadows long before the colour does.
constexpr int minimumAlphaQuality = 85;

struct WebPVariant {
    std::string_view name;
    std::vector<std::string> prefix;
    std::vector<std::string> extra;
};

WebPVariant webPVariant(CompressionPreset preset) {
    switch (preset) {
    case CompressionPreset::gentle:
        return {"photo", {"-preset", "photo"}, {"-m", "3", "-mt"}};
    case CompressionPreset::maximum:
        return {"sharp", {}, {"-m", "4", "-mt", "-sharp_yuv"}};
    case CompressionPreset::balanced:
    case CompressionPreset::jpegCompatible:
    case CompressionPreset::custom:
        break;
    }
    return {"default", {}, {"-m", "3", "-mt"}};
}

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

} // namespace

fs::path webPIntermediateURL(const fs::path& destination, bool hasAlpha) {
    return scratchURL(destination.parent_path(), scratchBaseName(destination), "webp-source",
                      hasAlpha ? "pam" : "ppm");
}

std::vector<ToolCandidate> webPCandidates(const fs::path& baseName, const fs::path& directory,
                                          const fs::path& input, bool hasAlpha,
                                          CompressionPreset preset, int quality) {
    const int q = clampedToolQuality(quality);
    const WebPVariant variant = webPVariant(preset);
    ToolCandidate candidate;
    candidate.url = scratchURL(directory, baseName, "cwebp-" + std::string(variant.name), "webp");
    auto& arguments = candidate.arguments;
    append(arguments, variant.prefix);
    append(arguments, {"-quiet", "-q", std::to_string(q)});
    append(arguments, variant.extra);
    if (hasAlpha) {
        append(arguments, {"-alpha_q", std::to_string(std::max(minimumAlphaQuality, q)),
                           "-alpha_filter", "best"});
    }
    append(arguments, {input.native(), "-o", candidate.url.native()});
    return {candidate};
}

void writeWebPImage(const EncoderContext& context, const fs::path& destination, ImagePlan plan,
                    CompressionPreset preset, int quality) {
    const std::optional<fs::path> cwebp = toolURL("cwebp");
    if (!cwebp)
        throw FileError(FileError::Kind::writeUnsupportedScheme);
    if (!plan.image)
        throw FileError(FileError::Kind::writeUnknown);
    const fs::path directory = destination.parent_path();
    const fs::path base = scratchBaseName(destination);
    const bool alpha = hasAlpha(plan.image->alphaInfo());
    const bool wantsProfile = plan.iccData && !plan.iccData->empty();
    const std::optional<fs::path> webpmux = wantsProfile ? toolURL("webpmux") : std::nullopt;

    // Pixels in a wide-gamut space without the profile that says so would show wrong
    // colours everywhere; converted to sRGB they need no profile at all.
    ColorSpace rasterSpace = plan.colorSpace;
    if (wantsProfile && !webpmux) {
        NativeLog::debug("webpmux not found: writing the WebP in sRGB");
        rasterSpace = ColorSpace::sRGB();
    }

    ScratchFiles scratch(destination);
    const fs::path intermediate = scratch.add(webPIntermediateURL(destination, alpha));
    writePNMImage(context.control, context.codec, intermediate, *plan.image, alpha, rasterSpace);
    // The tool has its copy now; checking its output decodes the whole image again.
    plan.image.reset();

    std::optional<fs::path> profile;
    if (webpmux) {
        profile = scratch.add(scratchURL(directory, base, "profile", "icc"));
        writeProfileFile(*profile, *plan.iccData);
    }

    std::vector<fs::path> valid;
    const auto candidates = webPCandidates(base, directory, intermediate, alpha, preset, quality);
    for (const ToolCandidate& candidate : candidates) {
        scratch.add(candidate.url);
        fs::path output = candidate.url;
        try {
            runTool(context.control, *cwebp, candidate.arguments);
            if (profile) {
                output = scratch.add(scratchURL(directory, base, "webp-icc", "webp"));
                runTool(context.control, *webpmux,
                        {"-set", "icc", profile->native(), candidate.url.native(), "-o",
                         output.native()});
            }
            checkCandidate(context, output, candidates.size());
            valid.push_back(output);
        } catch (const FolderCompressorControlError&) {
            throw;
        } catch (const ToolTimeLimitError&) {
            throw;
        } catch (const std::exception& error) {
            // The plain output is not a fall-back: it would lose the profile.
            std::error_code ignored;
            fs::remove(output, ignored);
            dropCandidate(candidate.url, error);
        }
    }
    installWinner(smallestCandidate(valid), destination);
}

} // namespace velk
