#pragma once

#include <string>

#include "core/Error.h"

namespace velk {

/// The update client's own failures. what() is the English text the log records, with
/// the detail and status code; description() is what the user reads, without them.
class AppUpdateError : public Error {
public:
    enum class Kind {
        invalidManifest,
        httpStatus,
        unsupportedSystem,
        installation,
        noUpdatePackage,
        appRunningFromDiskImage,
        updaterHelperMissing,
        checksumMismatch,
        /// The build trusts one publisher key and the package is not signed by it.
        signatureInvalid,
        /// The build has no update client: the system's package manager updates it.
        updatesFromPackageManager,
    };

    static AppUpdateError invalidManifest(std::string message);
    static AppUpdateError httpStatus(long statusCode);
    static AppUpdateError unsupportedSystem(std::string requiredVersion);
    static AppUpdateError installation(std::string message);
    explicit AppUpdateError(Kind kind);

    Kind kind() const noexcept { return kind_; }
    /// The message of invalidManifest and installation, the required version of
    /// unsupportedSystem; empty otherwise.
    const std::string& detail() const noexcept { return detail_; }
    /// The code of httpStatus; 0 otherwise.
    long statusCode() const noexcept { return statusCode_; }

    const char* errorDescription() const noexcept { return what(); }
    std::string description(AppLanguage language) const override;

private:
    AppUpdateError(Kind kind, std::string detail, long statusCode);

    Kind kind_;
    std::string detail_;
    long statusCode_ = 0;
};

} // namespace velk
