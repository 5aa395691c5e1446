#include "engine/encoders/ExternalTools.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "core/FileError.h"
#include "engine/EngineControl.h"
#include "engine/encoders/CandidateSelection.h"
#include "platform/ChildProcess.h"
#include "platform/FileSystem.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto patience = 10s;

#if defined(__x86_64__)
constexpr std::uint16_t nativeMachine = 62;   // EM_X86_64
constexpr std::uint16_t foreignMachine = 183; // EM_AARCH64
#else
constexpr std::uint16_t nativeMachine = 183;
constexpr std::uint16_t foreignMachine = 62;
#endif

/// The 64-byte header of an ELF file, which is all the architecture check reads.
std::string elfHeader(std::uint16_t machine, std::uint8_t elfClass = 2, std::uint16_t type = 2) {
    std::string header(64, '\0');
    header[0] = 0x7f;
    header[1] = 'E';
    header[2] = 'L';
    header[3] = 'F';
    header[4] = static_cast<char>(elfClass);
    header[5] = 1; // little-endian
    header[6] = 1;
    header[16] = static_cast<char>(type & 0xff);
    header[18] = static_cast<char>(machine & 0xff);
    header[19] = static_cast<char>(machine >> 8);
    header[20] = 1;
    return header;
}

fs::path makeExecutable(const fs::path& path, std::string_view content) {
    test::writeFile(path, content);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

bool isReaped(int pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

bool waitForFile(const fs::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!fs::exists(file)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

class ExternalToolsTest : public ::testing::Test {
protected:
    ExternalToolsTest() { fs::create_directory(tools_); }

    /// Where "sh" is found when the tool folder plays no part.
    std::optional<fs::path> systemShell() {
        test::ScopedEnv unset("VELK_TOOL_DIR", std::nullopt);
        return toolURL("sh");
    }

    test::TempDir dir_;
    fs::path tools_ = dir_ / "tools";
    test::ScopedEnv toolDir_{"VELK_TOOL_DIR", tools_.native()};
};

TEST_F(ExternalToolsTest, ToolFolderComesFirst) {
    const auto tool = makeExecutable(tools_ / "sh", "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(toolURL("sh"), tool);
}

TEST_F(ExternalToolsTest, UnusableCandidatesArePassedOver) {
    const auto fallback = systemShell();
    if (!fallback)
        GTEST_SKIP() << "no sh in the fixed tool folders";

    const auto candidate = tools_ / "sh";
    const struct {
        const char* name;
        std::function<void()> make;
    } cases[] = {
        {"not executable", [&] { test::writeFile(candidate, "#!/bin/sh\nexit 0\n"); }},
        {"other machine", [&] { makeExecutable(candidate, elfHeader(foreignMachine)); }},
        {"random bytes", [&] { makeExecutable(candidate, "\x13\x37 garbage \x00\xff"); }},
        {"a folder", [&] { fs::create_directory(candidate); }},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(candidate.c_str(), 0700), 0); }},
    };
    for (const auto& c : cases) {
        fs::remove_all(candidate);
        c.make();
        EXPECT_EQ(toolURL("sh"), fallback) << c.name;
    }
    fs::remove_all(candidate);
    test::ScopedEnv empty("VELK_TOOL_DIR", "");
    EXPECT_EQ(toolURL("sh"), fallback) << "an empty VELK_TOOL_DIR is no folder";
}

TEST_F(ExternalToolsTest, OnlyPlainNamesAreLookedUp) {
    makeExecutable(tools_ / "tool", "#!/bin/sh\n");
    for (const char* name :
         {"velk-no-such-tool", "", ".", "..", "/bin/sh", "../tools/tool", "sub/tool"}) {
        EXPECT_EQ(toolURL(name), std::nullopt) << name;
    }
}

TEST_F(ExternalToolsTest, ArchitectureCheckReadsElfHeadersAndFollowsInterpreters) {
    const auto bin = dir_ / "bin";
    fs::create_directory(bin);
    fs::create_symlink("/bin/sh", bin / "native-interp");
    makeExecutable(bin / "foreign-interp", elfHeader(foreignMachine));
    test::ScopedEnv path("PATH", bin.native() + ":/usr/bin:/bin");
    const bool haveEnv = fs::exists("/usr/bin/env");

    const auto loop = dir_ / "loop";
    const auto foreignScript = dir_ / "foreign-script";
    makeExecutable(foreignScript, "#!" + (bin / "foreign-interp").native() + "\n");
    const struct {
        const char* name;
        std::string content;
        bool supported;
        bool atLoopPath = false;
    } cases[] = {
        {"native ELF executable", elfHeader(nativeMachine), true},
        {"foreign ELF", elfHeader(foreignMachine), false},
        {"32-bit ELF", elfHeader(nativeMachine, 1), false},
        {"relocatable object", elfHeader(nativeMachine, 2, 1), false},
        {"random bytes", "\x8f\x01\x02 not a program at all", false},
        {"text without #!", "echo hello\n", false},
        {"sh script", "#!/bin/sh\nexit 0\n", true},
        {"blanks and an argument", "#! \t/bin/sh -e\n", true},
        {"relative interpreter", "#!bin/sh\n", false},
        {"missing interpreter", "#!/nonexistent/velk-sh\n", false},
        {"script interpreter of a foreign ELF", "#!" + foreignScript.native() + "\n", false},
        {"interpreter loop", "#!" + loop.native() + "\n", false, true},
        {"#! line too long", "#!/bin/sh " + std::string(300, 'x'), false},
    };
    for (const auto& c : cases) {
        const auto file = c.atLoopPath ? loop : dir_ / "candidate";
        makeExecutable(file, c.content);
        EXPECT_EQ(executableSupportsCurrentArchitecture(file), c.supported) << c.name;
    }

    if (!haveEnv)
        GTEST_SKIP() << "/usr/bin/env missing; env cases not run";
    const struct {
        const char* line;
        bool supported;
    } envCases[] = {
        {"#!/usr/bin/env native-interp\n", true},
        {"#!/usr/bin/env foreign-interp\n", false},
        {"#!/usr/bin/env -S native-interp -e\n", false},
    };
    for (const auto& c : envCases) {
        makeExecutable(dir_ / "candidate", c.line);
        EXPECT_EQ(executableSupportsCurrentArchitecture(dir_ / "candidate"), c.supported) << c.line;
    }
}

class RunToolTest : public ExternalToolsTest {
protected:
    RunToolTest() { control_.setCancellationRequested(false); }

    /// A tool that records its arguments, one a line, then runs `ending`.
    fs::path recordingTool(const std::string& ending) {
        return makeExecutable(tools_ / "tool", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" +
                                                   log_.native() + "'\n" + ending + "\n");
    }

    /// After every run the engine must hold no process.
    void TearDown() override { EXPECT_TRUE(control_.requestStop().empty()); }

    EngineControl control_;
    fs::path log_ = dir_ / "arguments";
};

TEST_F(RunToolTest, ExitStatusDecidesSuccess) {
    const std::vector<std::string> arguments = {"-quality", "82", "-o", dir_ / "out file.jpg", ""};
    const struct {
        std::string ending;
        bool succeeds;
    } cases[] = {
        {"exit 0", true},
        {"exit 1", false},
        {"kill -KILL $$", false},
    };
    for (const auto& c : cases) {
        fs::remove(log_);
        const auto tool = recordingTool(c.ending);
        if (c.succeeds) {
            EXPECT_NO_THROW(runTool(control_, tool, arguments)) << c.ending;
        } else {
            try {
                runTool(control_, tool, arguments);
                ADD_FAILURE() << c.ending << " reported as success";
            } catch (const FileError& error) {
                EXPECT_EQ(error.kind(), FileError::Kind::writeUnknown);
            }
        }
        EXPECT_EQ(test::readFile(log_),
                  "-quality\n82\n-o\n" + (dir_ / "out file.jpg").native() + "\n\n")
            << c.ending;
    }
}

TEST_F(RunToolTest, LaunchFailureIsTheLaunchError) {
    try {
        runTool(control_, tools_ / "missing", {});
        ADD_FAILURE() << "launched a missing tool";
    } catch (const ChildProcessError& error) {
        EXPECT_EQ(error.errorNumber(), ENOENT);
    }
}

TEST_F(RunToolTest, NothingIsLaunchedOnceStopWasRequested) {
    const auto tool = recordingTool("exit 0");
    control_.requestStop();
    try {
        runTool(control_, tool, {});
        ADD_FAILURE() << "ran after stop";
    } catch (const FolderCompressorControlError& error) {
        EXPECT_EQ(error.kind(), FolderCompressorControlError::Kind::cancelled);
    }
    EXPECT_FALSE(fs::exists(log_));
}

TEST_F(RunToolTest, StopEndsARunningToolAndReapsIt) {
    const auto started = dir_ / "started";
    const auto tool =
        makeExecutable(tools_ / "slow", "#!/bin/sh\necho $$ > '" + started.native() +
                                            ".tmp'\nmv '" + started.native() + ".tmp' '" +
                                            started.native() + "'\nexec sleep 30\n");

    auto running = std::async(std::launch::async, [&] { runTool(control_, tool, {}); });
    ASSERT_TRUE(waitForFile(started)) << "the tool never started";
    // As the engine's stop does: flag first, then end whatever process is registered.
    // If the tool is not registered yet, runTool ends it itself on registering.
    for (const auto& process : control_.requestStop())
        process->terminate();

    ASSERT_EQ(running.wait_for(patience), std::future_status::ready);
    try {
        running.get();
        ADD_FAILURE() << "a stopped tool reported success";
    } catch (const FolderCompressorControlError& error) {
        EXPECT_EQ(error.kind(), FolderCompressorControlError::Kind::cancelled);
    }
    EXPECT_TRUE(isReaped(std::stoi(test::readFile(started))));
}

TEST_F(RunToolTest, AbandonedGroupEndsItsToolAndLaunchesNoMore) {
    const auto started = dir_ / "started";
    const auto tool = makeExecutable(tools_ / "slow",
                                     "#!/bin/sh\n: > '" + started.native() + "'\nexec sleep 30\n");
    ToolGroup group;
    auto running = std::async(std::launch::async, [&] { runTool(control_, tool, {}, &group); });
    ASSERT_TRUE(waitForFile(started)) << "the tool never started";
    group.abandon();

    ASSERT_EQ(running.wait_for(patience), std::future_status::ready);
    EXPECT_THROW(running.get(), ToolGroupAbandonedError);
    // The engine itself was not stopped: only the group's runs end.
    EXPECT_FALSE(control_.cancellationRequested());
    fs::remove(log_);
    EXPECT_THROW(runTool(control_, recordingTool("exit 0"), {}, &group), ToolGroupAbandonedError);
    EXPECT_FALSE(fs::exists(log_));
}

class CandidateSelectionTest : public ::testing::Test {
protected:
    fs::path file(const std::string& name, std::size_t size) {
        const auto path = dir_ / name;
        test::writeFile(path, std::string(size, 'x'));
        return path;
    }
    test::TempDir dir_;
};

TEST_F(CandidateSelectionTest, SmallestWinsTiesGoToTheEarlierAndUnreadableSizesFail) {
    const struct {
        std::vector<std::size_t> sizes;
        std::size_t winner;
    } cases[] = {
        {{5}, 0},
        {{3, 1, 1, 2}, 1},
        {{4, 3, 2}, 2},
    };
    for (const auto& c : cases) {
        std::vector<fs::path> candidates;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            candidates.push_back(file("c" + std::to_string(i), c.sizes[i]));
        }
        EXPECT_EQ(smallestCandidate(candidates), candidates[c.winner]);
    }
    EXPECT_THROW(smallestCandidate({file("a", 1), dir_ / "missing"}), FileSystemError);
    EXPECT_THROW(smallestCandidate({}), FileError);
}

