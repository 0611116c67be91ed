// Answers to SSDP M-SEARCH requests, sent at once by unicast to the searcher
// on the dispatch core's UDP worker thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>
#include "cd_discovery/src/device_info_list.h"

namespace zel_upnp {
namespace cd_discovery {

// The service type whose answers carry the WAKEUP header.
const char kWakeupServiceType[] = "urn:dial-multiscreen-org:service:dial:1";

// One answer to a search: its ST (and USN suffix) and the WAKEUP timeout it
// carries (0: none).
typedef std::pair<std::string, unsigned> SearchAnswer;

// The answers device gives to a search for st, in sending order: every
// notification type for "ssdp:all", st itself when it is upnp:rootdevice,
// the UDN, the device type or one of the service types (a service type
// answer carrying the device's wake-up timeout), else none.
std::vector<SearchAnswer> SearchAnswers(const std::string& st, const DeviceInfo& device);

// Answers request for every active listed device whose types match its ST.
// 0 for a dropped request (own address, loopback, another subnet) and when
// the last active device's answers were built; 6001 when no listed device
// is active or the last active device's answers failed; 1 for a missing ST
// or sender.
int SendMsearchResponse(const boost::shared_ptr<utils::HTTPInfo>& request);

}  // namespace cd_discovery
}  // namespace zel_upnp
