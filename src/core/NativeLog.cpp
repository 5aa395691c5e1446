#include "core/NativeLog.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>

#include "core/AtomicWrite.h"
#include "core/Constants.h"
#include "core/Locations.h"
#include "core/Text.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
// One lock for append and rotation, so lines from several threads neither interleave
// nor vanish in a rotation that another thread is doing at the same moment.
std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string timestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[40];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return buffer;
}

void removeQuietly(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

void rotateIfNeeded(const fs::path& current, const fs::path& rotated) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(current, ec);
    if (ec || size <= NativeLog::rotationThreshold)
        return;

    std::string tail;
    bool ok = false;
    {
        std::ifstream in(current, std::ios::binary);
        if (in) {
            in.seekg(static_cast<std::streamoff>(size - NativeLog::rotatedTailBytes));
            if (in) {
                tail.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                ok = !in.bad();
            }
        }
    }
    if (ok)
        ok = !writeFileAtomically(rotated, tail);
    if (!ok)
        removeQuietly(rotated);
    removeQuietly(current);
}

void append(std::string_view message) {
    const fs::path folder = logDirectory();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        return;
    const fs::path current = folder / logFileName;
    const fs::path rotated = folder / rotatedLogFileName;

    std::string line = "[" + timestamp() + "] ";
    line += displayText(message);
    line += '\n';

    std::scoped_lock lock(logMutex());
    rotateIfNeeded(current, rotated);
    if (fs::exists(current, ec)) {
        std::ofstream out(current, std::ios::binary | std::ios::app);
        if (out) {
            out.write(line.data(), static_cast<std::streamsize>(line.size()));
            return;
        }
    }
    (void)writeFileAtomically(current, line);
}
} // namespace

bool NativeLog::debugEnabled() {
    const char* value = std::getenv("VELK_DEBUG_LOG");
    if (value == nullptr)
        return false;
    const std::string lower = asciiLowercase(value);
    return lower == "1" || lower == "true" || lower == "yes";
}

void NativeLog::write(std::string_view message) {
    try {
        append(message);
    } catch (...) {
        // The log must never take its caller down.
    }
}

void NativeLog::debug(std::string_view message) {
    if (debugEnabled())
        write(message);
}

} // namespace velk
