#include "updater/UpdateHelperError.h"

namespace velk::updater {

namespace {

std::string describe(UpdateHelperError::Kind kind, std::string message) {
    using Kind = UpdateHelperError::Kind;
    switch (kind) {
    case Kind::installationFailed:
        return message;
    case Kind::invalidArguments:
        return "Invalid updater arguments";
    case Kind::parentDidNotExit:
        return "The application did not exit in time";
    case Kind::invalidDiskImage:
        return "Could not mount the update disk image";
    case Kind::updateAppMissing:
        return "The update application was not found";
    case Kind::bundleMismatch:
        return "The update bundle does not match the installed application";
    }
    return message;
}

} // namespace

UpdateHelperError::UpdateHelperError(Kind kind, std::string message)
    : std::runtime_error(describe(kind, std::move(message))), kind_(kind) {}

} // namespace velk::updater
