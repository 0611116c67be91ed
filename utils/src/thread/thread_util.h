#ifndef ZEL_UPNP_UTILS_SRC_THREAD_THREAD_UTIL_H_
#define ZEL_UPNP_UTILS_SRC_THREAD_THREAD_UTIL_H_

#include <cstddef>
#include <memory>
#include <utility>

#include <boost/thread/thread.hpp>

namespace zel_upnp {
namespace utils {

// Stack reserved for each library thread. glibc would otherwise give every
// thread RLIMIT_STACK (8 MiB by default) of address space; only the pages a
// thread touches become resident either way, so these figures bound address
// space, not memory in use.
//
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZEL_SANITIZED_STACKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZEL_SANITIZED_STACKS 1
#endif
#endif
#ifdef ZEL_SANITIZED_STACKS
// Sanitizer instrumentation pads every frame.
constexpr std::size_t kStackScale = 4;
#else
constexpr std::size_t kStackScale = 1;
#endif

// Threads that run only library code (io loops, the kernel monitor): their
// deepest frames are an Asio completion, the HTTP parser and a log line; a
// device answering GETs, SOAP actions and SUBSCRIBEs touches at most 16 KiB
// of their stacks, so 256 KiB leaves a wide margin.
constexpr std::size_t kLibraryThreadStackSize = kStackScale * 256 * 1024;
// Threads that run application code (listeners, action handlers, timer
// callbacks, eventing): the application decides how deep they go, so they
// keep a generous reserve, which the build may change.
#ifndef ZEL_CALLBACK_STACK_KIB
#define ZEL_CALLBACK_STACK_KIB 1024
#endif
constexpr std::size_t kApplicationThreadStackSize = kStackScale * ZEL_CALLBACK_STACK_KIB * 1024;

// Starts a thread running fn with stackSize bytes of stack. Throws what
// boost::thread throws (thread_resource_error) when the thread cannot start.
template <typename Function>
std::unique_ptr<boost::thread> StartThread(std::size_t stackSize, Function&& fn) {
    boost::thread::attributes attributes;
    attributes.set_stack_size(stackSize);
    return std::unique_ptr<boost::thread>(
        new boost::thread(attributes, std::forward<Function>(fn)));
}

// The same, the thread then owned by group; returns it for naming.
template <typename Function>
boost::thread* StartThread(boost::thread_group& group, std::size_t stackSize, Function&& fn) {
    std::unique_ptr<boost::thread> thread = StartThread(stackSize, std::forward<Function>(fn));
    group.add_thread(thread.get());
    return thread.release();
}

}  // namespace utils
}  // namespace zel_upnp

#endif  // ZEL_UPNP_UTILS_SRC_THREAD_THREAD_UTIL_H_
