#include "core/ByteCountText.h"

#include <array>
#include <cmath>

namespace velk {

namespace {

/// Russian "байт" agrees with the number: 1 байт, 2 байта, 5 байт, 21 байт, 12 байт.
std::string_view russianBytesWord(std::int64_t n) {
    const auto lastTwo = n % 100;
    const auto last = n % 10;
    if (lastTwo >= 11 && lastTwo <= 14)
        return "байт";
    if (last >= 2 && last <= 4)
        return "байта";
    return "байт";
}

} // namespace

std::string byteCountText(std::int64_t bytes, AppLanguage language) {
    if (bytes < 0)
        bytes = 0;
    if (bytes < 1000) {
        const auto count = std::to_string(bytes);
        if (language == AppLanguage::russian)
            return count + " " + std::string(russianBytesWord(bytes));
        return count + (bytes == 1 ? " byte" : " bytes");
    }

    struct Unit {
        double size;
        std::string_view russian;
        std::string_view english;
    };
    static constexpr std::array<Unit, 3> units = {Unit{1e3, "КБ", "KB"}, Unit{1e6, "МБ", "MB"},
                                                  Unit{1e9, "ГБ", "GB"}};
    // Pick the unit after rounding, so 999 950 bytes reads "1.0 MB", not "1000.0 KB".
    // Digits are made by hand: the process locale (which Qt sets from the environment)
    // must not choose the decimal separator behind the language's back.
    std::size_t index = 0;
    auto tenths = std::llround(static_cast<double>(bytes) / (units[0].size / 10));
    while (index + 1 < units.size() && tenths >= 10'000) {
        ++index;
        tenths = std::llround(static_cast<double>(bytes) / (units[index].size / 10));
    }
    const std::string result =
        std::to_string(tenths / 10) + text(language, ",", ".") + std::to_string(tenths % 10);
    return result + " " + text(language, units[index].russian, units[index].english);
}

std::string countText(std::int64_t n, AppLanguage language, std::string_view russianOne,
                      std::string_view russianFew, std::string_view russianMany,
                      std::string_view englishOne, std::string_view englishMany) {
    std::string_view noun;
    if (language == AppLanguage::russian) {
        const auto lastTwo = n % 100;
        const auto last = n % 10;
        noun = lastTwo >= 11 && lastTwo <= 14 ? russianMany
               : last == 1                    ? russianOne
               : last >= 2 && last <= 4       ? russianFew
                                              : russianMany;
    } else {
        noun = n == 1 ? englishOne : englishMany;
    }
    return std::to_string(n) + " " + std::string(noun);
}

} // namespace velk
