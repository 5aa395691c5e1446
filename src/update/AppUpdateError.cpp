#include "update/AppUpdateError.h"

#include <utility>

namespace velk {

namespace {

std::string describe(AppUpdateError::Kind kind, const std::string& detail, long statusCode) {
    using Kind = AppUpdateError::Kind;
    switch (kind) {
    case Kind::invalidManifest:
    case Kind::installation:
        return detail;
    case Kind::httpStatus:
        return "The update server returned HTTP " + std::to_string(statusCode) + ".";
    case Kind::unsupportedSystem:
        return "This update requires Linux " + detail + " or newer.";
    case Kind::noUpdatePackage:
        return "The update package is no longer available. Check for updates again.";
    case Kind::appRunningFromDiskImage:
        return "Move Velk | Compressor to Applications before installing an update.";
    case Kind::updaterHelperMissing:
        return "The update helper is missing from the application bundle.";
    case Kind::checksumMismatch:
        return "The downloaded update checksum does not match the release manifest.";
    case Kind::signatureInvalid:
        return "The downloaded update is not signed by the publisher of Velk | Compressor.";
    case Kind::updatesFromPackageManager:
        return "Updates for this installation come from the system's package manager.";
    }
    return {};
}

} // namespace

AppUpdateError::AppUpdateError(Kind kind, std::string detail, long statusCode)
    : Error(describe(kind, detail, statusCode)), kind_(kind), detail_(std::move(detail)),
      statusCode_(statusCode) {}

AppUpdateError::AppUpdateError(Kind kind) : AppUpdateError(kind, {}, 0) {}

std::string AppUpdateError::description(AppLanguage language) const {
    switch (kind_) {
    case Kind::invalidManifest:
        return text(language, "Сервер обновлений вернул некорректные данные.",
                    "The update server returned invalid data.");
    case Kind::httpStatus:
        return text(language, "Сервер обновлений временно недоступен. Повторите попытку позже.",
                    "The update server is temporarily unavailable. Try again later.");
    case Kind::unsupportedSystem:
        return text(language, "Эта версия требует Linux " + detail_ + " или новее.",
                    "This update requires Linux " + detail_ + " or newer.");
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
                    "The update component is missing from this build. Download the app "
                    "again.");
    case Kind::checksumMismatch:
        return text(language,
                    "Файл обновления повреждён или не совпадает с опубликованной сборкой.",
                    "The update file is damaged or does not match the published build.");
    case Kind::signatureInvalid:
        return text(language, "Файл обновления не подписан издателем приложения.",
                    "The update file is not signed by the app's publisher.");
    case Kind::updatesFromPackageManager:
        return text(language, "Это приложение обновляется через системный менеджер пакетов.",
                    "This app is updated by the system's package manager.");
    }
    return Error::description(language);
}

AppUpdateError AppUpdateError::invalidManifest(std::string message) {
    return AppUpdateError(Kind::invalidManifest, std::move(message), 0);
}

AppUpdateError AppUpdateError::httpStatus(long statusCode) {
    return AppUpdateError(Kind::httpStatus, {}, statusCode);
}

AppUpdateError AppUpdateError::unsupportedSystem(std::string requiredVersion) {
    return AppUpdateError(Kind::unsupportedSystem, std::move(requiredVersion), 0);
}

AppUpdateError AppUpdateError::installation(std::string message) {
    return AppUpdateError(Kind::installation, std::move(message), 0);
}

} // namespace velk
