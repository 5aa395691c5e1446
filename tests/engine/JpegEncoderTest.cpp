#include "engine/encoders/JpegEncoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "core/FileError.h"
#include "engine/EngineControl.h"
#include "engine/FakeTools.h"
#include "engine/FolderCompressorControlError.h"
#include "engine/ImagePlan.h"
#include "engine/encoders/JpegIccSegments.h"
#include "platform/ChildProcess.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::TestImages;

const fs::path debianCjpeg = "/usr/bin/cjpeg";

bool installed(const fs::path& tool) {
    return fs::exists(tool);
}

class JpegEncoderTest : public ::testing::Test {
protected:
    JpegEncoderTest() {
        control_.setCancellationRequested(false);
        fs::create_directory(images_);
    }

    ImagePlan plan(const fs::path& source) const {
        return ImagePlanner(codec_, [](ImageFormat) { return true; })
            .makePlan(source, FormatStrategy::jpeg);
    }

    void write(const fs::path& destination, const ImagePlan& plan, int quality) {
        writeJPEGImage({control_, codec_, fs_}, destination, plan, quality);
    }

    /// The runs that encoded into the image folder (not the one-pixel -icc probe).
    std::vector<std::vector<std::string>> encodingRuns() const {
        std::vector<std::vector<std::string>> runs;
        for (auto& run : tools_.runs("cjpeg")) {
            if (!run.empty() && fs::path(run.back()).parent_path() == images_)
                runs.push_back(run);
        }
        return runs;
    }

    test::TempDir dir_;
    fs::path images_ = dir_ / "images";
    test::FakeToolFolder tools_{dir_ / "tools"};
    VipsImageCodec codec_;
    PosixFileSystem fs_;
    EngineControl control_;
};

TEST_F(JpegEncoderTest, OneCjpegRunWithClampedQualityAndAProfileOnlyWhenNotSRGB) {
    if (!installed(debianCjpeg))
        GTEST_SKIP() << "cjpeg (libjpeg-turbo) not installed";
    tools_.delegate("cjpeg", debianCjpeg);
    const fs::path srgb = images_ / "srgb.png";
    const fs::path p3 = images_ / "p3.png";
    TestImages::png(srgb, 16, 12);
    TestImages::png(p3, 16, 12,
                    test::imageOptions().withIccProfile(TestImages::displayP3Profile()));
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

    const struct {
        fs::path source;
        int quality;
        std::string expectedQuality;
        bool profile;
    } cases[] = {{srgb, 130, "100", false},
                 {srgb, -5, "0", false},
                 {srgb, 80, "80", false},
                 {p3, 80, "80", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source.filename().native() + " at " + std::to_string(c.quality));
        const std::size_t before = encodingRuns().size();
        const fs::path output = images_ / "out.jpg";
        write(output, plan(c.source), c.quality);

        const auto runs = encodingRuns();
        ASSERT_EQ(runs.size(), before + 1);
        const std::vector<std::string>& run = runs.back();
        std::vector<std::string> expected = {"-quality",  c.expectedQuality, "-progressive",
                                             "-optimize", "-sample",         "2x2"};
        std::size_t next = expected.size();
        if (c.profile) {
            ASSERT_GT(run.size(), next + 1);
            EXPECT_TRUE(std::regex_match(fs::path(run[next + 1]).filename().native(),
                                         std::regex("\\.out\\.velk-temp-profile-.{36}\\.icc")));
            expected.insert(expected.end(), {"-icc", run[next + 1]});
            next += 2;
        }
        ASSERT_EQ(run.size(), next + 3);
        expected.insert(expected.end(), {"-outfile", run[next + 1], run[next + 2]});
        EXPECT_EQ(run, expected);
        EXPECT_TRUE(std::regex_match(fs::path(run[next + 1]).filename().native(),
                                     std::regex("\\.out\\.velk-temp-mozjpeg-default-.{36}\\.jpg")));
        EXPECT_TRUE(std::regex_search(run[next + 1], uuid));
        EXPECT_TRUE(std::regex_match(fs::path(run[next + 2]).filename().native(),
                                     std::regex("\\.out\\.velk-temp-jpeg-source-.{36}\\.ppm")));

        EXPECT_TRUE(codec_.decode(output));
        EXPECT_TRUE(test::scratchLeftIn(images_).empty());
    }
}

