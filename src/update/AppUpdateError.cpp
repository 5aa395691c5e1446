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
