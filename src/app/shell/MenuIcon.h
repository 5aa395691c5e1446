#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace velk {

/// A 16-pixel row icon tinted in `tint`, as the panel draws its rows: the project's own
/// "menu-icons/<name>.svg" from the bundle's resources (or, outside a bundle, the copy
/// compiled into the program), else the desktop icon theme's `fallbackThemeName`, else
/// an empty pixmap. Drawn at the screen scale `devicePixelRatio` so 2x stays sharp.
QPixmap menuIconImage(const QString& name, const QString& fallbackThemeName, const QColor& tint,
                      qreal devicePixelRatio = 1.0, int size = 16);

} // namespace velk
