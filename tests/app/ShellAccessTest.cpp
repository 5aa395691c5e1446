// The panel, the settings and the history as a keyboard and screen-reader user meets
// them: every control named in the interface language, Escape and Ctrl+W, readable
// colours.

#include <map>

#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QHeaderView>
#include <QProgressBar>
#include <QScrollBar>
#include <QSlider>

#include "ShellFixture.h"
#include "app/shell/AboutDialog.h"
#include "app/shell/HistoryWindow.h"
#include "app/shell/Legibility.h"
#include "app/shell/MenuPanel.h"
#include "app/shell/PanelRows.h"
#include "app/shell/SettingsWindow.h"

namespace velk {
namespace {

using test::historyRow;
using test::ShellTest;
using Status = CompressionHistoryStatus;

/// The widgets a person can reach: buttons, lists, sliders, bars, tables and the
/// panel's rows. The toolkit's own parts (scroll bars, headers, a list's pop-up view)
/// are named by the toolkit.
bool isControl(QWidget* widget) {
    if (qobject_cast<QScrollBar*>(widget) || qobject_cast<QHeaderView*>(widget) ||
        widget->objectName().startsWith(QLatin1String("qt_")))
        return false;
    for (QWidget* up = widget->parentWidget(); up; up = up->parentWidget())
        if (qobject_cast<QComboBox*>(up) || qobject_cast<QAbstractItemView*>(up))
            return false;
    if (QString::fromLatin1(widget->metaObject()->className()) == u"QTableCornerButton")
        return false;
    return qobject_cast<QAbstractButton*>(widget) || qobject_cast<QComboBox*>(widget) ||
           qobject_cast<QSlider*>(widget) || qobject_cast<QProgressBar*>(widget) ||
           qobject_cast<QAbstractItemView*>(widget) || qobject_cast<RowButton*>(widget);
}

QString accessibleName(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

/// What a screen reader says first: the label related to the control, else its name.
/// On Linux a list's own name is its value, so its label must come by relation.
QString announcedName(QWidget* widget) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    if (!face)
        return {};
    const auto labels = face->relations(QAccessible::Label);
    if (!labels.isEmpty())
        return labels.front().first->text(QAccessible::Name);
    return qobject_cast<QComboBox*>(widget) ? QString() : face->text(QAccessible::Name);
}

class ShellAccessTest : public ShellTest {};

TEST_F(ShellAccessTest, EveryControlHasANameInTheInterfaceLanguage) {
    AppConfig config = watching();
    config.preset = CompressionPreset::custom;
    AppStore& store = makeStore(config, {historyRow(Status::failed, {}, {}, "Damaged.")});
    MenuPanel onboarding(store);
    MenuPanel panel(store);
    HistoryActions actions;
    actions.ignoredFiles = [] { return std::vector<std::filesystem::path>{"/p/a.jpg"}; };
    actions.stopIgnoring = [](const std::filesystem::path&) {};
    SettingsWindow settings(store, actions);
    HistoryWindow history(store, actions);
    AboutDialog about(store);
    const std::vector<std::pair<const char*, QWidget*>> views = {
        {"panel", &panel}, {"settings", &settings}, {"history", &history}, {"about", &about}};

    std::map<AppLanguage, std::map<QWidget*, QString>> names;
    for (const AppLanguage language : allAppLanguages) {
        store.setLanguage(language);
        for (const auto& [view, widget] : views) {
            panel.render();
            settings.render();
            history.render();
            about.render();
            int controls = 0;
            for (QWidget* child : widget->findChildren<QWidget*>()) {
                if (!isControl(child))
                    continue;
                ++controls;
                const QString name = announcedName(child);
                EXPECT_FALSE(name.trimmed().isEmpty())
                    << view << ": unnamed " << child->metaObject()->className() << " "
                    << child->objectName().toStdString();
                names[language][child] = name;
            }
            EXPECT_GE(controls, 3) << view;
        }
    }
    for (const auto& [widget, english] : names[AppLanguage::english])
        EXPECT_NE(names[AppLanguage::russian][widget], english)
            << "not translated: " << english.toStdString();

    // The onboarding's two buttons, in the panel without a folder.
    AppConfig fresh;
    fresh.language = AppLanguage::russian;
    store.setConfig(fresh);
    onboarding.render();
    EXPECT_EQ(accessibleName(&onboarding.onboardingButton()), QStringLiteral("Выбрать папку"));
    EXPECT_EQ(announcedName(&onboarding.presetPopup()), QStringLiteral("Степень сжатия"))
        << "a list is announced by its label, not only its value";
}

TEST_F(ShellAccessTest, TheWatchedFolderShowsWholeAndAboutOpensFromSettings) {
    AppStore& store = makeStore(watching());
    MenuPanel panel(store);
    SettingsWindow settings(store);
    const QString folder = QString::fromStdString(folder_.native());
    EXPECT_EQ(panel.folderRow().subtitleText(), QStringLiteral("Inbox"));
    EXPECT_EQ(panel.folderRow().toolTip(), folder) << "outside home, the path as it is";
    EXPECT_EQ(settings.folderPathLabel().text(), folder);

    int asked = 0;
    QObject::connect(&settings, &SettingsWindow::aboutRequested, [&] { ++asked; });
    settings.aboutButton().click();
    EXPECT_EQ(asked, 1);
    AboutDialog about(store);
    EXPECT_TRUE(about.versionLabel().text().startsWith(QStringLiteral("Version ")));
    EXPECT_TRUE(about.versionLabel().text().contains(QStringLiteral("(build ")));
    EXPECT_EQ(about.logFolderButton().text(), QStringLiteral("Open log folder"));
}

TEST_F(ShellAccessTest, EscapeClosesAnOpenListFirstThenThePanel) {
    AppStore& store = makeStore(watching());
    MenuPanel panel(store);
    panel.showNear(QRect(400, 0, 24, 24));
    QTest::qWait(300);
    panel.presetPopup().showPopup();
    ASSERT_TRUE(panel.presetPopup().view()->isVisible());

    QTest::keyClick(&panel, Qt::Key_Escape);
    QTest::qWait(300);
    EXPECT_FALSE(panel.presetPopup().view()->isVisible());
    EXPECT_TRUE(panel.isShowing()) << "the first Escape only closed the list";

    QTest::keyClick(&panel, Qt::Key_Escape);
    QTest::qWait(300);
    EXPECT_FALSE(panel.isVisible());
}

TEST_F(ShellAccessTest, EnterPressesTheOnboardingButtonWhereverTheFocusIs) {
    AppStore& store = makeStore(AppConfig{});
    MenuPanel panel(store);
    int presses = 0;
    QObject::connect(&panel.onboardingButton(), &QPushButton::clicked, [&] { ++presses; });
    panel.showNear(QRect(400, 0, 24, 24));
    panel.setFocus();
    QTest::keyClick(&panel, Qt::Key_Return);
    EXPECT_EQ(presses, 1);
}

TEST_F(ShellAccessTest, EscapeAndCtrlWCloseSettingsAndHistory) {
    AppStore& store = makeStore(watching(), {historyRow(Status::compressed, 10, 5)});
    SettingsWindow settings(store);
    HistoryWindow history(store);
    for (QWidget* window : {static_cast<QWidget*>(&settings), static_cast<QWidget*>(&history)}) {
        for (const QKeyCombination keys :
             {QKeyCombination(Qt::Key_Escape), QKeyCombination(Qt::ControlModifier, Qt::Key_W)}) {
            window->show();
            QWidget* focus = window->focusWidget() ? window->focusWidget() : window;
            QTest::keyClick(focus, keys.key(), keys.keyboardModifiers());
            EXPECT_FALSE(window->isVisible())
                << window->metaObject()->className() << " key " << keys.toCombined();
        }
    }
}

TEST_F(ShellAccessTest, ErrorTextAndFocusRingReadOnLightAndDarkPalettes) {
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::AlternateBase, QColor(0xf5, 0xf5, 0xf5));
    light.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2e));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xf0));
    dark.setColor(QPalette::Base, QColor(0x1f, 0x1f, 0x22));
    dark.setColor(QPalette::AlternateBase, QColor(0x3a, 0x3a, 0x3e));
    // A highlight too dark to see on a dark card, as some themes ship.
    dark.setColor(QPalette::Highlight, QColor(0x1d, 0x3d, 0x6b));
    for (const QPalette& palette : {light, dark}) {
        const QColor red = errorTextColor(palette);
        for (const auto role : {QPalette::Base, QPalette::AlternateBase, QPalette::Window})
            EXPECT_GE(contrastRatio(red, palette.color(role)), 4.5) << red.name().toStdString();
        EXPECT_GT(red.red(), red.green() + 40) << "still reads as red";
        const QColor card = panelColors::card(palette);
        EXPECT_GE(contrastRatio(focusRingColor(palette, card), card), 3.0);
    }
    EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 0.01);
}

} // namespace
} // namespace velk
