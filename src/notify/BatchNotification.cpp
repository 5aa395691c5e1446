#include "notify/BatchNotification.h"

#include <algorithm>
#include <variant>

#include "core/Paths.h"

namespace velk {

namespace {

/// Names beyond this many are counted, not listed: a notification is read at a glance.
constexpr std::size_t listedNames = 6;

enum class RussianPlural { one, few, many };

RussianPlural russianPlural(int n) {
    const int tens = n % 100;
    const int units = n % 10;
    if (units == 1 && tens != 11)
        return RussianPlural::one;
    if (units >= 2 && units <= 4 && (tens < 12 || tens > 14))
        return RussianPlural::few;
    return RussianPlural::many;
}

std::string russianCount(int n, const char* one, const char* few, const char* many) {
    switch (russianPlural(n)) {
    case RussianPlural::one:
        return std::to_string(n) + " " + one;
    case RussianPlural::few:
        return std::to_string(n) + " " + few;
    case RussianPlural::many:
        break;
    }
    return std::to_string(n) + " " + many;
}

std::string englishCount(int n, const char* one, const char* other) {
    return std::to_string(n) + " " + (n == 1 ? one : other);
}

/// Each name once, in the order first met.
std::string nameList(const std::vector<std::string>& names, AppLanguage language) {
    std::string list;
    const std::size_t shown = std::min(names.size(), listedNames);
    for (std::size_t i = 0; i < shown; ++i)
        list += (i ? ", " : "") + names[i];
    if (names.size() > shown) {
        const std::string more = std::to_string(names.size() - shown);
        list += text(language, " и ещё " + more, " and " + more + " more");
    }
    return list;
}

void addOnce(std::vector<std::string>& names, const std::filesystem::path& file) {
    std::string name = displayName(file);
    if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(std::move(name));
}

} // namespace

std::string nounFor(int count, AppLanguage language, const char* russianOne, const char* russianFew,
                    const char* russianMany, const char* englishOne, const char* englishOther) {
    switch (russianPlural(count)) {
    case RussianPlural::one:
        return text(language, russianOne, count == 1 ? englishOne : englishOther);
    case RussianPlural::few:
        return text(language, russianFew, englishOther);
    case RussianPlural::many:
        break;
    }
    return text(language, russianMany, count == 1 ? englishOne : englishOther);
}

std::string countedNoun(int count, AppLanguage language, const char* russianOne,
                        const char* russianFew, const char* russianMany, const char* englishOne,
                        const char* englishOther) {
    return text(language, russianCount(count, russianOne, russianFew, russianMany),
                englishCount(count, englishOne, englishOther));
}

std::string imagesNotCompressedText(int count, AppLanguage language) {
    return text(language,
                "Не удалось сжать " +
                    russianCount(count, "изображение", "изображения", "изображений"),
                englishCount(count, "image", "images") + " could not be compressed");
}

NotificationContent
batchNotificationContent(const std::vector<CompressionNotificationEvent>& events,
                         AppLanguage language) {
    using Event = CompressionNotificationEvent;
    if (events.size() == 1)
        return {.title = events.front().title(language),
                .body = events.front().body(language),
                .urgency = NotificationUrgency::normal,
                .actions = {}};

    std::vector<std::string> failed;
    std::vector<std::string> unsupported;
    for (const Event& event : events) {
        if (const auto* failure = std::get_if<Event::ProcessingFailed>(&event.payload()))
            addOnce(failed, failure->file);
        else if (const auto* skipped = std::get_if<Event::UnsupportedFile>(&event.payload()))
            addOnce(unsupported, skipped->file);
    }
    const int failures = static_cast<int>(failed.size());
    const int skips = static_cast<int>(unsupported.size());
    NotificationContent content;
    if (skips == 0) {
        content.title = imagesNotCompressedText(failures, language);
        content.body = nameList(failed, language);
        return content;
    }
    if (failures == 0) {
        content.title =
            text(language, "Не поддерживаются: " + russianCount(skips, "файл", "файла", "файлов"),
                 englishCount(skips, "file is", "files are") + " not supported");
        content.body = nameList(unsupported, language);
        content.urgency = NotificationUrgency::low;
        return content;
    }
    const int total = failures + skips;
    content.title = text(language, "Не сжато: " + russianCount(total, "файл", "файла", "файлов"),
                         englishCount(total, "file was", "files were") + " not compressed");
    content.body = nameList(failed, language) + "\n" +
                   text(language, "Не поддерживаются: ", "Not supported: ") +
                   nameList(unsupported, language);
    return content;
}

} // namespace velk
