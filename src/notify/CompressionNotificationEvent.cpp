#include "notify/CompressionNotificationEvent.h"

#include "core/Paths.h"
#include "notify/MessageText.h"

namespace velk {

namespace {
template <class... Visitors> struct Overloaded : Visitors... { using Visitors::operator()...; };
template <class... Visitors> Overloaded(Visitors...) -> Overloaded<Visitors...>;

std::string fileKey(std::string_view prefix, const std::filesystem::path& file) {
    return std::string(prefix) + pathKey(standardized(file));
}

// Error descriptions name the file themselves where they can; prefixing the name again
// would have the notice read "“a.jpg”: “a.jpg” is not …". Both quotings count, as the
// message may date from before a change of language.
bool namesFile(const std::string& message, const std::filesystem::path& file) {
    for (const AppLanguage language : allAppLanguages) {
        if (message.find(quotedName(file, language)) != std::string::npos)
            return true;
    }
    return false;
}
} // namespace

std::string CompressionNotificationEvent::dedupeKey() const {
    return std::visit(Overloaded{
                          [](const UnsupportedFile& e) { return fileKey("unsupported:", e.file); },
                          [](const ProcessingFailed& e) { return fileKey("failed:", e.file); },
                          [](const WatcherFailed&) { return std::string("watcher"); },
                          [](const AlreadyOptimal& e) { return fileKey("optimal:", e.file); },
                      },
                      payload_);
}

bool CompressionNotificationEvent::allowsSystemNotification() const {
    return !std::holds_alternative<AlreadyOptimal>(payload_);
}

std::string CompressionNotificationEvent::title(AppLanguage language) const {
    return std::visit(Overloaded{
                          [&](const UnsupportedFile&) {
                              return text(language, "Файл не поддерживается", "Unsupported file");
                          },
                          [&](const ProcessingFailed&) {
                              return text(language, "Не удалось сжать файл",
                                          "Could not compress file");
                          },
                          [&](const WatcherFailed&) {
                              return text(language, "Папка недоступна", "Folder unavailable");
                          },
                          [&](const AlreadyOptimal&) {
                              return text(language, "Файл уже оптимален", "File already optimal");
                          },
                      },
                      payload_);
}

std::string CompressionNotificationEvent::body(AppLanguage language) const {
    return std::visit(
        Overloaded{
            [&](const UnsupportedFile& e) {
                return text(language, "Velk | Compressor пропустил ",
                            "Velk | Compressor skipped ") +
                       quotedName(e.file, language) + ".";
            },
            [&](const ProcessingFailed& e) {
                if (namesFile(e.message, e.file))
                    return shortenedMessage(e.message);
                return quotedName(e.file, language) + ": " + shortenedMessage(e.message);
            },
            [&](const WatcherFailed& e) { return shortenedMessage(e.message); },
            [&](const AlreadyOptimal& e) {
                return quotedName(e.file, language) +
                       text(language, " оставлен без изменений: новый файл был бы тяжелее.",
                            " was left unchanged because the new file would be larger.");
            },
        },
        payload_);
}

} // namespace velk
