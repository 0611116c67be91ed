// The interface a network monitor offers the interface registry. A monitor
// watches the platform's interfaces, keeps its own list of those that are up,
// and hands the complete list to the registry (NetworkInterface::Update)
// after every change, on whatever thread noticed the change.
//
// Every hand-over goes through HandOver, which reads the monitor's list and
// delivers it under one lock: deliveries reach the registry in the order the
// lists were read, so an older list never follows a newer one, and pausing
// can wait out a delivery under way.
#pragma once

#include <atomic>
#include <vector>

#include <boost/function.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <zel_upnp/network_layer.h>

namespace zel_upnp {
namespace network_layer {

class NetworkInterface;

class NetworkMonitor {
  public:
    NetworkMonitor() : enabled(true), owed_(false) {}
    virtual ~NetworkMonitor() {}
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // True when monitoring runs (also when it already ran).
    virtual bool Start() = 0;
    // Releases every platform registration; no Update follows once it
    // returns. Returns 0.
    virtual int Stop() = 0;
    // Hands the monitor's current list to the registry (unless paused).
    virtual void Update() = 0;
    // Forgets the monitor's own list, so that the next scan reports every
    // interface as new.
    virtual void ClearInterfaceList() = 0;
    // Rescans at once and updates the registry if anything changed, or if a
    // list was held back while monitoring was paused.
    virtual void QueryUpdate() = 0;

    // Pauses (false) or resumes (true) monitoring. Pausing waits for a
    // hand-over already under way, so that once it returns the registry
    // hears nothing more from this monitor until it is resumed: an interface
    // cleared after the pause cannot come back through a late delivery. On
    // the thread of a hand-over (from the registry's reaction) it only marks
    // the pause, which takes effect with the next hand-over.
    void SetEnabled(bool on);

    // While false, platform notifications change nothing and no list reaches
    // the registry. Written by SetEnabled, read on the platform's threads.
    std::atomic<bool> enabled;

  protected:
    // Calls read and delivers its result to owner, both under the hand-over
    // lock, unless paused; the lock is held while the registry's update and
    // the server manager's reaction run. Lock order: a monitor's scan or
    // monitor lock may be held when it is taken, never taken under it. False when
    // paused: the monitor then owes the registry its list (TakeOwed).
    bool HandOver(NetworkInterface* owner, const boost::function<std::vector<NetInfo>()>& read);
    // True (once) when a hand-over was held back by a pause since the last
    // call: a resume must deliver even an unchanged list.
    bool TakeOwed() { return owed_.exchange(false); }

  private:
    // Recursive: the registry's reaction may pause or query the monitor on
    // the delivering thread.
    boost::recursive_mutex hand_over_mutex_;
    std::atomic<bool> owed_;
};

// The monitor of this build's platform: on the device the one that follows
// its connection-manager, Wi-Fi and Wi-Fi Direct services; on a generic
// build the kernel monitor, or the services monitor over the simulated
// services when they are selected. Null when allocation fails. The
// registry's default monitor factory.
NetworkMonitor* CreatePlatformNetworkMonitor(NetworkInterface* owner);

}  // namespace network_layer
}  // namespace zel_upnp
