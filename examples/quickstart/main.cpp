// The smallest useful controlled device: the light described in FOLDER, on
// one interface, found by searches, its description served, every action
// answered with an empty response, until SIGINT or SIGTERM.
//   zel-quickstart FOLDER INTERFACE
#include <signal.h>

#include <string>

#include <zel_upnp/cd_control.h>
#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/cd_utils.h>
#include <zel_upnp/framework_core.h>

namespace fc = zel_upnp::framework_core;
namespace cd = zel_upnp::cd_discovery;
namespace cc = zel_upnp::cd_control;

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    // Blocked before the library starts its threads, so that they inherit the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    fc::InitFrameworkCore("");
    fc::InitializeUPnP(fc::CD);  // discovery, actions and eventing
    fc::StartFrameworkCore();
    fc::ConfigureServers(49152, 1900, 0, false);
    fc::ConfigureApplicationOnInterface(argv[2]);
    fc::StartNetworkMonitor();  // servers start as the interface is seen

    cd::RegisteredDeviceInfo device;
    int status = cd::RegisterDevice(argv[1], "description.xml", device);
    if (status == 0) {
        cd::SetPortNumber(device.handle, 49152);  // for the control and event URLs
        zel_upnp::cd_utils::RegisterAclListener(
            device.udn, [](const auto&) { return true; }, zel_upnp::cd_utils::ACL_MODE_ALLOW_ALL);
        cc::AddActionRequestHandler(
            device.udn, "/SwitchPower/control", "urn:upnp-org:serviceId:SwitchPower",
            [](const std::string& action, const std::string& type, const auto&, auto, const auto&,
               const int& id) {  // on the action thread; any thread may answer
                cc::SendActionResult(id, type, action, {});  // no output arguments
            });
        cd::StartDevice(device.udn);  // alive bursts from now on
        int signal = 0;
        sigwait(&stop, &signal);
        cd::StopDevice(device.udn);  // bye-bye
    }
    fc::TerminateFrameworkCore();
    return status;
}
