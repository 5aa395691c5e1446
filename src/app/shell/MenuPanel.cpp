#include "app/shell/MenuPanel.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include "app/shell/HistoryCells.h"
#include "app/shell/Legibility.h"
#include "app/shell/MenuIcon.h"
#include "core/Constants.h"
#include "core/Paths.h"
#include "model/CompressionPreset.h"
#include "model/FormatStrategy.h"
#include "model/OriginalPolicy.h"
#include "platform/VipsImageCodec.h"
#include "store/AppStore.h"
#include "store/HomePath.h"

namespace velk {

namespace {

constexpr int screenMargin = 6;
constexpr int trayGap = 2;
constexpr int tailClamp = 22;
constexpr int showFadeMs = 220;
constexpr int closeFadeMs = 180;
constexpr int qualityAnimationMs = 260;
constexpr int folderChoiceDelayMs = 240;

bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}
QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return qs(text(language, russian, english));
}

/// Drawn for a 13 px (10 pt) application font; follows the desktop's size in proportion.
QFont scaledFont(const QFont& font, int designPixels, QFont::Weight weight = QFont::Normal) {
    return relativeFont(font, designPixels / 13.0, weight);
}

/// Asked on every render, as the menu cases are: encoders can come and go with packages.
const ImageCodec& formatCodec() {
    static const VipsImageCodec codec;
    return codec;
}

template <typename Case, std::size_t N>
std::vector<Case> asVector(const std::array<Case, N>& cases) {
    return {cases.begin(), cases.end()};
}

/// Fills `popup` with (title, raw value) items, keeping the selected value when it is
/// still offered. Signals are blocked: a refill is not the user's choice. Items already
/// in place are left alone: renders come several times a second while files are
/// compressed, and clearing an open list would snatch it from under the pointer.
template <typename Case>
void configurePopup(QComboBox& popup, const std::vector<Case>& cases, AppLanguage language) {
    bool same = popup.count() == static_cast<int>(cases.size());
    for (int i = 0; same && i < popup.count(); ++i) {
        const Case value = cases[static_cast<std::size_t>(i)];
        same = popup.itemText(i) == qs(title(value, language)) &&
               popup.itemData(i).toString() == qs(rawValue(value));
    }
    if (same)
        return;
    const QSignalBlocker blocker(popup);
    const QVariant selected = popup.currentData();
    popup.clear();
    for (const Case value : cases)
        popup.addItem(qs(title(value, language)), qs(rawValue(value)));
    if (const int index = popup.findData(selected); index >= 0)
        popup.setCurrentIndex(index);
}

/// Selects the item carrying `raw`; leaves the selection alone when none does.
void selectPopup(QComboBox& popup, std::string_view raw) {
    const QSignalBlocker blocker(popup);
    if (const int index = popup.findData(qs(raw)); index >= 0)
        popup.setCurrentIndex(index);
}

} // namespace

MenuPanel::MenuPanel(AppStore& store, QWidget* parent) : QWidget(parent), store_(store) {
    // A popup grabs the pointer on X11, so a click anywhere else reaches us and closes the
    // panel. Wayland refuses popups without a parent window: there the panel is a
    // frameless tool window that closes when it loses activation.
    setWindowFlags(onWayland() ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                               : Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(qs(appName));
    arrowCenter_ = popoverWidth / 2;
    buildLayout();
    bindActions();
    render();
}

void MenuPanel::buildLayout() {
    auto* rootStack = new QVBoxLayout(&body_);
    rootStack->setContentsMargins(0, 0, 0, 0);
    rootStack->setSpacing(7);
    body_.setFixedWidth(contentWidth);
    // A panel taller than the screen (large text, 2x on a short screen) scrolls, so its
    // lower rows (History, Settings, Quit) stay reachable.
    scroll_.setFrameShape(QFrame::NoFrame);
    scroll_.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_.setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll_.setWidgetResizable(false);
    scroll_.viewport()->setAutoFillBackground(false);
    scroll_.setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"
                                         "QScrollBar:vertical { width: 6px; }"));
    scroll_.setWidget(&body_);
    // The rows take the focus, not the frame around them; the wheel still scrolls it.
    scroll_.setFocusPolicy(Qt::NoFocus);
    body_.setAutoFillBackground(false);

    titleLabel_.setText(qs(appName));
    titleLabel_.setFont(scaledFont(font(), 13, QFont::DemiBold));
    titleLabel_.setContentsMargins(12, 4, 12, 0);
    rootStack->addWidget(&titleLabel_);

    onboardingContainer_ = buildOnboarding();
    rootStack->addWidget(onboardingContainer_);
    mainContainer_ = buildMain();
    rootStack->addWidget(mainContainer_);
    rootStack->addStretch(0);

    qualityAnimation_.setDuration(qualityAnimationMs);
    qualityAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
    panelFade_.setEasingCurve(QEasingCurve::OutCubic);
    connect(&panelFade_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { setWindowOpacity(value.toReal()); });
}

