// Reading a device description into DeviceInfo records, and the in-place
// rewrites of the description file: a generated UDN where the document has
// none, and a new friendly name.
#pragma once

#include <string>

#include "cd_discovery/src/device_info_list.h"

namespace zel_upnp {
namespace cd_discovery {

// Name of the description document inside a device's folder.
extern const char kDescriptionFileName[];

// Parses folder/DeviceDescription.xml into device (the root) and its
// embedded devices, generating and writing back the UDN of a root or direct
// embedded device that has none. descriptionUrl and descriptionFolder are
// set on the root and its direct embedded devices; nothing is registered
// with the network layer. 0, or 6002 for an unreadable or invalid document.
int ParseDescription(const std::string& folder, const std::string& descriptionUrl,
                     DeviceInfo& device);

// Replaces the first empty UDN element of the root device (of a direct
// embedded device, after "<deviceList>", for the Emb variant) with a freshly
// generated "uuid:<random UUID>" and returns that UDN in udn. 0; 1 when the
// element or the file is missing; 6000 for an empty folder or an unwritable
// file.
int ModifyDescriptionByCreatingUDN(const std::string& folder, std::string& udn);
int ModifyDescriptionByCreatingEmbUDN(const std::string& folder, std::string& udn);

// Replaces the text of the first friendlyName element. 0; 1 when the file
// cannot be read or has no friendlyName element; 6000 when it cannot be
// rewritten.
int ModifyDescriptionByFriendName(const std::string& name, const std::string& folder);

}  // namespace cd_discovery
}  // namespace zel_upnp
