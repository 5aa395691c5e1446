#include "engine/encoders/PngOptimizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "engine/EngineControl.h"
#include "engine/FakeTools.h"
#include "engine/FolderCompressorControlError.h"
#include "engine/encoders/PngColorProfile.h"
#include "platform/ChildProcess.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TestImages;

const fs::path pngquant = "/usr/bin/pngquant";

/// `png` with a tEXt chunk after IHDR: files of equal size that differ in content, or
/// decodable files of a chosen size.
std::string withTextChunk(const std::string& png, std::string_view text) {
    const std::string data = std::string("Comment\0", 8) + std::string(text);
    std::string chunk = "tEXt" + data;
    const std::uint32_t crc = crc32(chunk);
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(data.size() >> (24 - 8 * i));
    chunk = bytes + chunk;
    for (int i = 0; i < 4; ++i)
        chunk += static_cast<char>(crc >> (24 - 8 * i));
    constexpr std::size_t afterIhdr = 8 + 25;
    return png.substr(0, afterIhdr) + chunk + png.substr(afterIhdr);
}

class PngOptimizerTest : public ::testing::Test {
protected:
    PngOptimizerTest() {
        control_.setCancellationRequested(false);
        fs::create_directory(images_);
        TestImages::png(source_, 48, 48, test::imageOptions().withDetail());
    }

    void write(const fs::path& destination, int quality = 80,
               const std::optional<std::string>& iccData = std::nullopt) {
        writePNGImage({control_, codec_, fs_}, destination, iccData, quality,
                      [&](const fs::path& base) { fs::copy_file(source_, base); });
    }

    test::TempDir dir_;
    fs::path images_ = dir_ / "images";
    fs::path source_ = images_ / "in.png";
    test::FakeToolFolder tools_{dir_ / "tools"};
    VipsImageCodec codec_;
    PosixFileSystem fs_;
    EngineControl control_;
};

TEST_F(PngOptimizerTest, ToolArgumentsFollowTheQualityRule) {
    if (!fs::exists(pngquant))
        GTEST_SKIP() << "pngquant not installed";
    tools_.delegate("pngquant", pngquant);
    tools_.add("oxipng", ":");
    const std::pair<int, const char*> cases[] = {{10, "0-10"},  {19, "0-19"},    {20, "0-20"},
                                                 {80, "60-80"}, {100, "80-100"}, {120, "80-100"},
                                                 {-5, "0-0"}};
    for (const auto& [quality, range] : cases) {
        SCOPED_TRACE(quality);
        write(images_ / "out.png", quality);
        const auto quant = tools_.runs("pngquant").back();
        ASSERT_EQ(quant.size(), 9u);
        EXPECT_EQ(quant,
                  (std::vector<std::string>{"--force", "--skip-if-larger", "--quality", range,
                                            "--speed", "3", "--output", quant[7], quant[8]}));
        EXPECT_TRUE(std::regex_match(fs::path(quant[7]).filename().native(),
                                     std::regex("\\.out\\.velk-temp-pngquant-.{36}\\.png")));
        EXPECT_TRUE(std::regex_match(fs::path(quant[8]).filename().native(),
                                     std::regex("\\.out\\.velk-temp-png-source-.{36}\\.png")));
        EXPECT_TRUE(test::scratchLeftIn(images_).empty());
    }
    // oxipng rewrites its own copy of the base, then pngquant's file when there is one.
    const auto oxipng = tools_.runs("oxipng");
    const auto full = std::find_if(oxipng.begin(), oxipng.end(), [](const auto& run) {
        return std::regex_match(fs::path(run.back()).filename().native(),
                                std::regex("\\.out\\.velk-temp-oxipng-.{36}\\.png"));
    });
    ASSERT_NE(full, oxipng.end());
    EXPECT_EQ(*full, (std::vector<std::string>{"-q", "-o", "2", "--strip", "safe", full->back()}));
}

