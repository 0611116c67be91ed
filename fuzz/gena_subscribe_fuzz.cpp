// A GENA request taken by the subscribe handler's own entry point, without
// sockets: the message is parsed as an incoming session does and handed to
// OnTCPRequestReceived with no session, so every answer is built and its
// send fails harmlessly. The handler is registered with a dispatcher that
// runs no threads and knows one service; the initial event is put off for a
// day, and the subscribers an input makes are dropped (timers cancelled)
// before the next input.
//
// Input: up to eight requests separated by a line "--", handled in turn, so
// that SUBSCRIBE, renewal and UNSUBSCRIBE meet in every order. SIDs are
// random, so a renewal or UNSUBSCRIBE reaches a subscriber only by chance;
// what is fuzzed is the reading of CALLBACK, TIMEOUT, SID, NT and the
// request line.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/make_shared.hpp>

#include "cd_control/src/subscribe_handler.h"
#include "network_layer/src/callbackhandler.h"
#include "utils/src/httpparser/httpparser.h"

namespace {

using namespace zel_upnp;

const char kEventUrl[] = "/upnp/event/SwitchPower1";
const char kSeparator[] = "\n--\n";
// Requests of one input handled at most; bounds the work of one run.
constexpr int kMaxRequests = 8;
// Far enough that no initial event fires while fuzzing.
constexpr int kNeverMs = 24 * 3600 * 1000;

boost::shared_ptr<cd_control::SubscribeHandler> Handler() {
    static boost::shared_ptr<cd_control::SubscribeHandler> handler = [] {
        network_layer::CallBackHandler::CreateInstance();
        // Real seconds: the handler bounds TIMEOUT so that seconds times this
        // fits a timer. A short TIMEOUT may expire during a run, as it would
        // on a device.
        cd_control::EventTimings timings;
        timings.initialEventDelayMs = kNeverMs;
        if (cd_control::SubscribeHandler::Create(timings) != 0)
            __builtin_trap();
        boost::shared_ptr<cd_control::SubscribeHandler> made =
            cd_control::SubscribeHandler::Instance();
        if (!made || !made->RegisterService(kEventUrl, "SwitchPower", {}))
            __builtin_trap();
        return made;
    }();
    return handler;
}

void Handle(const std::string& message) {
    boost::shared_ptr<utils::HTTPInfo> request = boost::make_shared<utils::HTTPInfo>();
    if (utils::Parse(message.data(), static_cast<unsigned>(message.size()), request) != 0 ||
        request->GetState() != utils::MESSAGE_COMPLETE)
        return;
    request->SetClientIpAddress("10.0.0.2");
    request->SetClientPort(50000);
    request->SetMyIpAddress("10.0.0.1");
    Handler()->OnTCPRequestReceived(request, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t from = 0;
    for (int i = 0; i < kMaxRequests && from <= input.size(); ++i) {
        const size_t end = input.find(kSeparator, from);
        Handle(input.substr(from, end == std::string::npos ? std::string::npos : end - from));
        if (end == std::string::npos)
            break;
        from = end + sizeof(kSeparator) - 1;
    }
    Handler()->CleanSubscribers();
    return 0;
}
