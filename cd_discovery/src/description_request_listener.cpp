#include "cd_discovery/src/description_request_listener.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/cd_utils.h>
#include "cd_discovery/src/send_description.h"
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

// The request URI without its leading "/" (or "http://host/"); false when
// nothing of it names a path.
bool NormalisePath(const std::string& uri, std::string& path) {
    if (!uri.empty() && uri[0] == '/') {
        path = uri.substr(1);
        return true;
    }
    std::string rest = uri;
    if (boost::starts_with(rest, "http://"))
        rest.erase(0, std::strlen("http://"));
    const size_t slash = rest.find('/');
    if (slash == std::string::npos)
        return false;
    path = rest.substr(slash + 1);
    return true;
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
    std::string path;
    if (!NormalisePath(uri, path)) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Invalid URL !!!");
        return SendTextResponse(kBadRequestResponse, session);
    }
    DescriptionTarget target;
    const DescriptionLookup found = GetDeviceDescDetails(path, target);
    if (found == DescriptionLookup::kRefused) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "icon path outside the device folder refused");
        return SendTextResponse(kNotFoundResponse, session);
    }
    if (found != DescriptionLookup::kFound) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "description cannot be sent!");
        return SendTextResponse(kBadRequestResponse, session);
    }
    // Only the device description is guarded: service descriptions and icons
    // tell nothing a refused control point could use.
    if (target.isDescription && !cd_utils::IsCpAuthorized(target.udn, request)) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "CP is denied access!");
        return SendUnauthorized(session);
    }
    const int result = SendDescription(request, target, session);
    ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "SendDescription[%d], device[%d] to [%s]", result,
             target.isDescription ? 1 : 0, sender.c_str());
    return result;
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
    std::vector<std::string> patterns;
    patterns.push_back("GET ,/" + device.descriptionUrl);
    patterns.push_back("GET " + device.descriptionUrl);
    patterns.insert(patterns.end(), device.scpdUrls.begin(), device.scpdUrls.end());
    for (const boost::shared_ptr<CDDeviceIcon>& icon : device.icons)
        patterns.push_back(icon->url);
    return network_layer::RegisterTCPRequestListener(patterns, listener, id);
}

}  // namespace cd_discovery
}  // namespace zel_upnp