TEST_F(PngOptimizerTest, OxipngGetsOneThreadForLargeImagesAndNoLosslessRunForHugeOnes) {
    // Only the header counts: a small PNG whose IHDR claims another size and colour type.
    TestImages::png(dir_ / "small.png", 8, 8);
    const std::string small = test::readFile(dir_ / "small.png");
    const auto withHeader = [&](std::uint32_t width, std::uint32_t height, char depth,
                                char colourType) {
        std::string png = small;
        for (int i = 0; i < 4; ++i) {
            png[16 + i] = static_cast<char>(width >> (24 - 8 * i));
            png[20 + i] = static_cast<char>(height >> (24 - 8 * i));
        }
        png[24] = depth;
        png[25] = colourType;
        const std::uint32_t crc = crc32(std::string_view(png).substr(12, 17));
        for (int i = 0; i < 4; ++i)
            png[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
        return png;
    };
    enum class Run { allThreads, oneThread, none };
    const struct {
        const char* what;
        std::string png;
        Run run;
    } cases[] = {
        {"a 64 x 64 RGBA image", withHeader(64, 64, 8, 6), Run::allThreads},
        {"4096 x 4096 RGBA, exactly 64 MiB decoded", withHeader(4096, 4096, 8, 6), Run::allThreads},
        {"4096 x 4097 RGBA", withHeader(4096, 4097, 8, 6), Run::oneThread},
        {"8192 x 8192 palette, 64 MiB of indices", withHeader(8192, 8192, 8, 3), Run::allThreads},
        {"6000 x 4000 16-bit RGB", withHeader(6000, 4000, 16, 2), Run::oneThread},
        {"8192 x 6144 RGBA, exactly 192 MiB decoded", withHeader(8192, 6144, 8, 6), Run::oneThread},
        // 280 MiB decoded: oxipng would take about 1.5 GiB.
        {"7000 x 7000 16-bit RGB", withHeader(7000, 7000, 16, 2), Run::none},
    };
    tools_.add("oxipng", ":");
    tools_.add("pngquant", "exit 99");
    std::size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::writeFile(source_, c.png);
        write(images_ / "out.png");
        const auto all = tools_.runs("oxipng");
        const std::vector<std::vector<std::string>> runs(all.begin() + seen, all.end());
        seen = all.size();
        const auto full = std::find_if(runs.begin(), runs.end(), [](const auto& run) {
            return !run.empty() && run.back().find("-oxipng-") != std::string::npos;
        });
        if (c.run == Run::none) {
            EXPECT_TRUE(runs.empty());
            continue;
        }
        ASSERT_NE(full, runs.end());
        const std::vector<std::string> oneThread{"-t", "1"};
        EXPECT_EQ(std::search(full->begin(), full->end(), oneThread.begin(), oneThread.end()) !=
                      full->end(),
                  c.run == Run::oneThread);
    }
}