TEST_F(JpegEncoderTest, BothKindsOfCjpegKeepADisplayP3ProfileByteForByte) {
    const fs::path source = images_ / "p3.png";
    const std::string profile = TestImages::displayP3Profile();
    TestImages::png(source, 32, 24, test::imageOptions().withAlpha().withIccProfile(profile));
    const ImagePlan p3 = plan(source);
    ASSERT_EQ(p3.iccData, profile);

    const struct {
        const char* kind;
        fs::path tool;
        bool takesIccOption;
    } tools[] = {{"MozJPEG", test::projectTool("cjpeg"), false},
                 {"libjpeg-turbo", debianCjpeg, true}};
    int tried = 0;
    for (const auto& tool : tools) {
        SCOPED_TRACE(tool.kind);
        if (!installed(tool.tool))
            continue;
        ++tried;
        tools_.delegate("cjpeg", tool.tool);
        const fs::path output = images_ / (std::string(tool.kind) + ".jpg");
        write(output, p3, 85);

        const auto runs = encodingRuns();
        ASSERT_FALSE(runs.empty());
        const auto& run = runs.back();
        EXPECT_EQ(std::find(run.begin(), run.end(), "-icc") != run.end(), tool.takesIccOption);
        const auto decoded = codec_.decode(output);
        ASSERT_TRUE(decoded);
        ASSERT_TRUE(decoded->colorSpace());
        EXPECT_TRUE(decoded->colorSpace()->iccData == profile) << "profile differs";
        EXPECT_TRUE(test::scratchLeftIn(images_).empty());
    }
    if (tried == 0)
        GTEST_SKIP() << "cjpeg not installed (run scripts/setup-tools.sh)";
}

TEST_F(JpegEncoderTest, InsertedSegmentsAreExactlyWhatIccOptionWrites) {
    if (!installed(debianCjpeg))
        GTEST_SKIP() << "cjpeg (libjpeg-turbo) not installed";
    // Three segments, the last one short, and every byte value in the profile.
    std::string profile(2 * iccBytesPerJpegSegment + 1000, '\0');
    for (std::size_t i = 0; i < profile.size(); ++i)
        profile[i] = static_cast<char>(i * 7 % 251);
    const fs::path ppm = dir_ / "in.ppm";
    const fs::path icc = dir_ / "profile.icc";
    test::writeFile(ppm, std::string("P6\n2 1\n255\n") + "\x10\x20\x30\xf0\xe0\xd0");
    test::writeFile(icc, profile);
    const auto run = [&](std::vector<std::string> arguments) {
        ChildProcess process(debianCjpeg, arguments);
        ASSERT_EQ(process.wait(), 0);
    };
    run({"-outfile", (dir_ / "plain.jpg").native(), ppm.native()});
    run({"-icc", icc.native(), "-outfile", (dir_ / "icc.jpg").native(), ppm.native()});

    insertICCProfileIntoJPEG(dir_ / "plain.jpg", profile);
    EXPECT_TRUE(test::readFile(dir_ / "plain.jpg") == test::readFile(dir_ / "icc.jpg"));
}

