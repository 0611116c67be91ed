#include "cd_discovery/src/discovery_request_listener.h"

#include <exception>

#include "cd_discovery/src/send_m_search_response.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_discovery {

const char kMSearchPattern[] = "M-SEARCH,*,HTTP/1.1,HOST,MX,ST,MAN";

int DiscoveryRequestListener::OnUDPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request) {
    if (!request) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Invalid http packet");
        return 0;
    }
    try {
        if (SendMsearchResponse(request) != 0)
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "SendMsearchResponse failed!");
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "exception: %s", e.what());
    }
    return 0;
}

}  // namespace cd_discovery
}  // namespace zel_upnp
