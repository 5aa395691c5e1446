#include "app/shell/PanelRows.h"

#include <algorithm>

#include <QAccessibleWidget>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>

#include "app/shell/Legibility.h"
#include "app/shell/MenuIcon.h"

namespace velk {

namespace panelColors {

namespace {
bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}
} // namespace

QColor body(const QPalette& palette) {
    return isDark(palette) ? palette.color(QPalette::Window).darker(115) : QColor(0xf4, 0xf4, 0xf6);
}

QColor card(const QPalette& palette) {
    return isDark(palette) ? palette.color(QPalette::Window).lighter(125)
                           : QColor(0xff, 0xff, 0xff);
}

QColor border(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(isDark(palette) ? 0.22 : 0.14);
    return color;
}

QColor secondaryText(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.58);
    return color;
}

} // namespace panelColors

namespace {

constexpr int iconSize = 16;
constexpr int rowHeight = 34;
constexpr int rowWithSubtitleHeight = 44;
constexpr int rowPadding = 10;
constexpr int popupWidth = 100;

/// The panel was drawn for a 13 px (10 pt) application font; sizes follow the font the
/// desktop sets, in proportion.
QFont scaled(const QFont& font, int designPixels, bool bold = false) {
    return relativeFont(font, designPixels / 13.0, bold ? QFont::Bold : QFont::Normal);
}

/// A row's height for its text: the designed height, or more when the font needs it.
int heightFor(const QFontMetrics& metrics, int designed, int lines = 1) {
    return std::max(designed, lines * metrics.lineSpacing() + 16);
}

void setIcon(QLabel& label, const QString& name, const QString& fallback) {
    label.setPixmap(menuIconImage(name, fallback, label.palette().color(QPalette::WindowText),
                                  label.devicePixelRatioF()));
}

/// A RowButton is a button to assistive technology, pressed like one; a plain widget
/// would reach it as a nameless filler.
class RowButtonAccessible : public QAccessibleWidget {
public:
    explicit RowButtonAccessible(RowButton* row) : QAccessibleWidget(row, QAccessible::Button) {}
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override {
        if (action == pressAction())
            static_cast<RowButton*>(widget())->activate();
    }
};

QAccessibleInterface* rowButtonAccessible(const QString& className, QObject* object) {
    // Owned by Qt's accessibility cache once returned.
    if (className == QLatin1String("velk::RowButton"))
        return new RowButtonAccessible(static_cast<RowButton*>(object));
    return nullptr;
}

} // namespace

HoverableRow::HoverableRow(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_Hover);
    fade_.setDuration(220);
    connect(&fade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        highlight_ = value.toReal();
        update();
    });
}

void HoverableRow::clearHighlight() {
    fade_.stop();
    highlight_ = 0;
    update();
}

void HoverableRow::enterEvent(QEnterEvent* event) {
    fadeTo(1);
    QWidget::enterEvent(event);
}

void HoverableRow::leaveEvent(QEvent* event) {
    fadeTo(0);
    QWidget::leaveEvent(event);
}

void HoverableRow::fadeTo(qreal target) {
    fade_.stop();
    fade_.setStartValue(highlight_);
    fade_.setEndValue(target);
    fade_.start();
}

void HoverableRow::paintEvent(QPaintEvent*) {
    if (highlight_ <= 0 && !hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor color = palette().color(QPalette::WindowText);
    color.setAlphaF(0.08 * highlight_);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawRoundedRect(QRectF(rect()).adjusted(2, 1, -2, -1), 8, 8);
    if (hasFocus()) {
        // A tint alone is too faint to find; the ring reaches 3:1 against the card.
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(focusRingColor(palette(), panelColors::card(palette())), 2));
        painter.drawRoundedRect(QRectF(rect()).adjusted(3, 2, -3, -2), 7, 7);
    }
}