TEST_F(JpegEncoderTest, ProfilesThatCannotBeInsertedAreRefusedWithoutTouchingTheFile) {
    const fs::path file = dir_ / "not.jpg";
    test::writeFile(file, "PNG, not JPEG");
    const auto kindOf = [](const std::function<void()>& action) -> std::optional<FileError::Kind> {
        try {
            action();
        } catch (const FileError& error) {
            return error.kind();
        }
        return std::nullopt;
    };
    EXPECT_EQ(kindOf([&] { insertICCProfileIntoJPEG(file, "icc"); }),
              FileError::Kind::readCorruptFile);
    EXPECT_EQ(test::readFile(file), "PNG, not JPEG");

    const std::string jpeg("\xFF\xD8\xFF\xD9", 4);
    // 255 segments is all a one-byte count can number.
    const std::string tooLarge(255 * iccBytesPerJpegSegment + 1, 'x');
    EXPECT_EQ(kindOf([&] { jpegWithICCProfile(jpeg, tooLarge); }), FileError::Kind::writeUnknown);
    EXPECT_EQ(
        kindOf([&] { jpegWithICCProfile(std::string("\xFF\xD8\xFF\xE0\x00\x10JF", 8), "x"); }),
        FileError::Kind::readCorruptFile)
        << "an APP0 running past the end";
}

TEST_F(JpegEncoderTest, IccOptionProbeIsAskedAgainOnlyWhenTheToolFileChanges) {
    if (!installed(debianCjpeg) || !installed(test::projectTool("cjpeg")))
        GTEST_SKIP() << "needs both cjpeg kinds (libjpeg-turbo and MozJPEG)";
    const fs::path tool = tools_.path() / "cjpeg";
    tools_.delegate("cjpeg", debianCjpeg);
    EXPECT_TRUE(cjpegAcceptsICCOption(control_, tool));
    EXPECT_TRUE(cjpegAcceptsICCOption(control_, tool));
    EXPECT_EQ(tools_.runs("cjpeg").size(), 1u);

    // Written within the same clock tick, the new script still differs in size.
    tools_.delegate("cjpeg", test::projectTool("cjpeg"));
    EXPECT_FALSE(cjpegAcceptsICCOption(control_, tool));
    EXPECT_FALSE(cjpegAcceptsICCOption(control_, tool));
    EXPECT_EQ(tools_.runs("cjpeg").size(), 2u);
}

TEST_F(JpegEncoderTest, FailedOrUnreadableOutputFailsTheCallAndLeavesNothing) {
    const fs::path source = images_ / "in.png";
    TestImages::png(source, 16, 16);
    const ImagePlan srgb = plan(source);
    const struct {
        const char* what;
        const char* body;
    } cases[] = {{"exit status 1", "exit 1"},
                 {"undecodable output", "printf 'not a jpeg' > \"$out\""},
                 {"empty output", ": > \"$out\""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tools_.add("cjpeg", c.body);
        const fs::path output = images_ / "out.jpg";
        try {
            write(output, srgb, 80);
            ADD_FAILURE() << "no error";
        } catch (const FileError& error) {
            EXPECT_EQ(error.kind(), FileError::Kind::writeUnknown);
        }
        EXPECT_FALSE(fs::exists(output));
        EXPECT_EQ(test::scratchLeftIn(images_), std::vector<std::string>{});
    }
}

TEST_F(JpegEncoderTest, StopWhileCjpegRunsEndsItAndLeavesNoScratchFile) {
    const fs::path started = dir_ / "started";
    tools_.add("cjpeg", ": > '" + started.native() + "'; exec sleep 60");
    const fs::path source = images_ / "in.png";
    TestImages::png(source, 16, 16);
    const ImagePlan srgb = plan(source);

    auto stopper = std::async(std::launch::async, [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!fs::exists(started) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        for (const auto& process : control_.requestStop())
            process->terminate();
    });
    const auto begun = std::chrono::steady_clock::now();
    try {
        write(images_ / "out.jpg", srgb, 80);
        ADD_FAILURE() << "no error";
    } catch (const FolderCompressorControlError& error) {
        EXPECT_EQ(error.kind(), FolderCompressorControlError::Kind::cancelled);
    }
    stopper.get();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(30));
    EXPECT_FALSE(fs::exists(images_ / "out.jpg"));
    EXPECT_EQ(test::scratchLeftIn(images_), std::vector<std::string>{});
}

} // namespace
} // namespace velk
