#include "app/shell/MenuIcon.h"

#include "app/shell/BundleInfo.h"

#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QSvgRenderer>

namespace velk {

namespace {

QString iconFile(const QString& name) {
    const QString file = name + QStringLiteral(".svg");
    if (const QString resources = bundleResourcesDirectory(); !resources.isEmpty()) {
        const QString bundled = QDir(resources).filePath(QStringLiteral("menu-icons/") + file);
        if (QFileInfo::exists(bundled))
            return bundled;
    }
    const QString compiledIn = QStringLiteral(":/menu-icons/") + file;
    return QFileInfo::exists(compiledIn) ? compiledIn : QString();
}

// The icons are drawn in one colour and tinted here, like template images: they follow
// the palette on dark and light themes alike.
QPixmap tinted(QImage image, const QColor& tint) {
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), tint);
    painter.end();
    return QPixmap::fromImage(std::move(image));
}

} // namespace

QPixmap menuIconImage(const QString& name, const QString& fallbackThemeName, const QColor& tint,
                      qreal devicePixelRatio, int size) {
    const int pixels = qRound(size * devicePixelRatio);
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    bool drawn = false;
    if (const QString file = iconFile(name); !file.isEmpty()) {
        QSvgRenderer renderer(file);
        if (renderer.isValid()) {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.render(&painter, QRectF(0, 0, pixels, pixels));
            drawn = true;
        }
    }
    if (!drawn) {
        const QIcon themed = QIcon::fromTheme(fallbackThemeName);
        if (themed.isNull()) {
            QPixmap empty(pixels, pixels);
            empty.fill(Qt::transparent);
            empty.setDevicePixelRatio(devicePixelRatio);
            return empty;
        }
        QPainter painter(&image);
        themed.paint(&painter, QRect(0, 0, pixels, pixels));
    }
    QPixmap result = tinted(std::move(image), tint);
    result.setDevicePixelRatio(devicePixelRatio);
    return result;
}

} // namespace velk