TEST_F(PngOptimizerTest, SmallestDecodableCandidateWinsAndTiesGoToTheEarlier) {
    const std::string small = [&] {
        TestImages::png(dir_ / "small.png", 8, 8);
        return test::readFile(dir_ / "small.png");
    }();
    const fs::path a = dir_ / "a.png";
    const fs::path b = dir_ / "b.png";
    test::writeFile(a, withTextChunk(small, "A"));
    test::writeFile(b, withTextChunk(small, "B"));
    const std::string sourceBytes = test::readFile(source_);
    const test::ScopedEnv logDir("VELK_LOG_DIR", (dir_ / "logs").native());
    const test::ScopedEnv debug("VELK_DEBUG_LOG", "1");

    // The estimate sees what the full run makes, so it never rules the full run out here.
    const std::string onOxipngCopy = "case \"$last\" in *-oxipng-*|*-png-estimate-*) ";
    const struct {
        const char* what;
        std::string oxipng;
        std::string pngquant;
        std::string winner;
    } cases[] = {
        {"an unchanged copy ties with the base and loses", ":", "exit 98", sourceBytes},
        {"equal sizes: oxipng's file beats pngquant's",
         onOxipngCopy + "cp '" + a.native() + "' \"$last\";; esac",
         "cp '" + b.native() + "' \"$out\"", test::readFile(a)},
        {"oxipng failing everywhere leaves pngquant's file competing", "exit 1",
         "cp '" + b.native() + "' \"$out\"", test::readFile(b)},
        {"a small undecodable file never wins", "printf 'x' > \"$last\"", "exit 99", sourceBytes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tools_.add("oxipng", c.oxipng);
        tools_.add("pngquant", c.pngquant);
        const fs::path output = images_ / "out.png";
        write(output);
        EXPECT_TRUE(test::readFile(output) == c.winner);
        EXPECT_EQ(test::scratchLeftIn(images_), std::vector<std::string>{});
    }
    EXPECT_NE(
        test::readFile(dir_ / "logs" / "native.log").find("Optional PNG optimization failed: "),
        std::string::npos);
}

TEST_F(PngOptimizerTest, DisplayP3ProfileSurvivesEveryCandidate) {
    const fs::path oxipng = test::projectTool("oxipng");
    if (!fs::exists(pngquant) || !fs::exists(oxipng))
        GTEST_SKIP() << "pngquant or oxipng not installed (run scripts/setup-tools.sh)";
    const std::string profile = TestImages::displayP3Profile();
    TestImages::png(source_, 64, 64,
                    test::imageOptions().withAlpha().withDetail().withIccProfile(profile));

    const struct {
        const char* winner;
        bool realOxipng;
        bool realPngquant;
    } cases[] = {{"base", false, false}, {"oxipng", true, false}, {"pngquant", true, true}};
    std::string baseOutput;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.winner);
        if (c.realOxipng)
            tools_.delegate("oxipng", oxipng);
        else
            tools_.add("oxipng", "exit 1");
        if (c.realPngquant)
            tools_.delegate("pngquant", pngquant);
        else
            tools_.add("pngquant", "exit 1");
        const fs::path output = images_ / (std::string(c.winner) + ".png");
        // A low floor, so pngquant's palette is sure to beat the others when it runs.
        write(output, 10, profile);

        const std::string written = test::readFile(output);
        if (baseOutput.empty())
            baseOutput = written;
        else
            EXPECT_LT(written.size(), baseOutput.size()) << "the tool's file did not win";
        if (c.realPngquant) {
            ASSERT_GT(written.size(), 25u);
            EXPECT_EQ(written[25], 3) << "not pngquant's palette image";
        }
        const auto decoded = codec_.decode(output);
        ASSERT_TRUE(decoded && decoded->colorSpace());
        EXPECT_TRUE(decoded->colorSpace()->iccData == profile) << "profile differs";
        EXPECT_TRUE(test::scratchLeftIn(images_).empty());
    }
}

TEST_F(PngOptimizerTest, StopWhilePngquantRunsEndsItAndLeavesNoScratchFile) {
    const fs::path started = dir_ / "started";
    tools_.add("oxipng", ":");
    tools_.add("pngquant", ": > '" + started.native() + "'; exec sleep 60");
    auto stopper = std::async(std::launch::async, [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!fs::exists(started) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        for (const auto& process : control_.requestStop())
            process->terminate();
    });
    try {
        write(images_ / "out.png");
        ADD_FAILURE() << "no error";
    } catch (const FolderCompressorControlError& error) {
        EXPECT_EQ(error.kind(), FolderCompressorControlError::Kind::cancelled);
    }
    stopper.get();
    EXPECT_FALSE(fs::exists(images_ / "out.png"));
    EXPECT_EQ(test::scratchLeftIn(images_), std::vector<std::string>{});
}

