#include "engine/encoders/PngOptimizer.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
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

/// A cheap stand-in for the full lossless run: one heuristic trial at the strongest zlib
/// level, on one thread so it leaves the other core to pngquant, with the same metadata
/// rule. The full run only tries more filters and strategies on top of that.
std::vector<std::string> oxipngEstimateArguments(const fs::path& file) {
    return {"-q", "-o", "1", "-t", "1", "--strip", "safe", file.native()};
}

/// Whether the full lossless run is not worth its time: its estimate is more than 50 %
/// larger than pngquant's file. The full run's extra filters and strategies can gain far
/// more than 10 % over the estimate (a third on some artwork, a fifth on screenshots), so
/// a narrow margin would install pngquant's lossy file where a smaller lossless one was
/// to be had. pngquant's file before oxipng is the bound, as oxipng never writes a
/// larger file.
bool losslessCannotWin(std::uintmax_t estimate, std::uintmax_t quantised) {
    return estimate * 2 > quantised * 3;
}

bool endsTheFile(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const FolderCompressorControlError&) {
        return true;
    } catch (const ToolTimeLimitError&) {
        return true;
    } catch (...) {
        return false;
    }
}

/// The checks every tool's file passes before it may compete: the profile put back (the
/// tools drop or rewrite it) and a full decode, so a damaged file can never win by size.
void finishToolCandidate(const EncoderContext& context, const fs::path& file,
                         const std::optional<std::string>& iccData) {
    attachICCProfileToPNGIfNeeded(context.fs, file, iccData);
    validateEncodedImage(context.fs, context.codec, file);
}

/// Runs `step`; a failure that ends the whole file (a stop, a time limit) is rethrown,
/// any other only drops `file` as a candidate. Returns whether the step succeeded.
template <typename Step> bool candidateStep(const fs::path& file, Step&& step) {
    try {
        step();
        return true;
    } catch (const std::exception& error) {
        if (endsTheFile(std::current_exception()))
            throw;
        dropCandidate(file, error);
        return false;
    }
}

/// What the lossless side learns from the quantised one: pngquant's file size as soon as
/// it is known, or none when pngquant made no file. Sent once; later sends are ignored.
/// None also ends the estimate, which has nothing to be compared with then.
class QuantisedSizeNotice {
public:
    QuantisedSizeNotice() = default;
    QuantisedSizeNotice(const QuantisedSizeNotice&) = delete;
    QuantisedSizeNotice& operator=(const QuantisedSizeNotice&) = delete;
    ~QuantisedSizeNotice() { send(std::nullopt); }

    std::future<std::optional<std::uintmax_t>> future() { return promise_.get_future(); }
    /// The group the estimate runs in.
    ToolGroup& estimate() { return estimate_; }
    void send(std::optional<std::uintmax_t> size) {
        if (sent_)
            return;
        sent_ = true;
        if (!size)
            estimate_.abandon();
        promise_.set_value(size);
    }

private:
    std::promise<std::optional<std::uintmax_t>> promise_;
    ToolGroup estimate_;
    bool sent_ = false;
};

/// A candidate made on a thread of its own. Leaving the scope before get() (the other
/// side failed) abandons the group, so its tools end at once, and joins the thread.
class SideCandidate {
public:
    SideCandidate(ToolGroup& group, std::function<std::optional<fs::path>()> make)
        : group_(group), future_(std::async(std::launch::async, std::move(make))) {}
    SideCandidate(const SideCandidate&) = delete;
    SideCandidate& operator=(const SideCandidate&) = delete;
    ~SideCandidate() {
        if (future_.valid()) {
            group_.abandon();
            future_.wait();
        }
    }
    std::optional<fs::path> get() { return future_.get(); }

private:
    ToolGroup& group_;
    std::future<std::optional<fs::path>> future_;
};

struct PngTools {
    std::optional<fs::path> oxipng;
    std::optional<fs::path> pngquant;
};

