// Escaping and name checks shared by the body builders and the LastChange
// document. Pure functions; any thread.
#ifndef ZEL_UPNP_CD_CONTROL_XML_TEXT_H
#define ZEL_UPNP_CD_CONTROL_XML_TEXT_H

#include <string>

namespace zel_upnp {
namespace cd_control {

/// An ASCII XML name: [A-Za-z_] then [A-Za-z0-9_.-].
bool IsXmlName(const std::string& name);
/// Appends value as element text or attribute content (double-quoted),
/// every markup character and control byte made harmless.
void AppendEscaped(const std::string& value, std::string& out);

}  // namespace cd_control
}  // namespace zel_upnp

#endif
