// zel-media-renderer: a UPnP AV MediaRenderer:1 (the folder renderer/ beside
// this file describes it) with ConnectionManager:1, AVTransport:1 and
// RenderingControl:1. Actions are answered on the library's action thread
// (none of them blocks); AVTransport and RenderingControl event only through
// LastChange. What plays is the Player of this build: GStreamer's playbin,
// or a simulated clock. Runs until SIGINT or SIGTERM.
//   zel-media-renderer FOLDER INTERFACE
#include <signal.h>

#include <cstdio>
#include <memory>

#include <zel_upnp/cd_control.h>
#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/cd_utils.h>
#include <zel_upnp/framework_core.h>

#include "av_transport.h"
#include "connection_manager.h"
#include "player.h"
#include "rendering_control.h"

namespace {

namespace fc = zel_upnp::framework_core;
namespace cd = zel_upnp::cd_discovery;
namespace acl = zel_upnp::cd_utils;

const int kPort = 49152;

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

    fc::InitFrameworkCore("");
    fc::InitializeUPnP(fc::CD);
    fc::StartFrameworkCore();
    fc::ConfigureServers(kPort, 1900, 0, false);
    fc::ConfigureApplicationOnInterface(argv[2]);
    fc::StartNetworkMonitor();

    std::unique_ptr<renderer::Player> player = renderer::MakePlayer();
    std::unique_ptr<renderer::ConnectionManager> connections(
        new renderer::ConnectionManager(player->SinkProtocolInfo()));
    std::unique_ptr<renderer::AVTransport> transport(new renderer::AVTransport(*player));
    std::unique_ptr<renderer::RenderingControl> rendering(new renderer::RenderingControl(*player));

    cd::RegisteredDeviceInfo device;
    int status = cd::RegisterDevice(argv[1], "description.xml", device);
    if (status == 0) {
        cd::SetPortNumber(device.handle, kPort);
        acl::RegisterAclListener(device.udn, AllowEveryControlPoint, acl::ACL_MODE_ALLOW_ALL);
        if (!connections->Start(device.udn) || !transport->Start(device.udn) ||
            !rendering->Start(device.udn))
            status = 1;
    } else {
        std::fprintf(stderr, "%s/DeviceDescription.xml: registration failed (%d)\n", argv[1],
                     status);
    }
    if (status == 0) {
        cd::StartDevice(device.udn);
        std::printf("udn %s\n", device.udn.c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stop, &signal);
        cd::StopDevice(device.udn);
    }
    // The library goes first: after it no action reaches the services, and
    // a LastChange event still queued is dropped (its send finds no
    // service). The player next, since its thread may still report an end
    // to AVTransport; the services last.
    fc::TerminateFrameworkCore();
    player.reset();
    return status == 0 ? 0 : 1;
}
