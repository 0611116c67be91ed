#include "utils/src/timer/time_utils.h"

#include <zel_upnp/utils.h>

#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <string>

namespace {

using zel_upnp::utils::FormatHttpDate;
using zel_upnp::utils::UTILS_SUCCESS;
using zel_upnp::utils::UTILS_SYSTEM_FAILURE;

std::string Format(std::time_t t) {
    std::string date;
    EXPECT_EQ(FormatHttpDate(t, date), UTILS_SUCCESS);
    return date;
}

// Known instants, in UTC whatever the local time zone (a POSIX zone string
// needs no zone database: UTC+05:30).
TEST(TimeUtils, FormatsKnownInstantsInUtc) {
    const char* saved = std::getenv("TZ");
    const std::string previous = saved ? saved : "";
    setenv("TZ", "XYZ-5:30", 1);
    tzset();
    const std::string dates = Format(0) + "|" + Format(1709210096) + "|" + Format(4102444799);
    if (saved)
        setenv("TZ", previous.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(dates,
              "Thu, 01 Jan 1970 00:00:00 GMT|Thu, 29 Feb 2024 12:34:56 GMT|"
              "Thu, 31 Dec 2099 23:59:59 GMT");
}

TEST(TimeUtils, InstantWithoutCalendarFormFails) {
    std::string date = "untouched";
    // Its year does not fit the int of struct tm.
    const std::time_t far = std::numeric_limits<std::time_t>::max();
    EXPECT_EQ(FormatHttpDate(far, date), UTILS_SYSTEM_FAILURE);
    EXPECT_EQ(date, "untouched");
}

}  // namespace
