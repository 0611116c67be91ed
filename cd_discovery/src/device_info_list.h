// The registry of controlled devices: one DeviceInfo per root or embedded
// device, listed in registration order in the process-wide DeviceInfoList.
//
// Every read or change of the list or of a listed DeviceInfo happens under
// the list's mutex. Work that sends or sleeps runs on deep copies taken under
// the mutex and released before sending, so a device may change or vanish
// meanwhile; whoever writes a result back (a timer id) looks the device up
// again. Never call the timer service while holding the mutex: timer
// callbacks run with the timer's lock held and take this mutex.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

namespace zel_upnp {
namespace cd_discovery {

// Advertisement lifetime when the description gives none, in milliseconds.
const int kDefaultMaxAgeMs = 1800000;

struct CDDeviceIcon {
    std::string mimetype;
    std::string width;
    std::string height;
    std::string depth;
    std::string url;  // leading "/" removed
};

// The bytes one registration serves, read from its folder when it is
// registered (and the description again when the library rewrites it), so
// that no request reads a file. Never changed once made: a change makes a
// new one. Shared by a root, its embedded devices and every copy of them.
struct DeviceDocuments {
    // DeviceDescription.xml as written back, or with derived UDNs when the
    // folder is read-only; its URLs are rewritten per request.
    std::string description;
    // SCPD file name or icon path (relative to the folder) -> its bytes; a
    // file that could not be read is absent and answered 404.
    std::map<std::string, std::string> files;
};
typedef boost::shared_ptr<const DeviceDocuments> DeviceDocumentsPtr;

struct DeviceInfo;
typedef boost::shared_ptr<DeviceInfo> DeviceInfoPtr;

struct DeviceInfo {
    std::string udn;
    std::string descriptionUrl;  // shared by a root and its embedded devices
    std::string deviceType;
    std::string friendlyName;
    std::string userAgent;
    int portNumber = 0;
    int aliveTimerId = 0;  // 0: no alive timer running
    int handlerId = 0;     // 0: not listed
    int tcpListenerId = 0;
    int maxAgeMs = 0;
    std::string descriptionFolder;
    std::vector<std::string> serviceTypes;
    std::vector<std::string> scpdUrls;  // leading "/" removed, parallel to serviceTypes
    std::vector<boost::shared_ptr<CDDeviceIcon> > icons;
    std::vector<DeviceInfoPtr> embeddedDevices;
    std::string applicationUrlScheme;
    int applicationUrlPort = 0;
    std::string applicationUrlPath;
    // Advertised and answering searches. A registered root starts inactive
    // until StartDevice; embedded devices are active from registration on
    // and follow their root's StartDevice and StopDevice.
    bool active = true;
    unsigned wakeupTimeout = 0;
    // Listed as a direct embedded device of a root: advertised only inside
    // its root's alive bursts, never by a timer of its own.
    bool embedded = false;
    DeviceDocumentsPtr documents;
};

// A copy of device whose embedded devices are copies too, so that it can be
// read without the list's mutex. Call with the mutex held when device is
// listed.
DeviceInfoPtr CopyDevice(const DeviceInfo& device);

class DeviceInfoList {
  public:
    // The list, created on first use; null only when it cannot be allocated.
    static boost::shared_ptr<DeviceInfoList> Instance();
    // The list if it exists: for timer and event callbacks, which must not
    // bring it back after Terminate.
    static boost::shared_ptr<DeviceInfoList> Existing();
    // Forgets the list; holders of a reference keep theirs until they drop it.
    static void Destroy();

    boost::mutex& Mutex() { return mutex_; }

    // Lookups, with Mutex() held; the first match or null.
    DeviceInfoPtr FindByUdn(const std::string& udn) const;  // empty never matches
    DeviceInfoPtr FindByHandle(int handle) const;
    DeviceInfoPtr FindByAliveTimer(int timerId) const;
    DeviceInfoPtr FindByDescriptionUrl(const std::string& url) const;
    std::vector<DeviceInfoPtr>& Devices() { return devices_; }
    // Lists device under the next handle (handles are never reused).
    void Append(const DeviceInfoPtr& device);

    // Copies of every listed device, in list order; takes the mutex.
    std::vector<DeviceInfoPtr> Snapshot();

  private:
    boost::mutex mutex_;
    std::vector<DeviceInfoPtr> devices_;
    int last_handle_ = 0;
};

}  // namespace cd_discovery
}  // namespace zel_upnp
