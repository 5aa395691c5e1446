#include "engine/encoders/PngOptimizer.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
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

/// oxipng 8's level 2: one trial, picked by a quick evaluation of four filters. Over the
/// PNG benchmark's corpus level 3 wrote 0.02 % more and level 4 0.11 % fewer bytes, for
/// 1.4 and 1.7 times the CPU time.
constexpr const char* oxipngLevel = "2";

/// Decoded bytes above which oxipng gets one thread: each further thread holds another
/// filtered copy of the image, which on the largest PNGs costs hundreds of megabytes for
/// little time on two cores. About 16 MP of RGBA.
constexpr std::uintmax_t largeRawBytes = std::uintmax_t{64} << 20;

/// Decoded bytes above which oxipng does not get the image at all. Even at its lowest
/// level it holds about 3.8 times the decoded image, and at ours 5 to 5.4 times (815 MiB
/// for a 50 MP RGB photo, 1480 MiB for a 49 MP 16-bit gradient, one thread each): past
/// this only a lossless rewrite of a 16-bit image is given up, and pngquant's 8-bit file
/// (and oxipng on that) still competes with the source's own bytes.
constexpr std::uintmax_t largestRawBytesForOxipng = std::uintmax_t{192} << 20;

/// The decoded size of a PNG by its header (width, height, colour type and bit depth);
/// none when the header cannot be read.
std::optional<std::uintmax_t> rawBytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char header[26] = {};
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) ||
        std::memcmp(header + 12, "IHDR", 4) != 0)
        return std::nullopt;
    const auto word = [&](int at) {
        return std::uintmax_t{header[at]} << 24 | std::uintmax_t{header[at + 1]} << 16 |
               std::uintmax_t{header[at + 2]} << 8 | std::uintmax_t{header[at + 3]};
    };
    int channels = 0;
    switch (header[25]) {
    case 0:
    case 3:
        channels = 1;
        break;
    case 2:
        channels = 3;
        break;
    case 4:
        channels = 2;
        break;
    case 6:
        channels = 4;
        break;
    default:
        return std::nullopt;
    }
    return word(16) * word(20) * channels * header[24] / 8;
}

std::vector<std::string> oxipngArguments(const fs::path& file) {
    std::vector<std::string> arguments{"-q", "-o", oxipngLevel};
    if (const auto raw = rawBytesOf(file); raw && *raw > largeRawBytes)
        arguments.insert(arguments.end(), {"-t", "1"});
    arguments.insert(arguments.end(), {"--strip", "safe", file.native()});
    return arguments;
}

/// A cheap stand-in for the full lossless run: one heuristic trial at a fast zlib level,
/// on one thread so it leaves the other core to pngquant, with the same metadata rule. It
/// runs beside pngquant and the file waits for it, so it must cost less than pngquant:
/// level 1 (zlib level 10) took longer than pngquant on large artwork, level 0 a fifth
/// of that, for files some 10 % larger than the full run's rather than 1 %.
std::vector<std::string> oxipngEstimateArguments(const fs::path& file) {
    return {"-q", "-o", "0", "-t", "1", "--strip", "safe", file.native()};
}

/// Whether the full lossless run is not worth its time: its estimate is more than 50 %
/// larger than pngquant's file. The full run's extra filters and strategies can gain far
/// more than 10 % over the estimate (a third on some artwork, a fifth on screenshots), so
/// a narrow margin would install pngquant's lossy file where a smaller lossless one was
/// to be had. pngquant's file before oxipng is the bound, as oxipng never writes a
/// larger file. On the PNG benchmark's corpus no winner changes at any threshold from
/// 1.1 to 3; 1.5 keeps the margin.
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
    // Checked on the base, the bytes the lossless side would be given.
    const std::optional<std::uintmax_t> raw = rawBytesOf(baseFile);
    const bool losslessFits = !raw || *raw <= largestRawBytesForOxipng;
    if (tools.oxipng && !losslessFits)
        NativeLog::debug("No lossless oxipng run: " + std::to_string(*raw) +
                         " decoded bytes would not fit its memory");
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
    if (tools.oxipng && losslessFits) {
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
    if (skipped && !quantisedCandidate && losslessFits)
        makeLossless();
    if (lossless)
        candidates.push_back(*lossless);
    if (quantisedCandidate)
        candidates.push_back(*quantisedCandidate);
    installWinner(smallestCandidate(candidates), destination);
}

} // namespace velk
