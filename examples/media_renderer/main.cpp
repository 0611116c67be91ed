// zel-media-renderer: a media-renderer-like controlled device with two
// services, AVTransport:1 and RenderingControl:1 (the folder renderer/ beside
// this file describes them). Actions reach the library's action thread,
// which only queues them; an application thread answers each one with
// SendActionResponse and sends the evented variables that changed
// (TransportState, AVTransportURI, Volume) to every subscriber. Runs until
// SIGINT or SIGTERM.
//   zel-media-renderer FOLDER INTERFACE
#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <zel_upnp/cd_control.h>
#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/cd_utils.h>
#include <zel_upnp/framework_core.h>

namespace {

namespace fc = zel_upnp::framework_core;
namespace cd = zel_upnp::cd_discovery;
namespace cc = zel_upnp::cd_control;
namespace acl = zel_upnp::cd_utils;

const int kPort = 49152;
// Actions waiting for the application thread; a control point that floods
// the device gets 501 instead of growing the queue.
const size_t kMaxQueuedActions = 64;
const char kAVTransport[] = "urn:schemas-upnp-org:service:AVTransport:1";
const char kRenderingControl[] = "urn:schemas-upnp-org:service:RenderingControl:1";

struct Service {
    const char* type;
    const char* id;
    const char* control_url;
    const char* event_url;
};
// As in renderer/DeviceDescription.xml.
const Service kServices[] = {{kAVTransport, "urn:upnp-org:serviceId:AVTransport",
                              "/AVTransport/control", "/AVTransport/event"},
                             {kRenderingControl, "urn:upnp-org:serviceId:RenderingControl",
                              "/RenderingControl/control", "/RenderingControl/event"}};

struct Action {
    std::string name;
    std::string service_type;
    std::map<std::string, std::string> arguments;  // by name without namespace prefix
    int id;
};

std::string Fault(int code, const char* description) {
    return "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
           "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
           std::to_string(code) + "</errorCode><errorDescription>" + description +
           "</errorDescription></UPnPError></detail></s:Fault>";
}

// Values the renderer puts into documents are escaped; values it receives
// arrive already entity-decoded.
std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

typedef std::vector<std::pair<std::string, std::string> > Properties;

std::string PropertySet(const Properties& properties) {
    std::string body = "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
    for (const auto& p : properties)
        body +=
            "<e:property><" + p.first + ">" + Escape(p.second) + "</" + p.first + "></e:property>";
    return body + "</e:propertyset>";
}

class Renderer {
  public:
    // On the library's action thread: queue and return, so that the next
    // action is not held up by this one.
    void Enqueue(Action action) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.size() < kMaxQueuedActions) {
                queue_.push_back(std::move(action));
                wake_.notify_one();
                return;
            }
        }
        cc::SendActionResponse(500, "", Fault(501, "Action Failed"), action.id);
    }

    // The application thread: answers the queued actions in order until Stop.
    void Run() {
        pthread_setname_np(pthread_self(), "renderer");
        for (;;) {
            Action action;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                if (stopping_)
                    return;
                action = std::move(queue_.front());
                queue_.pop_front();
            }
            Answer(action);
        }
    }

    void Stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_one();
    }

    // The whole evented state of a service, for a new subscriber.
    std::string InitialEvent(const std::string& event_url) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (event_url == kServices[0].event_url)
            return PropertySet({{"TransportState", state_}, {"AVTransportURI", uri_}});
        return PropertySet({{"Volume", std::to_string(volume_)}});
    }

  private:
    // Decides under the lock, then answers and events without it: the
    // initial-event handler takes the same lock while the library holds its
    // eventing lock, so sending with ours held could deadlock.
    void Answer(const Action& action) {
        int status = 200;
        std::string out;  // output arguments
        Properties changed;
        const bool transport = action.service_type == kAVTransport;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto argument = [&](const char* name) {
                const auto it = action.arguments.find(name);
                return it == action.arguments.end() ? std::string() : it->second;
            };
            if (transport && action.name == "SetAVTransportURI") {
                uri_ = argument("CurrentURI");
                state_ = uri_.empty() ? "NO_MEDIA_PRESENT" : "STOPPED";
                changed = {{"TransportState", state_}, {"AVTransportURI", uri_}};
            } else if (transport && (action.name == "Play" || action.name == "Stop")) {
                if (uri_.empty()) {
                    status = 500;
                    out = Fault(701, "Transition not available");
                } else {
                    state_ = action.name == "Play" ? "PLAYING" : "STOPPED";
                    changed = {{"TransportState", state_}};
                }
            } else if (transport && action.name == "GetTransportInfo") {
                out = "<CurrentTransportState>" + state_ +
                      "</CurrentTransportState><CurrentTransportStatus>OK"
                      "</CurrentTransportStatus><CurrentSpeed>1</CurrentSpeed>";
            } else if (!transport && action.name == "GetVolume") {
                out = "<CurrentVolume>" + std::to_string(volume_) + "</CurrentVolume>";
            } else if (!transport && action.name == "SetVolume") {
                const std::string wanted = argument("DesiredVolume");
                char* end = nullptr;
                const long volume = std::strtol(wanted.c_str(), &end, 10);
                if (wanted.empty() || *end != '\0' || volume < 0 || volume > 100) {
                    status = 500;
                    out = Fault(402, "Invalid Args");
                } else {
                    volume_ = static_cast<int>(volume);
                    changed = {{"Volume", std::to_string(volume_)}};
                }
            } else {
                status = 500;
                out = Fault(401, "Invalid Action");
            }
        }
        const std::string body = status != 200 ? out
                                               : "<u:" + action.name + "Response xmlns:u=\"" +
                                                     action.service_type + "\">" + out +
                                                     "</u:" + action.name + "Response>";
        cc::SendActionResponse(status, "", body, action.id);
        std::printf("action %s: %d\n", action.name.c_str(), status);
        std::fflush(stdout);
        if (!changed.empty())
            cc::SendMulticastEvent("", PropertySet(changed),
                                   transport ? kServices[0].event_url : kServices[1].event_url);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Action> queue_;
    bool stopping_ = false;
    std::string state_ = "NO_MEDIA_PRESENT";
    std::string uri_;
    int volume_ = 20;
};

