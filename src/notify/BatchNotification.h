#pragma once

#include <string>
#include <vector>

#include "model/AppLanguage.h"
#include "notify/CompressionNotificationEvent.h"
#include "platform/Notifier.h"

namespace velk {

/// "файла" / "files": the noun in the form `count` takes.
std::string nounFor(int count, AppLanguage language, const char* russianOne, const char* russianFew,
                    const char* russianMany, const char* englishOne, const char* englishOther);
/// "3 файла" / "3 files": the number and the noun in the form the number takes.
std::string countedNoun(int count, AppLanguage language, const char* russianOne,
                        const char* russianFew, const char* russianMany, const char* englishOne,
                        const char* englishOther);

/// "3 images could not be compressed" / "Не удалось сжать 3 изображения".
std::string imagesNotCompressedText(int count, AppLanguage language);

/// The title and body of the one notification that tells a scan's failures and skipped
/// files: a single event keeps its own texts; several get a count in the title and every
/// file's name once in the body. No actions; the sender adds those.
NotificationContent
batchNotificationContent(const std::vector<CompressionNotificationEvent>& events,
                         AppLanguage language);

} // namespace velk
