// A datagram on its way from the SSDP socket to the search answers: parsed
// as the UDP server does, matched against the M-SEARCH listener pattern as
// the dispatcher does, put through the subnet filter with a mask and sender
// chosen by the input, its ST, MX and MAN read, and the search answered:
// once by SendMsearchResponse (no registry or device list here, so it stops
// at its filters and sends nothing) and once by the ST matching of a device
// with embedded devices and services.
//
// Input layout: byte 0 picks the prefix length of the mask (byte % 33),
// byte 1 the last byte of the sender's address (10.0.x.y, x from byte 2);
// the rest is the datagram.
//
// Traps when an answer's ST is neither the searched ST nor, for ssdp:all,
// one of the device's notification types, and when a text the answer echoes
// could end its header line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "cd_discovery/src/discovery_request_listener.h"
#include "cd_discovery/src/send_m_search_response.h"
#include "cd_discovery/src/ssdp_notify.h"
#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/networkinterface.h"
#include "utils/src/httpparser/httpparser.h"
#include "utils/src/string/header_text.h"

namespace {

using namespace zel_upnp;

constexpr int kMaskBits = 33;
const char kLocalAddress[] = "10.0.0.1";

std::string Mask(int bits) {
    uint32_t value = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    return std::to_string(value >> 24) + "." + std::to_string((value >> 16) & 0xff) + "." +
           std::to_string((value >> 8) & 0xff) + "." + std::to_string(value & 0xff);
}

cd_discovery::DeviceInfo MakeDevice() {
    cd_discovery::DeviceInfo root;
    root.udn = "uuid:2fac1234-31f8-11b4-a222-08002b34c003";
    root.deviceType = "urn:schemas-upnp-org:device:MediaRenderer:1";
    root.serviceTypes = {"urn:schemas-upnp-org:service:RenderingControl:1",
                         cd_discovery::kWakeupServiceType};
    root.wakeupTimeout = 5;
    cd_discovery::DeviceInfoPtr embedded(new cd_discovery::DeviceInfo());
    embedded->udn = "uuid:embedded-1";
    embedded->deviceType = "urn:schemas-upnp-org:device:BinaryLight:1";
    embedded->serviceTypes = {"urn:schemas-upnp-org:service:SwitchPower:1"};
    root.embeddedDevices.push_back(embedded);
    return root;
}

// The head as the dispatcher sees it: start line and header lines, upper
// case.
std::string UpperHead(utils::HTTPInfo& info) {
    std::string head;
    info.GetStartLine(head);
    std::vector<utils::NameValue*> headers;
    info.GetHeader(headers);
    for (const utils::NameValue* header : headers)
        head += "\r\n" + header->name + ": " + header->value;
    for (char& c : head)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const cd_discovery::DeviceInfo device = MakeDevice();
    static const std::vector<std::string> types = cd_discovery::NotificationTypes(device, false);
    static const std::vector<std::string> tokens =
        network_layer::CallBackHandler::PatternTokens(cd_discovery::kMSearchPattern);
    if (size < 3)
        return 0;
    const std::string mask = Mask(data[0] % kMaskBits);
    const std::string sender = "10.0." + std::to_string(data[2]) + "." + std::to_string(data[1]);
    const unsigned length = static_cast<unsigned>(size - 3);
    boost::shared_ptr<utils::HTTPInfo> request = boost::make_shared<utils::HTTPInfo>();
    if (utils::Parse(reinterpret_cast<const char*>(data + 3), length, request) != 0 ||
        request->GetState() != utils::MESSAGE_COMPLETE)
        return 0;
    request->SetClientIpAddress(sender);
    request->SetMyIpAddress(kLocalAddress);
    request->SetClientPort(1900);
    if (!network_layer::CallBackHandler::HeadMatches(UpperHead(*request), tokens))
        return 0;
    cd_discovery::DiscoveryRequestListener listener;
    listener.OnUDPRequestReceived(request);
    if (!network_layer::NetworkInterface::IsSameSubnetWithMask(kLocalAddress, sender, mask))
        return 0;
    std::string st, mx, man;
    request->GetHeaderValue("ST", st);
    request->GetHeaderValue("MX", mx);
    request->GetHeaderValue("MAN", man);
    for (const cd_discovery::SearchAnswer& answer : cd_discovery::SearchAnswers(st, device)) {
        if (!utils::IsHeaderSafe(answer.first))
            __builtin_trap();
        if (answer.first != st) {
            bool listed = false;
            for (const std::string& type : types)
                listed = listed || type == answer.first;
            if (st != "ssdp:all" || !listed)
                __builtin_trap();
        }
    }
    return 0;
}