RowButton::RowButton(QString iconName, QString fallbackIcon, bool allowsSubtitle, QWidget* parent)
    : HoverableRow(parent), iconName_(std::move(iconName)), fallbackIcon_(std::move(fallbackIcon)),
      allowsSubtitle_(allowsSubtitle) {
    static const bool accessibleRows = [] {
        QAccessible::installFactory(rowButtonAccessible);
        return true;
    }();
    (void)accessibleRows;
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(rowPadding, 0, rowPadding, 0);
    row->setSpacing(10);
    icon_.setFixedSize(iconSize, iconSize);
    row->addWidget(&icon_, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    texts->setContentsMargins(0, 0, 0, 0);
    title_.setFont(scaled(font(), 13));
    subtitle_.setFont(scaled(font(), 11));
    QPalette subtle = subtitle_.palette();
    subtle.setColor(QPalette::WindowText, panelColors::secondaryText(palette()));
    subtitle_.setPalette(subtle);
    subtitle_.hide();
    texts->addWidget(&title_);
    texts->addWidget(&subtitle_);
    row->addLayout(texts, 1);
    setFixedHeight(heightFor(title_.fontMetrics(), rowHeight));
    updateIcon();
}

void RowButton::setTitleText(const QString& title) {
    title_.setText(title);
    setAccessibleName(title);
}

void RowButton::setSubtitleText(const QString& subtitle) {
    if (!allowsSubtitle_)
        return;
    subtitleFull_ = subtitle;
    subtitle_.setToolTip(subtitle);
    elideSubtitle();
    subtitle_.setVisible(!subtitle.isEmpty());
    setFixedHeight(subtitle.isEmpty() ? heightFor(title_.fontMetrics(), rowHeight)
                                      : std::max(rowWithSubtitleHeight,
                                                 title_.fontMetrics().lineSpacing() +
                                                     subtitle_.fontMetrics().lineSpacing() + 14));
}

void RowButton::elideSubtitle() {
    const int room = std::max(40, width() - 2 * rowPadding - iconSize - 10);
    subtitle_.setText(subtitle_.fontMetrics().elidedText(subtitleFull_, Qt::ElideMiddle, room));
}

void RowButton::resizeEvent(QResizeEvent* event) {
    // A long folder name must not widen the panel: elide to the room the row has.
    elideSubtitle();
    HoverableRow::resizeEvent(event);
}

void RowButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit activated();
}

void RowButton::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
        event->key() == Qt::Key_Space) {
        emit activated();
        return;
    }
    HoverableRow::keyPressEvent(event);
}

void RowButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange)
        updateIcon();
    HoverableRow::changeEvent(event);
}

void RowButton::updateIcon() {
    setIcon(icon_, iconName_, fallbackIcon_);
}

PopupRow::PopupRow(QString iconName, QString fallbackIcon, QWidget* parent)
    : HoverableRow(parent), iconName_(std::move(iconName)), fallbackIcon_(std::move(fallbackIcon)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(rowPadding, 0, 4, 0);
    row->setSpacing(8);
    icon_.setFixedSize(iconSize, iconSize);
    row->addWidget(&icon_, 0, Qt::AlignVCenter);
    title_.setFont(scaled(font(), 13));
    title_.setMinimumWidth(0);
    title_.setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row->addWidget(&title_, 1);
    popup_.setFont(scaled(font(), 11));
    // One width for the three lists keeps their right edges and arrows in a column.
    popup_.setFixedWidth(popupWidth);
    popup_.setCursor(Qt::PointingHandCursor);
    // On Linux a list's accessible name is its value; the label comes by this relation.
    title_.setBuddy(&popup_);
    row->addWidget(&popup_, 0, Qt::AlignVCenter);
    setFixedHeight(
        std::max(heightFor(title_.fontMetrics(), rowHeight + 2), popup_.sizeHint().height() + 6));
    setIcon(icon_, iconName_, fallbackIcon_);
}

void PopupRow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange)
        setIcon(icon_, iconName_, fallbackIcon_);
    HoverableRow::changeEvent(event);
}

