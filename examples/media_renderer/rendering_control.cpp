#include "rendering_control.h"

#include <cstdlib>

namespace renderer {
namespace {

const int kDefaultVolume = 20;
const int kMaxVolume = 100;
const char kMaster[] = "Master";
const char kFactoryDefaults[] = "FactoryDefaults";

bool ParseVolume(const std::string& text, int& volume) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    volume = std::atoi(text.c_str());
    return volume <= kMaxVolume;
}

// The UPnP boolean forms.
bool ParseBoolean(const std::string& text, bool& value) {
    if (text == "1" || text == "true" || text == "yes") {
        value = true;
        return true;
    }
    if (text == "0" || text == "false" || text == "no") {
        value = false;
        return true;
    }
    return false;
}

}  // namespace

const ServiceUrls RenderingControl::kUrls = {
    "urn:schemas-upnp-org:service:RenderingControl:1", "urn:upnp-org:serviceId:RenderingControl",
    "/RenderingControl/control", "/RenderingControl/event"};

RenderingControl::RenderingControl(Player& player)
    : player_(player), events_(kUrls.event, cc::kLastChangeRenderingControl) {}

bool RenderingControl::Start(const std::string& udn) {
    if (!RegisterService(
            udn, kUrls, [this](const Request& r) { Handle(r); },
            [this] { return events_.BuildInitialEvent(); }))
        return false;
    // Two Event documents folded into one would lose the first one's changes.
    cc::SetEventMerging(kUrls.event, false);
    events_.Set(0, "PresetNameList", kFactoryDefaults);
    std::lock_guard<std::mutex> lock(mutex_);
    Apply(kDefaultVolume, false);
    return true;
}

void RenderingControl::Handle(const Request& request) {
    Reply reply = CheckInstance(request);
    if (reply.error == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply = Decide(request);
    }
    Answer(request, reply);
}

Reply RenderingControl::Decide(const Request& request) {
    const std::string& action = request.action;
    Reply reply;
    std::string preset;
    if (action == "ListPresets") {
        reply.out = {{"CurrentPresetNameList", kFactoryDefaults}};
        return reply;
    }
    if (action == "SelectPreset") {
        if (!ReadArguments(request, {{"PresetName", &preset}}))
            return Reply::Fault(402, "Invalid Args");
        if (preset != kFactoryDefaults)
            return Reply::Fault(701, "Invalid Name");
        Apply(kDefaultVolume, false);
        return reply;
    }
    std::string channel;
    std::string desired;
    if (!ReadArguments(request, {{"Channel", &channel}}) || channel != kMaster)
        return Reply::Fault(402, "Invalid Args");
    if (action == "GetVolume") {
        reply.out = {{"CurrentVolume", std::to_string(volume_)}};
    } else if (action == "GetMute") {
        reply.out = {{"CurrentMute", mute_ ? "1" : "0"}};
    } else if (action == "SetVolume") {
        int volume = 0;
        if (!ReadArguments(request, {{"DesiredVolume", &desired}}) || !ParseVolume(desired, volume))
            return Reply::Fault(402, "Invalid Args");
        Apply(volume, mute_);
    } else if (action == "SetMute") {
        bool mute = false;
        if (!ReadArguments(request, {{"DesiredMute", &desired}}) || !ParseBoolean(desired, mute))
            return Reply::Fault(402, "Invalid Args");
        Apply(volume_, mute);
    } else {
        return Reply::Fault(401, "Invalid Action");
    }
    return reply;
}

void RenderingControl::Apply(int volume, bool mute) {
    volume_ = volume;
    mute_ = mute;
    player_.SetVolume(volume);
    player_.SetMute(mute);
    events_.Set(0, "Volume", std::to_string(volume), {{"channel", kMaster}});
    events_.Set(0, "Mute", mute ? "1" : "0", {{"channel", kMaster}});
}

}  // namespace renderer
