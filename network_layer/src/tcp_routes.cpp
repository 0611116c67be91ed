// The free functions of the routes: the path a request is routed by, and
// the internal registration and ask-lane calls, through the dispatch core.
#include "network_layer/src/tcp_routes.h"

#include <utility>

#include "network_layer/src/callbackhandler.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

std::string RequestPath(const std::string& target) {
    size_t begin = 0;
    // Absolute form: the path starts at the first "/" after "//authority".
    const size_t scheme = target.find("://");
    if (scheme != std::string::npos && target.find_first_of("/?#") > scheme) {
        begin = target.find_first_of("/?#", scheme + 3);
        if (begin == std::string::npos)
            return "/";
    }
    const size_t end = target.find_first_of("?#", begin);
    std::string path = target.substr(begin, end == std::string::npos ? end : end - begin);
    if (path.empty() || path[0] != '/')
        path.insert(0, "/");
    return path;
}

int RegisterTCPRoutes(const std::vector<TcpRoute>& routes,
                      boost::shared_ptr<TCPRequestListener> listener, RouteThread thread, int& id) {
    id = -1;
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    const int result = dispatch != nullptr
                           ? dispatch->RegisterTCPRoutes(routes, listener, thread, id)
                           : static_cast<int>(NL_FAILURE);
    if (result != NL_SUCCESS)
        ZEL_LOGE(ZEL_CORE_NETWORK, "CallBackHandler:RegisterTCPRoutes failed");
    return result;
}

bool PostAskJob(std::function<void(bool)> job) {
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    return dispatch != nullptr && dispatch->PostAskJob(std::move(job));
}

}  // namespace network_layer
}  // namespace zel_upnp
