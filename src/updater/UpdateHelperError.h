#pragma once

#include <stdexcept>
#include <string>

namespace velk::updater {

/// Every way an installation can end badly. `description()` is the text of the error line
/// the caller's log may keep; `what()` carries the same text.
class UpdateHelperError : public std::runtime_error {
public:
    enum class Kind {
        installationFailed,
        invalidArguments,
        parentDidNotExit,
        invalidDiskImage,
        updateAppMissing,
        bundleMismatch,
    };

    explicit UpdateHelperError(Kind kind, std::string message = {});
    static UpdateHelperError installationFailed(std::string message) {
        return UpdateHelperError(Kind::installationFailed, std::move(message));
    }

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    Kind kind_;
};

} // namespace velk::updater
