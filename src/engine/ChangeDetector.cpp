#include "engine/ChangeDetector.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "core/Constants.h"
#include "core/NativeLog.h"
#include "core/Paths.h"

namespace velk {

namespace fs = std::filesystem;

namespace {
double secondsBetween(Date earlier, Date later) {
    return std::chrono::duration<double>(later - earlier).count();
}
} // namespace

ChangeDetector::ChangeDetector(const FileSystem& fs, const ProcessedFileRegistry& registry,
                               Delegate& delegate, std::function<Date()> clock,
                               MonotonicClock monotonicClock)
    : fs_(fs), registry_(registry), delegate_(delegate), clock_(std::move(clock)),
      monotonicClock_(std::move(monotonicClock)) {
    if (!monotonicClock_)
        monotonicClock_ = [] { return std::chrono::steady_clock::now(); };
}

void ChangeDetector::dropVanishedPending() {
    for (auto entry = pending_.begin(); entry != pending_.end();) {
        const auto attributes = fs_.attributes(fs::path(entry->first));
        if (!attributes || !attributes->isRegularFile) {
            entry = pending_.erase(entry);
        } else {
            ++entry;
        }
    }
}

ChangeDetector::Key ChangeDetector::keyFor(const fs::path& file) {
    return standardizedString(file);
}

void ChangeDetector::sweepStaleOutputs(const Key& key, const fs::path& file) {
    if (folderModified_) {
        const auto swept = sweptAtFolderModified_.find(key);
        if (swept != sweptAtFolderModified_.end() && swept->second == *folderModified_)
            return;
    }
    // What the delegate removed is forgotten here, after its call: it never calls back.
    for (const auto& removed : delegate_.removeStaleOutputs(file))
        forgetHandled(removed);
    if (folderModified_)
        sweptAtFolderModified_[key] = *folderModified_;
}

bool ChangeDetector::shouldSkip(const fs::path& file) {
    const auto signature = fileSignature(fs_, file);
    if (!signature)
        return true;
    const Key key = keyFor(file);
    const Date now = clock_();
    // Read with the signature, before the checks below read the file: the stability wait
    // counts from the state it describes, not from the end of the bookkeeping.
    const auto seenAt = monotonicClock_();

    if (const auto own = ownWrites_.find(key); own != ownWrites_.end()) {
        const auto fingerprint = contentFingerprint(fs_, file);
        bool userChanged = false;
        if (!fingerprint) {
            if (signature->size == own->second.size)
                return true;
            if (secondsBetween(own->second.date, now) < ownWriteSettlingInterval)
                return true;
            userChanged = true;
        } else if (!own->second.fingerprint) {
            own->second.fingerprint = fingerprint;
            return true;
        } else if (*fingerprint == *own->second.fingerprint) {
            return true;
        } else {
            userChanged = true;
        }
        if (userChanged) {
            ownWrites_.erase(key);
            recentWrites_.erase(key);
            processedSignatures_.erase(key);
        }
    }

    if (const auto recent = recentWrites_.find(key); recent != recentWrites_.end()) {
        if (secondsBetween(recent->second.date, now) < recentWriteCooldown &&
            recent->second.signature == *signature) {
            return true;
        }
        recentWrites_.erase(recent);
    }

    if (const auto handled = processedSignatures_.find(key);
        handled != processedSignatures_.end() && handled->second == *signature) {
        sweepStaleOutputs(key, file);
        return true;
    }

    if (const auto failed = dealtWithSignatures_.find(key); failed != dealtWithSignatures_.end()) {
        if (failed->second == *signature)
            return true;
        dealtWithSignatures_.erase(failed);
    }

    if (const auto fingerprint = contentFingerprint(fs_, file)) {
        // Left alone under any settings: a settings change must not retry a failure or
        // undo a person's choice.
        if (registry_.leftAloneReason(file, *fingerprint, signature->resourceIdentifier)) {
            dealtWithSignatures_[key] = *signature;
            return true;
        }
        if (registry_.matches(file, *fingerprint, signature->resourceIdentifier,
                              delegate_.settingsKey()) &&
            delegate_.registryCanSkip(file)) {
            sweepStaleOutputs(key, file);
            processedSignatures_[key] = *signature;
            return true;
        }
    }

    // Renamed, copied, or forgotten by the registry: its mark still says it is ours.
    if (delegate_.recogniseMarkedOutput(file)) {
        processedSignatures_[key] = *signature;
        return true;
    }

    if (const auto pending = pending_.find(key);
        pending != pending_.end() && pending->second.signature == *signature) {
        if (std::chrono::duration<double>(seenAt - pending->second.firstSeenAt).count() >=
            writeStabilityInterval) {
            pending_.erase(pending);
            return false;
        }
        return true;
    }
    pending_[key] = PendingFile{*signature, seenAt};
    return true;
}

std::optional<double> ChangeDetector::secondsUntilFirstStable() const {
    if (pending_.empty())
        return std::nullopt;
    auto first = pending_.begin()->second.firstSeenAt;
    for (const auto& [key, pending] : pending_)
        first = std::min(first, pending.firstSeenAt);
    const double waited = std::chrono::duration<double>(monotonicClock_() - first).count();
    return std::max(writeStabilityInterval - waited, 0.0);
}

void ChangeDetector::reportUnsupportedIfNeeded(const fs::path& file) {
    if (!isUnsupportedDropExtension(lowercaseExtension(file)))
        return;
    const auto signature = fileSignature(fs_, file);
    if (!signature)
        return;
    const Key key = keyFor(file);
    if (const auto seen = unsupportedSignatures_.find(key);
        seen != unsupportedSignatures_.end() && seen->second == *signature) {
        return;
    }
    unsupportedSignatures_[key] = *signature;
    if (const auto fingerprint = contentFingerprint(fs_, file);
        fingerprint &&
        registry_.leftAloneReason(file, *fingerprint, signature->resourceIdentifier) ==
            LeftAloneReason::unsupported) {
        return;
    }
    NativeLog::write("Unsupported file " + displayPath(file));
    delegate_.report(CompressionNotificationEvent(
        CompressionNotificationEvent::UnsupportedFile{standardized(file)}));
    delegate_.recordUnsupported(file);
}

void ChangeDetector::forgetVanished(const std::vector<DirectoryEntry>& listing) {
    // A file can vanish only by changing the folder's modification time.
    if (folderModified_ && vanishedCheckedAtFolderModified_ == folderModified_)
        return;
    vanishedCheckedAtFolderModified_ = folderModified_;
    if (rememberedCount() == 0)
        return;
    std::unordered_set<Key> present;
    present.reserve(listing.size());
    for (const auto& entry : listing)
        present.insert(keyFor(entry.path));
    const auto gone = [&present](const auto& item) { return !present.contains(item.first); };
    std::erase_if(recentWrites_, gone);
    std::erase_if(ownWrites_, gone);
    std::erase_if(processedSignatures_, gone);
    std::erase_if(unsupportedSignatures_, gone);
    std::erase_if(dealtWithSignatures_, gone);
    std::erase_if(sweptAtFolderModified_, gone);
}

std::size_t ChangeDetector::rememberedCount() const {
    return recentWrites_.size() + ownWrites_.size() + processedSignatures_.size() +
           unsupportedSignatures_.size() + dealtWithSignatures_.size() +
           sweptAtFolderModified_.size();
}

void ChangeDetector::forget(const fs::path& file) {
    const Key key = keyFor(file);
    pending_.erase(key);
    processedSignatures_.erase(key);
    recentWrites_.erase(key);
}

void ChangeDetector::decideAfresh(const fs::path& file) {
    const Key key = keyFor(file);
    for (auto* map : {&processedSignatures_, &unsupportedSignatures_, &dealtWithSignatures_})
        map->erase(key);
    pending_.erase(key);
    ownWrites_.erase(key);
    recentWrites_.erase(key);
}

void ChangeDetector::forgetHandled(const fs::path& file) {
    const Key key = keyFor(file);
    processedSignatures_.erase(key);
    ownWrites_.erase(key);
    recentWrites_.erase(key);
}

void ChangeDetector::rememberHandled(const fs::path& file, const FileSignature& signature) {
    processedSignatures_[keyFor(file)] = signature;
}

void ChangeDetector::rememberRecentWrite(const fs::path& file, const FileSignature& signature) {
    recentWrites_[keyFor(file)] = RecentWrite{clock_(), signature};
}

void ChangeDetector::rememberOwnWrite(const fs::path& file, OwnWrite write) {
    ownWrites_[keyFor(file)] = std::move(write);
}

void ChangeDetector::rememberDealtWith(const fs::path& file, const FileSignature& signature) {
    dealtWithSignatures_[keyFor(file)] = signature;
}

void ChangeDetector::clear() {
    recentWrites_.clear();
    ownWrites_.clear();
    processedSignatures_.clear();
    unsupportedSignatures_.clear();
    dealtWithSignatures_.clear();
    pending_.clear();
    sweptAtFolderModified_.clear();
    vanishedCheckedAtFolderModified_.reset();
}

} // namespace velk
