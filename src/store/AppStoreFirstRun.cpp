// The folder choice's follow-up: a folder that already holds images asks whether to
// compress them or leave them alone, and the new folder's watch is confirmed.
#include <cmath>
#include <cstdlib>
#include <string>

#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/FolderCompressor.h"
#include "engine/HeldFolder.h"
#include "engine/ProcessedFileRegistry.h"
#include "store/AppStore.h"

namespace velk {

namespace fs = std::filesystem;
using AlertStyle = UserDialogs::AlertStyle;

namespace {

/// "12.3 MB" / "12,3 МБ": the size in the question needs only its order of magnitude.
std::string sizeText(std::int64_t bytes, AppLanguage language) {
    const bool megabytes = bytes >= 1'000'000;
    const double value = static_cast<double>(bytes) / (megabytes ? 1e6 : 1e3);
    std::string number = std::to_string(std::lround(value * 10));
    if (number.size() < 2)
        number.insert(0, "0");
    number.insert(number.size() - 1, text(language, ",", "."));
    return number + " " + text(language, megabytes ? "МБ" : "КБ", megabytes ? "MB" : "KB");
}

} // namespace

AppStore::ExistingImages AppStore::existingImages(const fs::path& folder) const {
    ExistingImages existing;
    // Listed where the engine will work, so that the records made of them are its paths.
    const auto target = HeldFolder::resolve(fileSystem_, folder);
    if (!target)
        return existing;
    std::vector<DirectoryEntry> entries;
    try {
        entries = fileSystem_.list(*target);
    } catch (const std::exception&) {
        return existing;
    }
    for (const DirectoryEntry& entry : entries) {
        if (!entry.isRegularFile || entry.isHidden || shouldIgnore(entry.path, *target))
            continue;
        const std::string extension = entry.path.extension().string();
        if (extension.size() < 2 || !isSupportedExtension(std::string_view(extension).substr(1)))
            continue;
        existing.files.push_back(entry.path);
        if (const auto attributes = fileSystem_.attributes(entry.path))
            existing.bytes += attributes->size;
    }
    return existing;
}

void AppStore::leaveExistingImagesAlone(const std::vector<fs::path>& files,
                                        const AppConfig& config) {
    compressor_->leaveAlone(files, LeftAloneReason::existing, config);
}

void AppStore::ignoreFile(const fs::path& file) {
    NativeLog::write("Ignore file " + displayPath(file));
    compressor_->leaveAlone({file}, LeftAloneReason::ignored, config_);
}

void AppStore::stopIgnoring(const fs::path& file) {
    NativeLog::write("Stop ignoring file " + displayPath(file));
    compressor_->stopLeavingAlone(file);
    // Decided afresh now, not at the next change in the folder.
    if (compressor_->isRunning())
        compressor_->requestScan();
}

std::vector<fs::path> AppStore::ignoredFiles() {
    return compressor_->ignoredFiles();
}

void AppStore::restoreOriginal(const fs::path& file,
                               std::function<void(const RestoreResult&)> done) {
    NativeLog::write("Restore original requested " + displayPath(file));
    // The queue may be in the middle of a large file: the answer comes back later rather
    // than the windows waiting for it.
    compressor_->restoreOriginal(file, config_,
                                 [weak = weak_from_this(), executor = mainExecutor_,
                                  done = std::move(done)](const RestoreResult& result) {
                                     executor([weak, done, result] {
                                         if (weak.lock())
                                             done(result);
                                     });
                                 });
}

RestoreResult AppStore::restoreOriginal(const fs::path& file) {
    NativeLog::write("Restore original requested " + displayPath(file));
    return compressor_->restoreOriginal(file, config_);
}

fs::path AppStore::folderDialogStart() const {
    if (const auto folder = resolvedWatchDirectory();
        folder && HeldFolder::resolve(fileSystem_, *folder))
        return *folder;
    const char* home = std::getenv("HOME");
    if (!home || *home == '\0')
        return "/";
    const fs::path pictures = fs::path(home) / "Pictures";
    if (const auto attributes = fileSystem_.attributes(pictures);
        attributes && attributes->isDirectory)
        return pictures;
    return home;
}

void AppStore::didChooseWatchDirectory(const std::optional<fs::path>& folder) {
    NativeLog::write(std::string("Select watch directory response=") + (folder ? "1" : "0"));
    directoryPanelOpen_ = false;
    if (!folder)
        return;
    if (config_.watchDirectory && standardized(*config_.watchDirectory) == standardized(*folder)) {
        watchChosenDirectory(*folder);
        return;
    }
    // A folder that already holds images is not compressed all at once unasked: the
    // promise is that new images will be.
    ExistingImages existing = existingImages(*folder);
    if (existing.files.empty()) {
        watchChosenDirectory(*folder);
        return;
    }
    const AppLanguage language = config_.language;
    const std::string count = std::to_string(existing.files.size());
    const std::string size = sizeText(existing.bytes, language);
    showAlert(
        {AlertStyle::informational,
         text(language,
              "В этой папке уже есть изображения: " + count + " (" + size +
                  "). Сжать их сейчас или только новые?",
              "This folder has " + count + " images (" + size +
                  "). Compress them now, or only new images from now on?"),
         text(language,
              "Выбрав «Только новые», вы оставите эти файлы как есть: программа их не тронет.",
              "With “Only new images” these files stay exactly as they are."),
         {text(language, "Сжать сейчас", "Compress them now"),
          text(language, "Только новые", "Only new images")}},
        nullptr,
        [weak = weak_from_this(), folder = *folder, files = std::move(existing.files)](int button) {
            auto self = weak.lock();
            if (!self)
                return;
            NativeLog::write(std::string("Existing images ") +
                             (button == 0 ? "compressed" : "left alone") +
                             " count=" + std::to_string(files.size()));
            if (button != 0)
                self->leaveExistingImagesAlone(files,
                                               withChosenWatchDirectory(self->config_, folder));
            self->watchChosenDirectory(folder);
        });
}

void AppStore::watchChosenDirectory(const fs::path& folder) {
    const bool wasRunning = compressor_->isRunning();
    // A running engine restarts on the new folder through the change handling.
    watcherError_.reset();
    folderUnavailable_ = false;
    setConfig(withChosenWatchDirectory(config_, folder));
    if (!wasRunning)
        start();
    if (onFolderWatched)
        onFolderWatched();
}

} // namespace velk
