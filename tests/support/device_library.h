// The library brought up as a controlled device inside a test topology, and
// description folders written for tests, for the discovery tests.
#pragma once

#include <string>
#include <vector>

#include "support/netns.h"

namespace zel_test {

constexpr int kDeviceTcpPort = 49152;
constexpr int kDeviceSsdpPort = 1900;

// How many of messages contain text.
inline size_t CountOf(const std::vector<std::string>& messages, const std::string& text) {
    size_t n = 0;
    for (const std::string& m : messages)
        n += m.find(text) != std::string::npos ? 1 : 0;
    return n;
}

// Brings the framework up (in role, discovery by default), configures a TCP
// server and the SSDP group and adds the device side of link 0 of topo;
// tears it all down in the destructor. The calling thread must be in the
// device namespace.
class DeviceLibrary {
  public:
    explicit DeviceLibrary(const NetnsTopology& topo, int role = 2);
    ~DeviceLibrary();
    DeviceLibrary(const DeviceLibrary&) = delete;
    DeviceLibrary& operator=(const DeviceLibrary&) = delete;
    bool Ok() const { return ok_; }
    // Adds the device side of link i and waits for its TCP server.
    bool AddLink(size_t i);

  private:
    const NetnsTopology& topo_;
    bool ok_ = false;
};

// A temporary description folder: the root (two services, one icon,
// max_age seconds as X_MaxAge when above 0, udn_element as the UDN element)
// with one embedded device, their service descriptions and the icon; the
// folder's parent holds "icons/i.png" too, holding "secret": the file a
// request escaping the folder would reach. Removed in the destructor.
class DescriptionFolder {
  public:
    explicit DescriptionFolder(
        const std::string& udn_element = "<UDN>uuid:root-1</UDN>", int max_age = 0,
        const std::string& device_type = "urn:schemas-upnp-org:device:MediaServer:1");
    ~DescriptionFolder();
    const std::string& Path() const { return path_; }
    std::string Read(const std::string& name = "DeviceDescription.xml") const;
    void Write(const std::string& name, const std::string& text) const;

  private:
    std::string parent_;
    std::string path_;
};

}  // namespace zel_test
