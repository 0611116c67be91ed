// A SOAP action request as the action handler reads it: the message parsed,
// its SOAPACTION split into service type and action name, its body walked
// for the action element and the argument list, and a response built
// around what was read. An input that is not a complete HTTP message is
// taken as the body alone.
//
// Traps when a split SOAPACTION gives an empty part or an action name with
// "#", and when an argument has no name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "cd_control/src/action_handler.h"
#include "utils/src/httpparser/httpparser.h"

namespace {

using namespace zel_upnp;

void CheckSoapAction(const std::string& value) {
    std::string serviceType, actionName;
    if (!cd_control::ExtractServiceTypeAndAction(value, serviceType, actionName))
        return;
    if (serviceType.empty() || actionName.empty() || actionName.find('#') != std::string::npos)
        __builtin_trap();
}

void CheckBody(const std::string& body) {
    std::vector<boost::shared_ptr<cd_control::StrArgument>> arguments;
    if (!cd_control::ParseSOAPMessage(body, arguments))
        return;
    std::string out;
    for (const boost::shared_ptr<cd_control::StrArgument>& argument : arguments) {
        if (!argument || argument->name.empty())
            __builtin_trap();
        out += "<" + argument->name + ">" + argument->value + "</" + argument->name + ">";
    }
    cd_control::BuildActionResponse(200, "Sun, 06 Dec 2026 00:30:00 GMT", "fuzz", out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    boost::shared_ptr<utils::HTTPInfo> request = boost::make_shared<utils::HTTPInfo>();
    if (utils::Parse(input.data(), static_cast<unsigned>(input.size()), request) != 0 ||
        request->GetState() != utils::MESSAGE_COMPLETE) {
        CheckBody(input);
        return 0;
    }
    std::string soapAction;
    if (request->GetHeaderValue("SOAPACTION", soapAction) == 0)
        CheckSoapAction(soapAction);
    std::string body;
    request->ReadBody(body);
    CheckBody(body);
    return 0;
}