QWidget* MenuPanel::buildOnboarding() {
    auto* card = new GroupView(GroupView::Style::panel, &body_);
    auto* column = new QWidget(card);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(18, 22, 18, 18);
    layout->setSpacing(10);

    onboardingIcon_.setParent(column);
    onboardingIcon_.setAlignment(Qt::AlignCenter);
    onboardingIcon_.setFixedHeight(44);
    layout->addWidget(&onboardingIcon_);

    onboardingTitleLabel_.setParent(column);
    onboardingTitleLabel_.setFont(scaledFont(font(), 15, QFont::DemiBold));
    onboardingTitleLabel_.setAlignment(Qt::AlignCenter);
    onboardingTitleLabel_.setWordWrap(true);
    layout->addWidget(&onboardingTitleLabel_);

    onboardingBodyLabel_.setParent(column);
    onboardingBodyLabel_.setFont(scaledFont(font(), 12));
    onboardingBodyLabel_.setAlignment(Qt::AlignCenter);
    onboardingBodyLabel_.setWordWrap(true);
    QPalette subtle = onboardingBodyLabel_.palette();
    subtle.setColor(QPalette::WindowText, panelColors::secondaryText(palette()));
    onboardingBodyLabel_.setPalette(subtle);
    layout->addWidget(&onboardingBodyLabel_);

    onboardingButton_.setParent(column);
    onboardingButton_.setDefault(true);
    onboardingButton_.setCursor(Qt::PointingHandCursor);
    onboardingButton_.setMinimumHeight(30);
    layout->addSpacing(4);
    layout->addWidget(&onboardingButton_, 0, Qt::AlignHCenter);
    // Without a tray this window is the program's only way out.
    onboardingQuitButton_.setParent(column);
    onboardingQuitButton_.setFlat(true);
    onboardingQuitButton_.setCursor(Qt::PointingHandCursor);
    layout->addWidget(&onboardingQuitButton_, 0, Qt::AlignHCenter);
    card->addRow(column);
    return card;
}

