#include "service.h"

namespace renderer {

void Answer(const Request& request, const Reply& reply) {
    if (reply.error != 0)
        cc::SendActionFault(request.id, reply.error, reply.description);
    else
        cc::SendActionResult(request.id, request.service_type, request.action, reply.out);
}

bool ReadArguments(const Request& request,
                   std::initializer_list<std::pair<const char*, std::string*> > wanted) {
    for (const auto& w : wanted)
        if (!cc::GetActionArgument(request.arguments, w.first, *w.second))
            return false;
    return true;
}

Reply CheckInstance(const Request& request) {
    std::string instance;
    if (!ReadArguments(request, {{"InstanceID", &instance}}) || instance.empty() ||
        instance.find_first_not_of("0123456789") != std::string::npos)
        return Reply::Fault(402, "Invalid Args");
    if (instance.find_first_not_of('0') != std::string::npos)
        return Reply::Fault(718, "Invalid InstanceID");
    return Reply();
}

bool RegisterService(const std::string& udn, const ServiceUrls& urls,
                     std::function<void(const Request&)> handle,
                     std::function<std::string()> initial_event) {
    const std::string event_url = urls.event;
    // The initial-event handler runs on the timer thread with the eventing
    // lock held: it only reads the services' state, never waits.
    if (!cc::RegisterServiceForSubscribe(
            udn, event_url, urls.id,
            [initial_event, event_url](const std::string& host, const int& port,
                                       const std::string& sid, const std::string& path,
                                       const std::string&) {
                cc::SendInitialEvent(host, port, sid, initial_event(), path, event_url);
            }))
        return false;
    return cc::AddActionRequestHandler(
        udn, urls.control, urls.id,
        [handle](const std::string& action, const std::string& type, const Arguments& arguments,
                 boost::shared_ptr<cc::stCpDeviceDetails>, const std::string&, const int& id) {
            handle(Request{action, type, arguments, id});
        });
}

}  // namespace renderer
