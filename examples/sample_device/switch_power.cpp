#include "switch_power.h"

#include <strings.h>

#include <cstdio>

#include <zel_upnp/cd_control.h>

namespace sample_device {

namespace {

namespace cc = zel_upnp::cd_control;

const char kSwitchPowerType[] = "urn:schemas-upnp-org:service:SwitchPower:1";
// UPnP control errors travel as HTTP 500 with a SOAP fault body.
const int kFaultStatus = 500;
const int kOkStatus = 200;

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

std::string UPnPFault(int code, const std::string& description) {
    return "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
           "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
           std::to_string(code) + "</errorCode><errorDescription>" + description +
           "</errorDescription></UPnPError></detail></s:Fault>";
}

std::string ActionResponse(const std::string& action, const std::string& serviceType,
                           const std::string& argument, bool value) {
    std::string body = "<u:" + action + "Response xmlns:u=\"" + serviceType + "\">";
    if (!argument.empty())
        body += "<" + argument + ">" + (value ? "1" : "0") + "</" + argument + ">";
    return body + "</u:" + action + "Response>";
}

// The argument's name without a namespace prefix.
std::string LocalName(const std::string& name) {
    const size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

// Runs on the library's action thread; answers every action exactly once.
void HandleAction(SwitchPower& power, const std::string& action, const std::string& serviceType,
                  const std::vector<boost::shared_ptr<cc::StrArgument> >& arguments,
                  const boost::shared_ptr<cc::stCpDeviceDetails>& controlPoint, int actionId) {
    int status = kOkStatus;
    std::string body;
    std::string outcome;
    if (action == "SetTarget") {
        bool on = false;
        if (arguments.size() == 1 && LocalName(arguments[0]->name) == "newTargetValue" &&
            ParseBoolean(arguments[0]->value, on)) {
            power.SetTarget(on);
            body = ActionResponse(action, serviceType, "", false);
            outcome = on ? "target on" : "target off";
        } else {
            status = kFaultStatus;
            body = UPnPFault(402, "Invalid Args");
            outcome = "402 Invalid Args";
        }
    } else if (action == "GetTarget" || action == "GetStatus") {
        const bool target = action == "GetTarget";
        const bool value = target ? power.Target() : power.Status();
        body =
            ActionResponse(action, serviceType, target ? "RetTargetValue" : "ResultStatus", value);
        outcome = value ? "1" : "0";
    } else {
        status = kFaultStatus;
        body = UPnPFault(401, "Invalid Action");
        outcome = "401 Invalid Action";
    }
    const int sent = cc::SendActionResponse(status, "", body, actionId);
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
    return std::string(
               "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\"><e:property>"
               "<Status>") +
           (status ? "1" : "0") + "</Status></e:property></e:propertyset>";
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
