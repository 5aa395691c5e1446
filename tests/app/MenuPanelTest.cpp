#include "app/shell/MenuPanel.h"

#include "app/shell/MenuIcon.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

#include "ShellFixture.h"
#include "support/TestImages.h"

namespace velk {
namespace {

using test::ShellTest;

class MenuPanelTest : public ShellTest {
protected:
    /// Picks the item carrying `raw` as the user would.
    static void choose(QComboBox& popup, const char* raw) {
        const int index = popup.findData(QString::fromLatin1(raw));
        ASSERT_GE(index, 0) << raw;
        popup.setCurrentIndex(index);
        emit popup.activated(index);
    }
    /// Lets every fade and height animation run to its end.
    static void settle() { QTest::qWait(400); }

    QRect screen() const { return QGuiApplication::primaryScreen()->availableGeometry(); }
};

TEST(MenuIconTest, EveryPanelIconIsDrawnFromTheProjectsOwnArtInTheTint) {
    // No icon theme in the test: a blank icon means a missing or broken SVG.
    for (const char* name : {"folder-open", "shrink", "files", "folder-check", "folder", "settings",
                             "arrow-up-right", "close", "folder-plus"}) {
        const QImage image = menuIconImage(QString::fromLatin1(name), QStringLiteral("no-such"),
                                           QColor(200, 0, 0), 2.0)
                                 .toImage();
        ASSERT_EQ(image.size(), QSize(32, 32)) << name;
        int inked = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                if (pixel.alpha() > 128) {
                    ++inked;
                    EXPECT_NEAR(pixel.red(), 200, 3) << name;
                    EXPECT_LE(pixel.green(), 3) << name;
                }
            }
        EXPECT_GT(inked, 20) << name;
    }
}

TEST_F(MenuPanelTest, OnboardingShowsExactlyWhileNoFolderIsChosen) {
    AppConfig noFolder;
    noFolder.preset = CompressionPreset::custom;
    for (const auto& [config, onboarding] :
         {std::pair{noFolder, true}, std::pair{watching(), false}}) {
        AppStore& store = makeStore(config);
        MenuPanel panel(store);
        EXPECT_EQ(panel.showsOnboarding(), onboarding);
        EXPECT_EQ(panel.onboardingButton().isHidden(), false);
        EXPECT_EQ(panel.compressionSwitch().isVisibleTo(&panel), !onboarding);
        EXPECT_EQ(panel.onboardingButton().isVisibleTo(&panel), onboarding);
    }
}

TEST_F(MenuPanelTest, PresetChoiceResetsQualitiesUnlessCustom) {
    AppConfig config = watching();
    config.preset = CompressionPreset::custom;
    config.qualities = {30, 40, 50, 60, 70};
    AppStore& store = makeStore(config);
    MenuPanel panel(store);

    choose(panel.presetPopup(), "gentle");
    EXPECT_EQ(store.config().preset, CompressionPreset::gentle);
    EXPECT_EQ(store.config().qualities, defaults(CompressionPreset::gentle));
    EXPECT_EQ(panel.qualityRow(0).value(), defaults(CompressionPreset::gentle).jpeg);

    choose(panel.presetPopup(), "custom");
    EXPECT_EQ(store.config().preset, CompressionPreset::custom);
    EXPECT_EQ(store.config().qualities, defaults(CompressionPreset::gentle))
        << "custom starts from the values in place";
    EXPECT_EQ(loadAppConfig(store.configURL()).preset, CompressionPreset::custom);
}

TEST_F(MenuPanelTest, MovingASliderSwitchesToCustomWithAllFiveValues) {
    AppStore& store = makeStore(watching());
    MenuPanel panel(store);
    ASSERT_EQ(panel.qualityRow(1).valueText(), QStringLiteral("82%"));

    panel.qualityRow(1).slider().triggerAction(QAbstractSlider::SliderPageStepAdd);

    const QualitySettings expected = {76, 92, 78, 50, 72};
    EXPECT_EQ(store.config().preset, CompressionPreset::custom);
    EXPECT_EQ(store.config().qualities, expected);
    EXPECT_EQ(panel.qualityRow(1).valueText(), QStringLiteral("92%"));
    EXPECT_EQ(panel.presetPopup().currentData().toString(), QStringLiteral("custom"));

    // A configured value outside the sliders' range is shown clamped, not stored clamped.
    AppConfig config = store.config();
    config.qualities.avif = 5;
    store.setConfig(config);
    panel.render();
    EXPECT_EQ(panel.qualityRow(3).value(), 25);
    EXPECT_EQ(store.config().qualities.avif, 5);
}

TEST_F(MenuPanelTest, RendersDuringADragLeaveTheKnobAndTheDropSavesOnce) {
    AppStore& store = makeStore(watching());
    MenuPanel panel(store);
    QSlider& slider = panel.qualityRow(0).slider();

    slider.setSliderDown(true);
    slider.setValue(90);
    panel.render(); // a progress report arriving mid-drag
    EXPECT_EQ(slider.value(), 90);
    EXPECT_EQ(panel.qualityRow(0).valueText(), QStringLiteral("90%"));
    EXPECT_EQ(store.config().preset, CompressionPreset::balanced) << "nothing saved mid-drag";

    slider.setSliderDown(false);
    EXPECT_EQ(store.config().preset, CompressionPreset::custom);
    EXPECT_EQ(store.config().qualities.jpeg, 90);
}

TEST_F(MenuPanelTest, LanguageSwitchRetitlesRowsAndPopupsAtTheNextRender) {
    AppStore& store = makeStore(watching(AppLanguage::russian));
    MenuPanel panel(store);
    EXPECT_EQ(panel.switchRow().titleText(), QStringLiteral("Сжимать автоматически"));
    EXPECT_EQ(panel.presetPopup().currentText(), QStringLiteral("Оптимально"));
    EXPECT_EQ(panel.folderRow().subtitleText(), QStringLiteral("Inbox"));

    store.setLanguage(AppLanguage::english);
    panel.render();
    EXPECT_EQ(panel.switchRow().titleText(), QStringLiteral("Compress automatically"));
    EXPECT_EQ(panel.folderRow().titleText(), QStringLiteral("Change compression folder"));
    EXPECT_EQ(panel.presetPopup().currentText(), QStringLiteral("Optimal"));
    EXPECT_EQ(panel.originalPopup().currentText(), QStringLiteral("Keep"));
    EXPECT_EQ(panel.presetPopup().count(), 4) << "the legacy JPEG level is never offered";
}

TEST_F(MenuPanelTest, QualityGroupResizesAtOnceWhenHiddenAndOnlyTheLatestAnimationEnds) {
    AppStore& store = makeStore(watching());
    MenuPanel panel(store);
    const int closedHeight = panel.currentContentSize().height();

    choose(panel.presetPopup(), "custom");
    EXPECT_TRUE(panel.showsCustomControls());
    EXPECT_GT(panel.height(), closedHeight + 100) << "hidden: no animation, size at once";
    const int openHeight = panel.height();

    choose(panel.presetPopup(), "balanced");
    EXPECT_EQ(panel.height(), closedHeight);

    panel.showNear(QRect(400, 0, 24, 24));
    settle();
    choose(panel.presetPopup(), "custom");
    choose(panel.presetPopup(), "maximum");
    settle();
    EXPECT_EQ(panel.height(), closedHeight) << "the first animation's end must not apply";
    choose(panel.presetPopup(), "custom");
    settle();
    EXPECT_EQ(panel.height(), openHeight);
}

TEST_F(MenuPanelTest, ALateFadeNeverUndoesTheLatestShowOrClose) {
    AppStore& store = makeStore(watching());
    MenuPanel panel(store);
    const QRect tray(400, 0, 24, 24);

    panel.showNear(tray);
    panel.closePanel();
    panel.showNear(tray);
    settle();
    EXPECT_TRUE(panel.isVisible()) << "the close's fade ended after the second show";
    EXPECT_DOUBLE_EQ(panel.windowOpacity(), 1.0);

    panel.closePanel();
    settle();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_DOUBLE_EQ(panel.windowOpacity(), 1.0) << "ready for the next show";

    panel.showNear(tray);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&panel, &escape);
    EXPECT_TRUE(escape.isAccepted());
    settle();
    EXPECT_FALSE(panel.isVisible());
}

