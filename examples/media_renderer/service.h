// What the three services share: an action as the library hands it over,
// the answer decided under a service's lock and sent after it, and the
// registration of a service's control and event URLs.
#ifndef ZEL_EXAMPLES_MEDIA_RENDERER_SERVICE_H
#define ZEL_EXAMPLES_MEDIA_RENDERER_SERVICE_H

#include <functional>
#include <string>
#include <vector>

#include <zel_upnp/cd_control.h>

namespace renderer {

namespace cc = zel_upnp::cd_control;

typedef std::vector<boost::shared_ptr<cc::StrArgument> > Arguments;

struct Request {
    const std::string& action;
    const std::string& service_type;
    const Arguments& arguments;
    int id;
};

// A UPnP fault (error != 0) or the output arguments, in the order the
// service description lists them.
struct Reply {
    int error = 0;
    std::string description;
    cc::NameValueList out;

    static Reply Fault(int error, const char* description) {
        Reply reply;
        reply.error = error;
        reply.description = description;
        return reply;
    }
};

/// Sends reply as the answer to request.
void Answer(const Request& request, const Reply& reply);

/// Copies the named input arguments; false when one is missing.
bool ReadArguments(const Request& request,
                   std::initializer_list<std::pair<const char*, std::string*> > wanted);

/// The 402 fault for missing or malformed arguments, or the 718 fault
/// for an InstanceID other than 0 (this renderer has one instance); an
/// empty Reply when the InstanceID is 0.
Reply CheckInstance(const Request& request);

/// The URLs of one service, as the device description gives them.
struct ServiceUrls {
    const char* type;
    const char* id;
    const char* control;
    const char* event;
};

/// Routes the service's actions to handle (on the library's action thread)
/// and its subscriptions to initial_event, which returns the property set
/// of the whole state. false when a URL is taken.
bool RegisterService(const std::string& udn, const ServiceUrls& urls,
                     std::function<void(const Request&)> handle,
                     std::function<std::string()> initial_event);

}  // namespace renderer

#endif
