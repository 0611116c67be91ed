#include <pthread.h>

#include <cstring>
#include <string>

#include <boost/thread/thread.hpp>

#include <zel_upnp/utils.h>
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {
// Linux keeps 15 characters and the NUL of a thread name.
constexpr size_t kThreadNameBuffer = 16;
constexpr size_t kMaxThreadName = kThreadNameBuffer - 1;
constexpr size_t kMaxBaseName = 9;
constexpr size_t kCallerPrefix = 3;
}  // namespace

std::string PrepareThreadName(const std::string& baseName) {
    char own[kThreadNameBuffer];
    std::memset(own, 0, sizeof(own));
    std::string prefix;
    if (pthread_getname_np(pthread_self(), own, sizeof(own)) != 0) {
        ZEL_LOGE(ZEL_CORE_UTILS, "pthread_getname_np : Error in getting Thread Name");
    } else {
        prefix.assign(own, strnlen(own, kCallerPrefix));
    }
    return prefix + baseName.substr(0, kMaxBaseName);
}

void SetNameOnThread(boost::thread* pThread, const std::string& name, int index) {
    if (pThread == nullptr) {
        ZEL_LOGE(ZEL_CORE_UTILS, "pThread is null!![%d]", index);
        return;
    }
    boost::thread::native_handle_type handle = pThread->native_handle();
    if (handle == 0) {
        ZEL_LOGE(ZEL_CORE_UTILS, "handle is null[%d]", index);
        return;
    }
    if (name.empty()) {
        ZEL_LOGE(ZEL_CORE_UTILS, "threadName is empty[%d]", index);
        return;
    }
    std::string full = name;
    if (index >= 0)
        full += std::to_string(index);
    if (full.size() > kMaxThreadName)
        full.resize(kMaxThreadName);
    int rc = pthread_setname_np(handle, full.c_str());
    if (rc != 0) {
        ZEL_LOGW(ZEL_CORE_UTILS, "pthread_setname_np failed[%d] for %s", rc, full.c_str());
    }
}

}  // namespace utils
}  // namespace zel_upnp