TEST_F(MenuPanelTest, PanelStaysInsideTheScreenAndPointsAtTheIcon) {
    AppStore& store = makeStore(watching());
    MenuPanel panel(store);
    const QRect area = screen();
    const int width = panel.width();

    struct Case {
        QRect tray;
        bool below;
    };
    const Case cases[] = {
        {QRect(area.center().x(), area.top(), 24, 22), true},
        {QRect(area.right() - 20, area.top(), 24, 22), true},
        {QRect(area.left(), area.top(), 24, 22), true},
        // A tray at the bottom of the screen: the panel opens above it.
        {QRect(area.right() - 40, area.bottom() - 22, 24, 22), false},
    };
    for (const Case& c : cases) {
        panel.showNear(c.tray);
        const QRect frame = panel.geometry();
        EXPECT_GE(frame.left(), area.left() + 6);
        EXPECT_LE(frame.right(), area.right() - 6);
        EXPECT_GE(panel.arrowCenter(), 22);
        EXPECT_LE(panel.arrowCenter(), width - 22);
        if (c.below) {
            EXPECT_EQ(frame.top(), c.tray.bottom() + 3);
        } else {
            EXPECT_EQ(frame.bottom(), c.tray.top() - 3);
        }
        const int iconX = c.tray.center().x() - frame.left();
        if (iconX >= 22 && iconX <= width - 22) {
            EXPECT_EQ(panel.arrowCenter(), iconX);
        }
        panel.closePanel();
        settle();
    }
}

TEST_F(MenuPanelTest, ShowsTheLastResultOfTheFolder) {
    AppConfig config = watching();
    AppStore& store = makeStore(config);
    MenuPanel panel(store);
    EXPECT_TRUE(panel.statusLabel().isHidden()) << "nothing to report yet";

    test::TestImages::png(folder_ / "photo.png", 64, 48, test::imageOptions().withDetail());
    store.start();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !store.history().empty() && store.stats().active == 0; }, 20000));
    store.stop();
    panel.render();
    EXPECT_FALSE(panel.statusLabel().isHidden());
    EXPECT_TRUE(panel.statusLabel().text().startsWith(QStringLiteral("photo.png · ")))
        << panel.statusLabel().text().toStdString();
}

TEST_F(MenuPanelTest, APanelTallerThanTheScreenScrollsInsideIt) {
    AppConfig config = watching();
    config.enabled = true;
    config.preset = CompressionPreset::custom;
    AppStore& store = makeStore(config);
    MenuPanel panel(store);
    // As tall as the rows get with large text at 2x on a short screen.
    panel.status().setMinimumHeight(screen().height());
    panel.render();
    ASSERT_GT(panel.currentContentSize().height(), screen().height()) << "the case to test";
    panel.showNear(QRect(screen().center().x(), screen().top(), 24, 22));
    settle();
    EXPECT_TRUE(panel.scrolls());
    EXPECT_GE(panel.geometry().top(), screen().top());
    EXPECT_LE(panel.geometry().bottom(), screen().bottom());
    panel.closePanel();
    settle();
}

} // namespace
} // namespace velk
