#include "app/shell/BundleInfo.h"

#include <QCoreApplication>
#include <QDir>

#include "update/UpdateClient.h"

namespace velk {

namespace {

QString contentsDirectory() {
    QDir dir(QCoreApplication::applicationDirPath());
    if (dir.dirName() != QLatin1String("MacOS") || !dir.cdUp() ||
        dir.dirName() != QLatin1String("Contents"))
        return {};
    return dir.path();
}

} // namespace

QString bundleResourcesDirectory() {
    const QString contents = contentsDirectory();
    return contents.isEmpty() ? QString() : QDir(contents).filePath(QStringLiteral("Resources"));
}

QString displayVersion() {
    return QString::fromStdString(runningProgramVersion().version);
}

QString displayBuild() {
    return QString::fromStdString(runningProgramVersion().build);
}

} // namespace velk
