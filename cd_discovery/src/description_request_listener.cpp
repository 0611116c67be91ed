#include "cd_discovery/src/description_request_listener.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/cd_utils.h>
#include "cd_discovery/src/send_description.h"
#include "cd_utils/src/verify_cp_access.h"
#include "network_layer/src/tcp_routes.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/upnp_error.h"

namespace zel_upnp {
namespace cd_discovery {

namespace {

boost::mutex g_listener_mutex;
boost::shared_ptr<DescriptionRequestListener> g_listener;

const char kUnauthorizedHead[] =
    "HTTP/1.1 401 Unauthorized\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
    "SERVER:UPnP/1.1 Varnesk Omnilume Server/1.0\r\nCONTENT-LENGTH: ";
const int kUnauthorizedCode = 401;

int SendUnauthorized(void* session) {
    const std::string body = utils::UPnPErrorEnvelope(kUnauthorizedCode, "Unauthorized");
    return SendTextResponse(kUnauthorizedHead + std::to_string(body.size()) + "\r\n\r\n" + body,
                            session);
}

int SendFound(const boost::shared_ptr<utils::HTTPInfo>& request, const DescriptionTarget& target,
              void* session) {
    const int result = SendDescription(request, target, session);
    ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "SendDescription[%d], device[%d] to [%s]", result,
             target.isDescription ? 1 : 0, request->GetClientIpAddress().c_str());
    return result;
}

int HandleRequest(const boost::shared_ptr<utils::HTTPInfo>& request, void* session) {
    std::string uri;
    if (request->GetURI(uri) != 0 || uri.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "URI is invalid!");
        return SendTextResponse(kBadRequestResponse, session);
    }
    const std::string sender = request->GetClientIpAddress();
    if (sender == request->GetMyIpAddress() || sender.find("127.0.0.") != std::string::npos) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "local device discovery disabled!!!");
        return SendUnauthorized(session);
    }
    // The path as routed: without its query, and without the leading "/"
    // the registry's URLs do not have.
    const std::string path = network_layer::RequestPath(uri).substr(1);
    DescriptionTarget target;
    if (GetDeviceDescDetails(path, target) != DescriptionLookup::kFound) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "description cannot be sent!");
        return SendTextResponse(kBadRequestResponse, session);
    }
    // Only the device description is guarded: service descriptions and icons
    // tell nothing a refused control point could use.
    if (!target.isDescription)
        return SendFound(request, target, session);
    cd_utils::DecideWithoutWaiting(
        target.udn, request,
        [request, target, session](bool allowed, const cd_utils::AuthorizedCPInfo&) {
            if (!allowed) {
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "CP is denied access!");
                SendUnauthorized(session);
                return;
            }
            try {
                SendFound(request, target, session);
            } catch (const std::exception& e) {
                // Thrown before the answer was handed over (allocation).
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "exception: %s", e.what());
                network_layer::SendSyncResponsePacket(
                    kBadRequestResponse, static_cast<int>(std::strlen(kBadRequestResponse)),
                    session);
            }
        });
    return 0;
}

}  // namespace

int DescriptionRequestListener::OnTCPRequestReceived(boost::shared_ptr<utils::HTTPInfo> request,
                                                     void* session) {
    if (!request)
        return SendTextResponse(kBadRequestResponse, session);
    try {
        return HandleRequest(request, session);
    } catch (const std::exception& e) {
        // Every throwing step comes before the answer is handed over, so the
        // session is still ours to answer.
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "exception: %s", e.what());
    }
    return network_layer::SendSyncResponsePacket(
        kBadRequestResponse, static_cast<int>(std::strlen(kBadRequestResponse)), session);
}

boost::shared_ptr<DescriptionRequestListener> DescriptionRequestListener::Instance() {
    boost::lock_guard<boost::mutex> lock(g_listener_mutex);
    if (!g_listener)
        g_listener.reset(new (std::nothrow) DescriptionRequestListener());
    return g_listener;
}

void DescriptionRequestListener::Destroy() {
    boost::lock_guard<boost::mutex> lock(g_listener_mutex);
    g_listener.reset();
}

int RegisterDevicePaths(const DeviceInfo& device, int& id) {
    boost::shared_ptr<DescriptionRequestListener> listener = DescriptionRequestListener::Instance();
    std::vector<network_layer::TcpRoute> routes;
    routes.push_back({utils::HTTP_GET, "/" + device.descriptionUrl});
    for (const std::string& url : device.scpdUrls)
        routes.push_back({utils::HTTP_GET, "/" + url});
    for (const boost::shared_ptr<CDDeviceIcon>& icon : device.icons)
        routes.push_back({utils::HTTP_GET, "/" + icon->url});
    // Answered from memory without waiting for anything: on the io thread.
    return network_layer::RegisterTCPRoutes(routes, listener, network_layer::RouteThread::kIoThread,
                                            id);
}

}  // namespace cd_discovery
}  // namespace zel_upnp
