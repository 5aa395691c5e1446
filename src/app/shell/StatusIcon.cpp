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

QColor badgeFill(StatusBadge badge) {
    switch (badge) {
    case StatusBadge::alert:
        return {0xe0, 0x1b, 0x24};
    case StatusBadge::success:
        return {0x26, 0xa2, 0x69};
    case StatusBadge::missing:
        return {0xe5, 0xa5, 0x0a};
    case StatusBadge::pause:
        return {0x77, 0x76, 0x7b};
    case StatusBadge::progress:
    case StatusBadge::add:
    case StatusBadge::none:
        break;
    }
    return {0x1c, 0x71, 0xd8};
}

void drawBadge(QImage& image, const StatusIconLook& look) {
    const int size = image.width();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool numeric = look.badge == StatusBadge::progress;
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
    painter.setBrush(badgeFill(look.badge));
    painter.drawRoundedRect(pill, height / 2, height / 2);

    if (look.badge == StatusBadge::pause) {
        // Drawn, not typed: few fonts have a pause sign that reads at 16 px.
        const qreal bar = qMax<qreal>(1, height * 0.16);
        const qreal tall = height * 0.46;
        const QPointF centre = pill.center();
        painter.setBrush(Qt::white);
        painter.drawRect(QRectF(centre.x() - bar * 1.4, centre.y() - tall / 2, bar, tall));
        painter.drawRect(QRectF(centre.x() + bar * 0.4, centre.y() - tall / 2, bar, tall));
        return;
    }
    const QString sign = look.badge == StatusBadge::progress  ? look.text
                         : look.badge == StatusBadge::alert   ? QStringLiteral("!")
                         : look.badge == StatusBadge::success ? QStringLiteral("✓")
                         : look.badge == StatusBadge::missing ? QStringLiteral("?")
                                                              : QStringLiteral("+");
    QFont font;
    font.setBold(true);
    font.setPixelSize(qMax(6, qRound(height * (sign.size() >= 3 ? 0.72 : 0.84))));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(pill, Qt::AlignCenter, sign);
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

StatusIconLook statusIconLook(TrayState state, const QString& momentaryTitle) {
    const QString momentary = badgeText(momentaryTitle);
    StatusIconLook look;
    look.dimmed = state == TrayState::setup || state == TrayState::off ||
                  state == TrayState::paused || state == TrayState::folderUnavailable ||
                  state == TrayState::problem;
    if (momentary == QLatin1String("!")) {
        look.badge = StatusBadge::alert;
    } else if (momentary == QStringLiteral("✓")) {
        look.badge = StatusBadge::success;
    } else if (!momentary.isEmpty()) {
        look.badge = StatusBadge::progress;
        look.text = momentary;
    } else {
        switch (state) {
        case TrayState::setup:
            look.badge = StatusBadge::add;
            break;
        case TrayState::folderUnavailable:
            look.badge = StatusBadge::missing;
            break;
        case TrayState::problem:
        case TrayState::attention:
            look.badge = StatusBadge::alert;
            break;
        case TrayState::paused:
            look.badge = StatusBadge::pause;
            break;
        case TrayState::off:
        case TrayState::working:
        case TrayState::idle:
            break;
        }
    }
    return look;
}

QColor glyphColorFor(const QColor& background) {
    return background.lightnessF() < 0.5 ? QColor(0xf2, 0xf2, 0xf2) : QColor(0x24, 0x24, 0x24);
}

QIcon statusIcon(const StatusIconLook& look, const QColor& color) {
    QColor ink = color;
    if (look.dimmed)
        ink.setAlphaF(ink.alphaF() * 0.5);
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 44, 48, 64}) {
        QImage image = glyph(size, ink);
        if (look.badge != StatusBadge::none)
            drawBadge(image, look);
        icon.addPixmap(QPixmap::fromImage(std::move(image)));
    }
    return icon;
}

} // namespace velk
