#pragma once

#include <functional>

#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <QWidget>

#include "app/shell/ToggleSwitch.h"
#include "model/AppLanguage.h"

// The menu panel's row widgets. They are small, used by the panel only, and share one
// look, so they live together.

namespace velk {

/// A row with a rounded highlight that fades in while the pointer is over it.
class HoverableRow : public QWidget {
    Q_OBJECT
public:
    explicit HoverableRow(QWidget* parent = nullptr);
    /// Drops the highlight at once, without the fade (the panel is about to reappear).
    void clearHighlight();

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void fadeTo(qreal target);

    QVariantAnimation fade_;
    qreal highlight_ = 0;
};

/// A clickable row: icon, title, an optional subtitle line.
class RowButton : public HoverableRow {
    Q_OBJECT
public:
    RowButton(QString iconName, QString fallbackIcon, bool allowsSubtitle,
              QWidget* parent = nullptr);
    void setTitleText(const QString& title);
    QString titleText() const { return title_.text(); }
    /// An empty subtitle hides the second line.
    void setSubtitleText(const QString& subtitle);
    QString subtitleText() const { return subtitleFull_; }
    /// Performs the row's action, as a click or Return does.
    void activate() { emit activated(); }

signals:
    void activated();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateIcon();
    void elideSubtitle();

    QString iconName_;
    QString fallbackIcon_;
    bool allowsSubtitle_;
    QLabel icon_{this};
    QLabel title_{this};
    QLabel subtitle_{this};
    QString subtitleFull_;
};

/// Icon, title and a pop-up list of (title, raw value) items on the right.
class PopupRow : public HoverableRow {
    Q_OBJECT
public:
    PopupRow(QString iconName, QString fallbackIcon, QWidget* parent = nullptr);
    void setTitleText(const QString& title) { title_.setText(title); }
    QString titleText() const { return title_.text(); }
    QComboBox& popup() { return popup_; }

protected:
    void changeEvent(QEvent* event) override;

private:
    QString iconName_;
    QString fallbackIcon_;
    QLabel icon_{this};
    QLabel title_{this};
    QComboBox popup_{this};
};

/// Title and an on/off switch.
class SwitchRow : public HoverableRow {
    Q_OBJECT
public:
    explicit SwitchRow(QWidget* parent = nullptr);
    void setTitleText(const QString& title) { title_.setText(title); }
    QString titleText() const { return title_.text(); }
    ToggleSwitch& control() { return control_; }

private:
    QLabel title_{this};
    ToggleSwitch control_{this};
};

/// Title, a quality slider from 25 to 100 and its value in per cent.
class QualityRow : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumQuality = 25;
    static constexpr int maximumQuality = 100;

    explicit QualityRow(const QString& title, QWidget* parent = nullptr);
    /// Names the slider for the screen reader: "JPEG quality" / "Качество JPEG".
    void setLanguage(AppLanguage language);
    /// Clamps to the slider's range and updates the label; not a user change. Ignored
    /// while the user drags the knob.
    void setValue(int value);
    int value() const { return slider_.value(); }
    QSlider& slider() { return slider_; }
    QString valueText() const { return valueLabel_.text(); }

    /// The user settled on a new value: a released drag, a key or a wheel step. Values
    /// passed over while dragging only move the label, so one drag is one change.
    std::function<void(int)> onChange;

private:
    void showValue(int value);

    QString title_;
    QLabel titleLabel_{this};
    QSlider slider_{Qt::Horizontal, this};
    QLabel valueLabel_{this};
};

/// A vertical group of rows, drawn on a filled rounded card or plain.
class GroupView : public QWidget {
    Q_OBJECT
public:
    enum class Style { panel, plain };
    explicit GroupView(Style style, QWidget* parent = nullptr);
    void addRow(QWidget* row) { layout_.addWidget(row); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Style style_;
    QVBoxLayout layout_{this};
};

/// Clips one content widget; its height opens and closes it.
class CollapsibleContainer : public QWidget {
    Q_OBJECT
public:
    CollapsibleContainer(QWidget* content, QWidget* parent = nullptr);
    void setOpenHeight(int height);
    int openHeight() const { return height(); }
    /// The height the content needs when fully open.
    int contentHeight() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QWidget* content_;
};

/// The panel's colours, derived from the palette so dark themes work too.
namespace panelColors {
QColor body(const QPalette& palette);
QColor card(const QPalette& palette);
QColor border(const QPalette& palette);
QColor secondaryText(const QPalette& palette);
} // namespace panelColors

} // namespace velk
