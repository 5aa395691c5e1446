#include "app/shell/StatusIcon.h"

#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

#include "app/shell/BundleInfo.h"

namespace velk {

namespace {

QString statusIconFile() {
    if (const QString resources = bundleResourcesDirectory(); !resources.isEmpty()) {
        const QString bundled = QDir(resources).filePath(QStringLiteral("status-icon.svg"));
        if (QFileInfo::exists(bundled))
            return bundled;
    }
    return QStringLiteral(":/status-icon.svg");
}

QImage glyph(int pixels, const QColor& color) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (QSvgRenderer renderer(statusIconFile()); renderer.isValid()) {
        renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    } else {
        QIcon::fromTheme(QStringLiteral("folder-download-symbolic"),
                         QIcon::fromTheme(QStringLiteral("go-down")))
            .paint(&painter, image.rect());
    }
    // Tint like a template image: keep the shape, take the colour.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

void drawBadge(QImage& image, const QString& badge) {
    const int size = image.width();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool numeric = badge != QLatin1String("!") && badge != QStringLiteral("✓");
    const QColor fill = badge == QLatin1String("!")    ? QColor(0xe0, 0x1b, 0x24)
                        : badge == QStringLiteral("✓") ? QColor(0x26, 0xa2, 0x69)
                                                       : QColor(0x1c, 0x71, 0xd8);
    // Numbers get a pill along the bottom edge, wide enough for "100"; signs a round dot
    // in the corner, as desktops mark their own tray icons.
    const qreal height = size * (numeric ? 0.56 : 0.6);
    const QRectF pill = numeric ? QRectF(0, size - height, size, height)
                                : QRectF(size - height, size - height, height, height);
    // A clear rim separates the badge from the glyph beneath.
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    const qreal rim = qMax<qreal>(1, size / 16.0);
    painter.drawRoundedRect(pill.adjusted(-rim, -rim, rim, rim), height / 2, height / 2);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(fill);
    painter.drawRoundedRect(pill, height / 2, height / 2);

    QFont font;
    font.setBold(true);
    font.setPixelSize(qMax(6, qRound(height * (badge.size() >= 3 ? 0.72 : 0.84))));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(pill, Qt::AlignCenter, badge);
}

} // namespace

QString badgeText(const QString& title) {
    const QString trimmed = title.trimmed();
    if (trimmed.isEmpty())
        return {};
    if (trimmed.endsWith(QLatin1Char('%')))
        return trimmed.chopped(1);
    return trimmed.left(1);
}

QIcon statusIcon(const QString& title, const QColor& color) {
    const QString badge = badgeText(title);
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 44, 48, 64}) {
        QImage image = glyph(size, color);
        if (!badge.isEmpty())
            drawBadge(image, badge);
        icon.addPixmap(QPixmap::fromImage(std::move(image)));
    }
    return icon;
}

} // namespace velk
