#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "core/Uuid.h"
#include "model/AppLanguage.h"
#include "model/CompressionStats.h"
#include "notify/CompressionNotificationEvent.h"

namespace velk {

/// A short notice beside the tray icon; `id` tells a newer notice from an older one with
/// the same text.
struct MenuBarNotice {
    Uuid id;
    std::string title;
};

/// " ! JPG", " ! Error", " ! Folder", " ✓ Optimal"… in the given language.
std::string menuBarNoticeTitle(const CompressionNotificationEvent& event, AppLanguage language);

/// The text shown with the tray icon: the batch's progress while files are active and the
/// user wants it, else the newest notice for 4 seconds, else nothing. Kept apart from the
/// tray so its rules run without a display.
class StatusTitle {
public:
    /// Runs a task once after a delay on the main thread.
    using Schedule = std::function<void(std::chrono::milliseconds, std::function<void()>)>;
    static constexpr std::chrono::milliseconds noticeDuration{4000};

    explicit StatusTitle(Schedule schedule) : schedule_(std::move(schedule)) {}

    /// Called whenever the notice appears or expires.
    std::function<void()> onChange;

    /// Shows the event's notice at once, replacing any older one, and logs it.
    void showNotice(const CompressionNotificationEvent& event, AppLanguage language);

    /// The title for these statistics; empty when only the icon shows.
    std::string title(const CompressionStats& stats, bool showMenuBarProgress) const;
    const std::optional<MenuBarNotice>& notice() const { return notice_; }

private:
    void expire(const Uuid& id);

    Schedule schedule_;
    std::optional<MenuBarNotice> notice_;
    /// Expiry tasks hold this weakly, so one that fires after the title is gone does nothing.
    std::shared_ptr<StatusTitle*> self_ = std::make_shared<StatusTitle*>(this);
};

} // namespace velk
