#include "utils/src/common/peer_log_limit.h"

#include <functional>

namespace zel_upnp {
namespace utils {

constexpr std::size_t PeerLogLimit::kSlots;
constexpr std::chrono::seconds PeerLogLimit::kInterval;

bool PeerLogLimit::Allow(const std::string& peer) {
    const std::size_t hash = std::hash<std::string>()(peer);
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(lock_);
    Slot& slot = slots_[hash % kSlots];
    if (slot.used && slot.hash == hash && now - slot.last < kInterval)
        return false;
    slot.hash = hash;
    slot.last = now;
    slot.used = true;
    return true;
}

}  // namespace utils
}  // namespace zel_upnp
