#pragma once

#include <QAbstractButton>
#include <QVariantAnimation>

namespace velk {

/// An on/off switch: a pill whose knob slides to the right when on. Listen to `clicked`
/// for the user's gestures; renders call `setCheckedSilently`.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);

    /// Sets the state without emitting `toggled` or `clicked`: renders must not echo back
    /// into the store as if the user had acted.
    void setCheckedSilently(bool on);

    QSize sizeHint() const override;
    /// The margin around the pill that the keyboard focus ring is drawn in.
    static constexpr int ringRoom = 3;

protected:
    void paintEvent(QPaintEvent* event) override;
    void checkStateSet() override;
    void nextCheckState() override;
    void focusInEvent(QFocusEvent* event) override;

private:
    void animateKnob();

    QVariantAnimation knob_;
    qreal position_ = 0;
    /// The ring shows only for focus reached by the keyboard, not for the focus a window
    /// hands its first control when it opens.
    bool keyboardFocus_ = false;
};

} // namespace velk
