// Finding and sending the documents a device serves: its description
// (rewritten for the interface the request came in on), its service
// descriptions and its icons, all read from the device's folder.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include <zel_upnp/utils.h>

namespace zel_upnp {
namespace cd_discovery {

// What a request path names, copied out of the device list so that the file
// can be read and sent without its mutex.
struct DescriptionTarget {
    std::string filePath;
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
    kNotFound,  // no active device serves the path
    kRefused    // an icon path that would leave the device's folder
};

// Looks path (the request URI without its leading "/" or host) up in the
// device list, under its mutex.
DescriptionLookup GetDeviceDescDetails(const std::string& path, DescriptionTarget& target);

// Reads the target's file, builds the answer and sends it on session, which
// it consumes. Returns the send result; a file that cannot be read is
// answered 404.
int SendDescription(const boost::shared_ptr<utils::HTTPInfo>& request,
                    const DescriptionTarget& target, void* session);

// The icon answer (head and file bytes) in one malloc block of length bytes;
// null when the file cannot be read.
char* GetDeviceIconResponse(const std::string& filePath, const std::string& mimetype, int& length);

// The description text with every SCPDURL, controlURL and eventSubURL made
// an absolute URL on localAddress and port.
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
