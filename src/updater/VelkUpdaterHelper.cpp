#include "updater/VelkUpdaterHelper.h"

#include "updater/InstallResult.h"
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
    std::optional<std::string> failure;
    bool stillRunning = false;
    try {
        installer.install();
    } catch (const UpdateHelperError& error) {
        failure = error.description();
        stillRunning = error.kind() == UpdateHelperError::Kind::parentDidNotExit;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) {
        errors << "VelkUpdater: " << *failure << '\n';
        errors.flush();
    }
    // Installed or refused, the package has served: a new attempt downloads it again.
    removeDownloadedPackage(arguments->diskImageURL);
    // Before the relaunch, which reads it.
    if (arguments->resultFile)
        writeInstallResult(*arguments->resultFile, arguments->expectedVersion, failure);
    // Whatever happened, the user gets an application back: after a rollback the old one.
    // Not while the old process is still there, though: a second copy would watch and
    // compress the same folder beside it.
    if (arguments->relaunch && !stillRunning)
        installer.relaunch(arguments->targetURL);
    return failure ? 1 : 0;
}

} // namespace velk::updater
