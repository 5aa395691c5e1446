// Shows the history (its menu and details), the settings and the confirmations as real
// windows on an X screen and photographs them, for a person to look at:
//   desktop-session [-d 2] velk_shell_shots OUTPUT_DIR [SUFFIX]
// VELK_SHOT_FONT_PT=16 sets the application font, as a desktop with a large font does.
// scripts/shell-screenshots.sh takes the whole set (1x, 2x, 16 pt) into docs/screenshots/shell.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTest>

#include "app/shell/HistoryWindow.h"
#include "app/shell/QtUserDialogs.h"
#include "app/shell/SettingsWindow.h"
#include "core/Constants.h"
#include "model/CompressionHistory.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "store/AppStore.h"
#include "support/QuietNotifier.h"
#include "support/TempDir.h"

namespace {

using namespace velk;
namespace fs = std::filesystem;

std::vector<CompressionHistoryEntry> sampleHistory(const fs::path& folder) {
    using Status = CompressionHistoryStatus;
    struct Row {
        const char* name;
        Status status;
        std::optional<std::int64_t> original, output;
        const char* message;
        int minutesAgo;
    };
    const Row rows[] = {
        {"IMG_2041.jpg", Status::compressed, 4'812'331, 1'204'118, nullptr, 2},
        {"corrupt_camera_upload_2026-12-07_10.15.30.jpg", Status::failed, std::nullopt,
         std::nullopt,
         "corrupt_camera_upload_2026-12-07_10.15.30.jpg is not a readable JPEG (its data looks "
         "damaged). Skipped.",
         9},
        {"logo.png", Status::alreadyOptimal, 18'204, 18'204, nullptr, 15},
        {"banner-wide-final-v3.webp", Status::compressed, 842'112, 311'404, nullptr, 64},
        {"holiday.jpeg", Status::compressed, 6'204'112, 1'802'004, nullptr, 180},
    };
    std::vector<CompressionHistoryEntry> entries;
    for (const Row& row : rows) {
        CompressionHistoryEntry entry;
        entry.sourceURL = folder / row.name;
        if (row.status != Status::failed)
            entry.outputURL = folder / row.name;
        entry.status = row.status;
        entry.originalBytes = row.original;
        entry.outputBytes = row.output;
        if (row.message)
            entry.message = row.message;
        entry.date = std::chrono::system_clock::now() - std::chrono::minutes(row.minutesAgo);
        entries.push_back(entry);
    }
    return entries;
}

/// The screen now, cut to `area` (logical pixels) with a margin.
void shoot(const QRect& area, const QString& file) {
    QTest::qWait(500);
    const QString whole = file + QStringLiteral(".whole.png");
    if (QProcess::execute(QStringLiteral("desktop-shot"), {whole}) != 0) {
        std::cerr << "desktop-shot failed\n";
        return;
    }
    const qreal scale = QGuiApplication::primaryScreen()->devicePixelRatio();
    const QRect px(
        QPoint(qRound((area.x() - 12) * scale), qRound((area.y() - 12) * scale)),
        QSize(qRound((area.width() + 24) * scale), qRound((area.height() + 24) * scale)));
    QImage image(whole);
    image.copy(px).save(file);
    QFile::remove(whole);
    std::cout << file.toStdString() << '\n';
}

QRect frameOf(std::initializer_list<QWidget*> widgets) {
    QRect united;
    for (QWidget* widget : widgets)
        if (widget && widget->isVisible())
            united = united.united(widget->frameGeometry());
    return united;
}

void closeModal() {
    if (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible())
            box->close();
    QTest::qWait(200);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: velk_shell_shots OUTPUT_DIR [SUFFIX]\n";
        return 2;
    }
    if (const char* points = std::getenv("VELK_SHOT_FONT_PT"); points && *points) {
        QFont font = QApplication::font();
        font.setPointSizeF(std::atof(points));
        QApplication::setFont(font);
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QDir().mkpath(out);

    test::TempDir dir;
    const fs::path folder = dir / "Pictures" / "Inbox";
    fs::create_directories(folder / backupDirName / "2026-12-08");
    for (int i = 0; i < 39; ++i) {
        std::ofstream backup(folder / backupDirName / "2026-12-08" /
                             ("IMG_" + std::to_string(2000 + i) + ".jpg"));
        backup << std::string(471'000, 'x');
    }
    setenv("VELK_CONFIG_DIR", (dir / "support").c_str(), 1);
    setenv("VELK_LOG_DIR", (dir / "logs").c_str(), 1);
    PosixFileSystem fs;
    VipsImageCodec codec;
    test::QuietNotifier notifier;
    XdgAutostartLoginItem loginItem(dir / "autostart", "/opt/velk/VelkCompressor");
    QtUserDialogs dialogs;
    AppConfig config = AppStore::withChosenWatchDirectory(AppConfig{}, folder);
    config.enabled = false;
    if (!saveAppConfig(dir / "support" / "native-config.json", config) ||
        !CompressionHistory(sampleHistory(folder))
             .save(dir / "support" / "compression-history.json")) {
        std::cerr << "could not write the sample records\n";
        return 1;
    }
    auto store = AppStore::create({.fileSystem = fs,
                                   .codec = codec,
                                   .notifier = notifier,
                                   .loginItem = loginItem,
                                   .mainExecutor =
                                       [](std::function<void()> task) {
                                           QMetaObject::invokeMethod(qApp, std::move(task),
                                                                     Qt::QueuedConnection);
                                       },
                                   .updater = nullptr,
                                   .dialogs = &dialogs});
    std::vector<fs::path> ignored = {folder / "corrupt_camera_upload_2026-12-07_10.15.30.jpg",
                                     folder / "scan-0007.heic"};
    HistoryActions actions;
    actions.restore = [](const fs::path&,
                         std::function<void(const HistoryActions::RestoreResult&)> done) {
        done(HistoryActions::RestoreResult{true, ""});
    };
    actions.ignore = [&](const fs::path& file) { ignored.push_back(file); };
    actions.stopIgnoring = [&](const fs::path& file) { std::erase(ignored, file); };
    actions.ignoredFiles = [&] { return ignored; };

    for (const AppLanguage language : allAppLanguages) {
        const QString tag =
            QString::fromLatin1(language == AppLanguage::russian ? "-ru" : "-en") + suffix;
        store->setLanguage(language);
        SettingsWindow settings(*store, actions);
        HistoryWindow history(*store, actions);
        settings.move(80, 60);
        history.move(80, 60);

        settings.showWindow();
        shoot(frameOf({&settings}),
              out + QStringLiteral("/settings") + tag + QStringLiteral(".png"));
        store->clearBackups(static_cast<QWidget*>(&settings));
        QTest::qWait(300);
        shoot(frameOf({&settings, QApplication::activeModalWidget()}),
              out + QStringLiteral("/confirm-clear-backups") + tag + QStringLiteral(".png"));
        closeModal();
        settings.hide();

        history.showWindow();
        for (int row = 0; row < history.table().rowCount(); ++row)
            if (history.entryAt(row) == 1)
                history.table().selectRow(row);
        QMenu& menu = history.rowMenu(1);
        const int tableRow = history.table().currentRow();
        const QRect cell = history.table().visualItemRect(history.table().item(tableRow, 0));
        menu.popup(history.table().viewport()->mapToGlobal(cell.center()));
        menu.setActiveAction(menu.defaultAction());
        QTest::qWait(300);
        shoot(frameOf({&history, &menu}),
              out + QStringLiteral("/history-menu") + tag + QStringLiteral(".png"));
        menu.close();

        history.clearHistory();
        QTest::qWait(300);
        shoot(frameOf({&history, history.confirmation()}),
              out + QStringLiteral("/confirm-clear-history") + tag + QStringLiteral(".png"));
        closeModal();
        history.restoreOriginal(0);
        QTest::qWait(300);
        shoot(frameOf({&history, history.confirmation()}),
              out + QStringLiteral("/confirm-restore") + tag + QStringLiteral(".png"));
        closeModal();
        history.hide();
    }
    return 0;
}
