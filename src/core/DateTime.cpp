#include "core/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace velk {

namespace {
using namespace std::chrono;

constexpr sys_seconds referenceDate2001 = sys_days{year{2001} / January / 1};

bool digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    if (pos + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}
} // namespace

std::string iso8601(Date date) {
    const auto seconds = floor<std::chrono::seconds>(date);
    const auto day = floor<days>(seconds);
    const year_month_day ymd{day};
    const hh_mm_ss hms{seconds - day};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), int(hms.hours().count()),
                  int(hms.minutes().count()), int(hms.seconds().count()));
    return buffer;
}

std::optional<Date> parseISO8601(std::string_view text) {
    int y, mo, d, h, mi, s;
    if (text.size() < 20 || !digits(text, 0, 4, y) || text[4] != '-' || !digits(text, 5, 2, mo) ||
        text[7] != '-' || !digits(text, 8, 2, d) || (text[10] != 'T' && text[10] != 't') ||
        !digits(text, 11, 2, h) || text[13] != ':' || !digits(text, 14, 2, mi) || text[16] != ':' ||
        !digits(text, 17, 2, s)) {
        return std::nullopt;
    }
    int offsetMinutes = 0;
    const std::string_view zone = text.substr(19);
    if (zone == "Z" || zone == "z") {
        offsetMinutes = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh, om;
        if (!digits(zone, 1, 2, oh) || !digits(zone, 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offsetMinutes = (zone[0] == '-' ? -1 : 1) * (oh * 60 + om);
    } else {
        return std::nullopt;
    }
    const year_month_day ymd{year{y}, month{unsigned(mo)}, day{unsigned(d)}};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 60)
        return std::nullopt;
    const sys_seconds when =
        sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} - minutes{offsetMinutes};
    return Date{when};
}

double secondsSince2001(Date date) {
    return duration<double>(date - Date{referenceDate2001}).count();
}

Date dateFromSecondsSince2001(double seconds) {
    if (!std::isfinite(seconds))
        seconds = 0;
    return Date{referenceDate2001} +
           duration_cast<system_clock::duration>(duration<double>(seconds));
}

std::string isoDay(Date date) {
    const std::time_t t = system_clock::to_time_t(date);
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
    return buffer;
}

} // namespace velk