/// pngquant's reduction of the base, then oxipng's rewrite of it. A failure that ends
/// the file abandons the group first, so the lossless side stops too.
std::optional<fs::path> makeQuantisedCandidate(const EncoderContext& context, ToolGroup& group,
                                               const PngTools& tools, const fs::path& baseFile,
                                               const fs::path& file,
                                               const std::optional<std::string>& iccData,
                                               int quality, QuantisedSizeNotice& notice) {
    try {
        const bool made = candidateStep(file, [&] {
            // Exit 98 (not smaller) and 99 (quality floor missed) leave no file: like any
            // other failure, that only means no candidate.
            runTool(context.control, *tools.pngquant,
                    {"--force", "--skip-if-larger", "--quality", pngquantQualityRange(quality),
                     "--speed", "3", "--output", file.native(), baseFile.native()},
                    &group);
            notice.send(fs::file_size(file));
            if (tools.oxipng) {
                try {
                    runTool(context.control, *tools.oxipng, oxipngArguments(file), &group);
                } catch (const std::exception& error) {
                    if (endsTheFile(std::current_exception()))
                        throw;
                    group.checkpoint();
                    NativeLog::debug(std::string("Optional PNG optimization failed: ") +
                                     error.what());
                }
            }
            finishToolCandidate(context, file, iccData);
        });
        notice.send(std::nullopt);
        return made ? std::optional(file) : std::nullopt;
    } catch (...) {
        // The lossless side may be waiting for the size: tell it before ending its tools.
        notice.send(std::nullopt);
        group.abandon();
        throw;
    }
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
    attachICCProfileToPNGIfNeeded(context.fs, baseFile, iccData);

    const PngTools tools{toolURL("oxipng"), toolURL("pngquant")};
    // Every name is taken here: the scratch list is not shared with the other thread.
    const fs::path losslessFile = scratch.add(scratchURL(directory, base, "oxipng", "png"));
    const fs::path estimateFile = scratch.add(scratchURL(directory, base, "png-estimate", "png"));
    const fs::path quantisedFile = scratch.add(scratchURL(directory, base, "pngquant", "png"));

    // The two candidates run side by side: pngquant (then oxipng) on a thread of its own,
    // the lossless rewrite here. While pngquant runs, a quick estimate finds out whether
    // the lossless rewrite, by far the slowest run, could win at all.
    ToolGroup group;
    QuantisedSizeNotice notice;
    auto quantisedSize = notice.future();
    std::optional<SideCandidate> quantised;
    if (tools.pngquant) {
        quantised.emplace(group, [&] {
            return makeQuantisedCandidate(context, group, tools, baseFile, quantisedFile, iccData,
                                          quality, notice);
        });
    }

    std::optional<fs::path> lossless;
    const auto makeLossless = [&] {
        if (group.abandoned())
            return;
        const bool made = candidateStep(losslessFile, [&] {
            copyScratchFile(baseFile, losslessFile);
            runTool(context.control, *tools.oxipng, oxipngArguments(losslessFile), &group);
            finishToolCandidate(context, losslessFile, iccData);
        });
        if (made)
            lossless = losslessFile;
    };
    bool skipped = false;
    if (tools.oxipng) {
        if (quantised) {
            std::optional<std::uintmax_t> estimate;
            candidateStep(estimateFile, [&] {
                copyScratchFile(baseFile, estimateFile);
                runTool(context.control, *tools.oxipng, oxipngEstimateArguments(estimateFile),
                        &notice.estimate());
                estimate = fs::file_size(estimateFile);
            });
            const std::optional<std::uintmax_t> quantisedBytes = quantisedSize.get();
            if (estimate && quantisedBytes && losslessCannotWin(*estimate, *quantisedBytes)) {
                NativeLog::debug("Skipping the full oxipng run: its estimate of " +
                                 std::to_string(*estimate) + " bytes cannot beat pngquant's " +
                                 std::to_string(*quantisedBytes));
                skipped = true;
            }
        }
        if (!skipped)
            makeLossless();
    }

    std::vector<fs::path> candidates{baseFile};
    std::optional<fs::path> quantisedCandidate = quantised ? quantised->get() : std::nullopt;
    // pngquant's file was the reason to skip; if it fell through later (it did not decode),
    // the lossless rewrite is needed after all.
    if (skipped && !quantisedCandidate)
        makeLossless();
    if (lossless)
        candidates.push_back(*lossless);
    if (quantisedCandidate)
        candidates.push_back(*quantisedCandidate);
    installWinner(smallestCandidate(candidates), destination);
}

} // namespace velk
