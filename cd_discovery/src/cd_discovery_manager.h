// The discovery family's process-wide manager: the registrations of the
// search listener and of the interface-event listener, and the alive timers
// that keep every started device advertised.
#pragma once

#include <string>

#include <zel_upnp/network_layer.h>

namespace zel_upnp {
namespace cd_discovery {

// Local address of bye-bye bursts that are not tied to one interface: the
// network layer sends one copy from every active selected interface.
extern const char kAnnounceAddress[];

// Re-announces every device when a selected interface comes up or changes
// address: bye-bye on that interface's address at once, alive 200 ms later.
class CDNetworkStateListener : public network_layer::NetworkEventListener {
  public:
    // On the registry's "ZelNetIf" thread.
    void OnNetworkChanged(const std::string& interfaceName, int event) override;
};

// The one-shot alive timer's callback: one alive burst for the device whose
// timer fired, then the next timer at 0.4 x max-age. userData carries the
// max-age in milliseconds. On the "ZelTimer" thread.
void AliveTimerCallback(int timerId, void* userData);

}  // namespace cd_discovery
}  // namespace zel_upnp
