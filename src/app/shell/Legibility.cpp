#include "app/shell/Legibility.h"

#include <algorithm>
#include <cmath>

namespace velk {

namespace {

double channel(double value) {
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& color) {
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

double worstRatio(const QColor& color, std::initializer_list<QColor> backgrounds) {
    double worst = 21;
    for (const QColor& background : backgrounds)
        worst = std::min(worst, contrastRatio(color, background));
    return worst;
}

} // namespace

QFont relativeFont(const QFont& base, qreal scale, QFont::Weight weight) {
    QFont font = base;
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * scale);
    else
        font.setPixelSize(std::max(1, qRound(base.pixelSize() * scale)));
    font.setWeight(weight);
    return font;
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(QColor wanted, std::initializer_list<QColor> backgrounds, double ratio) {
    if (worstRatio(wanted, backgrounds) >= ratio)
        return wanted;
    double mean = 0;
    for (const QColor& background : backgrounds)
        mean += luminance(background);
    const bool darkBackground = mean / static_cast<double>(backgrounds.size()) < 0.18;
    // Walk the lightness away from the backgrounds in small steps; the first that reads
    // keeps as much of the wanted colour as possible.
    float hue = 0, saturation = 0, lightness = 0, alpha = 1;
    wanted.getHslF(&hue, &saturation, &lightness, &alpha);
    QColor best = wanted;
    for (int step = 1; step <= 100; ++step) {
        const float l = std::clamp(lightness + (darkBackground ? 0.01f : -0.01f) * step, 0.f, 1.f);
        const QColor candidate = QColor::fromHslF(hue, saturation, l);
        best = candidate;
        if (worstRatio(candidate, backgrounds) >= ratio)
            break;
    }
    return best;
}

QColor errorTextColor(const QPalette& palette) {
    const QColor base = palette.color(QPalette::Base);
    const bool dark = base.lightness() < 128;
    return readableOn(
        dark ? QColor(0xff, 0x6b, 0x6b) : QColor(0xc0, 0x1c, 0x28),
        {base, palette.color(QPalette::AlternateBase), palette.color(QPalette::Window)}, 4.5);
}

QColor focusRingColor(const QPalette& palette, const QColor& background) {
    return readableOn(palette.color(QPalette::Highlight), {background}, 3.0);
}

} // namespace velk
