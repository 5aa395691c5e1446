#include "engine/BatchProgress.h"

#include <algorithm>

namespace velk {

namespace {
double estimatedEncodeSeconds(ImageFormat target, std::int64_t size) {
    double base = 1.4;
    double perMB = 1.5;
    switch (target) {
    case ImageFormat::jpeg:
        base = 1.2, perMB = 1.4;
        break;
    case ImageFormat::png:
        base = 1.8, perMB = 1.8;
        break;
    case ImageFormat::webp:
        base = 1.6, perMB = 1.6;
        break;
    case ImageFormat::avif:
    case ImageFormat::heic:
        base = 1.4, perMB = 1.5;
        break;
    }
    const double mb = std::max(static_cast<double>(size) / 1'000'000.0, 0.25);
    return std::clamp(base + mb * perMB, 2.5, 18.0);
}
} // namespace

BatchProgress::BatchProgress(Emit emit) : emit_(std::move(emit)) {}

void BatchProgress::resetRun() {
    CompressionStats snapshot;
    {
        std::scoped_lock lock(mutex_);
        stats_ = CompressionStats{};
        snapshot = stats_;
    }
    emit_(snapshot);
}

CompressionStats BatchProgress::idleSnapshot() {
    std::scoped_lock lock(mutex_);
    stats_.active = 0;
    stats_.progress.reset();
    return stats_;
}

void BatchProgress::endRun() {
    emit_(idleSnapshot());
}

void BatchProgress::beginBatch(int files) {
    {
        std::scoped_lock lock(mutex_);
        batch_ = Batch{};
        batch_.total = files;
    }
    stopTimer();
    emitProgress();
    timer_ = timerQueue_.scheduleRepeating(0.18, [this] { emitProgress(); });
}

void BatchProgress::endBatch() {
    stopTimer();
    CompressionStats snapshot;
    {
        std::scoped_lock lock(mutex_);
        stats_.active = 0;
        stats_.progress.reset();
        batch_ = Batch{};
        snapshot = stats_;
    }
    emit_(snapshot);
}

void BatchProgress::stopTimer() {
    timer_.cancel();
}

void BatchProgress::setInFlight(int files) {
    std::scoped_lock lock(mutex_);
    stats_.active = files;
}

void BatchProgress::encodeBegan(const void* encode, ImageFormat target, std::int64_t sourceBytes,
                                std::string fileName) {
    std::scoped_lock lock(mutex_);
    batch_.current = std::move(fileName);
    batch_.encoding[encode] = {std::chrono::steady_clock::now(),
                               estimatedEncodeSeconds(target, sourceBytes)};
}

void BatchProgress::encodeEnded(const void* encode) {
    std::scoped_lock lock(mutex_);
    batch_.encoding.erase(encode);
}

void BatchProgress::fileWritten(std::int64_t savedBytes) {
    std::scoped_lock lock(mutex_);
    stats_.done += 1;
    stats_.savedBytes += std::max<std::int64_t>(savedBytes, 0);
}

void BatchProgress::fileFailed() {
    std::scoped_lock lock(mutex_);
    stats_.errors += 1;
}

void BatchProgress::fileEnded() {
    {
        std::scoped_lock lock(mutex_);
        batch_.done += 1;
    }
    emitProgress();
}

void BatchProgress::emitProgress() {
    const auto now = std::chrono::steady_clock::now();
    CompressionStats snapshot;
    {
        std::scoped_lock lock(mutex_);
        if (batch_.total <= 0)
            return;
        double done = batch_.done;
        for (const auto& [encode, timing] : batch_.encoding) {
            // Eased towards 90 % of the file by its estimate: a bar that keeps moving,
            // without claiming the checks and the install that follow.
            const double t = std::chrono::duration<double>(now - timing.first).count() /
                             std::max(timing.second, 0.1);
            const double r = 1.0 - std::clamp(t, 0.0, 1.0);
            done += 0.9 * (1.0 - r * r);
        }
        const int percent = std::clamp(static_cast<int>(100.0 * done / batch_.total), 0, 100);
        batch_.shown = std::max(batch_.shown, percent);
        if (stats_.active == 0)
            return;
        stats_.progress = batch_.shown;
        snapshot = stats_;
        snapshot.batchTotal = batch_.total;
        snapshot.batchDone = batch_.done;
        if (!batch_.current.empty())
            snapshot.currentFile = batch_.current;
    }
    emit_(snapshot);
}

} // namespace velk
