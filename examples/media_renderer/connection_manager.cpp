#include "connection_manager.h"

namespace renderer {

const ServiceUrls ConnectionManager::kUrls = {
    "urn:schemas-upnp-org:service:ConnectionManager:1", "urn:upnp-org:serviceId:ConnectionManager",
    "/ConnectionManager/control", "/ConnectionManager/event"};

bool ConnectionManager::Start(const std::string& udn) {
    const std::string initial = cc::BuildPropertySet(
        {{"SourceProtocolInfo", ""}, {"SinkProtocolInfo", sink_}, {"CurrentConnectionIDs", "0"}});
    return RegisterService(
        udn, kUrls, [this](const Request& r) { Handle(r); }, [initial] { return initial; });
}

void ConnectionManager::Handle(const Request& request) const {
    Reply reply;
    std::string id;
    if (request.action == "GetProtocolInfo") {
        reply.out = {{"Source", ""}, {"Sink", sink_}};
    } else if (request.action == "GetCurrentConnectionIDs") {
        reply.out = {{"ConnectionIDs", "0"}};
    } else if (request.action == "GetCurrentConnectionInfo") {
        if (!ReadArguments(request, {{"ConnectionID", &id}}))
            reply = Reply::Fault(402, "Invalid Args");
        else if (id != "0")
            reply = Reply::Fault(706, "Invalid connection reference");
        else
            reply.out = {{"RcsID", "0"},
                         {"AVTransportID", "0"},
                         {"ProtocolInfo", ""},
                         {"PeerConnectionManager", ""},
                         {"PeerConnectionID", "-1"},
                         {"Direction", "Input"},
                         {"Status", "OK"}};
    } else {
        reply = Reply::Fault(401, "Invalid Action");
    }
    Answer(request, reply);
}

}  // namespace renderer
