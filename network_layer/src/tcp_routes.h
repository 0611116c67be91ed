// Routes of the library's own TCP listeners (descriptions, control URLs,
// eventing): a request reaches one by its method and the path of its
// request target, never by text found elsewhere in its head. Applications
// keep the pattern registrations of <zel_upnp/network_layer.h>, which are
// searched only for a request that no route takes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace network_layer {

struct TcpRoute {
    utils::HTTPRequest method;
    // An absolute path ("/SwitchPower/control"); empty takes every path of
    // the method. Compared ignoring case, so that a listener that matches
    // exactly can still answer a near miss with its own fault.
    std::string path;
};

// Where a routed request is handed to its listener.
enum class RouteThread {
    kWorker,            // queued for a "ZelTcpReq" worker
    kIoThread,          // called at once on the "ZelTcpIo" thread that read it: only
                        // for listeners that never block (no file, no application
                        // code, no lock held for longer than a lookup)
    kIoThreadSmallBody  // as kIoThread when the body is at most
                        // kIoThreadBodyLimit bytes, else as kWorker: for
                        // listeners whose work grows with the body (a parse)
};

// The largest body a kIoThreadSmallBody listener gets on the io thread: a
// control request is a few hundred bytes, and a peer sending megabytes
// must not hold an io thread for the parse.
constexpr std::size_t kIoThreadBodyLimit = 16 * 1024;

// The path of a request target: the absolute form's scheme and authority
// removed, the query and fragment cut off; "/" put before one without it.
std::string RequestPath(const std::string& target);

// Registers routes for listener under one id (0 and id, or 1 and id -1 for
// no routes, a null listener or a layer that is not initialised). A route
// already taken by an earlier registration stays with it. Removed by
// UnRegisterRequestListener(id).
int RegisterTCPRoutes(const std::vector<TcpRoute>& routes,
                      boost::shared_ptr<TCPRequestListener> listener, RouteThread thread, int& id);

// Runs job on the dispatch core's "ZelTcpAsk" thread, kept for application
// code whose answer a request waits for (the access listener), so that
// neither an io thread nor a request worker ever waits on it. job(true)
// runs there in posting order; a job still queued when the dispatch core
// stops is called with false on the stopping thread and must then only
// release what it holds. False (job not kept) when kMaxAskJobs wait
// already or the dispatch core is not running.
bool PostAskJob(std::function<void(bool)> job);

}  // namespace network_layer
}  // namespace zel_upnp
