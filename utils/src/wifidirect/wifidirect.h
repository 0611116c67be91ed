// Wi-Fi Direct peer address lookup: a P2P peer reaches the device from its
// P2P interface address, while access control knows it by its P2P device
// address. getDeviceMac converts the first into the second by asking the
// platform's Wi-Fi Direct service for the connected peers, and remembers
// the last conversions.
//
// Threads: any caller thread; each call blocks for the platform calls it
// makes. Queries of the platform run one at a time. The conversion cache is
// guarded by a lock of its own, never held while the platform is asked.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "zel_platform_services.h"

namespace zel_upnp {
namespace utils {

// (interface MAC, device MAC) of one connected peer, both normalised.
typedef std::pair<std::string, std::string> PeerAddressPair;
typedef std::vector<PeerAddressPair> PeerAddressList;

// Conversions remembered, oldest dropped first.
const size_t kWifiDirectCacheSize = 20;

// Device MAC of the connected peer whose interface MAC equals mac (given in
// normalised form), or an empty string when there is none or the platform
// cannot be asked.
std::string getDeviceMac(const std::string& mac);

// Fills work with the connected peers and copies it into out. 1 when the
// peers were enumerated, 0 otherwise.
int getDeviceInfo(PeerAddressList& work, PeerAddressList& out);

// One enumeration of the connected peers into list; 1 on success, 0 on
// failure (the list keeps what was appended before the failure).
int foreach_connected_peers_and_add_list(PeerAddressList* list);

// Per-peer callback of the enumeration; user_data is a PeerAddressList.
// Always true, so that the enumeration continues.
bool connected_peers_cb_(wifi_direct_connected_peer_info_s* peer, void* user_data);

// Upper-cases a 17-character MAC and turns its colons into hyphens, in
// place. Any other length is left alone and gives false.
bool NormalizeMacAddress(std::string& mac);

// Name of a Wi-Fi Direct error code ("UNKNOWN" for codes without one).
const char* WifiDirectErrorName(int code);

}  // namespace utils
}  // namespace zel_upnp
