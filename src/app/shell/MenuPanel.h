#pragma once

#include <array>
#include <optional>

#include <QElapsedTimer>
#include <QLabel>
#include <QPainterPath>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVariantAnimation>
#include <QWidget>

#include "app/shell/PanelRows.h"
#include "app/shell/PanelStatus.h"
#include "model/AppLanguage.h"

namespace velk {

class AppStore;

/// The panel under the tray icon: the automatic-compression switch, the folder, the three
/// compression choices with the five quality sliders of the custom level, and the
/// commands; an onboarding view instead while no folder is chosen.
///
/// A frameless popup with a tail pointing at the tray icon. Escape and a click elsewhere
/// close it. Showing and closing fade; every show and close takes a new generation, and an
/// animation finishing for an older generation does nothing, so a late fade-out never
/// hides a panel the user has just reopened.
class MenuPanel : public QWidget {
    Q_OBJECT
public:
    explicit MenuPanel(AppStore& store, QWidget* parent = nullptr);

    /// Shows the panel under `trayGeometry` (screen coordinates), 6 px inside the screen's
    /// available area, above the icon when there is no room below. An empty geometry (a
    /// tray that does not report one) puts it near the pointer on X11 and leaves the
    /// place to the compositor on Wayland. Does nothing while it is already showing.
    void showNear(const QRect& trayGeometry);
    /// Fades out and hides; does nothing when hidden or already closing.
    void closePanel();
    /// Brings every control in line with the store; cheap, called on every store change.
    void render();

    /// Whether the panel is on screen and not on its way out.
    bool isShowing() const { return isVisible() && !closing_; }
    /// The size the panel wants now: its width, and the content's height plus the tail.
    QSize currentContentSize() const;
    /// Where the tail's centre sits, in panel coordinates.
    int arrowCenter() const { return arrowCenter_; }
    /// The generation of the latest show or close.
    int animationGeneration() const { return panelAnimationID_; }

    // Reached by the widget tests, which act as the user would.
    bool showsOnboarding() const { return lastShowsOnboarding_.value_or(false); }
    bool showsCustomControls() const { return showsCustomControls_.value_or(false); }
    ToggleSwitch& compressionSwitch() { return switchRow_->control(); }
    QComboBox& presetPopup() { return presetRow_->popup(); }
    QComboBox& formatPopup() { return formatRow_->popup(); }
    QComboBox& originalPopup() { return originalRow_->popup(); }
    QualityRow& qualityRow(int index) { return *qualityRows_.at(index); }
    RowButton& folderRow() { return *folderRow_; }
    SwitchRow& switchRow() { return *switchRow_; }
    QLabel& statusLabel() { return status_->line(); }
    PanelStatus& status() { return *status_; }
    QPushButton& onboardingButton() { return onboardingButton_; }
    QPushButton& onboardingQuitButton() { return onboardingQuitButton_; }
    /// Whether the content is taller than the screen allows and scrolls.
    bool scrolls() const { return scrolls_; }

signals:
    void settingsRequested();
    void historyRequested();
    void quitRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildLayout();
    QWidget* buildOnboarding();
    QWidget* buildMain();
    void bindActions();
    void retitle(AppLanguage language);
    void refillPopups(AppLanguage language);
    void updateFolderRow();
    void updateStatusLine();
    void updateOnboardingMode();
    void updateQualityGroup();
    void applyPanelSize();
    void placeNear(const QRect& trayGeometry);
    void fadeTo(qreal opacity, int milliseconds, int generation, bool hideAtEnd);
    QPainterPath outline() const;
    /// A popup under the tray, rather than an ordinary window.
    bool isFloating() const;
    void finishClosing();
    void changePreset();
    void changeFormat();
    void changeOriginalPolicy();
    void applyQualityRows();
    void chooseFolder();
    /// Closes an open pop-up list; true when one was open (or has just closed itself).
    bool closeOpenPopup();

    AppStore& store_;
    // Before body_: the scroll area would delete the body it holds if it went first.
    QScrollArea scroll_{this};
    QWidget body_{this};
    QLabel titleLabel_{&body_};
    QWidget* onboardingContainer_ = nullptr;
    QWidget* mainContainer_ = nullptr;
    QLabel onboardingIcon_;
    QLabel onboardingTitleLabel_;
    QLabel onboardingBodyLabel_;
    QPushButton onboardingButton_;
    QPushButton onboardingQuitButton_;
    PanelStatus* status_ = nullptr;
    SwitchRow* switchRow_ = nullptr;
    RowButton* folderRow_ = nullptr;
    PopupRow* presetRow_ = nullptr;
    PopupRow* formatRow_ = nullptr;
    PopupRow* originalRow_ = nullptr;
    RowButton* openFolderRow_ = nullptr;
    RowButton* historyRow_ = nullptr;
    RowButton* settingsRow_ = nullptr;
    RowButton* websiteRow_ = nullptr;
    RowButton* quitRow_ = nullptr;
    CollapsibleContainer* qualityGroupContainer_ = nullptr;
    std::array<QualityRow*, 5> qualityRows_{};

    QVariantAnimation qualityAnimation_;
    QMetaObject::Connection qualityAnimationDone_;
    QVariantAnimation panelFade_;
    QMetaObject::Connection panelFadeDone_;
    int qualityAnimationID_ = 0;
    int panelAnimationID_ = 0;
    bool closing_ = false;
    bool scrolls_ = false;
    /// The content size the last applyPanelSize laid the panel out for.
    QSize appliedContentSize_;
    /// The tail points up at an icon above the panel, or down at one below it.
    bool tailAtTop_ = true;
    int arrowCenter_ = 0;
    std::optional<bool> showsCustomControls_;
    std::optional<AppLanguage> lastRenderedLanguage_;
    std::optional<bool> lastShowsOnboarding_;
    /// When a pop-up list last closed: its Escape may reach the panel right after.
    QElapsedTimer popupClosedAt_;
    static constexpr int popupEscapeGraceMs = 150;
};

} // namespace velk
