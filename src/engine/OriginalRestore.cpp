#include "engine/OriginalRestore.h"

#include <exception>

#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/BackupFolder.h"
#include "engine/EngineControl.h"
#include "engine/SafeInstaller.h"
#include "engine/SourceVersion.h"
#include "engine/Validation.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
RestoreResult refused(std::string message) {
    return RestoreResult{false, std::move(message), {}};
}
} // namespace

RestoreResult restoreOriginal(FileSystem& fs, const fs::path& requested, AppLanguage language) {
    const fs::path file = standardized(requested);
    const std::string name = displayName(file);
    const auto attributes = fs.attributes(file);
    if (!attributes || !attributes->isRegularFile)
        return refused(text(language, name + ": такого файла нет, ничего не изменено.",
                            name + ": no such file; nothing was changed."));
    // Its own control: a stopped engine's cancellation must not refuse a restore.
    EngineControl control;
    control.setCancellationRequested(false);
    try {
        const SourceVersion version = sourceVersion(fs, control, file);
        const auto original = BackupFolder(fs, file.parent_path()).originalOf(file, control);
        if (!original)
            return refused(
                text(language, name + ": нет резервной копии оригинала, ничего не изменено.",
                     name + ": no backup of its original was found; nothing was changed."));
        const fs::path named =
            file.parent_path() / (file.stem().native() + original->backup.extension().native());
        const bool sameName = named == file;
        if (!sameName && fs.exists(named))
            return refused(text(language,
                                name + ": имя оригинала " + displayName(named) +
                                    " занято другим файлом, ничего не изменено.",
                                name + ": the original's name " + displayName(named) +
                                    " is taken by another file; nothing was changed."));

        // A hidden, checked copy first: the file's name only ever holds a whole picture.
        const fs::path temp = SafeInstaller::tempURL(named, tempFileMarker);
        fs.copy(original->backup, temp);
        try {
            if (sha256Digest(fs, control, temp) != original->digest)
                throw FileSystemError("restore", temp, std::make_error_code(std::errc::io_error));
            fs.setPermissionsAndTime(temp, attributes->permissions, attributes->modificationDate);
            fs.flushFile(temp);
            // Changed since it was read: what is there now is not what the person saw.
            requireSourceUnchanged(fs, control, file, version);
            if (sameName) {
                fs.replace(temp, file);
            } else {
                fs.move(temp, named);
            }
        } catch (...) {
            try {
                fs.removeFile(temp);
            } catch (const std::exception&) {
            }
            throw;
        }
        if (!sameName) {
            // The converted result is ours and its original is back: it may go.
            try {
                fs.removeFile(file);
            } catch (const std::exception&) {
            }
        }
        fs.flushFolder(file.parent_path());
        return RestoreResult{
            true,
            text(language, displayName(named) + ": оригинал возвращён (резервная копия сохранена).",
                 displayName(named) + ": the original is back (its backup is kept)."),
            named};
    } catch (const std::exception& error) {
        NativeLog::write("Restore error " + displayPath(file) + ": " + error.what());
        return refused(text(language, name + ": оригинал не возвращён: ",
                            name + ": the original was not put back: ") +
                       userDescription(error, language));
    }
}

} // namespace velk
