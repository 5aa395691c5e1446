#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <pthread.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk {
namespace {

using namespace std::chrono_literals;

constexpr auto patience = 10s;
const std::filesystem::path shell = "/bin/sh";

/// True once the pid is no child of ours any more: reaped, not left a zombie.
bool isReaped(int pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

std::unique_ptr<ChildProcess> runShell(const std::string& script,
                                       std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"-c", script, "sh"});
    return std::make_unique<ChildProcess>(shell, extra);
}

TEST(ChildProcessTest, WaitReportsExitStatusAndSignalDeath) {
    const std::pair<std::string, int> cases[] = {
        {"exit 0", 0}, {"exit 3", 3}, {"kill -KILL $$", 128 + SIGKILL}};
    for (const auto& [script, status] : cases) {
        auto process = runShell(script);
        EXPECT_EQ(process->wait(), status) << script;
        EXPECT_EQ(process->wait(), status) << "a second wait repeats the status";
        EXPECT_FALSE(process->isRunning());
        EXPECT_TRUE(isReaped(process->pid())) << script;
    }
}

TEST(ChildProcessTest, WaitForGivesUpOnARunningChildAndReturnsTheStatusOfAnEndedOne) {
    auto sleeper = runShell("exec sleep 30");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(sleeper->waitFor(200ms), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, patience);
    EXPECT_TRUE(sleeper->isRunning());
    sleeper->terminate();
    EXPECT_EQ(sleeper->waitFor(patience), 128 + SIGTERM);
    EXPECT_TRUE(isReaped(sleeper->pid()));
    EXPECT_EQ(runShell("exit 4")->waitFor(patience), 4);
}

TEST(ChildProcessTest, ArgumentsReachTheProgramUnchangedAndOutputGoesNowhere) {
    test::TempDir dir;
    const auto secret = dir / "secret";
    test::writeFile(secret, "x");
    // Opened without O_CLOEXEC, as a careless library would.
    const int leaked = ::open(secret.c_str(), O_RDONLY);
    ASSERT_NE(leaked, -1);

    // $$ is the shell, whose descriptors are exactly what we gave it; the listing goes
    // through a variable because the shell redirects its own stdout for a "> file".
    const std::string script =
        "cat /proc/$$/cmdline > \"$1\"; "
        "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 /proc/$$/fd/*); "
        "echo \"$fds\" > \"$2\"";
    const std::vector<std::string> tricky = {"-o", "a b", "", "$HOME", "*", "\xff"};
    std::vector<std::string> arguments = {dir / "argv", dir / "fds"};
    arguments.insert(arguments.end(), tricky.begin(), tricky.end());
    const int status = runShell(script, arguments)->wait();
    ::close(leaked);
    ASSERT_EQ(status, 0);

    // /proc/PID/cmdline is the exact argv, NUL-separated: no shell came in between.
    std::string argv = shell.native() + '\0' + "-c" + '\0' + script + '\0' + "sh" + '\0';
    for (const auto& argument : arguments)
        argv += argument + '\0';
    EXPECT_EQ(test::readFile(dir / "argv"), argv);
    const std::string fds = test::readFile(dir / "fds");
    EXPECT_EQ(fds.find(secret.native()), std::string::npos) << fds;
    EXPECT_EQ(fds.rfind("/dev/null\n/dev/null\n/dev/null\n", 0), 0u) << fds;
}

TEST(ChildProcessTest, AddedEnvironmentReplacesOursAndKeepsTheRest) {
    test::TempDir dir;
    test::ScopedEnv kept{"VELK_TEST_KEPT", "ours"};
    test::ScopedEnv replaced{"VELK_TEST_REPLACED", "ours"};
    ChildProcess child(
        shell,
        {"-c",
         "printf '%s|' \"$VELK_TEST_KEPT\" \"$VELK_TEST_REPLACED\" \"$VELK_TEST_ADDED\" > \"$0\"; "
         "env | grep -c '^VELK_TEST_REPLACED=' >> \"$0\"",
         (dir / "env").native()},
        {"VELK_TEST_REPLACED=theirs", "VELK_TEST_ADDED=new"});
    ASSERT_EQ(child.wait(), 0);
    EXPECT_EQ(test::readFile(dir / "env"), "ours|theirs|new|1\n");
    EXPECT_THROW(ChildProcess(shell, {"-c", "true"}, {"NO_EQUALS_SIGN"}), ChildProcessError);
}

