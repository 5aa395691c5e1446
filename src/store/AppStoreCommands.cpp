// The store's commands that talk to the user through dialogs, the file manager or the
// browser. They run on the main thread; every completion holds the store weakly, since
// a dialog may still be open when the program quits.
#include <string>
#include <utility>

#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"
#include "store/AppStore.h"

namespace velk {

namespace fs = std::filesystem;
using Alert = UserDialogs::Alert;
using AlertStyle = UserDialogs::AlertStyle;

namespace {

std::string updateErrorText(const AppUpdateFailure& failure, AppLanguage language) {
    using Kind = AppUpdateFailure::Kind;
    switch (failure.kind) {
    case Kind::invalidManifest:
        return text(language, "Сервер обновлений вернул некорректные данные.",
                    "The update server returned invalid data.");
    case Kind::httpStatus:
        return text(language, "Сервер обновлений временно недоступен. Повторите попытку позже.",
                    "The update server is temporarily unavailable. Try again later.");
    case Kind::unsupportedSystem:
        return text(language,
                    "Эта версия требует Linux " + failure.requiredSystemVersion + " или новее.",
                    "This update requires Linux " + failure.requiredSystemVersion +
                        " or newer.");
    case Kind::installation:
        return text(language, "Не удалось заменить приложение. Оно будет оставлено без изменений.",
                    "The app could not be replaced. It was left unchanged.");
    case Kind::noUpdatePackage:
        return text(language, "Файл обновления больше недоступен. Проверьте обновления ещё раз.",
                    "The update package is no longer available. Check again.");
    case Kind::appRunningFromDiskImage:
        return text(language,
                    "Сначала переместите приложение в Applications и запустите его оттуда.",
                    "Move the app to Applications and launch it from there first.");
    case Kind::updaterHelperMissing:
        return text(language,
                    "В сборке отсутствует компонент обновления. Скачайте приложение заново.",
                    "The update component is missing from this build. Download the app again.");
    case Kind::checksumMismatch:
        return text(language,
                    "Файл обновления повреждён или не совпадает с опубликованной сборкой.",
                    "The update file is damaged or does not match the published build.");
    case Kind::signatureMismatch:
        return text(language,
                    "Подпись файла обновления не прошла проверку. Файл удалён.",
                    "The update file's signature could not be verified. The file was deleted.");
    case Kind::updatesManagedBySystem:
        return text(language, "Эту сборку обновляет менеджер пакетов системы.",
                    "This build is updated by the system's package manager.");
    case Kind::other:
        break;
    }
    return text(language, "Проверьте подключение к интернету и повторите попытку.",
                "Check your internet connection and try again.");
}

bool isBlank(const std::string& text) {
    return text.find_first_not_of(" \t\n\r\v\f") == std::string::npos;
}

} // namespace

bool AppStore::hasDialogs(const char* command) const {
    if (dialogs_) return true;
    NativeLog::write(std::string(command) + " ignored: no dialogs");
    return false;
}

void AppStore::showAlert(Alert alert, UserDialogs::Window window,
                         UserDialogs::AlertCompletion completion) {
    dialogs_->showAlert(alert, window, completion ? std::move(completion) : [](int) {});
}

void AppStore::selectWatchDirectory(UserDialogs::Window from) {
    if (!hasDialogs("Select watch directory")) return;
    NativeLog::write("Select watch directory requested");
    dialogs_->activate();
    directoryPanelOpen_ = true;
    dialogs_->chooseFolder(
        text(config_.language, "Выбрать папку для сжатия", "Choose compression folder"), from,
        [weak = weak_from_this()](const std::optional<fs::path>& folder) {
            if (auto self = weak.lock()) self->didChooseWatchDirectory(folder);
        });
}

void AppStore::didChooseWatchDirectory(const std::optional<fs::path>& folder) {
    NativeLog::write(std::string("Select watch directory response=") + (folder ? "1" : "0"));
    directoryPanelOpen_ = false;
    if (!folder) return;
    const bool wasRunning = compressor_.isRunning();
    // A running engine restarts on the new folder through the change handling.
    watcherError_.reset();
    setConfig(withChosenWatchDirectory(config_, *folder));
    if (!wasRunning) start();
}

std::optional<fs::path> AppStore::existingWatchDirectoryOrAlert() {
    auto folder = resolvedWatchDirectory();
    if (folder) {
        const auto attributes = fileSystem_.attributes(*folder);
        if (attributes && attributes->isDirectory) return folder;
    }
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

void AppStore::showNoBackupsAlert(const std::string& informativeText,
                                  UserDialogs::Window window) {
    showAlert({AlertStyle::informational,
               text(config_.language, "Бэкапов пока нет", "There are no backups"),
               informativeText,
               {text(config_.language, "Понятно", "OK")}},
              window);
}

void AppStore::openWatchDirectory() {
    if (!hasDialogs("Open watch directory")) return;
    if (const auto folder = existingWatchDirectoryOrAlert()) dialogs_->openFolder(*folder);
}

void AppStore::openBackupDirectory() {
    if (!hasDialogs("Open backup directory")) return;
    const auto folder = existingWatchDirectoryOrAlert();
    if (!folder) return;
    const fs::path backups = *folder / backupDirName;
    if (fileSystem_.exists(backups)) {
        dialogs_->openFolder(backups);
        return;
    }
    showNoBackupsAlert(
        text(config_.language,
             "Резервные копии появятся здесь после сжатия с сохранением исходников.",
             "Backups will appear here after compression with originals kept."),
        nullptr);
}

void AppStore::clearBackups(UserDialogs::Window from) {
    if (!hasDialogs("Clear backups")) return;
    const auto folder = existingWatchDirectoryOrAlert();
    if (!folder) return;
    const fs::path backups = *folder / backupDirName;
    const AppLanguage language = config_.language;
    if (!fileSystem_.exists(backups)) {
        showNoBackupsAlert(text(language, "Папка с резервными копиями уже пуста.",
                                "The backup folder is already empty."),
                           from);
        return;
    }
    showAlert(
        {AlertStyle::warning, text(language, "Очистить все бэкапы?", "Clear all backups?"),
         text(language,
              "Резервные копии исходников будут удалены без возможности восстановления.",
              "Original-file backups will be permanently deleted."),
         {text(language, "Очистить", "Clear"), text(language, "Отмена", "Cancel")}},
        from, [weak = weak_from_this(), backups, from](int button) {
            auto self = weak.lock();
            if (!self || button != 0) return;
            try {
                self->fileSystem_.remove(backups);
            } catch (const std::exception& error) {
                NativeLog::write(std::string("Clear backups failed ") + error.what());
                self->dialogs_->showError(error.what(), from);
                return;
            }
            NativeLog::write("Backups cleared " + displayPath(backups));
            self->notifyChange();
        });
}

void AppStore::openWebsite() {
    if (!hasDialogs("Open website")) return;
    dialogs_->openURL(std::string(websiteURL));
}

void AppStore::checkUpdates(UserDialogs::Window from) {
    if (!hasDialogs("Check updates")) return;
    if (updater_->isBusy()) return;
    if (const auto ready = updater_->readyUpdate()) {
        showAvailableUpdate(*ready, from);
        return;
    }
    updater_->check([weak = weak_from_this(), from](const AppUpdateCheckAnswer& answer) {
        auto self = weak.lock();
        if (!self) return;
        if (const auto* failure = std::get_if<AppUpdateFailure>(&answer)) {
            self->showUpdateError(*failure, from);
        } else if (const auto* release = std::get_if<AppUpdateRelease>(&answer)) {
            self->showAvailableUpdate(*release, from);
        } else {
            const std::string& version = std::get<AppUpdateUpToDate>(answer).version;
            const AppLanguage language = self->config_.language;
            self->showAlert(
                {AlertStyle::informational, text(language, "Обновлений нет", "You're up to date"),
                 text(language, "Установлена последняя версия Velk | Compressor (" + version + ").",
                      "The latest version of Velk | Compressor is installed (" + version + ")."),
                 {text(language, "Понятно", "OK")}},
                from);
        }
    });
}

void AppStore::showAvailableUpdate(const AppUpdateRelease& release, UserDialogs::Window from) {
    const AppLanguage language = config_.language;
    std::string informative =
        text(language,
             "Обновление скачается и установится автоматически. Приложение перезапустится.",
             "The update will download and install automatically. The app will restart.");
    if (release.notes && !isBlank(*release.notes)) informative += "\n\n" + *release.notes;
    showAlert({AlertStyle::informational,
               text(language, "Доступно обновление " + release.version,
                    "Update " + release.version + " is available"),
               informative,
               {text(language, "Обновить сейчас", "Update now"), text(language, "Позже", "Later")}},
              from, [weak = weak_from_this(), release, from](int button) {
                  auto self = weak.lock();
                  if (self && button == 0) self->downloadAndInstall(release, from);
              });
}

void AppStore::downloadAndInstall(const AppUpdateRelease& release, UserDialogs::Window from) {
    updater_->download(release, [weak = weak_from_this(),
                                 from](const std::optional<AppUpdateFailure>& failure) {
        auto self = weak.lock();
        if (!self) return;
        if (failure) {
            self->showUpdateError(*failure, from);
            return;
        }
        const bool wasRunning = self->compressor_.isRunning();
        self->compressor_.stop();
        self->updater_->installAndRestart(
            [weak, wasRunning, from](const std::optional<AppUpdateFailure>& failure) {
                auto self = weak.lock();
                if (!self) return;
                if (!failure) {
                    NativeLog::write("Update helper started; terminating for installation");
                    self->dialogs_->terminate();
                    return;
                }
                if (wasRunning) self->start();
                self->showUpdateError(*failure, from);
            });
    });
}

void AppStore::showUpdateError(const AppUpdateFailure& failure, UserDialogs::Window from) {
    const AppLanguage language = config_.language;
    const std::string informative = updateErrorText(failure, language);
    NativeLog::write("Update error: " +
                     (failure.description.empty() ? informative : failure.description));
    showAlert({AlertStyle::warning,
               text(language, "Не удалось обновить приложение", "Could not update the app"),
               informative,
               {text(language, "Понятно", "OK")}},
              from);
}

} // namespace velk
