// The HTTP date used in the DATE header of SSDP messages, event
// notifications and responses.
#include "utils/src/timer/time_utils.h"

#include <zel_upnp/utils.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {

constexpr const char* kHttpDateFormat = "%a, %d %b %Y %H:%M:%S GMT";
// Work buffer, and the part of it strftime may fill. An HTTP date needs 30
// bytes; the room left over keeps strftime from ever truncating.
constexpr size_t kDateWorkBufferSize = 128;
constexpr size_t kDateFormatLimit = 80;
static_assert(kDateFormatLimit <= kDateWorkBufferSize, "strftime limit exceeds its buffer");

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};

}  // namespace

int FormatHttpDate(const std::time_t& now, std::string& date) {
    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char*>(std::malloc(kDateWorkBufferSize)));
    if (!buffer) {
        ZEL_LOGE(ZEL_CORE_UTILS, "malloc failed!");
        return UTILS_FAILURE;
    }
    struct tm broken;
    if (gmtime_r(&now, &broken) == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Error in getting the local time");
        return UTILS_SYSTEM_FAILURE;
    }
    const size_t length = std::strftime(buffer.get(), kDateFormatLimit, kHttpDateFormat, &broken);
    if (length == 0) {
        ZEL_LOGE(ZEL_CORE_UTILS, "strftime failed!");
        return UTILS_SYSTEM_FAILURE;
    }
    date.assign(buffer.get(), length);
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