TEST_F(PngOptimizerTest, FullLosslessRunIsSkippedOnlyWhenItsEstimateCannotWin) {
    TestImages::png(dir_ / "small.png", 8, 8);
    const std::string small = test::readFile(dir_ / "small.png");
    const auto fileOfSize = [&](const char* name, std::size_t size) {
        test::writeFile(dir_ / name,
                        withTextChunk(small, std::string(size - small.size() - 20, 'x')));
        return dir_ / name;
    };
    const fs::path full = fileOfSize("full.png", 1500);
    const fs::path quantised = fileOfSize("quantised.png", 2000);
    ASSERT_GT(fs::file_size(source_), 3100u);

    // Estimate bytes (0: oxipng fails there) and what pngquant makes of 2,000 bytes.
    const std::string madeOne = "cp '" + quantised.native() + "' \"$out\"";
    const struct {
        const char* what;
        int estimate;
        std::string pngquant;
        bool fullRuns;
    } cases[] = {
        {"more than 50 % above pngquant's file: skipped", 3001, madeOne, false},
        {"exactly 50 % above: still run", 3000, madeOne, true},
        {"no estimate: run", 0, madeOne, true},
        {"no pngquant file to beat: run", 3001, "exit 99", true},
        {"pngquant's file does not decode: run after all", 3001,
         "head -c 2000 /dev/zero > \"$out\"", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const test::TempDir runs;
        test::FakeToolFolder tools(runs / "tools");
        const std::string estimate =
            c.estimate > 0 ? "head -c " + std::to_string(c.estimate) + " /dev/zero > \"$last\""
                           : "exit 1";
        tools.add("oxipng", "case \"$last\" in *-png-estimate-*) " + estimate +
                                ";; *-oxipng-*) cp '" + full.native() + "' \"$last\";; esac");
        tools.add("pngquant", c.pngquant);
        write(images_ / "out.png");

        const auto oxipng = tools.runs("oxipng");
        EXPECT_EQ(std::count_if(oxipng.begin(), oxipng.end(),
                                [](const auto& run) {
                                    return run[2] == "2" &&
                                           run.back().find("-oxipng-") != std::string::npos;
                                }),
                  c.fullRuns ? 1 : 0);
        EXPECT_EQ(fs::file_size(images_ / "out.png"), c.fullRuns ? 1500u : 2000u);
        EXPECT_EQ(test::scratchLeftIn(images_), std::vector<std::string>{});
        // The estimate: one quick trial on one thread, on its own copy of the base. (Once
        // pngquant has failed it is pointless, and may never start.)
        if (c.pngquant != madeOne)
            continue;
        const auto run = std::find_if(oxipng.begin(), oxipng.end(), [](const auto& args) {
            return args.back().find("-png-estimate-") != std::string::npos;
        });
        ASSERT_NE(run, oxipng.end());
        EXPECT_EQ(*run, (std::vector<std::string>{"-q", "-o", "0", "-t", "1", "--strip", "safe",
                                                  run->back()}));
    }
}

TEST_F(PngOptimizerTest, CandidatesRunSideBySideAndAStopEndsBoth) {
    const fs::path marks = dir_ / "marks";
    fs::create_directory(marks);
    // pngquant's copy is as large as the base, so the full lossless run is never ruled out.
    tools_.add("pngquant", "cp \"$last\" \"$out\"");
    tools_.add("oxipng", "case \"$last\" in *-png-estimate-*) exit 0;; *-oxipng-*) : > '" +
                             (marks / "lossless").native() + "';; *) : > '" +
                             (marks / "quantised").native() + "';; esac; exec sleep 60");
    // Each run sleeps a minute after its mark, so both marks within 20 s means both ran
    // at once.
    auto stopper = std::async(std::launch::async, [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool both = false;
        while (!(both = fs::exists(marks / "lossless") && fs::exists(marks / "quantised")) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        for (const auto& process : control_.requestStop())
            process->terminate();
        return both;
    });
    EXPECT_THROW(write(images_ / "out.png"), FolderCompressorControlError);
    EXPECT_TRUE(stopper.get()) << "the two oxipng runs were not running at once";
    EXPECT_FALSE(fs::exists(images_ / "out.png"));
    EXPECT_EQ(test::scratchLeftIn(images_), std::vector<std::string>{});
}

} // namespace
} // namespace velk