QWidget* MenuPanel::buildMain() {
    auto* main = new QWidget(&body_);
    auto* stack = new QVBoxLayout(main);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(7);

    auto* switchGroup = new GroupView(GroupView::Style::panel, main);
    switchRow_ = new SwitchRow(switchGroup);
    switchGroup->addRow(switchRow_);
    // Progress of the batch, a pause or a missing folder, and the last result, so long
    // work is never silent.
    status_ = new PanelStatus(store_, switchGroup);
    auto* status = status_;
    switchGroup->addRow(status);
    stack->addWidget(switchGroup);

    auto* folderGroup = new GroupView(GroupView::Style::panel, main);
    folderRow_ = new RowButton(QStringLiteral("folder-open"), QStringLiteral("folder-open"), true,
                               folderGroup);
    folderGroup->addRow(folderRow_);
    stack->addWidget(folderGroup);

    auto* choices = new GroupView(GroupView::Style::panel, main);
    presetRow_ = new PopupRow(QStringLiteral("shrink"), QStringLiteral("zoom-out"), choices);
    formatRow_ = new PopupRow(QStringLiteral("files"), QStringLiteral("edit-copy"), choices);
    originalRow_ =
        new PopupRow(QStringLiteral("folder-check"), QStringLiteral("checkbox"), choices);
    choices->addRow(presetRow_);
    choices->addRow(formatRow_);
    choices->addRow(originalRow_);
    auto* qualityContent = new GroupView(GroupView::Style::plain);
    static constexpr std::array<const char*, 5> formats = {"JPEG", "PNG", "WebP", "AVIF", "HEIC"};
    for (std::size_t i = 0; i < formats.size(); ++i) {
        qualityRows_[i] = new QualityRow(QString::fromLatin1(formats[i]), qualityContent);
        qualityContent->addRow(qualityRows_[i]);
    }
    qualityGroupContainer_ = new CollapsibleContainer(qualityContent, choices);
    choices->addRow(qualityGroupContainer_);
    stack->addWidget(choices);

    auto* commands = new GroupView(GroupView::Style::plain, main);
    openFolderRow_ =
        new RowButton(QStringLiteral("folder"), QStringLiteral("folder"), false, commands);
    historyRow_ = new RowButton(QStringLiteral("files"), QStringLiteral("document-open-recent"),
                                false, commands);
    settingsRow_ = new RowButton(QStringLiteral("settings"), QStringLiteral("preferences-system"),
                                 false, commands);
    websiteRow_ = new RowButton(QStringLiteral("arrow-up-right"), QStringLiteral("web-browser"),
                                false, commands);
    quitRow_ =
        new RowButton(QStringLiteral("close"), QStringLiteral("application-exit"), false, commands);
    for (RowButton* row : {openFolderRow_, historyRow_, settingsRow_, websiteRow_, quitRow_})
        commands->addRow(row);
    stack->addWidget(commands);
    return main;
}

void MenuPanel::bindActions() {
    // The switch is the user's intent, as the configuration keeps it; whether the engine
    // runs right now (a pause, a missing folder) the status lines tell.
    connect(&switchRow_->control(), &QAbstractButton::clicked, this, [this] {
        if (store_.config().enabled)
            store_.stop();
        else
            store_.start();
        render();
    });
    connect(status_, &PanelStatus::historyRequested, this, [this] {
        closePanel();
        emit historyRequested();
    });
    connect(&onboardingQuitButton_, &QPushButton::clicked, this, [this] { emit quitRequested(); });
    connect(folderRow_, &RowButton::activated, this, &MenuPanel::chooseFolder);
    connect(&onboardingButton_, &QPushButton::clicked, this, &MenuPanel::chooseFolder);
    connect(&presetRow_->popup(), &QComboBox::activated, this, &MenuPanel::changePreset);
    connect(&formatRow_->popup(), &QComboBox::activated, this, &MenuPanel::changeFormat);
    connect(&originalRow_->popup(), &QComboBox::activated, this, &MenuPanel::changeOriginalPolicy);
    for (PopupRow* row : {presetRow_, formatRow_, originalRow_})
        row->popup().view()->window()->installEventFilter(this);
    for (QualityRow* row : qualityRows_)
        row->onChange = [this](int) { applyQualityRows(); };

    connect(openFolderRow_, &RowButton::activated, this, [this] {
        closePanel();
        store_.openWatchDirectory();
    });
    connect(historyRow_, &RowButton::activated, this, [this] {
        closePanel();
        emit historyRequested();
    });
    connect(settingsRow_, &RowButton::activated, this, [this] {
        closePanel();
        emit settingsRequested();
    });
    connect(websiteRow_, &RowButton::activated, this, [this] {
        closePanel();
        store_.openWebsite();
    });
    connect(quitRow_, &RowButton::activated, this, [this] { emit quitRequested(); });
}

void MenuPanel::chooseFolder() {
    // The folder dialog must not open under the panel's pointer grab: close first, and
    // let the fade end before the dialog takes the screen.
    closePanel();
    QTimer::singleShot(folderChoiceDelayMs, this, [this] { store_.selectWatchDirectory(); });
}