TEST(ChildProcessTest, LaunchFailuresAreTypedErrors) {
    test::TempDir dir;
    test::writeFile(dir / "plain", "#!/bin/sh\n");
    test::writeFile(dir / "garbage", "\x01\x02\x03 not a program");
    std::filesystem::permissions(dir / "garbage", std::filesystem::perms::owner_all);
    const std::pair<std::filesystem::path, int> cases[] = {
        {dir / "missing", ENOENT}, {dir / "plain", EACCES}, {dir / "garbage", ENOEXEC}};
    for (const auto& [executable, errorNumber] : cases) {
        try {
            ChildProcess process(executable, {});
            ADD_FAILURE() << executable << " launched";
        } catch (const ChildProcessError& error) {
            EXPECT_EQ(error.errorNumber(), errorNumber) << executable;
        }
    }
}

TEST(ChildProcessTest, TerminateEndsAChildAnotherThreadWaitsFor) {
    auto process = runShell("exec sleep 30");
    auto waiting = std::async(std::launch::async, [&] { return process->wait(); });
    EXPECT_TRUE(process->isRunning());
    process->terminate();
    ASSERT_EQ(waiting.wait_for(patience), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 128 + SIGTERM);
    process->terminate(); // reaped: must not signal a pid that may belong to someone else now
    EXPECT_TRUE(isReaped(process->pid()));
}

TEST(ChildProcessTest, TerminateWorksWhateverSignalStateTheCallerHas) {
    // A thread blocking SIGTERM, in a process ignoring it, must still start children
    // that SIGTERM ends: both would otherwise be inherited.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGTERM, &ignore, &previous), 0);
    std::unique_ptr<ChildProcess> process;
    std::thread([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        process = runShell("exec sleep 30");
    }).join();
    ::sigaction(SIGTERM, &previous, nullptr);

    process->terminate();
    auto waiting = std::async(std::launch::async, [&] { return process->wait(); });
    ASSERT_EQ(waiting.wait_for(patience), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 128 + SIGTERM);
}

TEST(ChildProcessTest, DestructorEndsAndReapsARunningChild) {
    test::TempDir dir;
    const auto ready = dir / "ready";
    // Ignored SIGTERM survives exec, so only the SIGKILL after the grace ends the second.
    for (const std::string script :
         {"exec sleep 30", "trap '' TERM; echo > \"$1\"; exec sleep 30"}) {
        std::filesystem::remove(ready);
        const auto start = std::chrono::steady_clock::now();
        int pid = 0;
        {
            auto process = runShell(script, {ready});
            pid = process->pid();
            // The trap must be set before the destructor runs, or the SIGKILL path goes untested.
            while (script.find("trap") != std::string::npos && !std::filesystem::exists(ready) &&
                   std::chrono::steady_clock::now() - start < patience) {
                std::this_thread::yield();
            }
        }
        EXPECT_TRUE(isReaped(pid)) << script;
        EXPECT_LT(std::chrono::steady_clock::now() - start, patience) << script;
    }
}

TEST(ChildProcessTest, DetachedProgramRunsInItsOwnSessionAndIsNoChildOfOurs) {
    test::TempDir dir;
    const auto marker = dir / "pid";
    launchDetached(shell, {"-c", "echo $$ > \"$1.tmp\"; mv \"$1.tmp\" \"$1\"; sleep 2", "sh",
                           marker.native()});
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!std::filesystem::exists(marker) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    const int pid = std::stoi(test::readFile(marker));
    EXPECT_EQ(::getsid(pid), pid);
    EXPECT_TRUE(isReaped(pid));

    try {
        launchDetached(dir / "missing", {});
        ADD_FAILURE() << "launched a missing program";
    } catch (const ChildProcessError& error) {
        EXPECT_EQ(error.errorNumber(), ENOENT);
    }
}

} // namespace
} // namespace velk