SwitchRow::SwitchRow(QWidget* parent) : HoverableRow(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(rowPadding + 2, 0, rowPadding, 0);
    title_.setFont(scaled(font(), 13, true));
    row->addWidget(&title_, 1);
    control_.setFixedSize(control_.sizeHint());
    title_.setBuddy(&control_);
    row->addWidget(&control_, 0, Qt::AlignVCenter);
    setFixedHeight(heightFor(title_.fontMetrics(), rowHeight + 6));
}

QualityRow::QualityRow(const QString& title, QWidget* parent) : QWidget(parent), title_(title) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(rowPadding + 2, 0, rowPadding, 0);
    row->setSpacing(10);
    titleLabel_.setText(title);
    titleLabel_.setFont(scaled(font(), 12));
    titleLabel_.setFixedWidth(
        std::max(38, titleLabel_.fontMetrics().horizontalAdvance(QStringLiteral("HEIC")) + 4));
    row->addWidget(&titleLabel_);
    slider_.setRange(minimumQuality, maximumQuality);
    slider_.setCursor(Qt::PointingHandCursor);
    setLanguage(AppLanguage::english);
    row->addWidget(&slider_, 1);
    valueLabel_.setFont(scaled(font(), 12));
    valueLabel_.setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    valueLabel_.setFixedWidth(valueLabel_.fontMetrics().horizontalAdvance(QStringLiteral("100%")) +
                              4);
    row->addWidget(&valueLabel_);
    setFixedHeight(heightFor(titleLabel_.fontMetrics(), 30));
    setValue(75);

    connect(&slider_, &QSlider::valueChanged, this, [this](int value) {
        showValue(value);
        if (!slider_.isSliderDown() && onChange)
            onChange(value);
    });
    connect(&slider_, &QSlider::sliderReleased, this, [this] {
        if (onChange)
            onChange(slider_.value());
    });
}

void QualityRow::setLanguage(AppLanguage language) {
    slider_.setAccessibleName(language == AppLanguage::russian
                                  ? QStringLiteral("Качество ") + title_
                                  : title_ + QStringLiteral(" quality"));
}

void QualityRow::setValue(int value) {
    // A render must not yank the knob from under a drag; the release saves the value.
    if (slider_.isSliderDown())
        return;
    value = std::clamp(value, minimumQuality, maximumQuality);
    const QSignalBlocker blocker(slider_);
    slider_.setValue(value);
    showValue(value);
}

void QualityRow::showValue(int value) {
    const QString percent = QString::number(value) + QLatin1Char('%');
    valueLabel_.setText(percent);
    slider_.setAccessibleDescription(percent);
}

GroupView::GroupView(Style style, QWidget* parent) : QWidget(parent), style_(style) {
    layout_.setSpacing(style == Style::panel ? 0 : 1);
    layout_.setContentsMargins(style == Style::panel ? QMargins(4, 4, 4, 4) : QMargins(0, 0, 0, 0));
}

void GroupView::paintEvent(QPaintEvent*) {
    if (style_ == Style::plain)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(panelColors::border(palette()), 0.8));
    painter.setBrush(panelColors::card(palette()));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
}

CollapsibleContainer::CollapsibleContainer(QWidget* content, QWidget* parent)
    : QWidget(parent), content_(content) {
    content_->setParent(this);
    setOpenHeight(0);
}

void CollapsibleContainer::setOpenHeight(int height) {
    setFixedHeight(std::max(0, height));
    // A closed group's sliders must not take the focus that Tab passes on.
    content_->setVisible(height > 0);
}

int CollapsibleContainer::contentHeight() const {
    return content_->sizeHint().height();
}

void CollapsibleContainer::resizeEvent(QResizeEvent* event) {
    // The content keeps its full height and is clipped, so it slides rather than squashes.
    content_->setGeometry(0, 0, width(), contentHeight());
    QWidget::resizeEvent(event);
}

} // namespace velk
