#pragma once

#include <functional>
#include <memory>

#include "platform/FileSystem.h"
#include "update/AppUpdateManifest.h"
#include "update/AppUpdater.h"

namespace velk {

/// The update client this build ships: the HTTPS client for the running program, or, in a
/// build without one, the client that refers the user to the package manager.
///
/// Two environment variables, read only when set, point the client at a test server:
/// VELK_UPDATE_MANIFEST_URL replaces the manifest location and VELK_UPDATE_CA_FILE names
/// PEM certificates to trust besides the system's.
std::unique_ptr<AppUpdater> makeAppUpdater(FileSystem& fileSystem,
                                           std::function<void(std::function<void()>)> mainExecutor);

/// The running program's version and build: from the Info.plist of the bundle it runs
/// from, else the version compiled in.
RunningVersion runningProgramVersion();

/// Whether this build checks for updates itself.
bool hasUpdateClient();

/// For the start of the program: removes what earlier installations left beside the running
/// bundle, and reports the last one's outcome that the installer recorded, in the log and,
/// for a refusal, in a desktop notification: the program the installer started again is
/// then the old version, and nothing else would tell the user so.
void settlePreviousUpdate();

} // namespace velk
