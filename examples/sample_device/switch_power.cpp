#include "switch_power.h"

#include <strings.h>

#include <atomic>
#include <cstdio>

#include <zel_upnp/cd_control.h>

namespace sample_device {

namespace {

namespace cc = zel_upnp::cd_control;

// Read on the action and event threads, set once before registration.
std::atomic<bool> g_report{true};

const char kSwitchPowerType[] = "urn:schemas-upnp-org:service:SwitchPower:1";
// UPnP error codes of the control architecture.
const int kInvalidAction = 401;
const int kInvalidArgs = 402;

// The text of the first <tag> element inside block, trimmed; empty when
// absent.
std::string ElementText(const std::string& block, const std::string& tag) {
    const std::string open = "<" + tag + ">";
    const size_t start = block.find(open);
    if (start == std::string::npos)
        return std::string();
    const size_t from = start + open.size();
    const size_t end = block.find("</" + tag + ">", from);
    if (end == std::string::npos)
        return std::string();
    const std::string text = block.substr(from, end - from);
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A UPnP boolean: "1", "true" or "yes" and "0", "false" or "no".
bool ParseBoolean(const std::string& text, bool& value) {
    for (const char* yes : {"1", "true", "yes"}) {
        if (strcasecmp(text.c_str(), yes) == 0) {
            value = true;
            return true;
        }
    }
    for (const char* no : {"0", "false", "no"}) {
        if (strcasecmp(text.c_str(), no) == 0) {
            value = false;
            return true;
        }
    }
    return false;
}

// The answer with the output arguments, or the fault when the service type
// the control point put in SOAPACTION cannot be written back (a control
// byte), so that the action never waits for its time-out.
int Answer(int actionId, const std::string& serviceType, const std::string& action,
           const cc::NameValueList& outArguments) {
    const int sent = cc::SendActionResult(actionId, serviceType, action, outArguments);
    return sent == cc::CDC_INVALID_NAME
               ? cc::SendActionFault(actionId, kInvalidAction, "Invalid Action")
               : sent;
}

// Runs on the library's action thread; answers every action exactly once.
// The library's builders write the SOAP bodies and escape what goes in them.
void HandleAction(SwitchPower& power, const std::string& action, const std::string& serviceType,
                  const std::vector<boost::shared_ptr<cc::StrArgument> >& arguments,
                  const boost::shared_ptr<cc::stCpDeviceDetails>& controlPoint, int actionId) {
    int sent = 0;
    std::string outcome;
    if (action == "SetTarget") {
        std::string text;
        bool on = false;
        if (cc::GetActionArgument(arguments, "newTargetValue", text) && ParseBoolean(text, on)) {
            power.SetTarget(on);
            sent = Answer(actionId, serviceType, action, {});
            outcome = on ? "target on" : "target off";
        } else {
            sent = cc::SendActionFault(actionId, kInvalidArgs, "Invalid Args");
            outcome = "402 Invalid Args";
        }
    } else if (action == "GetTarget" || action == "GetStatus") {
        const bool target = action == "GetTarget";
        const bool value = target ? power.Target() : power.Status();
        sent = Answer(actionId, serviceType, action,
                      {{target ? "RetTargetValue" : "ResultStatus", value ? "1" : "0"}});
        outcome = value ? "1" : "0";
    } else {
        sent = cc::SendActionFault(actionId, kInvalidAction, "Invalid Action");
        outcome = "401 Invalid Action";
    }
    if (!g_report)
        return;
    std::printf("action %s on %s from %s: %s (send %d)\n", action.c_str(),
                power.ServiceId().c_str(), controlPoint->ip_address.c_str(), outcome.c_str(), sent);
    std::fflush(stdout);
}

}  // namespace

bool SwitchPower::Target() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_;
}

bool SwitchPower::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

void SwitchPower::SetTarget(bool on) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = status_ != on;
        target_ = on;
        status_ = on;
    }
    if (changed && onChange)
        onChange(*this, on);
}

std::string StatusPropertySet(bool status) {
    return cc::BuildPropertySet({{"Status", status ? "1" : "0"}});
}

std::vector<ServiceEntry> FindSwitchPowerServices(const std::string& description) {
    std::vector<ServiceEntry> found;
    size_t position = 0;
    for (;;) {
        const size_t start = description.find("<service>", position);
        const size_t end = description.find("</service>", start);
        if (start == std::string::npos || end == std::string::npos)
            return found;
        const std::string block = description.substr(start, end - start);
        position = end;
        if (ElementText(block, "serviceType") != kSwitchPowerType)
            continue;
        const ServiceEntry entry = {ElementText(block, "serviceId"),
                                    ElementText(block, "controlURL"),
                                    ElementText(block, "eventSubURL")};
        if (!entry.controlUrl.empty())
            found.push_back(entry);
    }
}

void SetReportOnStdout(bool report) {
    g_report = report;
}

int RegisterSwitchPower(const std::string& udn, const std::string& description,
                        std::map<std::string, std::shared_ptr<SwitchPower> >& services) {
    int count = 0;
    for (const ServiceEntry& entry : FindSwitchPowerServices(description)) {
        std::shared_ptr<SwitchPower> power = std::make_shared<SwitchPower>(entry.serviceId);
        const std::string eventUrl = entry.eventUrl;
        if (!eventUrl.empty()) {
            // Status is evented: every change goes to all subscribers; a new
            // subscriber first gets the current Status.
            power->onChange = [eventUrl](const SwitchPower&, bool status) {
                const int sent = cc::SendMulticastEvent("", StatusPropertySet(status), eventUrl);
                if (!g_report)
                    return;
                std::printf("event Status=%d to the subscribers of %s (send %d)\n", status ? 1 : 0,
                            eventUrl.c_str(), sent);
                std::fflush(stdout);
            };
            std::weak_ptr<SwitchPower> weak = power;
            if (!cc::RegisterServiceForSubscribe(
                    udn, eventUrl, entry.serviceId,
                    [weak, eventUrl](const std::string& host, const int& port,
                                     const std::string& sid, const std::string& path,
                                     const std::string&) {
                        const std::shared_ptr<SwitchPower> light = weak.lock();
                        if (light)
                            cc::SendInitialEvent(host, port, sid,
                                                 StatusPropertySet(light->Status()), path,
                                                 eventUrl);
                    }))
                return -1;
        }
        const bool added = cc::AddActionRequestHandler(
            udn, entry.controlUrl, entry.serviceId.empty() ? entry.controlUrl : entry.serviceId,
            [power](const std::string& action, const std::string& serviceType,
                    const std::vector<boost::shared_ptr<cc::StrArgument> >& arguments,
                    boost::shared_ptr<cc::stCpDeviceDetails> controlPoint, const std::string&,
                    const int& actionId) {
                HandleAction(*power, action, serviceType, arguments, controlPoint, actionId);
            });
        if (!added)
            return -1;
        services[entry.controlUrl] = power;
        ++count;
    }
    return count;
}

}  // namespace sample_device
