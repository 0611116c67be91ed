// The MAC of an IPv6 peer, read from the kernel's neighbour table over
// rtnetlink, as the MAC of an IPv4 peer is read from its ARP cache.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace zel_upnp {
namespace network_layer {

// Bounds of one lookup. A LAN peer can fill the table (up to the kernel's
// gc_thresh3, 1024 entries by default), so the dump is read within both.
constexpr std::size_t kMaxNeighbourDumpBytes = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds kNeighbourDumpTimeout{2000};

// 0 and the MAC ("AA-BB-CC-DD-EE-FF") of a complete entry for address, an
// IPv6 literal ("fd00::2", or "fe80::2%eth0" to ask that link only; a
// link-local address without a zone matches it on any link). 2011 for an
// empty address; 2004 for an address that is not a unicast IPv6 peer
// (garbage, IPv4, IPv4-mapped, multicast, unspecified), a socket failure or
// a malformed, cut or late answer; 2010 when no entry is REACHABLE, STALE,
// DELAY, PROBE or PERMANENT. macAddress is written only on success. Opens a
// netlink socket in the calling thread's namespace for the call; sends
// nothing on any link. Never throws.
int LookUpNeighbourMac(const std::string& address, std::string& macAddress);

}  // namespace network_layer
}  // namespace zel_upnp