void MenuPanel::render() {
    const AppConfig& config = store_.config();
    const AppLanguage language = config.language;

    refillPopups(language);
    if (lastRenderedLanguage_ != language) {
        retitle(language);
        lastRenderedLanguage_ = language;
    }

    switchRow_->control().setCheckedSilently(config.enabled);
    selectPopup(presetRow_->popup(), rawValue(config.preset));
    selectPopup(formatRow_->popup(), rawValue(config.formatStrategy));
    selectPopup(originalRow_->popup(), rawValue(config.originalPolicy));
    const QualitySettings& q = config.qualities;
    const std::array<int, 5> qualities = {q.jpeg, q.png, q.webp, q.avif, q.heic};
    for (std::size_t i = 0; i < qualities.size(); ++i)
        qualityRows_[i]->setValue(qualities[i]);

    updateFolderRow();
    updateStatusLine();
    updateOnboardingMode();
    updateQualityGroup();
    if (qualityAnimation_.state() != QAbstractAnimation::Running &&
        currentContentSize() != appliedContentSize_)
        applyPanelSize();
}

void MenuPanel::refillPopups(AppLanguage language) {
    configurePopup(presetRow_->popup(), asVector(menuCompressionPresets), language);
    configurePopup(formatRow_->popup(), formatStrategyMenuCases(formatCodec()), language);
    configurePopup(originalRow_->popup(), asVector(allOriginalPolicies), language);
}

void MenuPanel::retitle(AppLanguage language) {
    switchRow_->setTitleText(tr2(language, "Сжимать автоматически", "Compress automatically"));
    presetRow_->setTitleText(tr2(language, "Степень сжатия", "Compression level"));
    formatRow_->setTitleText(tr2(language, "Формат вывода", "Output format"));
    originalRow_->setTitleText(tr2(language, "Исходник", "Original"));
    openFolderRow_->setTitleText(tr2(language, "Открыть папку сжатия", "Open compression folder"));
    historyRow_->setTitleText(tr2(language, "История сжатий", "Compression history"));
    settingsRow_->setTitleText(tr2(language, "Настройки", "Settings"));
    websiteRow_->setTitleText(tr2(language, "Открыть сайт Velk", "Open Velk website"));
    quitRow_->setTitleText(tr2(language, "Выйти из Velk | Compressor", "Quit Velk | Compressor"));
    onboardingTitleLabel_.setText(
        tr2(language, "Выберите папку для сжатия", "Choose a compression folder"));
    onboardingBodyLabel_.setText(
        tr2(language,
            "Новые изображения в этой папке будут сжиматься автоматически. Всё работает "
            "локально, исходники можно сохранять.",
            "New images in this folder will be compressed automatically. Everything stays "
            "local, and originals can be kept."));
    onboardingButton_.setText(tr2(language, "Выбрать папку", "Choose folder"));
    onboardingQuitButton_.setText(tr2(language, "Выйти", "Quit"));
    switchRow_->control().setAccessibleName(switchRow_->titleText());
    // A list is announced by what it chooses, then by its value.
    for (PopupRow* row : {presetRow_, formatRow_, originalRow_})
        row->popup().setAccessibleName(row->titleText());
    for (QualityRow* row : qualityRows_)
        row->setLanguage(language);
    titleLabel_.setAccessibleName(qs(appName));
}

void MenuPanel::updateFolderRow() {
    const AppLanguage language = store_.config().language;
    folderRow_->setTitleText(
        tr2(language, "Изменить папку для сжатия", "Change compression folder"));
    QString subtitle;
    if (const auto& error = store_.watcherError())
        subtitle = qs(*error);
    else if (const auto& folder = store_.config().watchDirectory)
        subtitle = qs(displayName(*folder));
    folderRow_->setSubtitleText(subtitle);
    // The name alone is ambiguous ("inbox" where?): the whole path on hover and for the
    // screen reader.
    const QString path = store_.config().watchDirectory
                             ? qs(homeRelativePath(*store_.config().watchDirectory))
                             : QString();
    folderRow_->setToolTip(path);
    folderRow_->setAccessibleDescription(path.isEmpty() ? subtitle : path);
}

void MenuPanel::updateStatusLine() {
    status_->render();
}

void MenuPanel::updateOnboardingMode() {
    const bool onboarding = !store_.config().watchDirectory.has_value();
    onboardingContainer_->setVisible(onboarding);
    mainContainer_->setVisible(!onboarding);
    if (lastShowsOnboarding_ != onboarding) {
        lastShowsOnboarding_ = onboarding;
        onboardingIcon_.setPixmap(
            menuIconImage(QStringLiteral("folder-plus"), QStringLiteral("folder-new"),
                          palette().color(QPalette::Highlight), devicePixelRatioF(), 40));
        applyPanelSize();
    }
}

