#include "updater/VelkUpdaterHelper.h"

#include "updater/UpdateHelperError.h"

namespace velk::updater {

int VelkUpdaterHelper::run(const std::vector<std::string>& words, std::ostream& errors,
                           const InstallerEnvironment& environment) {
    const auto arguments = parseArguments(words);
    if (!arguments) {
        errors << "VelkUpdater: "
               << UpdateHelperError(UpdateHelperError::Kind::invalidArguments).description()
               << '\n';
        return 1;
    }
    UpdateInstaller installer(*arguments, environment);
    bool stillRunning = false;
    try {
        installer.install();
        return 0;
    } catch (const UpdateHelperError& error) {
        errors << "VelkUpdater: " << error.description() << '\n';
        stillRunning = error.kind() == UpdateHelperError::Kind::parentDidNotExit;
    } catch (const std::exception& error) {
        errors << "VelkUpdater: " << error.what() << '\n';
    }
    errors.flush();
    // Whatever happened, the user gets an application back: after a rollback the old one.
    // Not while the old process is still there, though: a second copy would watch and
    // compress the same folder beside it.
    if (arguments->relaunch && !stillRunning)
        installer.relaunch(arguments->targetURL);
    return 1;
}

} // namespace velk::updater
