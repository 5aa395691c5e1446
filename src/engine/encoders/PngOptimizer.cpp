#include "engine/encoders/PngOptimizer.h"

#include <vector>

#include "core/NativeLog.h"
#include "engine/FolderCompressorControlError.h"
#include "engine/Validation.h"
#include "engine/encoders/CandidateSelection.h"
#include "engine/encoders/ExternalTools.h"
#include "engine/encoders/PngColorProfile.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> oxipngArguments(const fs::path& file) {
    return {"-q", "-o", "4", "--strip", "safe", file.native()};
}

/// The checks every tool's file passes before it may compete: the profile put back (the
/// tools drop or rewrite it) and a full decode, so a damaged file can never win by size.
void finishToolCandidate(const EncoderContext& context, const fs::path& file,
                         const std::optional<std::string>& iccData) {
    attachICCProfileToPNGIfNeeded(file, iccData);
    validateEncodedImage(context.fs, context.codec, file);
}

} // namespace

std::string pngquantQualityRange(int quality) {
    const int top = clampedToolQuality(quality);
    const int floor = quality < 20 ? 0 : top - 20;
    return std::to_string(floor) + "-" + std::to_string(top);
}

void writePNGImage(const EncoderContext& context, const fs::path& destination,
                   const std::optional<std::string>& iccData, int quality,
                   const PngBaseWriter& writeBase) {
    const fs::path directory = destination.parent_path();
    const fs::path base = scratchBaseName(destination);

    ScratchFiles scratch(destination);
    const fs::path baseFile = scratch.add(scratchURL(directory, base, "png-source", "png"));
    writeBase(baseFile);
    attachICCProfileToPNGIfNeeded(baseFile, iccData);
    std::vector<fs::path> candidates{baseFile};

    const std::optional<fs::path> oxipng = toolURL("oxipng");
    if (oxipng) {
        const fs::path file = scratch.add(scratchURL(directory, base, "oxipng", "png"));
        try {
            copyScratchFile(baseFile, file);
            runTool(context.control, *oxipng, oxipngArguments(file));
            finishToolCandidate(context, file, iccData);
            candidates.push_back(file);
        } catch (const FolderCompressorControlError&) {
            throw;
        } catch (const ToolTimeLimitError&) {
            throw;
        } catch (const std::exception& error) {
            dropCandidate(file, error);
        }
    }

    if (const std::optional<fs::path> pngquant = toolURL("pngquant")) {
        const fs::path file = scratch.add(scratchURL(directory, base, "pngquant", "png"));
        try {
            // Exit 98 (not smaller) and 99 (quality floor missed) leave no file: like any
            // other failure, that only means no candidate.
            runTool(context.control, *pngquant,
                    {"--force", "--skip-if-larger", "--quality", pngquantQualityRange(quality),
                     "--speed", "3", "--output", file.native(), baseFile.native()});
            if (oxipng) {
                try {
                    runTool(context.control, *oxipng, oxipngArguments(file));
                } catch (const FolderCompressorControlError&) {
                    throw;
                } catch (const ToolTimeLimitError&) {
                    throw;
                } catch (const std::exception& error) {
                    NativeLog::debug(std::string("Optional PNG optimization failed: ") +
                                     error.what());
                }
            }
            finishToolCandidate(context, file, iccData);
            candidates.push_back(file);
        } catch (const FolderCompressorControlError&) {
            throw;
        } catch (const ToolTimeLimitError&) {
            throw;
        } catch (const std::exception& error) {
            dropCandidate(file, error);
        }
    }

    installWinner(smallestCandidate(candidates), destination);
}

} // namespace velk
