#include "utils/src/wifidirect/wifidirect.h"

#include <cctype>
#include <deque>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace utils {

namespace {

const size_t kMacTextLength = 17;

struct ErrorName {
    int code;
    const char* name;
};

const ErrorName kErrorNames[] = {
    {WIFI_DIRECT_ERROR_NOT_PERMITTED, "NOT_PERMITTED"},
    {WIFI_DIRECT_ERROR_OUT_OF_MEMORY, "OUT_OF_MEMORY"},
    {WIFI_DIRECT_ERROR_RESOURCE_BUSY, "RESOURCE_BUSY"},
    {WIFI_DIRECT_ERROR_INVALID_PARAMETER, "INVALID_PARAMETER"},
    {WIFI_DIRECT_ERROR_CONNECTION_TIME_OUT, "CONNECTION_TIME_OUT"},
    {WIFI_DIRECT_ERROR_NOT_INITIALIZED, "NOT_INITIALIZED"},
    {WIFI_DIRECT_ERROR_COMMUNICATION_FAILED, "COMMUNICATION_FAILED"},
    {WIFI_DIRECT_ERROR_WIFI_USED, "WIFI_USED"},
    {WIFI_DIRECT_ERROR_MOBILE_AP_USED, "MOBILE_AP_USED"},
    {WIFI_DIRECT_ERROR_CONNECTION_FAILED, "CONNECTION_FAILED"},
    {WIFI_DIRECT_ERROR_AUTH_FAILED, "AUTH_FAILED"},
    {WIFI_DIRECT_ERROR_OPERATION_FAILED, "OPERATION_FAILED"},
    {WIFI_DIRECT_ERROR_TOO_MANY_CLIENT, "TOO_MANY_CLIENT"},
    {WIFI_DIRECT_ERROR_ALREADY_INITIALIZED, "ALREADY_INITIALIZED"},
    {WIFI_DIRECT_ERROR_CONNECTION_CANCELED, "CONNECTION_CANCELED"},
    {WIFI_DIRECT_ERROR_PBC_SESSION_OVERLAP, "PBC_SESSION_OVERLAP"},
};

// Conversions already made, (asked-for MAC, device MAC), oldest first. Heap
// allocated and never destroyed, so that a lookup during static destruction
// finds it intact.
struct ConversionCache {
    boost::mutex mutex;
    std::deque<PeerAddressPair> entries;
};

ConversionCache& Cache() {
    static ConversionCache* cache = new ConversionCache;
    return *cache;
}

// Held for a whole query, from initialising the service to releasing it: a
// caller that initialised the service releases it when done, which would end
// the enumeration of a concurrent caller that found it already initialised.
// Heap allocated and never destroyed, as the cache.
boost::mutex& QueryMutex() {
    static boost::mutex* mutex = new boost::mutex;
    return *mutex;
}

const char* Text(const char* text) {
    return text == nullptr ? "" : text;
}

}  // namespace

const char* WifiDirectErrorName(int code) {
    for (const ErrorName& entry : kErrorNames) {
        if (entry.code == code)
            return entry.name;
    }
    return "UNKNOWN";
}

