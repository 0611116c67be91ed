// The SSDP NOTIFY senders: alive and bye-bye bursts for a root device and
// its direct embedded devices. They keep no state: they run on the caller's
// thread (application, timer or interface-event thread) on copies of the
// devices, and the alive burst sleeps between its two rounds. The only lock
// taken is EmbeddedAliveMutex, around the embedded part of an alive round.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <boost/thread/mutex.hpp>

#include "cd_discovery/src/device_info_list.h"

namespace zel_upnp {
namespace cd_discovery {

// Every SSDP message goes to port 1900 of its group.
const int kSsdpPort = 1900;
const char kSsdpGroup[] = "239.255.255.250";
// Second group on which file-transfer-server devices are also announced.
const char kFileTransferGroup[] = "239.255.255.177";
// Devices whose deviceType begins with this URN are file-transfer servers.
const char kFileTransferServerType[] = "urn:schemas-zel-upnp-org:device:FileTransferServer";
const char kRootDeviceNt[] = "upnp:rootdevice";
// The IPv6 groups every device is announced on (link and site scope); the
// file-transfer group has no IPv6 counterpart.
const char* const kIpv6Groups[] = {"FF02::C", "FF05::C"};
const char kServerHeaderValue[] = "NRV, UPnP/1.0, Varnesk UPnP SDK/1.0";

// One alive burst: the root, then each direct embedded device that is still
// listed as active (looked up in the device list in each round); 205 ms later
// the same again. max-age is maxAgeMs / 1000. Sent from the address of every
// running TCP server, with that server in LOCATION: IPv4 servers on the IPv4
// groups, IPv6 servers on FF02::C and FF05::C. 0 when at least one device's
// announcement went out, 1 when none did.
int SendAlive(const DeviceInfo& device, int maxAgeMs);
// Two back-to-back bye-bye passes (embedded devices, then the root) sent
// from localAddress ("0.0.0.0": every active selected interface). An IPv4
// localAddress goes over IPv4 only; "0.0.0.0" also sends from every IPv6
// server's address on the IPv6 groups. 1 when the root's announcement failed
// in both passes, else 0.
int SendByeBye(const DeviceInfo& device, const std::string& localAddress);

// Held while an alive round looks up and announces a root's embedded
// devices; whoever makes a listed embedded device inactive takes it around
// that change, so that no alive for it can follow its bye-bye. Taken before
// the device list's mutex, never while waiting for a timer callback.
boost::mutex& EmbeddedAliveMutex();

// Shared by both senders.
// The notification types of a device in announcement order.
std::vector<std::string> NotificationTypes(const DeviceInfo& device, bool embedded);
// The groups a device is announced on, in order.
std::vector<std::string> MulticastGroups(const DeviceInfo& device);
// The USN for a notification type: the bare udn for the udn itself.
std::string UsnFor(const std::string& udn, const std::string& nt);
// Logs a failed SendMulticastPacket result. No interface to send from (2008,
// as before the first interface comes up) is normal operation: debug level.
// Any other failure is logged at error level once, then at debug level while
// the same failure repeats, until a send succeeds again; 0 is that success.
void ReportMulticastResult(int result);
// Calls send for each notification type of device in order; the first
// failure ends the walk with the log line naming the kind of type that
// failed (packet_kind is "Alive" or "ByeBye"). True when every type was sent.
bool AnnounceDevice(const DeviceInfo& device, bool embedded, const char* packet_kind,
                    const std::function<bool(const std::string& nt)>& send);

}  // namespace cd_discovery
}  // namespace zel_upnp
