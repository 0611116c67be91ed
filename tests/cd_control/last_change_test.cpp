#include <zel_upnp/cd_control.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <zel_upnp/utils.h>

namespace {

namespace cc = zel_upnp::cd_control;
using Clock = std::chrono::steady_clock;

const char kAvt[] = "<Event xmlns=\"urn:schemas-upnp-org:metadata-1-0/AVT/\">";

// Records what the helper sends, with the time it was sent.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<Clock::time_point, std::string> > bodies;

    cc::LastChangeEvents::Sender Sender() {
        return [this](const std::string& body) {
            std::lock_guard<std::mutex> lock(mutex);
            bodies.emplace_back(Clock::now(), body);
            changed.notify_all();
            return 0;
        };
    }
    // The LastChange value of the n-th event, unescaped once, after waiting
    // up to 10 s for it; empty when it never came.
    std::string Document(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return bodies.size() > n; }))
            return std::string();
        return LastChangeOf(bodies[n].second);
    }
    static std::string LastChangeOf(const std::string& body) {
        const size_t start = body.find("<LastChange>") + 12;
        std::string text;
        zel_upnp::utils::XmlUnescapeValue(body.substr(start, body.find("</LastChange>") - start),
                                          text);
        return text;
    }
};

TEST(LastChange, AccumulatesPerInstanceAndKeepsTheLatestValue) {
    Recorder sent;
    cc::LastChangeEvents events("/AVTransport/event", cc::kLastChangeAVTransport, 60000,
                                sent.Sender());
    EXPECT_EQ(events.Set(0, "TransportState", "STOPPED"), 0);
    ASSERT_EQ(sent.Document(0), std::string(kAvt) +
                                    "<InstanceID val=\"0\"><TransportState val=\"STOPPED\"/>"
                                    "</InstanceID></Event>");
    // Within the moderation period: merged into one later event.
    const struct {
        uint32_t instance;
        const char* variable;
        const char* value;
        cc::NameValueList attributes;
    } changes[] = {{1, "TransportState", "PLAYING", {}},
                   {0, "TransportState", "PLAYING", {}},
                   {0, "Volume", "20", {{"channel", "Master"}}},
                   {0, "Volume", "7", {{"channel", "LF"}}},
                   {0, "TransportState", "PAUSED_PLAYBACK", {}},
                   {0, "Volume", "20", {{"channel", "Master"}}}};  // unchanged: no entry
    for (const auto& c : changes)
        EXPECT_EQ(events.Set(c.instance, c.variable, c.value, c.attributes), 0);
    EXPECT_EQ(events.Set(0, "bad name", "x"), cc::CDC_INVALID_NAME);
    EXPECT_EQ(events.Set(0, "Volume", "x", {{"val", "1"}}), cc::CDC_INVALID_NAME);
    EXPECT_EQ(events.Get(0, "Volume", {{"channel", "LF"}}), "7");
    EXPECT_EQ(events.BuildStateDocument(),
              std::string(kAvt) +
                  "<InstanceID val=\"0\"><TransportState val=\"PAUSED_PLAYBACK\"/>"
                  "<Volume channel=\"Master\" val=\"20\"/><Volume channel=\"LF\" val=\"7\"/>"
                  "</InstanceID><InstanceID val=\"1\"><TransportState val=\"PLAYING\"/>"
                  "</InstanceID></Event>");
    EXPECT_EQ(Recorder::LastChangeOf(events.BuildInitialEvent()), events.BuildStateDocument());
    std::lock_guard<std::mutex> lock(sent.mutex);
    EXPECT_EQ(sent.bodies.size(), 1u);  // the rest waits for the period
}

TEST(LastChange, AtMostOneEventPerPeriod) {
    Recorder sent;
    cc::LastChangeEvents events("/RenderingControl/event", cc::kLastChangeRenderingControl, 200,
                                sent.Sender());
    events.Set(0, "Mute", "0", {{"channel", "Master"}});
    ASSERT_NE(sent.Document(0), "");
    for (int volume = 1; volume <= 30; ++volume)
        events.Set(0, "Volume", std::to_string(volume), {{"channel", "Master"}});
    // Normally one merged event; a preempted loop may straddle a period.
    std::string document;
    for (size_t n = 1; n < 30; ++n) {
        document = sent.Document(n);
        if (document.empty() || document.find("val=\"30\"") != std::string::npos)
            break;
    }
    EXPECT_EQ(document,
              "<Event xmlns=\"urn:schemas-upnp-org:metadata-1-0/RCS/\"><InstanceID val=\"0\">"
              "<Volume channel=\"Master\" val=\"30\"/></InstanceID></Event>");
    std::lock_guard<std::mutex> lock(sent.mutex);
    for (size_t i = 1; i < sent.bodies.size(); ++i)
        EXPECT_GE(sent.bodies[i].first - sent.bodies[i - 1].first, std::chrono::milliseconds(200));
}

// The Event document is escaped once inside LastChange: a control point
// that unescapes the property set once reads attribute values back exactly.
TEST(LastChange, ValuesSurviveBothLayersOfEscaping) {
    Recorder sent;
    cc::LastChangeEvents events("/AVTransport/event", cc::kLastChangeAVTransport, 0, sent.Sender());
    const std::string didl =
        "<DIDL-Lite xmlns=\"urn:x\"><item id='1'><dc:title>A &amp; B</dc:title></item></DIDL-Lite>";
    events.Set(0, "CurrentTrackMetaData", didl);
    const std::string document = sent.Document(0);
    const std::string head = "<CurrentTrackMetaData val=\"";
    const size_t start = document.find(head) + head.size();
    const std::string attribute = document.substr(start, document.find("\"/>", start) - start);
    EXPECT_EQ(attribute.find_first_of("<>\""), std::string::npos) << attribute;
    std::string value;
    ASSERT_EQ(zel_upnp::utils::XmlUnescapeValue(attribute, value), zel_upnp::utils::UTILS_SUCCESS);
    EXPECT_EQ(value, didl);
}

}  // namespace
