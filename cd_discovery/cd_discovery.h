/// @file
/// zel_upnp::cd_discovery: the registry of the application's controlled
/// devices, their SSDP advertisement and search answers, and the serving of
/// their description documents, service descriptions and icons.
///
/// A device is described by "DeviceDescription.xml" in a folder of its own.
/// RegisterDevice parses it (writing a generated UDN back into the file when
/// the document has none) and makes its description reachable over HTTP;
/// StartDevice advertises it and lets it answer searches; StopDevice withdraws
/// it. All calls may be made from any application thread once the framework
/// core has initialised the library with a controlled-device role.
#ifndef ZEL_UPNP_CD_DISCOVERY_H
#define ZEL_UPNP_CD_DISCOVERY_H

#include <string>

#pragma GCC visibility push(default)

namespace zel_upnp {
/// Registered devices: SSDP advertisement, search answers and description serving.
namespace cd_discovery {

// ---------------------------------------------------------------------------
// Result codes of device discovery.
// ---------------------------------------------------------------------------
/// Result codes of device discovery.
enum DiscoveryResult {
    CD_SUCCESS = 0,           ///< done
    CD_FAILURE = 1,           ///< device not found, or an operation failed
    CD_FILE_ERROR = 6000,     ///< empty folder path, or the description could not be written
    CD_BYEBYE_FAILED = 6001,  ///< a bye-bye could not be sent
    CD_INVALID = 6002         ///< invalid description, empty arguments or unknown handle
};

/// What RegisterDevice hands back: the root device's handle (1 for the first
/// registration, never reused) and UDN.
struct RegisteredDeviceInfo {
    /// Handle of the root device: 1 for the first registration, never reused.
    int handle = 0;
    /// UDN of the root device, generated and written into the file when it had none.
    std::string udn;
};

/// Registers the UDP search listener and the interface-event listener. 0, or
/// 1 when either registration failed. The framework core calls it for the
/// controlled-device roles.
int Initialize();
/// Sends bye-bye for every registered device, unregisters everything and
/// forgets every device. 0, or 6001 when a bye-bye could not be sent.
int Terminate();

/// Parses folder/DeviceDescription.xml and registers the root device and its
/// direct embedded devices. descriptionUrl is the path (without a leading
/// "/") under which the description is served and announced, for example
/// "description.xml". The root is registered but not advertised until
/// StartDevice; embedded devices answer searches at once. out.udn receives
/// the root's UDN; out.handle its new handle, or stays as passed when a
/// device with that UDN is already registered (nothing is added then).
/// 0; 1 when no handle was given; 6002 for empty arguments or an invalid
/// description (nothing is registered then).
int RegisterDevice(const std::string& folder, const std::string& descriptionUrl,
                   RegisteredDeviceInfo& out);
/// Forgets the device of handle and its embedded devices without sending
/// bye-bye. 0, or 6002 for an unknown handle.
int UnRegisterDevice(int handle);

/// Advertises the device: bye-bye at once, then alive 200 ms later and again
/// every 0.4 x its max-age. 0, or 1 for an unknown UDN or a failed bye-bye.
int StartDevice(const std::string& udn);
/// Stops advertising and answering searches, and sends bye-bye. 0; 1 for an
/// unknown UDN; 6001 when the bye-bye could not be sent.
int StopDevice(const std::string& udn);
/// Sends one alive burst for the device now. 0, or 6002 for an unknown handle.
int SendAlive(int handle);

/// Rewrites the friendlyName of folder/DeviceDescription.xml and of the
/// device (its user agent follows), re-announcing a started device with
/// bye-bye then alive. 0; 1 when the file could not be read or rewritten,
/// or (before anything is sent) when the name holds a CR, LF or NUL; 6002 for
/// an unknown handle.
int SetFriendlyName(int handle, const std::string& friendlyName, const std::string& folder);
/// 0 with the device's friendly name; 1 when it is empty; 6002 for an unknown
/// handle.
int GetFriendlyName(int handle, std::string& friendlyName);

/// Per-device settings; each 0, or 1 for an unknown handle.
/// The port written into the control and event URLs of the served
/// description (0, the default, serves the document as it is).
int SetPortNumber(int handle, int port);
/// Adds "Application-URL: scheme://<local address>:port/path" to the
/// description response (port 80 when below 1); an empty path removes it.
/// 1, changing nothing, when scheme or path holds a CR, LF or NUL.
int SetApplicationUrl(int handle, const std::string& scheme, int port, const std::string& path);
/// The timeout carried in the WAKEUP header of answers to searches for the
/// wake-up service type; 0 (the default) sends no WAKEUP header.
int SetWakeupTimeout(int handle, unsigned timeout);

}  // namespace cd_discovery
}  // namespace zel_upnp

#pragma GCC visibility pop

#endif
