// Moderated LastChange eventing. One mutex guards the recorded state; the
// "ZelLastChange" thread takes the queued changes out under it and sends
// them without it, so that an initial-event handler (which runs with the
// eventing lock held and calls BuildInitialEvent) can never wait on a send.
#include <zel_upnp/cd_control.h>

#include <map>

#include <boost/chrono.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/utils.h>
#include "cd_control/src/xml_text.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace cd_control {

const char kLastChangeAVTransport[] = "urn:schemas-upnp-org:metadata-1-0/AVT/";
const char kLastChangeRenderingControl[] = "urn:schemas-upnp-org:metadata-1-0/RCS/";

namespace {

struct Entry {
    std::string variable;
    NameValueList attributes;
    std::string value;
    bool queued;
};

// Instance id -> its variables in the order they were first set. A service
// has a few dozen variables at most, so a linear search is the cheap one.
typedef std::map<uint32_t, std::vector<Entry> > State;

void AppendEntry(const Entry& entry, std::string& out) {
    out += '<';
    out += entry.variable;
    for (const auto& attribute : entry.attributes) {
        out += ' ';
        out += attribute.first;
        out += "=\"";
        AppendEscaped(attribute.second, out);
        out += '"';
    }
    out += " val=\"";
    AppendEscaped(entry.value, out);
    out += "\"/>";
}

// The Event document of every entry (queuedOnly false) or of the queued ones,
// whose queued marks are then cleared; empty when there is nothing to list.
std::string BuildDocument(const std::string& eventNamespace, State& state, bool queuedOnly) {
    std::string body;
    for (auto& instance : state) {
        bool opened = false;
        for (Entry& entry : instance.second) {
            if (queuedOnly && !entry.queued)
                continue;
            if (!opened) {
                body += "<InstanceID val=\"";
                body += std::to_string(instance.first);
                body += "\">";
                opened = true;
            }
            AppendEntry(entry, body);
            if (queuedOnly)
                entry.queued = false;
        }
        if (opened)
            body += "</InstanceID>";
    }
    if (body.empty() && queuedOnly)
        return body;
    std::string document = "<Event xmlns=\"";
    AppendEscaped(eventNamespace, document);
    document += "\">";
    document += body;
    document += "</Event>";
    return document;
}

}  // namespace

struct LastChangeEvents::Impl {
    std::string eventNamespace;
    boost::chrono::milliseconds moderation;
    Sender sender;
    mutable boost::mutex mutex;
    boost::condition_variable wake;
    State state;
    size_t queued = 0;
    bool stopping = false;
    bool sentOnce = false;
    boost::chrono::steady_clock::time_point lastSent;
    std::unique_ptr<boost::thread> thread;

    Entry* Find(uint32_t instanceId, const std::string& variable, const NameValueList& attributes) {
        auto instance = state.find(instanceId);
        if (instance == state.end())
            return nullptr;
        for (Entry& entry : instance->second)
            if (entry.variable == variable && entry.attributes == attributes)
                return &entry;
        return nullptr;
    }

    // Takes the queued changes out as one property set, or empty.
    std::string TakeQueued() {
        if (queued == 0)
            return std::string();
        queued = 0;
        return BuildPropertySet({{"LastChange", BuildDocument(eventNamespace, state, true)}});
    }

    void Run() {
        boost::unique_lock<boost::mutex> lock(mutex);
        while (!stopping) {
            if (queued == 0) {
                wake.wait(lock);
                continue;
            }
            const auto now = boost::chrono::steady_clock::now();
            if (sentOnce && now < lastSent + moderation) {
                wake.wait_until(lock, lastSent + moderation);
                continue;
            }
            sentOnce = true;
            const std::string body = TakeQueued();
            lock.unlock();
            Send(body);
            lock.lock();
            // The period runs from the end of a send, so that two sends are a
            // whole period apart however long building or sending one takes.
            lastSent = boost::chrono::steady_clock::now();
        }
    }

    void Send(const std::string& body) {
        const int result = sender(body);
        if (result != 0)
            ZEL_LOGW(ZEL_CORE_CDCONTROL, "LastChange event not sent [%d]", result);
    }
};

LastChangeEvents::LastChangeEvents(const std::string& eventUrl, const std::string& eventNamespace,
                                   int moderationMs, Sender sender)
    : impl_(new Impl) {
    impl_->eventNamespace = eventNamespace;
    impl_->moderation = boost::chrono::milliseconds(moderationMs < 0 ? 0 : moderationMs);
    impl_->sender = sender ? sender : Sender([eventUrl](const std::string& body) {
        return SendMulticastEvent("", body, eventUrl);
    });
    try {
        Impl* impl = impl_.get();
        impl_->thread.reset(new boost::thread([impl] { impl->Run(); }));
        utils::SetNameOnThread(impl_->thread.get(), "ZelLastChange", -1);
    } catch (const std::exception& e) {
        ZEL_LOGE(ZEL_CORE_CDCONTROL, "LastChange thread not started [%s]; events unmoderated",
                 e.what());
    }
}

LastChangeEvents::~LastChangeEvents() {
    if (!impl_->thread)
        return;
    {
        boost::lock_guard<boost::mutex> lock(impl_->mutex);
        impl_->stopping = true;
        impl_->wake.notify_one();
    }
    impl_->thread->join();
}

int LastChangeEvents::Set(uint32_t instanceId, const std::string& variable,
                          const std::string& value, const NameValueList& attributes) {
    if (!IsXmlName(variable))
        return CDC_INVALID_NAME;
    for (const auto& attribute : attributes)
        if (!IsXmlName(attribute.first) || attribute.first == "val")
            return CDC_INVALID_NAME;
    std::string unmoderated;
    {
        boost::lock_guard<boost::mutex> lock(impl_->mutex);
        Entry* entry = impl_->Find(instanceId, variable, attributes);
        if (entry == nullptr) {
            impl_->state[instanceId].push_back(Entry{variable, attributes, value, false});
            entry = &impl_->state[instanceId].back();
        } else if (entry->value == value) {
            return CDC_EVENT_SUCCESS;
        }
        entry->value = value;
        if (!entry->queued) {
            entry->queued = true;
            ++impl_->queued;
        }
        if (impl_->thread)
            impl_->wake.notify_one();
        else
            unmoderated = impl_->TakeQueued();
    }
    if (!unmoderated.empty())
        impl_->Send(unmoderated);
    return CDC_EVENT_SUCCESS;
}

std::string LastChangeEvents::Get(uint32_t instanceId, const std::string& variable,
                                  const NameValueList& attributes) const {
    boost::lock_guard<boost::mutex> lock(impl_->mutex);
    const Entry* entry = impl_->Find(instanceId, variable, attributes);
    return entry == nullptr ? std::string() : entry->value;
}

std::string LastChangeEvents::BuildStateDocument() const {
    boost::lock_guard<boost::mutex> lock(impl_->mutex);
    return BuildDocument(impl_->eventNamespace, impl_->state, false);
}

std::string LastChangeEvents::BuildInitialEvent() const {
    return BuildPropertySet({{"LastChange", BuildStateDocument()}});
}

}  // namespace cd_control
}  // namespace zel_upnp
