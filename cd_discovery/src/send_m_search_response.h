// Answers to SSDP M-SEARCH requests, sent at once by unicast to the searcher
// on the dispatch core's UDP worker thread.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace cd_discovery {

// The service type whose answers carry the WAKEUP header.
const char kWakeupServiceType[] = "urn:dial-multiscreen-org:service:dial:1";

// Answers request for every active listed device whose types match its ST.
// 0 for a dropped request (own address, loopback, another subnet) and when
// the last active device's answers were built; 6001 when no listed device
// is active or the last active device's answers failed; 1 for a missing ST
// or sender.
int SendMsearchResponse(const boost::shared_ptr<utils::HTTPInfo>& request);

}  // namespace cd_discovery
}  // namespace zel_upnp
