// Rate limit for the log lines a peer can cause by what it sends (refused
// heads, cut writes): a hostile peer must not be able to flood the log.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

namespace zel_upnp {
namespace utils {

class PeerLogLimit {
  public:
    // Peers remembered at once; two peers whose address hashes to the same
    // slot share one allowance, which bounds memory whatever the peers.
    static constexpr std::size_t kSlots = 256;
    // At most one line per peer this often.
    static constexpr std::chrono::seconds kInterval{60};

    // True when a line about peer may be logged now; records it. Any thread.
    bool Allow(const std::string& peer);

  private:
    struct Slot {
        std::size_t hash = 0;
        std::chrono::steady_clock::time_point last;
        bool used = false;
    };
    std::mutex lock_;
    std::array<Slot, kSlots> slots_;
};

}  // namespace utils
}  // namespace zel_upnp