bool NormalizeMacAddress(std::string& mac) {
    if (mac.size() != kMacTextLength)
        return false;
    for (char& c : mac) {
        if (c == ':')
            c = '-';
        else
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return true;
}

bool connected_peers_cb_(wifi_direct_connected_peer_info_s* peer, void* user_data) {
    if (peer == nullptr || user_data == nullptr)
        return true;
    PeerAddressList* list = static_cast<PeerAddressList*>(user_data);
    ZEL_LOGD(ZEL_CORE_UTILS, "\nDevice Name: %s", Text(peer->device_name));
    ZEL_LOGD(ZEL_CORE_UTILS, "\nMac Address: %s", Text(peer->mac_address));
    ZEL_LOGD(ZEL_CORE_UTILS, "\nInterface Address: %s", Text(peer->interface_address));
    ZEL_LOGD(ZEL_CORE_UTILS, "\nIP Address: %s", Text(peer->ip_address));
    ZEL_LOGD(ZEL_CORE_UTILS, "\nP2P Support: %s", peer->p2p_supported ? "YES" : "NO");
    ZEL_LOGD(ZEL_CORE_UTILS, "\nChannel: %d", peer->channel);
    ZEL_LOGD(ZEL_CORE_UTILS, "\nWFD Device Type: %d", peer->display_device_type);
    ZEL_LOGD(ZEL_CORE_UTILS, "\nWFD Session Availability: %d", peer->display_session_available);
    ZEL_LOGD(ZEL_CORE_UTILS, "\nCP Support bit(HDCP): %d", peer->display_hdcp_support);
    ZEL_LOGD(ZEL_CORE_UTILS, "\nSession Management Control Port: %d", peer->display_control_port);
    ZEL_LOGD(ZEL_CORE_UTILS, "\nWFD Device Maximum Throughput: %d", peer->display_max_throughput);

    std::string deviceMac = Text(peer->mac_address);
    std::string interfaceMac = Text(peer->interface_address);
    // Addresses of another length are kept as the platform gave them.
    NormalizeMacAddress(deviceMac);
    NormalizeMacAddress(interfaceMac);
    ZEL_LOGD(ZEL_CORE_UTILS, "device_mac_address : %s / interface_mac_address : %s",
             deviceMac.c_str(), interfaceMac.c_str());
    list->push_back(PeerAddressPair(interfaceMac, deviceMac));
    return true;
}

int foreach_connected_peers_and_add_list(PeerAddressList* list) {
    int result = wifi_direct_foreach_connected_peers(connected_peers_cb_, list);
    if (result != WIFI_DIRECT_ERROR_NONE) {
        ZEL_LOGE(ZEL_CORE_UTILS, "error : %s\n", WifiDirectErrorName(result));
        return 0;
    }
    return 1;
}

int getDeviceInfo(PeerAddressList& work, PeerAddressList& out) {
    boost::lock_guard<boost::mutex> query(QueryMutex());
    bool owned = true;
    int result = wifi_direct_initialize();
    if (result == WIFI_DIRECT_ERROR_ALREADY_INITIALIZED) {
        // Someone else (the network monitor) holds the service: use it, but
        // leave its release to its owner.
        ZEL_LOGW(ZEL_CORE_UTILS, "wifi direct already initialized by other");
        owned = false;
    } else if (result != WIFI_DIRECT_ERROR_NONE) {
        ZEL_LOGE(ZEL_CORE_UTILS, "failed to initialize widi [%d]", result);
        return 0;
    }

    wifi_direct_state_e state = WIFI_DIRECT_STATE_DEACTIVATED;
    result = wifi_direct_get_state(&state);
    if (result != WIFI_DIRECT_ERROR_NONE || state != WIFI_DIRECT_STATE_CONNECTED) {
        ZEL_LOGW(ZEL_CORE_UTILS, "widi is not connected [%d]",
                 result != WIFI_DIRECT_ERROR_NONE ? result : static_cast<int>(state));
        if (owned)
            wifi_direct_deinitialize();
        return 0;
    }

    work.clear();
    int enumerated = foreach_connected_peers_and_add_list(&work);
    if (owned)
        wifi_direct_deinitialize();

    out = work;
    ZEL_LOGD(ZEL_CORE_UTILS, "connected device size : %d", static_cast<int>(work.size()));
    return enumerated;
}

std::string getDeviceMac(const std::string& mac) {
    ConversionCache& cache = Cache();
    {
        boost::lock_guard<boost::mutex> lock(cache.mutex);
        for (const PeerAddressPair& entry : cache.entries) {
            if (entry.first == mac) {
                ZEL_LOGI(ZEL_CORE_UTILS, "widi mac converted from [%s] to [%s] from cached",
                         mac.c_str(), entry.second.c_str());
                return entry.second;
            }
        }
    }

    PeerAddressList work;
    PeerAddressList peers;
    if (getDeviceInfo(work, peers) == 0) {
        ZEL_LOGW(ZEL_CORE_UTILS, "failed to get widi connection");
        return std::string();
    }

    boost::lock_guard<boost::mutex> lock(cache.mutex);
    if (cache.entries.size() >= kWifiDirectCacheSize)
        cache.entries.pop_front();
    for (const PeerAddressPair& peer : peers) {
        if (peer.first != mac)
            continue;
        ZEL_LOGI(ZEL_CORE_UTILS, "widi mac converted from [%s] to [%s]", mac.c_str(),
                 peer.second.c_str());
        // A concurrent caller may have converted the same address while the
        // platform was asked; one entry per address keeps the bound honest.
        bool cached = false;
        for (const PeerAddressPair& entry : cache.entries)
            cached = cached || entry.first == mac;
        if (!cached)
            cache.entries.push_back(PeerAddressPair(mac, peer.second));
        return peer.second;
    }
    return std::string();
}

}  // namespace utils
}  // namespace zel_upnp
