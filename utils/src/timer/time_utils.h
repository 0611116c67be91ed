// Internal part of the HTTP date helper, split from the clock so that tests
// can format chosen instants and reach the conversion failures.
#pragma once

#include <ctime>
#include <string>

namespace zel_upnp {
namespace utils {

// Formats now as an HTTP date in UTC into date. UTILS_SUCCESS;
// UTILS_SYSTEM_FAILURE when now has no broken-down UTC form or formats to
// nothing; UTILS_FAILURE when memory runs out. date is untouched on failure.
int FormatHttpDate(const std::time_t& now, std::string& date);

}  // namespace utils
}  // namespace zel_upnp
