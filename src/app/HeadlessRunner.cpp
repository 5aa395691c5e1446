#include "app/HeadlessRunner.h"

#include <vector>

#include "app/MainLoop.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "store/AppStore.h"

namespace velk {

namespace {

std::string describe(const CompressionHistoryEntry& entry, AppLanguage language) {
    std::string line = displayName(entry.sourceURL);
    if (entry.outputURL && entry.outputURL->filename() != entry.sourceURL.filename())
        line += " \u2192 " + displayName(*entry.outputURL);
    line += ": ";
    switch (entry.status) {
    case CompressionHistoryStatus::compressed:
        line += text(language, "сжат", "compressed");
        break;
    case CompressionHistoryStatus::alreadyOptimal:
        line += text(language, "уже оптимален", "already optimal");
        break;
    case CompressionHistoryStatus::failed:
        line += text(language, "ошибка", "failed");
        if (entry.message)
            line += " (" + displayText(*entry.message) + ")";
        break;
    }
    if (entry.originalBytes) {
        line += ", " + std::to_string(*entry.originalBytes);
        if (entry.outputBytes)
            line += " \u2192 " + std::to_string(*entry.outputBytes);
        line += text(language, " байт", " bytes");
    }
    return line;
}

} // namespace

HeadlessRunner::HeadlessRunner(AppStore& store, MainLoop& loop, std::ostream& out,
                               std::ostream& err, Settings settings)
    : store_(store), loop_(loop), out_(out), err_(err), settings_(settings) {}

std::optional<int> HeadlessRunner::start() {
    if (!store_.history().empty())
        lastPrinted_ = store_.history().front().id;
    store_.start();
    if (store_.watcherError()) {
        err_ << *store_.watcherError() << '\n';
        return 2;
    }
    // Installed only now: a start that fails has said everything on stderr already. What
    // the engine reports from here on is posted to the loop, which runs after this.
    store_.onChange = [this] { storeDidChange(); };
    store_.onNotice = [this](const CompressionNotificationEvent& event) {
        const AppLanguage language = store_.config().language;
        printLine(event.title(language) + ": " + event.body(language));
    };
    store_.onScanFinished = [this](bool settled) { scanFinished(settled); };
    if (const auto folder = store_.resolvedWatchDirectory()) {
        printLine(text(store_.config().language, "Сжимаю папку ", "Compressing the folder ") +
                  displayPath(*folder));
    }
    return std::nullopt;
}

void HeadlessRunner::stopForSignal() {
    if (finished_)
        return;
    finished_ = true;
    clearProgress();
    store_.compressor().stop();
    loop_.quit(0);
}

void HeadlessRunner::storeDidChange() {
    printNewHistoryRows();
    if (settings_.once && !finished_ && store_.folderUnavailable()) {
        // One run over the folder cannot wait for it to come back, perhaps never: say so
        // and end, as a start without the folder does.
        finished_ = true;
        clearProgress();
        if (const auto& error = store_.watcherError())
            err_ << *error << '\n';
        store_.compressor().stop();
        loop_.quit(2);
        return;
    }
    drawProgress();
}

void HeadlessRunner::printNewHistoryRows() {
    const auto& rows = store_.history();
    std::vector<const CompressionHistoryEntry*> fresh;
    for (const auto& row : rows) {
        if (lastPrinted_ && row.id == *lastPrinted_)
            break;
        fresh.push_back(&row);
    }
    if (fresh.empty())
        return;
    lastPrinted_ = rows.front().id;
    const AppLanguage language = store_.config().language;
    for (auto row = fresh.rbegin(); row != fresh.rend(); ++row) {
        if ((*row)->status == CompressionHistoryStatus::failed)
            ++failures_;
        printLine(describe(**row, language));
    }
}

void HeadlessRunner::printLine(const std::string& line) {
    clearProgress();
    // Flushed per line: as a service, output goes to the journal through a pipe.
    out_ << line << std::endl;
}

void HeadlessRunner::drawProgress() {
    if (!settings_.progressLine || finished_)
        return;
    const CompressionStats& stats = store_.stats();
    if (!stats.active || !stats.progress) {
        clearProgress();
        return;
    }
    if (progressShown_ == stats.progress)
        return;
    progressShown_ = stats.progress;
    out_ << "\r\033[K" << text(store_.config().language, "Сжатие… ", "Compressing… ")
         << *stats.progress << '%' << std::flush;
}

void HeadlessRunner::clearProgress() {
    if (!progressShown_)
        return;
    progressShown_.reset();
    out_ << "\r\033[K" << std::flush;
}

void HeadlessRunner::scanFinished(bool settled) {
    if (!settings_.once || !settled || finished_)
        return;
    finished_ = true;
    clearProgress();
    store_.compressor().stop();
    loop_.quit(failures_ == 0 ? 0 : 1);
}

} // namespace velk
