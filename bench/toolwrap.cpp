// Stand-in for one outside encoder, put in VELK_TOOL_DIR under the tool's name by
// bench/encoders.sh: runs the real tool of the same name from $VELK_BENCH_REAL_TOOLS with
// the same arguments, and appends one line to $VELK_BENCH_TOOL_LOG:
//
//   NAME <TAB> START <TAB> END <TAB> STATUS <TAB> ARG <TAB> ARG ...
//
// With $VELK_BENCH_KEEP_DIR set (bench/png.sh), it also keeps a hard link to every file
// named as an argument, as the tool left it, under its own name in that folder, and
// appends "NAME <TAB> END <TAB> PATH <TAB> BYTES" for each to sizes.log there.
//
// START and END are wall-clock seconds (CLOCK_REALTIME) around the real tool's whole
// life, launch included. Compiled and linked statically rather than a shell script, so
// the stand-in adds little to what the program is timed for; the benchmark measures that
// little and prints it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

extern char** environ;

namespace {

double now() {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

void appendLine(const char* file, const std::string& line) {
    const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, line.data(), line.size());
        close(fd);
    }
}

void keepFiles(const char* keepDir, const std::string& name, double end, int argc, char** argv) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "\t%.6f\t", end);
    std::string lines;
    for (int i = 1; i < argc; ++i) {
        struct stat info {};
        if (stat(argv[i], &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        std::string base = argv[i];
        if (const auto slash = base.rfind('/'); slash != std::string::npos)
            base = base.substr(slash + 1);
        (void)!link(argv[i], (std::string(keepDir) + "/" + base).c_str());
        lines += name + stamp + argv[i] + "\t" + std::to_string(info.st_size) + "\n";
    }
    appendLine((std::string(keepDir) + "/sizes.log").c_str(), lines);
}

} // namespace

int main(int argc, char** argv) {
    const char* realDir = std::getenv("VELK_BENCH_REAL_TOOLS");
    const char* logFile = std::getenv("VELK_BENCH_TOOL_LOG");
    if (!realDir || !logFile) {
        std::fprintf(stderr,
                     "toolwrap: VELK_BENCH_REAL_TOOLS and VELK_BENCH_TOOL_LOG must be set\n");
        return 127;
    }
    std::string name = argv[0];
    if (const auto slash = name.rfind('/'); slash != std::string::npos)
        name = name.substr(slash + 1);
    const std::string real = std::string(realDir) + "/" + name;
    argv[0] = const_cast<char*>(real.c_str());

    const double start = now();
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, real.c_str(), nullptr, nullptr, argv, environ) != 0) {
        std::perror(real.c_str());
        return 127;
    }
    while (waitpid(child, &status, 0) < 0) {
    }
    const double end = now();

    char times[96];
    std::snprintf(times, sizeof times, "\t%.6f\t%.6f\t%d", start, end,
                  WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    std::string line = name + times;
    for (int i = 1; i < argc; ++i)
        line += std::string("\t") + argv[i];
    line += "\n";
    appendLine(logFile, line);
    if (const char* keepDir = std::getenv("VELK_BENCH_KEEP_DIR"); keepDir && *keepDir)
        keepFiles(keepDir, name, end, argc, argv);
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
