#include "core/DateTime.h"

#include <gtest/gtest.h>

#include "support/ScopedEnv.h"

namespace velk {
namespace {

using namespace std::chrono;

TEST(DateTimeTest, Iso8601DropsFractionsAndParsesStrictly) {
    const Date date = sys_days{year{2026} / December / 7} + hours{10} + minutes{15} + seconds{30} +
                      milliseconds{123};
    EXPECT_EQ(iso8601(date), "2026-12-07T10:15:30Z");
    EXPECT_EQ(parseISO8601("2026-12-07T10:15:30Z"), floor<seconds>(date));
    EXPECT_EQ(parseISO8601("2026-12-07T11:15:30+01:00"), floor<seconds>(date));
    for (const char* bad : {"2026-12-07T10:15:30.123Z", "2026-12-07 10:15:30Z",
                            "2026-02-30T10:15:30Z", "2026-12-07T10:15:30", ""}) {
        EXPECT_FALSE(parseISO8601(bad)) << bad;
    }
    EXPECT_EQ(iso8601(Date{sys_days{year{1999} / December / 31} + hours{23}}),
              "1999-12-31T23:00:00Z");
}

TEST(DateTimeTest, ReferenceDateIs2001InUtc) {
    const Date reference = sys_days{year{2001} / January / 1};
    EXPECT_EQ(secondsSince2001(reference), 0.0);
    EXPECT_EQ(secondsSince2001(reference + seconds{86400}), 86400.0);
    EXPECT_EQ(dateFromSecondsSince2001(-1.5), reference - milliseconds{1500});
}

TEST(DateTimeTest, IsoDayUsesLocalTimeZone) {
    test::ScopedEnv tz("TZ", "Asia/Tokyo");
    tzset();
    const Date lateUtc = sys_days{year{2026} / December / 7} + hours{20};
    EXPECT_EQ(isoDay(lateUtc), "2026-12-08");
    test::ScopedEnv utc("TZ", "UTC");
    tzset();
    EXPECT_EQ(isoDay(lateUtc), "2026-12-07");
}

} // namespace
} // namespace velk
