#include "app/shell/PanelStatus.h"

#include <algorithm>
#include <ctime>

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/shell/HistoryCells.h"
#include "app/shell/Legibility.h"
#include "app/shell/PanelRows.h"
#include "app/shell/TrayStatus.h"
#include "core/ByteCountText.h"
#include "notify/BatchNotification.h"
#include "store/AppStore.h"

namespace velk {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QString tr2(AppLanguage language, std::string_view russian, std::string_view english) {
    return qs(text(language, russian, english));
}

const QColor errorRed(0xd7, 0x26, 0x2b);

/// "12 files · 8.3 MB saved · 2 failed".
std::string summaryText(const AppStore::BatchSummary& batch, AppLanguage language) {
    std::string line =
        countedNoun(batch.files, language, "файл", "файла", "файлов", "file", "files");
    if (batch.savedBytes > 0)
        line += " · " + byteCountText(batch.savedBytes, language) +
                text(language, " сэкономлено", " saved");
    if (batch.failed > 0)
        line += " · " + text(language, "ошибок: " + std::to_string(batch.failed),
                             std::to_string(batch.failed) + " failed");
    return line;
}

} // namespace

std::optional<Date> PanelStatus::pauseEnd(int choice, Date now) {
    if (choice == 0)
        return now + std::chrono::hours(1);
    if (choice == 1) {
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        std::tm local{};
        localtime_r(&seconds, &local);
        local.tm_mday += 1;
        local.tm_hour = 0;
        local.tm_min = 0;
        local.tm_sec = 0;
        local.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&local));
    }
    return std::nullopt;
}

void PanelStatus::fillPauseMenu(QMenu& menu, AppStore& store) {
    menu.clear();
    const AppLanguage language = store.config().language;
    const std::array<QString, 3> titles = {
        tr2(language, "Пауза на 1 час", "Pause for 1 hour"),
        tr2(language, "Пауза до завтра", "Pause until tomorrow"),
        tr2(language, "Пауза, пока не возобновлю", "Pause until I resume"),
    };
    for (int choice = 0; choice < 3; ++choice) {
        QObject::connect(menu.addAction(titles[static_cast<std::size_t>(choice)]),
                         &QAction::triggered, &menu,
                         [&store, choice] { store.pause(pauseEnd(choice, store.now())); });
    }
}

PanelStatus::PanelStatus(AppStore& store, QWidget* parent) : QWidget(parent), store_(store) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 0, 12, 8);
    layout->setSpacing(5);
    auto* top = new QHBoxLayout;
    top->setSpacing(6);
    // 11 px beside the panel's 13 px text, in proportion to the desktop's font.
    const QFont small = relativeFont(font(), 11.0 / 13.0);
    line_.setFont(small);
    top->addWidget(&line_, 1);
    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{&action_, &pause_}) {
        button->setFont(small);
        button->setCursor(Qt::PointingHandCursor);
        top->addWidget(button);
    }
    pause_.setPopupMode(QToolButton::InstantPopup);
    pause_.setMenu(&pauseMenu_);
    pause_.setAutoRaise(true);
    layout->addLayout(top);
    bar_.setRange(0, 100);
    bar_.setTextVisible(false);
    bar_.setFixedHeight(4);
    layout->addWidget(&bar_);
    summary_.setFlat(true);
    summary_.setFont(small);
    summary_.setCursor(Qt::PointingHandCursor);
    summary_.setStyleSheet(QStringLiteral("text-align: left; padding: 0; border: none;"));
    layout->addWidget(&summary_);
    auto* offer = new QHBoxLayout(&autostartOffer_);
    offer->setContentsMargins(0, 2, 0, 0);
    offer->setSpacing(6);
    autostartQuestion_.setFont(small);
    offer->addWidget(&autostartQuestion_, 1);
    for (QPushButton* button : {&autostartYes_, &autostartNo_}) {
        button->setFont(small);
        button->setCursor(Qt::PointingHandCursor);
        offer->addWidget(button);
    }
    layout->addWidget(&autostartOffer_);
    connect(&autostartYes_, &QPushButton::clicked, this, [this] { store_.setAutostart(true); });
    connect(&autostartNo_, &QPushButton::clicked, this, [this] { store_.setAutostart(false); });

    connect(&action_, &QPushButton::clicked, this, [this] {
        // Stop ends the batch as a logout would: the files in progress stay as they were,
        // and nothing starts again until the user resumes.
        if (store_.isPaused())
            store_.resume();
        else
            store_.pause(std::nullopt);
    });
    connect(&summary_, &QPushButton::clicked, this, &PanelStatus::historyRequested);
}

