// The one rule both the TCP server and the outgoing client apply to their
// open sessions: at most a percentage of the soft descriptor limit; past it,
// the oldest tenth is shed at once.
#pragma once

#include <sys/resource.h>

#include <climits>
#include <cstddef>
#include <vector>

namespace zel_upnp {
namespace network_layer {

// Open sessions allowed, in percent of the soft descriptor limit, and the
// share of the limit shed at once when it is passed.
constexpr unsigned kSessionLimitPercent = 70;
constexpr unsigned kSessionDeleteDivisor = 10;
// More open sessions than this are reported even below the limit.
constexpr std::size_t kSessionWarnCount = 300;

struct SessionLimit {
    unsigned limit = 0;  // 0: no limit (the descriptor limit is unknown)
    unsigned batch = 0;  // sessions shed at once
};

// The limit for the current soft descriptor limit.
inline SessionLimit ComputeSessionLimit() {
    SessionLimit result;
    struct rlimit descriptors;
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0)
        return result;
    const unsigned long long soft = descriptors.rlim_cur == RLIM_INFINITY
                                        ? static_cast<unsigned long long>(UINT_MAX)
                                        : static_cast<unsigned long long>(descriptors.rlim_cur);
    const unsigned long long limit =
        soft / 100 * kSessionLimitPercent + soft % 100 * kSessionLimitPercent / 100;
    result.limit = limit > UINT_MAX ? UINT_MAX : static_cast<unsigned>(limit);
    result.batch = result.limit / kSessionDeleteDivisor;
    return result;
}

// Takes the oldest limit.batch sessions out of sessions (oldest first) when
// there are more than limit.limit; the caller stops them outside its lock.
template <class List>
std::vector<typename List::value_type> TakeExcessSessions(List& sessions,
                                                          const SessionLimit& limit) {
    std::vector<typename List::value_type> excess;
    if (limit.limit == 0 || sessions.size() <= limit.limit)
        return excess;
    for (unsigned i = 0; i < limit.batch && !sessions.empty(); ++i) {
        excess.push_back(sessions.front());
        sessions.pop_front();
    }
    return excess;
}

}  // namespace network_layer
}  // namespace zel_upnp
