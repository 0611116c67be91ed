// Finding and sending the documents a device serves: its description
// (rewritten for the interface the request came in on), its service
// descriptions and its icons, all held in memory since the registration.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>
#include "cd_discovery/src/device_info_list.h"

namespace zel_upnp {
namespace cd_discovery {

// What a request path names, copied out of the device list so that the file
// can be read and sent without its mutex.
struct DescriptionTarget {
    DeviceDocumentsPtr documents;
    std::string fileKey;   // in documents->files; unused for the description
    std::string mimetype;  // set for an icon only
    std::string userAgent;
    std::string udn;
    bool isDescription = false;  // the device description itself
    bool isIcon = false;
    std::string applicationUrlScheme;
    int applicationUrlPort = 0;
    std::string applicationUrlPath;
    int port = 0;  // written into the description's URLs when above 0
};

enum class DescriptionLookup {
    kFound,
    kNotFound  // no active device serves the path
};

// Looks path (the request path without its leading "/") up in the device
// list, under its mutex: the description URL, an SCPD URL or an icon URL,
// each compared exactly.
DescriptionLookup GetDeviceDescDetails(const std::string& path, DescriptionTarget& target);

// Builds the answer from the target's document and sends it on session,
// which it consumes. Returns the send result; a file that could not be read
// at registration is answered 404.
int SendDescription(const boost::shared_ptr<utils::HTTPInfo>& request,
                    const DescriptionTarget& target, void* session);

// Reads every SCPD and icon that root and its direct embedded devices name
// from folder (icons up to kMaxIconBytes, inside the folder only) and
// keeps them with description. On the registering thread.
DeviceDocumentsPtr LoadDeviceDocuments(const std::string& folder, const std::string& description,
                                       const DeviceInfo& root);
// The same documents with another description (after a rewrite).
DeviceDocumentsPtr WithDescription(const DeviceDocumentsPtr& documents,
                                   const std::string& description);

// The description text with every SCPDURL, controlURL and eventSubURL made
// an absolute URL on localAddress (an IPv6 one bracketed, without zone) and
// port.
std::string RewriteDescriptionUrls(const std::string& text, const std::string& localAddress,
                                   int port);

// Sends text on session (a heap copy that the network layer takes over);
// frees the copy when the send fails. Returns the send result.
int SendTextResponse(const std::string& text, void* session);
// The same without a copy: text moves into the heap string.
int SendOwnedResponse(std::string&& text, void* session);

extern const char kBadRequestResponse[];
extern const char kNotFoundResponse[];

}  // namespace cd_discovery
}  // namespace zel_upnp
