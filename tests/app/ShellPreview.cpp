// Renders the panel and both windows offscreen, in both languages, with a few real
// history rows, and writes PNGs a person can look at:
//   QT_QPA_PLATFORM=offscreen velk_shell_preview OUTPUT_DIR [SUFFIX]
// Run with QT_SCALE_FACTOR=2 and SUFFIX @2x for the 2x set, VELK_PREVIEW_DARK=1 for a
// dark theme. The custom-level panel in
// docs/screenshots (panel-custom-*.png) comes from here; the other screenshots there are
// taken of the running program by scripts/screenshots.sh.

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include <QApplication>
#include <QDir>
#include <QPalette>
#include <QTest>

#include "app/shell/HistoryWindow.h"
#include "app/shell/MenuPanel.h"
#include "app/shell/SettingsWindow.h"
#include "model/CompressionHistory.h"
#include "platform/PosixFileSystem.h"
#include "platform/VipsImageCodec.h"
#include "platform/XdgAutostartLoginItem.h"
#include "store/AppStore.h"
#include "support/QuietNotifier.h"
#include "support/TempDir.h"

namespace {

using namespace velk;

std::vector<CompressionHistoryEntry> sampleHistory(const std::filesystem::path& folder) {
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
        {"screenshot 2026-12-07 at 10.15.30.png", Status::compressed, 1'530'204, 402'771, nullptr,
         9},
        {"logo.png", Status::alreadyOptimal, 18'204, 18'204, nullptr, 15},
        {"scan-0007.heic", Status::failed, std::nullopt, std::nullopt,
         "The file could not be read as an image.", 31},
        {"banner-wide-final-v3.webp", Status::compressed, 842'112, 311'404, nullptr, 64},
        {"holiday.jpeg", Status::compressed, 6'204'112, 1'802'004, nullptr, 180},
    };
    std::vector<CompressionHistoryEntry> entries;
    for (const Row& row : rows) {
        CompressionHistoryEntry entry;
        entry.sourceURL = folder / row.name;
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

void save(QWidget& widget, const QString& dir, const QString& name) {
    widget.show();
    QTest::qWait(350);
    const QString file = QDir(dir).filePath(name + QStringLiteral(".png"));
    if (!widget.grab().save(file))
        std::cerr << "could not write " << file.toStdString() << '\n';
    else
        std::cout << file.toStdString() << '\n';
    widget.hide();
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (argc < 2) {
        std::cerr << "usage: velk_shell_preview OUTPUT_DIR [SUFFIX]\n";
        return 2;
    }
    if (const char* dark = std::getenv("VELK_PREVIEW_DARK"); dark && *dark == '1') {
        // A dark desktop theme, roughly as Breeze Dark and Adwaita dark paint it.
        QPalette palette;
        palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2e));
        palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xf0));
        palette.setColor(QPalette::Base, QColor(0x1f, 0x1f, 0x22));
        palette.setColor(QPalette::AlternateBase, QColor(0x29, 0x29, 0x2c));
        palette.setColor(QPalette::Text, QColor(0xee, 0xee, 0xf0));
        palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3e));
        palette.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xf0));
        palette.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
        palette.setColor(QPalette::Mid, QColor(0x55, 0x55, 0x5a));
        QApplication::setPalette(palette);
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QString suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QDir().mkpath(out);

    test::TempDir dir;
    const auto folder = dir / "Pictures to compress";
    std::filesystem::create_directories(folder);
    setenv("VELK_CONFIG_DIR", (dir / "support").c_str(), 1);
    setenv("VELK_LOG_DIR", (dir / "logs").c_str(), 1);
    PosixFileSystem fs;
    VipsImageCodec codec;
    test::QuietNotifier notifier;
    XdgAutostartLoginItem loginItem(dir / "autostart", "/opt/velk/VelkCompressor");

    AppConfig config;
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
                                   .updater = nullptr});
    MenuPanel panel(*store);
    SettingsWindow settings(*store);
    HistoryWindow history(*store);

    for (const AppLanguage language : allAppLanguages) {
        const QString tag =
            QString::fromLatin1(language == AppLanguage::russian ? "ru" : "en") + suffix;
        AppConfig c = AppConfig{};
        c.enabled = false;
        c.language = language;
        store->setConfig(c);
        panel.render();
        save(panel, out, QStringLiteral("panel-onboarding-") + tag);

        c = AppStore::withChosenWatchDirectory(c, folder);
        c.enabled = false;
        store->setConfig(c);
        panel.render();
        save(panel, out, QStringLiteral("panel-") + tag);

        c.preset = CompressionPreset::custom;
        c.qualities = {70, 82, 78, 50, 72};
        store->setConfig(c);
        panel.render();
        save(panel, out, QStringLiteral("panel-custom-") + tag);

        settings.render();
        save(settings, out, QStringLiteral("settings-") + tag);
        history.render();
        save(history, out, QStringLiteral("history-") + tag);
    }
    return 0;
}