void MenuPanel::updateQualityGroup() {
    const bool shows = store_.config().preset == CompressionPreset::custom;
    if (showsCustomControls_ == shows)
        return;
    showsCustomControls_ = shows;
    const int target = shows ? qualityGroupContainer_->contentHeight() : 0;

    if (!isVisible()) {
        qualityAnimation_.stop();
        qualityGroupContainer_->setOpenHeight(target);
        applyPanelSize();
        return;
    }

    const int id = ++qualityAnimationID_;
    qualityAnimation_.stop();
    disconnect(qualityAnimationDone_);
    qualityAnimation_.disconnect(this);
    if (shows) {
        // Grow the panel first, so the opening group never pushes rows out of it.
        const int growth = target - qualityGroupContainer_->height();
        QRect grown = geometry();
        grown.setHeight(currentContentSize().height() + growth);
        if (!tailAtTop_)
            grown.moveBottom(geometry().bottom());
        setGeometry(grown);
        body_.resize(contentWidth, body_.height() + growth);
        scroll_.resize(scroll_.width(), scroll_.height() + growth);
    }
    connect(&qualityAnimation_, &QVariantAnimation::valueChanged, this,
            [this, shows](const QVariant& value) {
                qualityGroupContainer_->setOpenHeight(value.toInt());
                // Closing shrinks the panel along with the group.
                if (!shows)
                    applyPanelSize();
            });
    qualityAnimationDone_ =
        connect(&qualityAnimation_, &QVariantAnimation::finished, this, [this, id] {
            if (id == qualityAnimationID_)
                applyPanelSize();
        });
    qualityAnimation_.setStartValue(qualityGroupContainer_->height());
    qualityAnimation_.setEndValue(target);
    qualityAnimation_.start();
}

QSize MenuPanel::currentContentSize() const {
    // Layouts of a hidden panel cache their hints (height-for-width above all) and miss
    // a nested row's new height: drop every cache before measuring.
    for (QWidget* widget : body_.findChildren<QWidget*>()) {
        widget->updateGeometry();
        if (QLayout* nested = widget->layout())
            nested->invalidate();
    }
    QLayout* layout = body_.layout();
    layout->invalidate();
    const int bodyHeight = layout->hasHeightForWidth() ? layout->totalHeightForWidth(contentWidth)
                                                       : layout->totalSizeHint().height();
    return {popoverWidth, bodyHeight + 2 * contentInset + panelTailHeight};
}

