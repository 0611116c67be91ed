// zel_upnp::utils: the HTTP message model, the XML parser, string, time, file
// and thread helpers, and the one-shot timer service shared by every family.
#ifndef ZEL_UPNP_UTILS_H
#define ZEL_UPNP_UTILS_H

#include <fstream>
#include <list>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

namespace boost {
class thread;
}

#pragma GCC visibility push(default)

namespace zel_upnp {
namespace utils {

// ---------------------------------------------------------------------------
// Result codes of the utilities.
// ---------------------------------------------------------------------------
enum UtilsResult {
    UTILS_SUCCESS = 0,         // done
    UTILS_FAILURE = 1,         // general failure
    UTILS_INVALID_INPUT = 3001,  // an argument is out of its range or malformed
    UTILS_EMPTY_INPUT = 3002,    // an argument or a looked-up value is empty
    UTILS_SYSTEM_FAILURE = 3003  // a system call failed
};

// ---------------------------------------------------------------------------
// Thread naming.
// ---------------------------------------------------------------------------

// The first three characters of the calling thread's name followed by
// baseName cut to nine characters, so that worker threads carry a mark of the
// application thread that started them. baseName must not be empty.
std::string PrepareThreadName(const std::string& baseName);

// Names pThread "name" followed by index in decimal when index >= 0, cut to
// the 15 characters a thread name may hold.
void SetNameOnThread(boost::thread* pThread, const std::string& name, int index);

// ---------------------------------------------------------------------------
// String, time and file helpers.
// ---------------------------------------------------------------------------
// @@STRING_TIME_FILE@@

// ---------------------------------------------------------------------------
// Timer.
// ---------------------------------------------------------------------------
// @@TIMER@@

// ---------------------------------------------------------------------------
// HTTP message model.
// ---------------------------------------------------------------------------
// @@HTTP@@

// ---------------------------------------------------------------------------
// XML parser.
// ---------------------------------------------------------------------------
// @@XML@@

}  // namespace utils
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
