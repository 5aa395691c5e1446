#include "app/shell/StatusTitle.h"

#include <algorithm>
#include <memory>

#include "core/NativeLog.h"
#include "core/Paths.h"

namespace velk {

namespace {

std::string upperCaseExtension(const std::filesystem::path& file) {
    std::string extension = file.extension().native();
    if (extension.size() <= 1)
        return "FILE";
    extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : static_cast<char>(c);
    });
    // Extensions are bytes like the rest of the name; the title must be text.
    return displayPath(std::filesystem::path(extension));
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

std::string menuBarNoticeTitle(const CompressionNotificationEvent& event, AppLanguage language) {
    using Event = CompressionNotificationEvent;
    return std::visit(
        [language](const auto& payload) -> std::string {
            using T = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<T, Event::UnsupportedFile>)
                return " ! " + upperCaseExtension(payload.file);
            else if constexpr (std::is_same_v<T, Event::ProcessingFailed>)
                return text(language, " ! Ошибка", " ! Error");
            else if constexpr (std::is_same_v<T, Event::WatcherFailed>)
                return text(language, " ! Папка", " ! Folder");
            else
                return text(language, " ✓ Оптимально", " ✓ Optimal");
        },
        event.payload());
}

void StatusTitle::showNotice(const CompressionNotificationEvent& event, AppLanguage language) {
    const MenuBarNotice notice{Uuid::random(), menuBarNoticeTitle(event, language)};
    notice_ = notice;
    if (onChange)
        onChange();
    // An older notice's expiry may still fire; it finds a different id and does nothing.
    schedule_(noticeDuration, [weak = std::weak_ptr<StatusTitle*>(self_), id = notice.id] {
        if (auto self = weak.lock())
            (*self)->expire(id);
    });
    NativeLog::write("Menu bar notice shown: " + trimmed(notice.title));
}

void StatusTitle::expire(const Uuid& id) {
    if (!notice_ || !(notice_->id == id))
        return;
    notice_.reset();
    if (onChange)
        onChange();
}

std::string StatusTitle::title(const CompressionStats& stats, bool showMenuBarProgress) const {
    if (stats.active >= 1 && showMenuBarProgress)
        return " " + std::to_string(stats.progress.value_or(0)) + "%";
    if (notice_)
        return notice_->title;
    return {};
}

} // namespace velk