void MenuPanel::applyPanelSize() {
    const QSize natural = currentContentSize();
    appliedContentSize_ = natural;
    QScreen* screen = QGuiApplication::screenAt(isVisible() ? geometry().center() : pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const int limit = screen ? screen->availableGeometry().height() - 2 * screenMargin : 0;
    scrolls_ = limit > 0 && natural.height() > limit;
    const QSize size(natural.width(), scrolls_ ? limit : natural.height());
    if (isVisible()) {
        // Keep the edge at the tray icon and the horizontal centre where they were.
        QRect frame(QPoint(), size);
        frame.moveCenter(geometry().center());
        if (tailAtTop_)
            frame.moveTop(geometry().top());
        else
            frame.moveBottom(geometry().bottom());
        if (screen) {
            const QRect area = screen->availableGeometry();
            if (frame.bottom() > area.bottom() - screenMargin)
                frame.moveBottom(area.bottom() - screenMargin);
            if (frame.top() < area.top() + screenMargin)
                frame.moveTop(area.top() + screenMargin);
        }
        setGeometry(frame);
    } else {
        resize(size);
    }
    const int top = (tailAtTop_ ? panelTailHeight : 0) + contentInset;
    body_.resize(contentWidth, natural.height() - panelTailHeight - 2 * contentInset);
    // The scroll bar takes the right margin rather than the rows' room.
    scroll_.setGeometry(contentInset, top, contentWidth + (scrolls_ ? contentInset - 1 : 0),
                        size.height() - panelTailHeight - 2 * contentInset);
    // Without a compositor the translucent corners would be black; a shape keeps them
    // out on any X server.
    if (isFloating() && QGuiApplication::platformName() == QLatin1String("xcb"))
        setMask(QRegion(outline().toFillPolygon().toPolygon()));
    else
        clearMask();
    update();
}

void MenuPanel::showNear(const QRect& trayGeometry) {
    if (isShowing())
        return;
    const int generation = ++panelAnimationID_;
    closing_ = false;
    render();
    applyPanelSize();
    placeNear(trayGeometry);
    for (HoverableRow* row : findChildren<HoverableRow*>())
        row->clearHighlight();
    if (!isVisible())
        setWindowOpacity(0);
    show();
    raise();
    activateWindow();
    // The focus starts on the view's first control, so Tab and Enter work at once.
    if (showsOnboarding())
        onboardingButton_.setFocus(Qt::ActiveWindowFocusReason);
    else
        switchRow_->control().setFocus(Qt::ActiveWindowFocusReason);
    fadeTo(1, showFadeMs, generation, false);
}

void MenuPanel::placeNear(const QRect& trayGeometry) {
    const int width = size().width();
    const int height = size().height();
    QRect anchor = trayGeometry;
    if (anchor.isEmpty()) {
        if (onWayland()) {
            // Clients cannot place their windows there; the compositor decides.
            tailAtTop_ = true;
            arrowCenter_ = width / 2;
            applyPanelSize();
            return;
        }
        anchor = QRect(QCursor::pos(), QSize(1, 1));
    }
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect visible = screen ? screen->availableGeometry() : QRect(0, 0, width, height);

    const int minX = visible.left() + screenMargin;
    const int maxX = visible.right() + 1 - width - screenMargin;
    const int x = std::max(minX, std::min(anchor.center().x() - width / 2, maxX));
    // Under an icon at the top of the screen, above one in a bottom panel.
    const int below = anchor.bottom() + 1 + trayGap;
    const int above = anchor.top() - trayGap - height;
    const int maxY = visible.bottom() + 1 - screenMargin - height;
    int y = below;
    tailAtTop_ = true;
    if (below > maxY && above >= visible.top() + screenMargin) {
        y = above;
        tailAtTop_ = false;
    } else {
        y = std::max(visible.top() + screenMargin, std::min(below, maxY));
    }
    arrowCenter_ = std::clamp(anchor.center().x() - x, tailClamp, width - tailClamp);
    move(x, y);
    applyPanelSize();
}

void MenuPanel::closePanel() {
    if (!isVisible() || closing_)
        return;
    const int generation = ++panelAnimationID_;
    closing_ = true;
    fadeTo(0, closeFadeMs, generation, true);
}

void MenuPanel::fadeTo(qreal opacity, int milliseconds, int generation, bool hideAtEnd) {
    panelFade_.stop();
    disconnect(panelFadeDone_);
    panelFade_.setEasingCurve(hideAtEnd ? QEasingCurve::InCubic : QEasingCurve::OutCubic);
    panelFade_.setDuration(milliseconds);
    panelFade_.setStartValue(windowOpacity());
    panelFade_.setEndValue(opacity);
    panelFadeDone_ =
        connect(&panelFade_, &QVariantAnimation::finished, this, [this, generation, hideAtEnd] {
            // A fade of an earlier show or close ends here unheard.
            if (generation != panelAnimationID_)
                return;
            if (hideAtEnd)
                finishClosing();
            else
                setWindowOpacity(1);
        });
    panelFade_.start();
}

void MenuPanel::finishClosing() {
    closing_ = false;
    hide();
    setWindowOpacity(1);
    for (HoverableRow* row : findChildren<HoverableRow*>())
        row->clearHighlight();
}

QPainterPath MenuPanel::outline() const {
    QRectF bodyRect = QRectF(rect());
    if (tailAtTop_)
        bodyRect.setTop(panelTailHeight);
    else
        bodyRect.setBottom(bodyRect.bottom() - panelTailHeight);
    QPainterPath path;
    path.addRoundedRect(bodyRect.adjusted(0.5, 0.5, -0.5, -0.5), panelCornerRadius,
                        panelCornerRadius);
    const qreal half = panelTailWidth / 2.0;
    const qreal base = tailAtTop_ ? bodyRect.top() + 1 : bodyRect.bottom() - 1;
    const qreal tip = tailAtTop_ ? 0.5 : height() - 0.5;
    QPainterPath tail;
    tail.moveTo(arrowCenter_ - half, base);
    tail.cubicTo(arrowCenter_ - half / 2, base, arrowCenter_ - 4, tip, arrowCenter_, tip);
    tail.cubicTo(arrowCenter_ + 4, tip, arrowCenter_ + half / 2, base, arrowCenter_ + half, base);
    tail.closeSubpath();
    return path.united(tail);
}

void MenuPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isFloating()) {
        // Made an ordinary window (a desktop without a tray): the frame is the window's.
        painter.fillRect(rect(), panelColors::body(palette()));
        return;
    }
    painter.setPen(QPen(panelColors::border(palette()), 1));
    painter.setBrush(panelColors::body(palette()));
    painter.drawPath(outline());
}

