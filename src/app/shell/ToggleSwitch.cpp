#include "app/shell/ToggleSwitch.h"

#include <QFocusEvent>
#include <QPainter>
#include <QSignalBlocker>

#include "app/shell/Legibility.h"
#include "app/shell/PanelRows.h"

namespace velk {

ToggleSwitch::ToggleSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    knob_.setDuration(140);
    knob_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&knob_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        position_ = value.toReal();
        update();
    });
}

void ToggleSwitch::setCheckedSilently(bool on) {
    if (on == isChecked())
        return;
    const QSignalBlocker blocker(this);
    setChecked(on);
    // A render is not a gesture: jump, don't slide.
    knob_.stop();
    position_ = on ? 1 : 0;
    update();
}

QSize ToggleSwitch::sizeHint() const {
    // Room around the pill for the focus ring, so it never sits on the track itself.
    return {34 + 2 * ringRoom, 20 + 2 * ringRoom};
}

void ToggleSwitch::checkStateSet() {
    position_ = isChecked() ? 1 : 0;
}

void ToggleSwitch::nextCheckState() {
    QAbstractButton::nextCheckState();
    animateKnob();
}

void ToggleSwitch::animateKnob() {
    knob_.stop();
    knob_.setStartValue(position_);
    knob_.setEndValue(isChecked() ? 1.0 : 0.0);
    knob_.start();
}

void ToggleSwitch::focusInEvent(QFocusEvent* event) {
    keyboardFocus_ =
        event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track =
        QRectF(rect()).adjusted(ringRoom + 1, ringRoom + 1, -ringRoom - 1, -ringRoom - 1);
    const QPalette& pal = palette();
    const QColor off = pal.color(QPalette::Mid);
    const QColor on = pal.color(QPalette::Highlight);
    QColor fill;
    fill.setRgbF(off.redF() + (on.redF() - off.redF()) * position_,
                 off.greenF() + (on.greenF() - off.greenF()) * position_,
                 off.blueF() + (on.blueF() - off.blueF()) * position_);
    if (!isEnabled())
        fill.setAlphaF(0.45);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);

    const qreal diameter = track.height() - 4;
    const qreal x = track.left() + 2 + (track.width() - diameter - 4) * position_;
    painter.setBrush(QColor(255, 255, 255));
    painter.setPen(QPen(QColor(0, 0, 0, 40), 0.6));
    painter.drawEllipse(QRectF(x, track.top() + 2, diameter, diameter));
    if (hasFocus() && keyboardFocus_) {
        // Drawn outside the pill, on the card the switch sits on in the panel and the
        // settings, which it must stand out from.
        const QColor behind = panelColors::card(pal);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(focusRingColor(pal, behind), 2));
        const QRectF ring = QRectF(rect()).adjusted(1, 1, -1, -1);
        painter.drawRoundedRect(ring, ring.height() / 2, ring.height() / 2);
    }
}

} // namespace velk
