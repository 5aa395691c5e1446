#include "platform/ExecutableCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <elf.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace velk {

namespace {

#if defined(__x86_64__)
constexpr std::uint16_t currentMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr std::uint16_t currentMachine = EM_AARCH64;
#else
#error "No ELF machine known for this processor"
#endif

// The kernel reads this much of a script to find its "#!" line (BINPRM_BUF_SIZE) and
// follows at most this many interpreters in a row.
constexpr std::size_t shebangLimit = 256;
constexpr int maximumInterpreterDepth = 4;

/// The first `count` bytes of a regular file; empty for anything else. O_NONBLOCK keeps
/// a FIFO planted under a tool's name from hanging the lookup.
std::string readPrefix(const std::filesystem::path& path, std::size_t count) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1)
        return {};
    std::string bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        bytes.resize(count);
        std::size_t filled = 0;
        while (filled < count) {
            const ssize_t got = ::read(fd, bytes.data() + filled, count - filled);
            if (got == -1 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            filled += static_cast<std::size_t>(got);
        }
        bytes.resize(filled);
    }
    ::close(fd);
    return bytes;
}

bool isNativeElf(std::string_view header) {
    if (header.size() < sizeof(Elf64_Ehdr))
        return false;
    const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(header[index]); };
    if (byte(EI_MAG0) != ELFMAG0 || byte(EI_MAG1) != ELFMAG1 || byte(EI_MAG2) != ELFMAG2 ||
        byte(EI_MAG3) != ELFMAG3) {
        return false;
    }
    if (byte(EI_CLASS) != ELFCLASS64 || byte(EI_DATA) != ELFDATA2LSB)
        return false;
    // Both supported machines are little-endian, so the fields read directly.
    const auto field16 = [&](std::size_t offset) {
        return static_cast<std::uint16_t>(byte(offset) | (byte(offset + 1) << 8));
    };
    const std::uint16_t type = field16(offsetof(Elf64_Ehdr, e_type));
    const std::uint16_t machine = field16(offsetof(Elf64_Ehdr, e_machine));
    // Position-independent executables are ET_DYN.
    return (type == ET_EXEC || type == ET_DYN) && machine == currentMachine;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

/// The words of a "#!" line after the marker, split at blanks.
std::vector<std::string> shebangWords(std::string_view prefix) {
    const std::size_t end = prefix.find('\n');
    if (end == std::string_view::npos && prefix.size() >= shebangLimit)
        return {};
    std::string_view line =
        prefix.substr(2, end == std::string_view::npos ? std::string_view::npos : end - 2);
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i]))
            ++i;
        if (i > start)
            words.emplace_back(line.substr(start, i - start));
    }
    return words;
}

/// Where `env NAME` would find NAME: the first executable file on PATH.
std::optional<std::filesystem::path> searchPath(std::string_view name) {
    const char* value = std::getenv("PATH");
    // env falls back to the system's default search path when PATH is unset.
    std::string_view path = value ? value : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = path.find(':');
        const std::string_view folder = path.substr(0, colon);
        // An empty or relative entry names the current folder, which a background
        // service does not control; pass it over.
        if (!folder.empty() && folder.front() == '/') {
            std::filesystem::path candidate = std::filesystem::path(folder) / name;
            if (isExecutableFile(candidate))
                return candidate;
        }
        if (colon == std::string_view::npos)
            return std::nullopt;
        path.remove_prefix(colon + 1);
    }
}

bool supports(const std::filesystem::path& path, int depth) {
    if (depth > maximumInterpreterDepth)
        return false;
    const std::string prefix = readPrefix(path, std::max(shebangLimit, sizeof(Elf64_Ehdr)));
    if (isNativeElf(prefix))
        return true;
    if (prefix.size() < 2 || prefix[0] != '#' || prefix[1] != '!')
        return false;

    const std::vector<std::string> words = shebangWords(prefix);
    if (words.empty())
        return false;
    const std::filesystem::path interpreter = words.front();
    // The kernel would resolve a relative interpreter against the caller's folder.
    if (!interpreter.is_absolute() || !isExecutableFile(interpreter))
        return false;
    if (!supports(interpreter, depth + 1))
        return false;
    if (interpreter.filename() != "env")
        return true;

    // Only the plain "env NAME" form: options ("-S") and assignments change what runs
    // in ways this check would have to re-implement.
    if (words.size() < 2)
        return false;
    const std::string& name = words[1];
    if (name.front() == '-' || name.find('=') != std::string::npos)
        return false;
    std::optional<std::filesystem::path> target;
    if (name.find('/') != std::string::npos) {
        if (name.front() != '/' || !isExecutableFile(name))
            return false;
        target = name;
    } else {
        target = searchPath(name);
    }
    return target && supports(*target, depth + 1);
}

} // namespace

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return false;
    return ::access(path.c_str(), X_OK) == 0;
}

bool supportsCurrentArchitecture(const std::filesystem::path& path) {
    return supports(path, 0);
}

} // namespace velk
