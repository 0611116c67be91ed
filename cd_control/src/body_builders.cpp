// SOAP and GENA bodies built for the application. Pure functions of their
// arguments: no lock, no state, callable from any thread, including from
// inside an action or initial-event handler.
#include <zel_upnp/cd_control.h>

#include "cd_control/src/xml_text.h"

namespace zel_upnp {
namespace cd_control {

// XML 1.0 names restricted to ASCII: what service descriptions use, and
// nothing a control point's parser could read differently.
namespace {
bool IsNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
}  // namespace

bool IsXmlName(const std::string& name) {
    if (name.empty() || !IsNameStart(name[0]))
        return false;
    for (char c : name)
        if (!(IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'))
            return false;
    return true;
}

namespace {
bool HasControlByte(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return true;
    return false;
}

}  // namespace

// Text and attribute content alike. Tab, LF and CR become character
// references so that attribute normalisation cannot turn them into spaces;
// the other C0 bytes cannot appear in an XML 1.0 document at all, even as
// references, so they become U+FFFD rather than a document the control
// point refuses whole.
void AppendEscaped(const std::string& value, std::string& out) {
    for (char c : value) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20)
                    out += "\xEF\xBF\xBD";
                else
                    out += c;
                break;
        }
    }
}

namespace {
void AppendElement(const std::string& name, const std::string& value, std::string& out) {
    out += '<';
    out += name;
    out += '>';
    AppendEscaped(value, out);
    out += "</";
    out += name;
    out += '>';
}

bool AllNamesValid(const NameValueList& list) {
    for (const auto& entry : list)
        if (!IsXmlName(entry.first))
            return false;
    return true;
}

}  // namespace

std::string BuildActionResponse(const std::string& serviceType, const std::string& actionName,
                                const NameValueList& outArguments) {
    if (serviceType.empty() || HasControlByte(serviceType) || !IsXmlName(actionName) ||
        !AllNamesValid(outArguments))
        return std::string();
    std::string body;
    body.reserve(64 + 2 * actionName.size() + serviceType.size() + 32 * outArguments.size());
    body += "<u:";
    body += actionName;
    body += "Response xmlns:u=\"";
    AppendEscaped(serviceType, body);
    body += "\">";
    for (const auto& argument : outArguments)
        AppendElement(argument.first, argument.second, body);
    body += "</u:";
    body += actionName;
    body += "Response>";
    return body;
}

std::string BuildUPnPFault(int errorCode, const std::string& errorDescription) {
    std::string body =
        "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
        "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>";
    body += std::to_string(errorCode);
    body += "</errorCode><errorDescription>";
    AppendEscaped(errorDescription, body);
    body += "</errorDescription></UPnPError></detail></s:Fault>";
    return body;
}

std::string BuildPropertySet(const NameValueList& variables) {
    if (variables.empty() || !AllNamesValid(variables))
        return std::string();
    // No XML declaration: the eventing calls put theirs in front of the body.
    std::string body = "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
    for (const auto& variable : variables) {
        body += "<e:property>";
        AppendElement(variable.first, variable.second, body);
        body += "</e:property>";
    }
    body += "</e:propertyset>";
    return body;
}

bool GetActionArgument(const std::vector<boost::shared_ptr<StrArgument> >& arguments,
                       const std::string& name, std::string& value) {
    if (name.empty())
        return false;
    for (const auto& argument : arguments) {
        if (!argument)
            continue;
        const std::string& tag = argument->name;
        const size_t colon = tag.rfind(':');
        const size_t start = colon == std::string::npos ? 0 : colon + 1;
        if (tag.size() - start == name.size() && tag.compare(start, name.size(), name) == 0) {
            value = argument->value;
            return true;
        }
    }
    return false;
}

int SendActionResult(const int& actionId, const std::string& serviceType,
                     const std::string& actionName, const NameValueList& outArguments) {
    const std::string body = BuildActionResponse(serviceType, actionName, outArguments);
    if (body.empty())
        return CDC_INVALID_NAME;
    return SendActionResponse(200, "", body, actionId);
}

int SendActionFault(const int& actionId, int errorCode, const std::string& errorDescription) {
    return SendActionResponse(500, "", BuildUPnPFault(errorCode, errorDescription), actionId);
}

}  // namespace cd_control
}  // namespace zel_upnp
