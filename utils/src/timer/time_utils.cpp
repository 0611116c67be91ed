// The HTTP date used in the DATE header of SSDP messages, event
// notifications and responses.
#include "utils/src/timer/time_utils.h"

#include <zel_upnp/utils.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {

// The date is built from these tables, not by strftime, so that it is in
// English whatever locale the application has set ("%a, %d %b %Y %H:%M:%S
// GMT").
const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// An HTTP date is 29 characters; the room left over keeps snprintf from ever
// truncating a year of more than four digits.
constexpr size_t kDateBufferSize = 64;

}  // namespace

int FormatHttpDate(const std::time_t& now, std::string& date) {
    struct tm broken;
    if (gmtime_r(&now, &broken) == nullptr || broken.tm_wday < 0 || broken.tm_wday > 6 ||
        broken.tm_mon < 0 || broken.tm_mon > 11) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Error in getting the local time");
        return UTILS_SYSTEM_FAILURE;
    }
    char buffer[kDateBufferSize];
    const int length =
        std::snprintf(buffer, sizeof(buffer), "%s, %02d %s %04d %02d:%02d:%02d GMT",
                      kDayNames[broken.tm_wday], broken.tm_mday, kMonthNames[broken.tm_mon],
                      broken.tm_year + 1900, broken.tm_hour, broken.tm_min, broken.tm_sec);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "date formatting failed!");
        return UTILS_SYSTEM_FAILURE;
    }
    date.assign(buffer, static_cast<size_t>(length));
    return UTILS_SUCCESS;
}

int Generate_CurrentDate(std::string& date) {
    const std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Error in getting the time");
        return UTILS_SYSTEM_FAILURE;
    }
    return FormatHttpDate(now, date);
}

}  // namespace utils
}  // namespace zel_upnp