void PanelStatus::render() {
    const TrayFacts facts = TrayFacts::of(store_);
    const AppLanguage language = facts.language;
    const TrayState state = trayState(facts);
    if (menuLanguage_ != language) {
        menuLanguage_ = language;
        fillPauseMenu(pauseMenu_, store_);
        pause_.setText(tr2(language, "Пауза", "Pause"));
        autostartQuestion_.setText(
            tr2(language, "Запускать при входе в систему?", "Start at login?"));
        autostartYes_.setText(tr2(language, "Да", "Yes"));
        autostartNo_.setText(tr2(language, "Не сейчас", "Not now"));
        bar_.setAccessibleName(tr2(language, "Прогресс сжатия", "Compression progress"));
        summary_.setAccessibleName(tr2(language, "Итог пакета", "Batch summary"));
        // Named before it first shows: Stop while working, Resume while paused.
        action_.setText(tr2(language, "Стоп", "Stop"));
    }

    QPalette palette = line_.palette();
    palette.setColor(QPalette::WindowText, panelColors::secondaryText(this->palette()));
    QString text;
    bool showsBar = false;
    bool showsSummary = false;
    switch (state) {
    case TrayState::working:
        text = qs(batchProgressText(facts.stats, language));
        showsBar = true;
        bar_.setValue(std::clamp(facts.stats.progress.value_or(0), 0, 100));
        action_.setText(tr2(language, "Стоп", "Stop"));
        break;
    case TrayState::paused:
        text = qs(pausedText(facts.pausedUntil, facts.now, language));
        action_.setText(tr2(language, "Продолжить", "Resume"));
        break;
    case TrayState::folderUnavailable:
    case TrayState::problem:
        text = qs(trayStatusLine(facts));
        palette.setColor(QPalette::WindowText, errorRed);
        break;
    case TrayState::setup:
    case TrayState::off:
    case TrayState::attention:
    case TrayState::idle:
        if (const auto& batch = store_.lastBatch(); batch && batch->files > 0) {
            showsSummary = true;
            summary_.setText(qs(summaryText(*batch, language)));
            summary_.setToolTip(tr2(language, "Открыть историю сжатий", "Open the history"));
            QPalette link = summary_.palette();
            link.setColor(QPalette::ButtonText,
                          batch->failed > 0 ? errorRed : panelColors::secondaryText(palette));
            summary_.setPalette(link);
        }
        if (const auto& history = store_.history(); !history.empty()) {
            const CompressionHistoryEntry& last = history.front();
            text = qs(historyCellText("file", last, language)) + QStringLiteral(" · ") +
                   qs(historyCellText("result", last, language));
            if (historyCellIsError("result", last))
                palette.setColor(QPalette::WindowText, errorRed);
        } else if (state == TrayState::idle) {
            // Nothing done yet: confirm what is being watched.
            text = qs(trayStatusLine(facts));
        }
        break;
    }
    line_.setPalette(palette);
    line_.setToolTip(text);
    const int room = 264 - (state == TrayState::working || state == TrayState::paused ? 70 : 0);
    line_.setText(line_.fontMetrics().elidedText(text, Qt::ElideMiddle, room - 24));
    line_.setVisible(!text.isEmpty());
    bar_.setVisible(showsBar);
    action_.setVisible(state == TrayState::working || state == TrayState::paused);
    pause_.setVisible(state == TrayState::idle || state == TrayState::attention);
    summary_.setVisible(showsSummary);
    const bool offersAutostart =
        store_.offersAutostart() && (state == TrayState::idle || state == TrayState::working);
    autostartOffer_.setVisible(offersAutostart);
    setVisible(!text.isEmpty() || showsSummary || offersAutostart || pause_.isVisibleTo(this));
}

} // namespace velk