std::string LocalName(const std::string& name) {
    const size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

bool AllowEveryControlPoint(const boost::shared_ptr<acl::stEventNotification>&) {
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zel-media-renderer FOLDER INTERFACE\n");
        return 2;
    }
    // Blocked before any thread starts, so that every thread inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    Renderer renderer;
    std::thread application([&renderer] { renderer.Run(); });

    fc::InitFrameworkCore("");
    fc::InitializeUPnP(fc::CD);
    fc::StartFrameworkCore();
    fc::ConfigureServers(kPort, 1900, 0, false);
    fc::ConfigureApplicationOnInterface(argv[2]);
    fc::StartNetworkMonitor();

    cd::RegisteredDeviceInfo device;
    int status = cd::RegisterDevice(argv[1], "description.xml", device);
    if (status == 0) {
        cd::SetPortNumber(device.handle, kPort);
        acl::RegisterAclListener(device.udn, AllowEveryControlPoint, acl::ACL_MODE_ALLOW_ALL);
        for (const Service& service : kServices) {
            const std::string event_url = service.event_url;
            cc::RegisterServiceForSubscribe(
                device.udn, event_url, service.id,
                [&renderer, event_url](const std::string& host, const int& port,
                                       const std::string& sid, const std::string& path,
                                       const std::string&) {
                    // On the timer thread, with the eventing lock held: send, never wait.
                    cc::SendInitialEvent(host, port, sid, renderer.InitialEvent(event_url), path,
                                         event_url);
                });
            cc::AddActionRequestHandler(
                device.udn, service.control_url, service.id,
                [&renderer](const std::string& name, const std::string& type,
                            const std::vector<boost::shared_ptr<cc::StrArgument> >& arguments,
                            boost::shared_ptr<cc::stCpDeviceDetails>, const std::string&,
                            const int& id) {
                    Action action{name, type, {}, id};
                    for (const auto& argument : arguments)
                        action.arguments[LocalName(argument->name)] = argument->value;
                    renderer.Enqueue(std::move(action));
                });
        }
        cd::StartDevice(device.udn);
        std::printf("udn %s\n", device.udn.c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stop, &signal);
        cd::StopDevice(device.udn);
    } else {
        std::fprintf(stderr, "%s/DeviceDescription.xml: registration failed (%d)\n", argv[1],
                     status);
    }
    // The application thread ends before the library: actions queued after
    // this stay unanswered and are dropped by the tear-down.
    renderer.Stop();
    application.join();
    fc::TerminateFrameworkCore();
    return status == 0 ? 0 : 1;
}
