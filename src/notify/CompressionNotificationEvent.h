#pragma once

#include <filesystem>
#include <string>
#include <variant>

#include "model/AppLanguage.h"

namespace velk {

/// A noteworthy outcome the engine reports, with its texts in both languages.
class CompressionNotificationEvent {
public:
    /// A file of a kind the engine never compresses was dropped into the folder.
    struct UnsupportedFile {
        std::filesystem::path file;
        bool operator==(const UnsupportedFile&) const = default;
    };
    struct ProcessingFailed {
        std::filesystem::path file;
        std::string message;
        bool operator==(const ProcessingFailed&) const = default;
    };
    /// The folder itself cannot be watched.
    struct WatcherFailed {
        std::string message;
        bool operator==(const WatcherFailed&) const = default;
    };
    /// The result would not have been smaller, so the file was left alone.
    struct AlreadyOptimal {
        std::filesystem::path file;
        bool operator==(const AlreadyOptimal&) const = default;
    };
    using Payload = std::variant<UnsupportedFile, ProcessingFailed, WatcherFailed, AlreadyOptimal>;

    CompressionNotificationEvent(Payload payload) : payload_(std::move(payload)) {}

    const Payload& payload() const { return payload_; }

    /// Equal for every event about the same file and kind, however its path was spelled;
    /// all watcher failures share one key. Always valid UTF-8.
    std::string dedupeKey() const;
    /// False only for `AlreadyOptimal`, which is worth a notice beside the status icon but
    /// not a system notification.
    bool allowsSystemNotification() const;
    std::string title(AppLanguage language) const;
    /// Always valid UTF-8; messages are shortened to one line of at most 120 characters.
    std::string body(AppLanguage language) const;

    bool operator==(const CompressionNotificationEvent&) const = default;

private:
    Payload payload_;
};

} // namespace velk