bool MenuPanel::isFloating() const {
    return windowType() != Qt::Window;
}

bool MenuPanel::closeOpenPopup() {
    for (PopupRow* row : {presetRow_, formatRow_, originalRow_}) {
        if (row->popup().view()->isVisible()) {
            row->popup().hidePopup();
            return true;
        }
    }
    // A list that closed itself on this very Escape must not have it close the panel too.
    return popupClosedAt_.isValid() && popupClosedAt_.elapsed() < popupEscapeGraceMs;
}

void MenuPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        if (!closeOpenPopup())
            closePanel();
        event->accept();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // The onboarding's one button is its default, wherever the focus is.
        if (showsOnboarding()) {
            onboardingButton_.click();
            event->accept();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

bool MenuPanel::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Hide)
        for (PopupRow* row : {presetRow_, formatRow_, originalRow_})
            if (watched == row->popup().view()->window())
                popupClosedAt_.start();
    return QWidget::eventFilter(watched, event);
}

void MenuPanel::mousePressEvent(QMouseEvent* event) {
    // Under the pointer grab, a press anywhere outside the panel is delivered here.
    if (isFloating() && !outline().contains(event->position())) {
        closePanel();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void MenuPanel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && onWayland() && !isActiveWindow())
        closePanel();
    QWidget::changeEvent(event);
}

void MenuPanel::closeEvent(QCloseEvent* event) {
    // Whoever asks to close it (the toolkit's popup handling, the window manager) gets
    // the same fade as Escape.
    if (isShowing()) {
        event->ignore();
        closePanel();
        return;
    }
    QWidget::closeEvent(event);
}

void MenuPanel::changePreset() {
    const auto preset =
        compressionPresetFromRaw(presetRow_->popup().currentData().toString().toStdString());
    if (!preset)
        return;
    AppConfig config = store_.config();
    config.preset = *preset;
    if (*preset != CompressionPreset::custom)
        config.qualities = defaults(*preset);
    store_.setConfig(config);
    render();
}

void MenuPanel::changeFormat() {
    const auto strategy =
        formatStrategyFromRaw(formatRow_->popup().currentData().toString().toStdString());
    if (!strategy)
        return;
    AppConfig config = store_.config();
    config.formatStrategy = *strategy;
    store_.setConfig(config);
    render();
}

void MenuPanel::changeOriginalPolicy() {
    const auto policy =
        originalPolicyFromRaw(originalRow_->popup().currentData().toString().toStdString());
    if (!policy)
        return;
    AppConfig config = store_.config();
    config.originalPolicy = *policy;
    store_.setConfig(config);
    render();
}

void MenuPanel::applyQualityRows() {
    if (qualityRows_.size() != 5)
        return;
    AppConfig config = store_.config();
    config.preset = CompressionPreset::custom;
    config.qualities = {qualityRows_[0]->value(), qualityRows_[1]->value(),
                        qualityRows_[2]->value(), qualityRows_[3]->value(),
                        qualityRows_[4]->value()};
    store_.setConfig(config);
    render();
}

} // namespace velk
