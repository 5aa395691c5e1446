#include "app/shell/BundleInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QXmlStreamReader>

#include "core/Version.h"

namespace velk {

namespace {

QString contentsDirectory() {
    QDir dir(QCoreApplication::applicationDirPath());
    if (dir.dirName() != QLatin1String("MacOS") || !dir.cdUp() ||
        dir.dirName() != QLatin1String("Contents"))
        return {};
    return dir.path();
}

/// The string after <key>`key`</key> at the top level of an XML property list.
QString plistString(const QString& file, const QString& key) {
    QFile plist(file);
    if (!plist.open(QIODevice::ReadOnly))
        return {};
    QXmlStreamReader xml(&plist);
    bool keyMatched = false;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("key")) {
            keyMatched = xml.readElementText() == key;
        } else if (xml.name() == QLatin1String("string")) {
            const QString value = xml.readElementText();
            if (keyMatched)
                return value.trimmed();
            keyMatched = false;
        } else if (xml.name() != QLatin1String("plist") && xml.name() != QLatin1String("dict")) {
            keyMatched = false;
        }
    }
    return {};
}

} // namespace

QString bundleResourcesDirectory() {
    const QString contents = contentsDirectory();
    return contents.isEmpty() ? QString() : QDir(contents).filePath(QStringLiteral("Resources"));
}

QString displayVersion() {
    if (const QString contents = contentsDirectory(); !contents.isEmpty()) {
        const QString version = plistString(QDir(contents).filePath(QStringLiteral("Info.plist")),
                                            QStringLiteral("CFBundleShortVersionString"));
        if (!version.isEmpty())
            return version;
    }
    return QString::fromUtf8(compiledVersion.data(),
                             static_cast<qsizetype>(compiledVersion.size()));
}

} // namespace velk
