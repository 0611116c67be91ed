// The sample device's light: one SwitchPower:1 service per entry of the
// description, answering SetTarget, GetTarget and GetStatus through the
// library's action calls.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sample_device {

// The state of one SwitchPower service: the target the control point asked
// for and the light's status, which follows the target at once. The one
// place the state changes, so that eventing can hook onChange.
class SwitchPower {
  public:
    explicit SwitchPower(std::string serviceId) : serviceId_(std::move(serviceId)) {}
    const std::string& ServiceId() const { return serviceId_; }
    bool Target() const;
    bool Status() const;
    void SetTarget(bool on);
    // Called after a SetTarget that changed the status, outside the lock,
    // with the new status; set it before the service is registered.
    std::function<void(const SwitchPower&, bool status)> onChange;

  private:
    const std::string serviceId_;
    mutable std::mutex mutex_;
    bool target_ = false;  // mutex_
    bool status_ = false;  // mutex_
};

// One SwitchPower:1 service of a description: its id, control URL and
// event URL (empty when the service is not evented).
struct ServiceEntry {
    std::string serviceId;
    std::string controlUrl;
    std::string eventUrl;
};

// The property set of an event carrying Status.
std::string StatusPropertySet(bool status);

// Every service of type urn:schemas-upnp-org:service:SwitchPower:1 in the
// description text, in document order.
std::vector<ServiceEntry> FindSwitchPowerServices(const std::string& description);

// Whether each action and event is reported on stdout (the default). Set
// before the services are registered.
void SetReportOnStdout(bool report);

// Registers the action handler of every SwitchPower:1 service of the
// description for the device udn, with Status evented at the service's
// event URL; the services' states stay in services,
// keyed by control URL. The number of services registered, or -1 when a
// registration failed.
int RegisterSwitchPower(const std::string& udn, const std::string& description,
                        std::map<std::string, std::shared_ptr<SwitchPower> >& services);

}  // namespace sample_device
