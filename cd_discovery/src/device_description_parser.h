// Reading a device description into DeviceInfo records, and the rewrites of
// the description file: a generated UDN where the document has none, and a
// new friendly name.
#pragma once

#include <string>

#include "cd_discovery/src/device_info_list.h"

namespace zel_upnp {
namespace cd_discovery {

// Name of the description document inside a device's folder.
extern const char kDescriptionFileName[];

// Parses folder/DeviceDescription.xml into device (the root) and its
// embedded devices. A root or direct embedded device whose UDN element is
// empty gets a generated UDN in that element, written back into the file;
// where the file cannot be rewritten it gets a UDN derived from the
// machine's MAC, the folder and its place in the document, the same at
// every start. descriptionUrl, descriptionFolder and the documents to serve
// (the description as rewritten, SCPDs and icons) are set on the root and
// its direct embedded devices; nothing is registered with the network
// layer. 0, or 6002 for an unreadable or invalid document or a device
// without a UDN element of its own (the file is then left as it was).
int ParseDescription(const std::string& folder, const std::string& descriptionUrl,
                     DeviceInfo& device);

// Replaces the text of the first friendlyName element and rewrites the file
// whole (renamed over the old one); text receives the new document. 0; 1
// when the file cannot be read or has no friendlyName element; 6000 when it
// cannot be rewritten.
int ModifyDescriptionByFriendName(const std::string& name, const std::string& folder,
                                  std::string& text);

}  // namespace cd_discovery
}  // namespace zel_upnp
