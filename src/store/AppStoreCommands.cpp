// The store's commands that talk to the user through dialogs, the file manager or the
// browser. They run on the main thread; every completion holds the store weakly, since
// a dialog may still be open when the program quits.
#include <exception>
#include <string>
#include <utility>

#include "core/BuildSettings.h"
#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "engine/HeldFolder.h"
#include "model/RecordDecodeError.h"
#include "store/AppStore.h"

#include "core/ByteCountText.h"
#include "update/AppUpdateError.h"

namespace velk {

namespace fs = std::filesystem;
using Alert = UserDialogs::Alert;
using AlertStyle = UserDialogs::AlertStyle;

namespace {

std::string invalidDataText(AppLanguage language) {
    return text(language, "Сервер обновлений вернул некорректные данные.",
                "The update server returned invalid data.");
}

// The host of the release manifest, without a port: what a reader knows the server by.
std::string updateHost() {
    std::string_view host = updateManifestURL.substr(updateManifestURL.find("://") + 3);
    host = host.substr(0, host.find('/'));
    return std::string(host.substr(0, host.find(':')));
}

std::string updateErrorText(const std::exception_ptr& error, AppLanguage language,
                            bool duringCheck) {
    try {
        std::rethrow_exception(error);
    } catch (const AppUpdateError& failure) {
        return failure.description(language);
    } catch (const RecordDecodeError&) {
        // A manifest that is not the expected JSON is the server's fault, not the network's.
        return invalidDataText(language);
    } catch (...) {
    }
    if (duringCheck) {
        const std::string host = updateHost();
        return text(language,
                    "Сервер " + host +
                        " недоступен. Проверьте подключение к интернету и повторите попытку.",
                    host + " could not be reached. Check your internet connection and try again.");
    }
    return text(language, "Проверьте подключение к интернету и повторите попытку.",
                "Check your internet connection and try again.");
}

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

bool isBlank(const std::string& text) {
    return text.find_first_not_of(" \t\n\r\v\f") == std::string::npos;
}

} // namespace

bool AppStore::hasDialogs(const char* command) const {
    if (dialogs_)
        return true;
    NativeLog::write(std::string(command) + " ignored: no dialogs");
    return false;
}

void AppStore::showAlert(Alert alert, UserDialogs::Window window,
                         UserDialogs::AlertCompletion completion) {
    dialogs_->showAlert(
        alert, window, completion ? std::move(completion) : [](int) {});
}

void AppStore::selectWatchDirectory(UserDialogs::Window from) {
    if (!hasDialogs("Select watch directory"))
        return;
    NativeLog::write("Select watch directory requested");
    dialogs_->activate();
    directoryPanelOpen_ = true;
    dialogs_->chooseFolder(
        text(config_.language, "Выбрать папку для сжатия", "Choose compression folder"),
        folderDialogStart(), from,
        [weak = weak_from_this()](const std::optional<fs::path>& folder) {
            if (auto self = weak.lock())
                self->didChooseWatchDirectory(folder);
        });
}

std::optional<fs::path> AppStore::existingWatchDirectoryOrAlert() {
    auto folder = resolvedWatchDirectory();
    if (folder && HeldFolder::resolve(fileSystem_, *folder))
        return folder;
    showMissingFolderAlert();
    return std::nullopt;
}

void AppStore::showMissingFolderAlert() {
    const AppLanguage language = config_.language;
    showAlert({AlertStyle::informational,
               text(language, "Папка для сжатия не выбрана", "No compression folder selected"),
               text(language, "Сначала выберите рабочую папку в меню Velk | Compressor.",
                    "Choose a working folder from the Velk | Compressor menu first."),
               {text(language, "Понятно", "OK")}},
              nullptr);
}

void AppStore::showNoBackupsAlert(const std::string& informativeText, UserDialogs::Window window) {
    showAlert({AlertStyle::informational,
               text(config_.language, "Бэкапов пока нет", "There are no backups"),
               informativeText,
               {text(config_.language, "Понятно", "OK")}},
              window);
}

void AppStore::openWatchDirectory() {
    if (!hasDialogs("Open watch directory"))
        return;
    if (const auto folder = existingWatchDirectoryOrAlert())
        dialogs_->openFolder(*folder);
}

void AppStore::openBackupDirectory() {
    if (!hasDialogs("Open backup directory"))
        return;
    const auto folder = existingWatchDirectoryOrAlert();
    if (!folder)
        return;
    const fs::path backups = *folder / backupDirName;
    if (fileSystem_.exists(backups)) {
        dialogs_->openFolder(backups);
        return;
    }
    // Keeping originals makes no backups: only replacing one does.
    showNoBackupsAlert(text(config_.language,
                            "Резервные копии появляются здесь, когда исходники заменяются.",
                            "Backups appear here when originals are replaced."),
                       nullptr);
}

AppStore::BackupFolderSize AppStore::backupFolderSize(const fs::path& folder) const {
    // The day folders and what they hold; a folder that cannot be read counts as empty,
    // the question is then only vaguer.
    BackupFolderSize size;
    std::vector<fs::path> pending{folder};
    while (!pending.empty()) {
        const fs::path current = pending.back();
        pending.pop_back();
        std::vector<DirectoryEntry> entries;
        try {
            entries = fileSystem_.list(current);
        } catch (const std::exception&) {
            continue;
        }
        for (const DirectoryEntry& entry : entries) {
            const auto attributes = fileSystem_.attributes(entry.path);
            if (!attributes)
                continue;
            if (attributes->isDirectory && !attributes->isSymbolicLink) {
                pending.push_back(entry.path);
            } else if (attributes->isRegularFile) {
                ++size.files;
                size.bytes += static_cast<std::int64_t>(attributes->size);
            }
        }
    }
    return size;
}

void AppStore::clearBackups(UserDialogs::Window from) {
    if (!hasDialogs("Clear backups"))
        return;
    const auto folder = existingWatchDirectoryOrAlert();
    if (!folder)
        return;
    const fs::path backups = *folder / backupDirName;
    const AppLanguage language = config_.language;
    if (!fileSystem_.exists(backups)) {
        showNoBackupsAlert(text(language, "Папка с резервными копиями уже пуста.",
                                "The backup folder is already empty."),
                           from);
        return;
    }
    // Say what goes: a person who sees "39 backups (18.4 MB)" knows whether it matters.
    const BackupFolderSize size = backupFolderSize(backups);
    const std::string what =
        countText(size.files, language, "бэкап", "бэкапа", "бэкапов", "backup", "backups") + " (" +
        byteCountText(size.bytes, language) + ")";
    showAlert({AlertStyle::warning,
               text(language, "Удалить " + what + "?", "Delete " + what + "?"),
               text(language, "Исходники в них нельзя будет восстановить.",
                    "The originals in them cannot be recovered."),
               {text(language, "Удалить", "Delete"), text(language, "Отмена", "Cancel")},
               /*defaultButton=*/1},
              from, [weak = weak_from_this(), backups, from](int button) {
                  auto self = weak.lock();
                  if (!self || button != 0)
                      return;
                  try {
                      self->fileSystem_.remove(backups);
                  } catch (const std::exception& error) {
                      NativeLog::write(std::string("Clear backups failed ") + error.what());
                      self->dialogs_->showError(userDescription(error, self->config_.language),
                                                from);
                      return;
                  }
                  NativeLog::write("Backups cleared " + displayPath(backups));
                  self->notifyChange();
              });
}

void AppStore::openWebsite() {
    if (!hasDialogs("Open website"))
        return;
    dialogs_->openURL(std::string(websiteURL));
}

void AppStore::checkUpdates(UserDialogs::Window from) {
    if (!hasDialogs("Check updates"))
        return;
    if (updater_->isBusy())
        return;
    if (const auto& ready = updater_->readyUpdate()) {
        showAvailableUpdate(*ready, from);
        return;
    }
    updater_->check(
        [weak = weak_from_this(), from](const AppUpdateOutcome<AppUpdateCheckResult>& outcome) {
            auto self = weak.lock();
            if (!self)
                return;
            if (!outcome.succeeded()) {
                self->showUpdateError(outcome.error(), from, UpdateStep::check);
                return;
            }
            const auto& answer = outcome.value().value;
            if (const auto* available = std::get_if<AppUpdateCheckResult::Available>(&answer)) {
                self->showAvailableUpdate(available->manifest, from);
                return;
            }
            const std::string& version =
                std::get<AppUpdateCheckResult::UpToDate>(answer).currentVersion;
            const AppLanguage language = self->config_.language;
            self->showAlert(
                {AlertStyle::informational,
                 text(language, "Обновлений нет", "You're up to date"),
                 text(language, "Установлена последняя версия Velk | Compressor (" + version + ").",
                      "The latest version of Velk | Compressor is installed (" + version + ")."),
                 {text(language, "Понятно", "OK")}},
                from);
        });
}

void AppStore::showAvailableUpdate(const AppUpdateManifest& manifest, UserDialogs::Window from) {
    const AppLanguage language = config_.language;
    std::string informative = text(
        language, "Обновление скачается и установится автоматически. Приложение перезапустится.",
        "The update will download and install automatically. The app will restart.");
    if (manifest.notes && !isBlank(*manifest.notes))
        informative += "\n\n" + *manifest.notes;
    showAlert({AlertStyle::informational,
               text(language, "Доступно обновление " + manifest.version,
                    "Update " + manifest.version + " is available"),
               informative,
               {text(language, "Обновить сейчас", "Update now"), text(language, "Позже", "Later")}},
              from, [weak = weak_from_this(), manifest, from](int button) {
                  auto self = weak.lock();
                  if (self && button == 0)
                      self->downloadAndInstall(manifest, from);
              });
}

void AppStore::downloadAndInstall(const AppUpdateManifest& manifest, UserDialogs::Window from) {
    // The client ignores a command while another runs; the alert may have waited that long.
    if (updater_->isBusy())
        return;
    updater_->download(
        manifest, [weak = weak_from_this(), from](const AppUpdateOutcome<fs::path>& downloaded) {
            auto self = weak.lock();
            if (!self)
                return;
            if (!downloaded.succeeded()) {
                self->showUpdateError(downloaded.error(), from);
                return;
            }
            const bool wasRunning = self->compressor_->isRunning();
            self->compressor_->stop();
            self->updater_->installAndRestart(
                [weak, wasRunning, from](const AppUpdateOutcome<std::monostate>& installed) {
                    auto self = weak.lock();
                    if (!self)
                        return;
                    if (installed.succeeded()) {
                        NativeLog::write("Update helper started; terminating for installation");
                        self->dialogs_->terminate();
                        return;
                    }
                    if (wasRunning)
                        self->start();
                    self->showUpdateError(installed.error(), from);
                });
        });
}

void AppStore::showUpdateError(const std::exception_ptr& error, UserDialogs::Window from,
                               UpdateStep step) {
    const AppLanguage language = config_.language;
    NativeLog::write("Update error: " + describe(error));
    showAlert(
        {AlertStyle::warning,
         step == UpdateStep::check
             ? text(language, "Не удалось проверить обновления", "Could not check for updates")
             : text(language, "Не удалось обновить приложение", "Could not update the app"),
         updateErrorText(error, language, step == UpdateStep::check),
         {text(language, "Понятно", "OK")}},
        from);
}

} // namespace velk
