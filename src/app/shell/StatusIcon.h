#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

#include "app/shell/TrayStatus.h"

namespace velk {

/// What is drawn over the glyph in the icon's corner or along its bottom.
enum class StatusBadge {
    none,
    progress, ///< a pill with the percentage
    alert,    ///< a red "!"
    success,  ///< a green check
    pause,    ///< two bars
    missing,  ///< an amber "?"
    add,      ///< a blue "+"
};

struct StatusIconLook {
    /// Drawn at half strength: compression is not running.
    bool dimmed = false;
    StatusBadge badge = StatusBadge::none;
    /// The percentage a progress badge shows.
    QString text;
    bool operator==(const StatusIconLook&) const = default;
};

/// The lasting state's look, unless a momentary title (a notice or the progress, as
/// StatusTitle gives it) claims the badge for itself.
StatusIconLook statusIconLook(TrayState state, const QString& momentaryTitle);

/// The tray icon: the project's monochrome "status-icon.svg" (from the bundle's resources,
/// else the copy compiled in, else the icon theme's "folder-download-symbolic") drawn in
/// `color`, with the look's badge, at the usual tray sizes (16 to 64 px) so each host
/// picks a sharp one at 1x and 2x.
QIcon statusIcon(const StatusIconLook& look, const QColor& color);

/// The short text a badge holds for a status title: "37" for " 37%", "!" or "✓" for a
/// notice; empty for an empty title.
QString badgeText(const QString& title);

/// The glyph colour that reads on a panel of `background`: near-white on dark, near-black
/// on light.
QColor glyphColorFor(const QColor& background);

} // namespace velk