TEST_F(CandidateSelectionTest, InstallWinnerReplacesTheDestination) {
    const auto winner = file("winner", 3);
    const auto destination = file("destination", 10);
    installWinner(winner, destination);
    EXPECT_EQ(test::readFile(destination), "xxx");
    EXPECT_EQ(test::readFile(winner), "xxx");

    // A winner that is the destination already must survive the "delete, then copy".
    installWinner(destination, dir_ / "." / "destination");
    EXPECT_EQ(test::readFile(destination), "xxx");

    EXPECT_THROW(installWinner(dir_ / "missing", destination), FileSystemError);
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(CandidateSelectionTest, ScratchFilesGoOnEveryExitButTheDestinationStays) {
    const auto destination = dir_ / "out.jpg";
    try {
        ScratchFiles scratch(destination);
        test::writeFile(scratch.add(dir_ / "input.ppm"), "raster");
        test::writeFile(scratch.add(dir_ / "candidate-1.jpg"), "a");
        scratch.add(dir_ / "never-written.jpg");
        test::writeFile(scratch.add(dir_ / "." / "out.jpg"), "winner");
        throw std::runtime_error("encoder failed");
    } catch (const std::runtime_error&) {
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
        left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left, std::vector<std::string>{"out.jpg"});
}

} // namespace
} // namespace velk
