#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

using Date = std::chrono::system_clock::time_point;

/// "2026-12-07T10:15:30Z": UTC, fractional seconds dropped.
std::string iso8601(Date date);

/// Internet date-time without fractional seconds ("Z" or a "+hh:mm" offset); none for
/// anything else, including a fraction.
std::optional<Date> parseISO8601(std::string_view text);

/// Seconds since 2001-01-01 00:00:00 UTC, the reference date of the stored records.
double secondsSince2001(Date date);
Date dateFromSecondsSince2001(double seconds);

/// The calendar day of a date in the system's current time zone: "2026-12-07".
std::string isoDay(Date date);

} // namespace velk
