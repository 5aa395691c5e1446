#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace velk {

/// The tray icon: the project's monochrome "status-icon.svg" (from the bundle's resources,
/// else the copy compiled in, else the icon theme's "folder-download-symbolic") drawn in
/// `color`, the way desktops draw symbolic icons, so it reads on dark and light panels.
///
/// A tray shows no text beside its icons, so a non-empty status `title` is drawn into the
/// icon as a badge: the percentage for progress, a red "!" for a problem, a green check for
/// an already-optimal file. The icon is rendered at the usual tray sizes (16 to 64 px)
/// so each host picks a sharp one at 1x and 2x.
QIcon statusIcon(const QString& title, const QColor& color);

/// The short text a badge holds for a status title: "37" for " 37%", "!" or "✓" for a
/// notice; empty for an empty title.
QString badgeText(const QString& title);

} // namespace velk
