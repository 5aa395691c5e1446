#include "engine/SafeInstaller.h"

#include <chrono>
#include <exception>
#include <string>
#include <system_error>
#include <utility>

#include "core/Constants.h"
#include "core/FileError.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "core/Uuid.h"
#include "engine/Validation.h"

namespace velk {

namespace fs = std::filesystem;

namespace {

// More same-named backups in one millisecond than this means the existence test is
// lying, not that the user made them.
constexpr int maximumBackupCollisions = 10'000;

// The longest file name Linux file systems accept, in bytes.
constexpr std::size_t maximumNameBytes = 255;

[[noreturn]] void throwSourceChanged() {
    throw FolderCompressorControlError(FolderCompressorControlError::Kind::sourceChanged);
}

[[noreturn]] void throwNameTaken(std::string_view operation, const fs::path& path) {
    throw FileSystemError(operation, path, std::make_error_code(std::errc::file_exists));
}

/// The extension without its dot; empty when there is none.
std::string extensionText(const fs::path& file) {
    std::string extension = file.extension().native();
    if (!extension.empty())
        extension.erase(0, 1);
    return extension;
}

} // namespace

SafeInstaller::SafeInstaller(FileSystem& fs, const EngineControl& control, Clock clock)
    : fs_(fs), control_(control), clock_(std::move(clock)) {
    if (!clock_)
        clock_ = [] { return std::chrono::system_clock::now(); };
}

fs::path SafeInstaller::tempURL(const fs::path& file, std::string_view marker) {
    std::string extension = extensionText(file);
    if (extension.empty())
        extension = "tmp";
    // Whatever the source's name, the scratch name must stay within the file system's
    // limit; the stem is kept whole whenever it fits, since recovery reads it back.
    const std::size_t fixedBytes = 1 + marker.size() + 1 + 36 + 1 + extension.size();
    std::string name = ".";
    name += truncatedToBytes(file.stem().native(),
                             maximumNameBytes > fixedBytes ? maximumNameBytes - fixedBytes : 0);
    name += marker;
    name += '-';
    name += Uuid::random().toString();
    name += '.';
    name += extension;
    return file.parent_path() / name;
}

fs::path SafeInstaller::chooseBackupName(const fs::path& folder, const fs::path& source,
                                         Date now) const {
    const std::string extension = extensionText(source);
    const auto named = [&](const std::string& suffix) {
        // A long name loses the end of its stem rather than its backup.
        const std::size_t fixedBytes = suffix.size() + 1 + extension.size();
        std::string name(
            truncatedToBytes(source.stem().native(),
                             maximumNameBytes > fixedBytes ? maximumNameBytes - fixedBytes : 0));
        name += suffix;
        if (!extension.empty())
            name += "." + extension;
        return folder / name;
    };

    fs::path candidate = named(".original");
    if (!fs_.exists(candidate))
        return candidate;
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::string stamped = ".original-" + std::to_string(milliseconds);
    candidate = named(stamped);
    if (!fs_.exists(candidate))
        return candidate;
    for (int n = 1; n <= maximumBackupCollisions; ++n) {
        candidate = named(stamped + "-" + std::to_string(n));
        if (!fs_.exists(candidate))
            return candidate;
    }
    throwNameTaken("back up", candidate);
}

fs::path SafeInstaller::backup(const fs::path& source, const SourceVersion& expected,
                               const std::optional<fs::path>& watchDirectory) {
    if (!watchDirectory)
        throw FileError(FileError::Kind::noSuchFile);
    const Date now = clock_();
    const fs::path file = standardized(source);
    const fs::path watched = standardized(*watchDirectory);

    // Sources are top-level files, so this is normally just the file name; a source
    // outside the watched folder must not climb out of the backup folder either.
    fs::path relative = file.lexically_relative(watched);
    if (relative.empty() || relative == "." || *relative.begin() == "..") {
        relative = file.filename();
    }
    const fs::path folder = (watched / backupDirName / isoDay(now) / relative).parent_path();
    // Made one level at a time and refused at anything but a folder: a backup folder
    // someone replaced by a link would carry the user's originals off to where it points.
    fs::path level = watched;
    for (const fs::path& part : folder.lexically_relative(watched)) {
        level /= part;
        const auto attributes = fs_.attributes(level);
        if (!attributes)
            fs_.createDirectories(level);
        else if (!attributes->isDirectory)
            throwNameTaken("back up", level);
    }

    // The copy would read through a symbolic link; a source that is no longer the regular
    // file we read is not the version we were asked to keep.
    const auto attributes = fs_.attributes(file);
    if (!attributes || !attributes->isRegularFile)
        throwSourceChanged();

    // A run killed after its backup but before the swap restores the source and encodes
    // it again; the verified copy it already made is kept rather than a second one.
    const std::string chosen = chooseBackupName(folder, file, now).filename().native();
    const std::string prefix = chosen.substr(0, chosen.rfind(".original") + 9);
    for (const DirectoryEntry& entry : fs_.list(folder)) {
        if (!entry.isRegularFile || entry.isHidden ||
            !entry.path.filename().native().starts_with(prefix))
            continue;
        if (fileSize(fs_, entry.path) == expected.signature.size &&
            sha256Digest(fs_, control_, entry.path) == expected.digest)
            return entry.path;
    }

    // Copied under a hidden scratch name and renamed only once verified, so a crash
    // mid-copy can never leave a partial file under a name that claims to be the original.
    const fs::path scratch = tempURL(folder / file.filename(), tempFileMarker);
    struct ScratchRemover {
        SafeInstaller& installer;
        const fs::path& path;
        bool keep = false;
        ~ScratchRemover() {
            if (!keep)
                installer.removeQuietly(path);
        }
    } scratchRemover{*this, scratch};
    fs_.copy(file, scratch);

    const std::int64_t size = fileSize(fs_, scratch);
    const Sha256::Digest digest = sha256Digest(fs_, control_, scratch);
    if (size != expected.signature.size || digest != expected.digest) {
        // Newer contents than the version read: keeping them here would pass off an image
        // the engine never examined as the original.
        throwSourceChanged();
    }
    for (int attempt = 0;; ++attempt) {
        const fs::path target = chooseBackupName(folder, file, now);
        try {
            fs_.move(scratch, target);
        } catch (const FileSystemError& error) {
            // Another process took the chosen name between the test and the rename.
            if (error.code() == std::errc::file_exists && attempt < 3)
                continue;
            throw;
        }
        scratchRemover.keep = true;
        fs_.flushFolder(folder);
        return target;
    }
}

void SafeInstaller::moveOrCopyFile(const fs::path& from, const fs::path& to) {
    try {
        fs_.move(from, to);
        return;
    } catch (const std::exception&) {
        // Fall through to the copy; its error is the one worth reporting.
    }
    fs_.copy(from, to);
    removeQuietly(from);
}

void SafeInstaller::replaceOutputFile(const fs::path& temp, const fs::path& output) {
    // Durable before its name is: after a power cut the output is whole or absent.
    fs_.flushFile(temp);
    std::optional<fs::path> aside;
    if (const auto attributes = fs_.attributes(output)) {
        // Removing the aside item at the end would delete a folder's whole contents or a
        // link's meaning; only a file can be swapped out.
        if (!attributes->isRegularFile)
            throwNameTaken("install", output);
        aside = tempURL(output, replaceFileMarker);
        fs_.move(output, *aside);
    }
    try {
        moveOrCopyFile(temp, output);
    } catch (...) {
        if (aside)
            moveBackQuietly(*aside, output);
        throw;
    }
    fs_.flushFolder(output.parent_path());
    if (aside)
        removeQuietly(*aside);
}

void SafeInstaller::replaceOriginalSafely(const fs::path& temp, const fs::path& original,
                                          const SourceVersion& expected) {
    // The result must be on disk before the original gives up its name, and the new name
    // before the original's last copy in the folder goes.
    fs_.flushFile(temp);
    const fs::path aside = tempURL(original, replaceFileMarker);
    fs_.move(original, aside);
    try {
        // A rename keeps dates and file number, so the aside file must still be exactly
        // the version that was read and backed up; a link moved aside fails here too.
        requireSourceUnchanged(fs_, control_, aside, expected);
        moveOrCopyFile(temp, original);
        fs_.flushFolder(original.parent_path());
    } catch (...) {
        moveBackQuietly(aside, original);
        throw;
    }
    removeQuietly(aside);
}

void SafeInstaller::replaceConvertedOriginalSafely(const fs::path& temp, const fs::path& output,
                                                   const fs::path& original,
                                                   const SourceVersion& expected) {
    if (standardized(output) == standardized(original)) {
        replaceOriginalSafely(temp, original, expected);
        return;
    }
    // Only the source gets a backup. A file already under the output's name is someone's
    // image (or an earlier result) with no copy anywhere, so it is never replaced; the
    // install below refuses an existing name as well, should one appear meanwhile.
    if (fs_.exists(output))
        throwNameTaken("install", output);
    fs_.flushFile(temp);
    const fs::path aside = tempURL(original, replaceFileMarker);
    fs_.move(original, aside);
    try {
        requireSourceUnchanged(fs_, control_, aside, expected);
        moveOrCopyFile(temp, output);
        fs_.flushFolder(output.parent_path());
    } catch (...) {
        moveBackQuietly(aside, original);
        throw;
    }
    removeQuietly(aside);
}

void SafeInstaller::removeQuietly(const fs::path& path) noexcept {
    try {
        fs_.remove(path);
    } catch (...) {
        // Leftovers carry a hidden marker name that scans ignore.
    }
}

void SafeInstaller::moveBackQuietly(const fs::path& aside, const fs::path& original) noexcept {
    // The move refuses an existing name, so whatever took the name meanwhile is kept and
    // the aside file stays hidden beside it.
    try {
        fs_.move(aside, original);
    } catch (...) {
    }
}

} // namespace velk
