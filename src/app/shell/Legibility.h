#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

// Text sizes and colours every view shares, so that the desktop's font size and theme
// reach each label: sizes are relative to the application font, colours come from the
// palette and are corrected until they read against the background they sit on.

namespace velk {

/// `base` at `scale` times its point size, with `weight`. A font given in pixels (some
/// platform themes do that) is scaled in pixels.
QFont relativeFont(const QFont& base, qreal scale, QFont::Weight weight = QFont::Normal);

/// WCAG contrast ratio of two opaque colours, from 1 to 21.
double contrastRatio(const QColor& a, const QColor& b);

/// `wanted`, made darker or lighter (the hue kept) until it reaches `ratio` against every
/// one of `backgrounds`, or as near as the hue allows.
QColor readableOn(QColor wanted, std::initializer_list<QColor> backgrounds, double ratio);

/// Red for failure texts on the palette's rows and windows: at least 4.5:1 against Base,
/// AlternateBase and Window.
QColor errorTextColor(const QPalette& palette);

/// The keyboard focus outline on `background`: the palette's highlight, made to reach 3:1.
QColor focusRingColor(const QPalette& palette, const QColor& background);

} // namespace velk
