#pragma once

#include <QString>

namespace velk {

/// The bundle's "Contents/Resources" folder when the program runs from
/// "Contents/MacOS", else empty.
QString bundleResourcesDirectory();

/// The version shown to the user: the bundle's CFBundleShortVersionString, else the
/// version compiled in.
QString displayVersion();
/// The build number beside it, as the bundle or the compiled-in version says.
QString displayBuild();

} // namespace velk
