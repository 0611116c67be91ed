#include "utils/src/httpparser/upnp_error.h"

namespace zel_upnp {
namespace utils {

std::string UPnPErrorEnvelope(int error_code, const std::string& error_description) {
    static const char kHead[] =
        "<?xml version=\"1.0\"?>"
        "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
        "<s:Body><s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
        "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>";
    static const char kTail[] =
        "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>";
    std::string body;
    body.reserve(sizeof(kHead) + sizeof(kTail) + 16 + error_description.size());
    body += kHead;
    body += std::to_string(error_code);
    body += "</errorCode><errorDescription>";
    body += error_description;
    body += kTail;
    return body;
}

}  // namespace utils
}  // namespace zel_upnp
