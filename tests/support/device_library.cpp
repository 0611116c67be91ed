#include "support/device_library.h"

#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <list>
#include <sstream>

#include <boost/filesystem/operations.hpp>

#include <zel_upnp/framework_core.h>
#include <zel_upnp/network_layer.h>
#include "support/peers.h"

namespace zel_test {

namespace fc = zel_upnp::framework_core;

DeviceLibrary::DeviceLibrary(const NetnsTopology& topo, int role) : topo_(topo) {
    ok_ = fc::InitFrameworkCore("") == 0 && fc::InitializeUPnP(fc::eInitType(role)) == 0 &&
          fc::StartFrameworkCore() == 0 &&
          fc::ConfigureServers(kDeviceTcpPort, kDeviceSsdpPort, 0, false) == 0 && AddLink(0);
}

DeviceLibrary::~DeviceLibrary() {
    fc::TerminateFrameworkCore();
}

namespace {

// Hears the NIC events after every listener registered before it, so once it
// has seen one, the discovery family has handled it too.
class EventWitness : public zel_upnp::network_layer::NetworkEventListener {
  public:
    void OnNetworkChanged(const std::string& name, int event) override {
        if (event == zel_upnp::network_layer::NIC_ADDED && name == name_)
            seen_ = true;
    }
    std::string name_;
    std::atomic<bool> seen_{false};
};

}  // namespace

bool DeviceLibrary::AddLink(size_t i) {
    const NetnsLink& link = topo_.Link(i);
    EventWitness witness;
    witness.name_ = link.device_if;
    int id = -1;
    if (zel_upnp::network_layer::RegisterNetworkEventListener(&witness, id) != 0)
        return false;
    const bool added = fc::NotifyNICAdded(link.device_if, link.device_ip, link.netmask) == 0 &&
                       WaitUntil([&] { return witness.seen_.load(); });
    zel_upnp::network_layer::UnRegisterEventListener(id);
    return added;
}

DescriptionFolder::DescriptionFolder(const std::string& udn_element, int max_age,
                                     const std::string& device_type) {
    char pattern[] = "/tmp/zel-desc-XXXXXX";
    parent_ = mkdtemp(pattern);
    path_ = parent_ + "/device";
    boost::filesystem::create_directories(path_ + "/icons");
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<root>\n <specVersion><major>1</major></specVersion>\n"
        << " <device>\n  <deviceType>" << device_type << "</deviceType>\n"
        << "  <friendlyName>Test Root</friendlyName>\n  " << udn_element << "\n";
    if (max_age > 0)
        xml << "  <X_MaxAge>" << max_age << "</X_MaxAge>\n";
    xml << "  <iconList><icon><mimetype>image/png</mimetype><width>8</width>"
           "<height>8</height><depth>8</depth><url>/icons/i.png</url></icon></iconList>\n"
           "  <serviceList>\n"
           "   <service><serviceType>urn:schemas-upnp-org:service:ContentDirectory:1"
           "</serviceType><serviceId>cds</serviceId><SCPDURL>ContentDirectory/scpd.xml"
           "</SCPDURL><controlURL>ctl/cds</controlURL><eventSubURL>"
           "http://192.0.2.9:99/evt/cds</eventSubURL></service>\n"
           "   <service><serviceType>urn:dial-multiscreen-org:service:dial:1</serviceType>"
           "<SCPDURL>/dial/scpd.xml</SCPDURL><controlURL>/dial/ctl</controlURL>"
           "<eventSubURL></eventSubURL></service>\n  </serviceList>\n"
           "  <deviceList><device><deviceType>urn:schemas-upnp-org:device:Embedded:1"
           "</deviceType><friendlyName>Test Embedded</friendlyName><UDN>uuid:emb-1</UDN>"
           "<serviceList><service><serviceType>urn:schemas-upnp-org:service:SwitchPower:1"
           "</serviceType><SCPDURL>/sp/scpd.xml</SCPDURL></service></serviceList>"
           "</device></deviceList>\n </device>\n</root>\n";
    Write("DeviceDescription.xml", xml.str());
    Write("ContentDirectory_1.xml", "<scpd>cds</scpd>");
    Write("dial_1.xml", "<scpd>dial</scpd>");
    Write("SwitchPower_1.xml", "<scpd>switch</scpd>");
    Write("icons/i.png", std::string("\x89PNG\0\1\2", 7));
    boost::filesystem::create_directories(parent_ + "/icons");
    std::ofstream(parent_ + "/icons/i.png") << "secret";
}

DescriptionFolder::~DescriptionFolder() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(parent_, ignored);
}

std::string DescriptionFolder::Read(const std::string& name) const {
    std::ifstream file(path_ + "/" + name, std::ios_base::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void DescriptionFolder::Write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ + "/" + name, std::ios_base::binary | std::ios_base::trunc) << text;
}

}  // namespace zel_test
