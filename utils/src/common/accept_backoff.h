// What a listening server does after an accept failed. Most failures pass
// (descriptors exhausted, a connection reset before it was taken): the
// server pauses, doubling the pause with each failure in a row up to a cap,
// and is back to the first pause after an accept that worked. A failure
// that cannot pass (the acceptor itself is broken) ends accepting. One log
// line at error level per kind of failure, so that a peer that keeps the
// condition up does not fill the log.
//
// Not thread-safe: guarded by the owning server's lock.
#pragma once

#include <cerrno>
#include <chrono>
#include <set>

#include <boost/system/error_code.hpp>

namespace zel_upnp {
namespace utils {

class AcceptBackoff {
  public:
    static constexpr std::chrono::milliseconds kFirstPause{100};
    static constexpr std::chrono::milliseconds kMaxPause{3200};

    // True when accepting cannot go on after this error.
    static bool Lasting(const boost::system::error_code& error) {
        const int code = error.value();
        return error.category() == boost::system::system_category() &&
               (code == EBADF || code == EINVAL || code == ENOTSOCK || code == EFAULT);
    }
    // True the first time an error of this kind is seen.
    bool FirstOfKind(const boost::system::error_code& error) {
        return logged_.insert(error.value()).second;
    }
    // The pause before the next attempt; the one after it doubles.
    std::chrono::milliseconds NextPause() {
        const std::chrono::milliseconds pause = pause_;
        pause_ = pause_ * 2 < kMaxPause ? pause_ * 2 : kMaxPause;
        return pause;
    }
    // An accept worked.
    void Reset() { pause_ = kFirstPause; }

  private:
    std::chrono::milliseconds pause_ = kFirstPause;
    std::set<int> logged_;  // error values already logged
};

}  // namespace utils
}  // namespace zel_upnp
