// Simulated connection-manager, Wi-Fi and Wi-Fi Direct services of a generic
// build. All state lives in memory behind one mutex; the callbacks a change
// causes are queued to one callback thread ("ZelSimCb") and look their
// registration up when they run, so that a callback unset before delivery is
// never called. The mutex is never held while a callback runs.

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <boost/chrono.hpp>
#include <boost/function.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/utils.h>
#include "zel_platform_sim.h"

namespace {

const char kCallbackThreadBaseName[] = "ZelSimCb";
const int kNoThreadIndex = -1;
// How long zel_sim_flush waits for the callback queue to drain.
const int kFlushTimeoutMs = 2000;
// Bound of the callback queue: a test that floods the simulation drops
// callbacks beyond it rather than growing without end.
const size_t kMaxQueuedCallbacks = 4096;

// Codes of the simulation for failures the callers only log.
const int kErrInvalidOperation = -1003;
const int kErrInvalidParameter = -22;
const int kErrNoConnection = -1001;
const int kErrNotInitialized = -1002;

struct SimConnection {
    connection_type_changed_cb type_cb = nullptr;
    void* type_user = nullptr;
    connection_address_changed_cb address_cb = nullptr;
    void* address_user = nullptr;
};

struct SimProfile {
    connection_profile_type_e type;
};

struct SimIterator {
    std::vector<SimProfile*> profiles;
    size_t next = 0;
};

struct SimAp {
    std::string address;
    std::string mask;
};

struct SimPeer {
    std::string name, ip, device_mac, interface_mac;
};

struct SimState {
    boost::mutex mutex;
    boost::condition_variable idle;
    std::deque<boost::function<void()> > queue;
    bool delivering = false;
    bool thread_started = false;

    std::map<std::string, std::pair<int, int> > injected;  // name -> (error, times)
    std::map<std::string, int> calls;

    std::vector<SimConnection*> connections;
    connection_profile_state_changed_cb ethernet_profile_cb = nullptr;
    void* ethernet_profile_user = nullptr;

    bool eth_up = false;
    std::string eth_address, eth_mask, eth_mac;

    bool wifi_initialized = false;
    bool wifi_activated = false;
    wifi_connection_state_e wifi_state = WIFI_CONNECTION_STATE_DISCONNECTED;
    std::string wifi_address, wifi_mask, wifi_mac;
    wifi_device_state_changed_cb wifi_device_cb = nullptr;
    void* wifi_device_user = nullptr;
    wifi_connection_state_changed_cb wifi_connection_cb = nullptr;
    void* wifi_connection_user = nullptr;

    bool wfd_initialized = false;
    wifi_direct_state_e wfd_state = WIFI_DIRECT_STATE_DEACTIVATED;
    std::string wfd_address, wfd_mask, wfd_mac;
    std::vector<SimPeer> peers;
    wifi_direct_connection_state_changed_cb wfd_connection_cb = nullptr;
    void* wfd_connection_user = nullptr;

    bool service_monitor = false;
};

SimState& State() {
    // Never destroyed: the callback thread may outlive static destruction.
    static SimState* state = new SimState;
    return *state;
}

bool EthernetConnected(const SimState& s) {
    return s.eth_up && !s.eth_address.empty();
}

bool WifiConnected(const SimState& s) {
    return s.wifi_activated && s.wifi_state == WIFI_CONNECTION_STATE_CONNECTED;
}

connection_type_e CurrentType(const SimState& s) {
    if (EthernetConnected(s))
        return CONNECTION_TYPE_ETHERNET;
    if (WifiConnected(s))
        return CONNECTION_TYPE_WIFI;
    return CONNECTION_TYPE_DISCONNECTED;
}

std::string CurrentAddress(const SimState& s) {
    switch (CurrentType(s)) {
        case CONNECTION_TYPE_ETHERNET:
            return s.eth_address;
        case CONNECTION_TYPE_WIFI:
            return s.wifi_address;
        default:
            return std::string();
    }
}

void CallbackLoop() {
    SimState& s = State();
    boost::unique_lock<boost::mutex> lock(s.mutex);
    for (;;) {
        while (s.queue.empty())
            s.idle.wait(lock);
        boost::function<void()> job = s.queue.front();
        s.queue.pop_front();
        s.delivering = true;
        lock.unlock();
        job();
        lock.lock();
        s.delivering = false;
        s.idle.notify_all();
    }
}

// Caller holds s.mutex. The job runs on the callback thread without it.
void Enqueue(SimState& s, const boost::function<void()>& job) {
    if (s.queue.size() >= kMaxQueuedCallbacks)
        return;
    if (!s.thread_started) {
        try {
            boost::thread* thread = new boost::thread(CallbackLoop);
            zel_upnp::utils::SetNameOnThread(
                thread, zel_upnp::utils::PrepareThreadName(kCallbackThreadBaseName),
                kNoThreadIndex);
            thread->detach();
            delete thread;
            s.thread_started = true;
        } catch (...) {
            return;
        }
    }
    s.queue.push_back(job);
    s.idle.notify_all();
}

// Counts the call and answers an injected error, if any. Caller holds the
// state's mutex.
int Enter(SimState& s, const char* function) {
    ++s.calls[function];
    std::map<std::string, std::pair<int, int> >::iterator it = s.injected.find(function);
    if (it == s.injected.end())
        return 0;
    int error = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0)
        s.injected.erase(it);
    return error;
}

#define SIM_ENTER(s)                               \
    SimState& s = State();                         \
    boost::lock_guard<boost::mutex> lock(s.mutex); \
    if (int injected_ = Enter(s, __func__))        \
    return injected_

char* Duplicate(const std::string& text) {
    return strdup(text.c_str());
}

int HandOut(const std::string& text, char** out) {
    if (out == nullptr)
        return kErrInvalidParameter;
    *out = Duplicate(text);
    return *out == nullptr ? WIFI_DIRECT_ERROR_OUT_OF_MEMORY : 0;
}

bool IsKnownConnection(const SimState& s, connection_h connection) {
    for (size_t i = 0; i < s.connections.size(); ++i) {
        if (s.connections[i] == connection)
            return true;
    }
    return false;
}

// Queued deliveries. Each looks its registration up when it runs, through
// the accessor given, so that an unset in between is respected.
void QueueTypeChanged(SimState& s, connection_type_e type) {
    for (size_t i = 0; i < s.connections.size(); ++i) {
        SimConnection* c = s.connections[i];
        Enqueue(s, [c, type] {
            SimState& st = State();
            connection_type_changed_cb cb = nullptr;
            void* user = nullptr;
            {
                boost::lock_guard<boost::mutex> lock(st.mutex);
                if (!IsKnownConnection(st, c))
                    return;
                cb = c->type_cb;
                user = c->type_user;
            }
            if (cb != nullptr)
                cb(type, user);
        });
    }
}

void QueueAddressChanged(SimState& s, const std::string& address) {
    for (size_t i = 0; i < s.connections.size(); ++i) {
        SimConnection* c = s.connections[i];
        Enqueue(s, [c, address] {
            SimState& st = State();
            connection_address_changed_cb cb = nullptr;
            void* user = nullptr;
            {
                boost::lock_guard<boost::mutex> lock(st.mutex);
                if (!IsKnownConnection(st, c))
                    return;
                cb = c->address_cb;
                user = c->address_user;
            }
            if (cb != nullptr)
                cb(address.c_str(), "", user);
        });
    }
}

void QueueProfileState(SimState& s, int state, bool replace, void* replacement) {
    Enqueue(s, [state, replace, replacement] {
        SimState& st = State();
        connection_profile_state_changed_cb cb = nullptr;
        void* user = nullptr;
        {
            boost::lock_guard<boost::mutex> lock(st.mutex);
            cb = st.ethernet_profile_cb;
            user = replace ? replacement : st.ethernet_profile_user;
        }
        if (cb != nullptr)
            cb(static_cast<connection_profile_state_e>(state), user);
    });
}

void QueueWifiDevice(SimState& s, int state, bool replace, void* replacement) {
    Enqueue(s, [state, replace, replacement] {
        SimState& st = State();
        wifi_device_state_changed_cb cb = nullptr;
        void* user = nullptr;
        {
            boost::lock_guard<boost::mutex> lock(st.mutex);
            cb = st.wifi_device_cb;
            user = replace ? replacement : st.wifi_device_user;
        }
        if (cb != nullptr)
            cb(static_cast<wifi_device_state_e>(state), user);
    });
}

void QueueWifiConnection(SimState& s, wifi_connection_state_e state) {
    SimAp ap;
    ap.address = s.wifi_address;
    ap.mask = s.wifi_mask;
    Enqueue(s, [state, ap] {
        SimState& st = State();
        wifi_connection_state_changed_cb cb = nullptr;
        void* user = nullptr;
        {
            boost::lock_guard<boost::mutex> lock(st.mutex);
            cb = st.wifi_connection_cb;
            user = st.wifi_connection_user;
        }
        // The handle is valid for the duration of the callback only.
        SimAp copy = ap;
        if (cb != nullptr)
            cb(state, &copy, user);
    });
}

// Raises the connection-manager callbacks that follow from a change of the
// Ethernet or Wi-Fi state. Caller holds the mutex.
void QueueConnectionChanges(SimState& s, connection_type_e oldType, const std::string& oldAddress) {
    connection_type_e newType = CurrentType(s);
    std::string newAddress = CurrentAddress(s);
    if (newType != oldType)
        QueueTypeChanged(s, newType);
    if (newType != CONNECTION_TYPE_DISCONNECTED && newAddress != oldAddress)
        QueueAddressChanged(s, newAddress);
}

}  // namespace

// ---------------------------------------------------------------------------
// Connection manager
// ---------------------------------------------------------------------------

extern "C" int connection_create(connection_h* connection) {
    SIM_ENTER(s);
    if (connection == nullptr)
        return kErrInvalidParameter;
    SimConnection* c = new (std::nothrow) SimConnection;
    if (c == nullptr)
        return WIFI_DIRECT_ERROR_OUT_OF_MEMORY;
    s.connections.push_back(c);
    *connection = c;
    return 0;
}

extern "C" int connection_destroy(connection_h connection) {
    SIM_ENTER(s);
    for (size_t i = 0; i < s.connections.size(); ++i) {
        if (s.connections[i] == connection) {
            delete s.connections[i];
            s.connections.erase(s.connections.begin() + i);
            return 0;
        }
    }
    return kErrInvalidParameter;
}

extern "C" int connection_set_type_changed_cb(connection_h connection,
                                              connection_type_changed_cb callback,
                                              void* user_data) {
    SIM_ENTER(s);
    if (!IsKnownConnection(s, connection) || callback == nullptr)
        return kErrInvalidParameter;
    static_cast<SimConnection*>(connection)->type_cb = callback;
    static_cast<SimConnection*>(connection)->type_user = user_data;
    return 0;
}

extern "C" int connection_unset_type_changed_cb(connection_h connection) {
    SIM_ENTER(s);
    if (!IsKnownConnection(s, connection))
        return kErrInvalidParameter;
    static_cast<SimConnection*>(connection)->type_cb = nullptr;
    return 0;
}

extern "C" int connection_set_ip_address_changed_cb(connection_h connection,
                                                    connection_address_changed_cb callback,
                                                    void* user_data) {
    SIM_ENTER(s);
    if (!IsKnownConnection(s, connection) || callback == nullptr)
        return kErrInvalidParameter;
    static_cast<SimConnection*>(connection)->address_cb = callback;
    static_cast<SimConnection*>(connection)->address_user = user_data;
    return 0;
}

extern "C" int connection_unset_ethernet_state_chaged_cb(connection_h connection) {
    SIM_ENTER(s);
    if (!IsKnownConnection(s, connection))
        return kErrInvalidParameter;
    // The address callback goes with the connection's other registrations.
    static_cast<SimConnection*>(connection)->address_cb = nullptr;
    return 0;
}

extern "C" int connection_get_profile_iterator(connection_h connection,
                                               connection_iterator_type_e type,
                                               connection_profile_iterator_h* iterator) {
    SIM_ENTER(s);
    (void)type;
    if (!IsKnownConnection(s, connection) || iterator == nullptr)
        return kErrInvalidParameter;
    SimIterator* it = new (std::nothrow) SimIterator;
    if (it == nullptr)
        return WIFI_DIRECT_ERROR_OUT_OF_MEMORY;
    // The device always has its Ethernet profile; the Wi-Fi profile exists
    // while an access point is connected.
    it->profiles.push_back(new SimProfile{CONNECTION_PROFILE_TYPE_ETHERNET});
    if (WifiConnected(s))
        it->profiles.push_back(new SimProfile{CONNECTION_PROFILE_TYPE_WIFI});
    *iterator = it;
    return 0;
}

extern "C" bool connection_profile_iterator_has_next(connection_profile_iterator_h iterator) {
    SimIterator* it = static_cast<SimIterator*>(iterator);
    return it != nullptr && it->next < it->profiles.size();
}

extern "C" int connection_profile_iterator_next(connection_profile_iterator_h iterator,
                                                connection_profile_h* profile) {
    SIM_ENTER(s);
    SimIterator* it = static_cast<SimIterator*>(iterator);
    if (it == nullptr || profile == nullptr || it->next >= it->profiles.size())
        return kErrInvalidParameter;
    *profile = it->profiles[it->next++];
    return 0;
}

extern "C" int connection_destroy_profile_iterator(connection_profile_iterator_h iterator) {
    SimIterator* it = static_cast<SimIterator*>(iterator);
    if (it == nullptr)
        return kErrInvalidParameter;
    for (size_t i = 0; i < it->profiles.size(); ++i)
        delete it->profiles[i];
    delete it;
    return 0;
}

extern "C" int connection_get_current_profile(connection_h connection,
                                              connection_profile_h* profile) {
    SIM_ENTER(s);
    if (!IsKnownConnection(s, connection) || profile == nullptr)
        return kErrInvalidParameter;
    switch (CurrentType(s)) {
        case CONNECTION_TYPE_ETHERNET:
            *profile = new SimProfile{CONNECTION_PROFILE_TYPE_ETHERNET};
            return 0;
        case CONNECTION_TYPE_WIFI:
            *profile = new SimProfile{CONNECTION_PROFILE_TYPE_WIFI};
            return 0;
        default:
            return kErrNoConnection;
    }
}

extern "C" int connection_get_ethernet_state(connection_h connection,
                                             connection_ethernet_state_e* state) {
    SIM_ENTER(s);
    if (!IsKnownConnection(s, connection) || state == nullptr)
        return kErrInvalidParameter;
    *state = EthernetConnected(s) ? CONNECTION_ETHERNET_STATE_CONNECTED
                                  : CONNECTION_ETHERNET_STATE_DISCONNECTED;
    return 0;
}

extern "C" int connection_get_mac_address(connection_h connection, connection_type_e type,
                                          char** mac) {
    SIM_ENTER(s);
    if (!IsKnownConnection(s, connection))
        return kErrInvalidParameter;
    if (type == CONNECTION_TYPE_ETHERNET)
        return HandOut(s.eth_mac, mac);
    if (type == CONNECTION_TYPE_WIFI)
        return HandOut(s.wifi_mac, mac);
    return kErrInvalidParameter;
}

extern "C" int connection_profile_get_type(connection_profile_h profile,
                                           connection_profile_type_e* type) {
    SIM_ENTER(s);
    if (profile == nullptr || type == nullptr)
        return kErrInvalidParameter;
    *type = static_cast<SimProfile*>(profile)->type;
    return 0;
}

extern "C" int connection_profile_clone(connection_profile_h* cloned, connection_profile_h origin) {
    SIM_ENTER(s);
    if (cloned == nullptr || origin == nullptr)
        return kErrInvalidParameter;
    *cloned = new (std::nothrow) SimProfile(*static_cast<SimProfile*>(origin));
    return *cloned == nullptr ? WIFI_DIRECT_ERROR_OUT_OF_MEMORY : 0;
}

extern "C" int connection_profile_destroy(connection_profile_h profile) {
    SIM_ENTER(s);
    if (profile == nullptr)
        return kErrInvalidParameter;
    delete static_cast<SimProfile*>(profile);
    return 0;
}

extern "C" int connection_profile_set_state_changed_cb(connection_profile_h profile,
                                                       connection_profile_state_changed_cb callback,
                                                       void* user_data) {
    SIM_ENTER(s);
    if (profile == nullptr || callback == nullptr)
        return kErrInvalidParameter;
    if (static_cast<SimProfile*>(profile)->type != CONNECTION_PROFILE_TYPE_ETHERNET)
        return kErrInvalidOperation;
    s.ethernet_profile_cb = callback;
    s.ethernet_profile_user = user_data;
    return 0;
}

extern "C" int connection_profile_unset_state_changed_cb(connection_profile_h profile) {
    SIM_ENTER(s);
    if (profile == nullptr)
        return kErrInvalidParameter;
    if (static_cast<SimProfile*>(profile)->type == CONNECTION_PROFILE_TYPE_ETHERNET)
        s.ethernet_profile_cb = nullptr;
    return 0;
}

namespace {

int ProfileField(const char* function, connection_profile_h profile, bool mask, char** out) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    if (int injected = Enter(s, function))
        return injected;
    if (profile == nullptr)
        return kErrInvalidParameter;
    if (static_cast<SimProfile*>(profile)->type == CONNECTION_PROFILE_TYPE_ETHERNET)
        return HandOut(mask ? s.eth_mask : s.eth_address, out);
    return HandOut(mask ? s.wifi_mask : s.wifi_address, out);
}

}  // namespace

extern "C" int connection_profile_get_ip_address(connection_profile_h profile,
                                                 connection_address_family_e family,
                                                 char** address) {
    if (family != CONNECTION_ADDRESS_FAMILY_IPV4)
        return kErrInvalidParameter;
    return ProfileField(__func__, profile, false, address);
}

extern "C" int connection_profile_get_subnet_mask(connection_profile_h profile,
                                                  connection_address_family_e family, char** mask) {
    if (family != CONNECTION_ADDRESS_FAMILY_IPV4)
        return kErrInvalidParameter;
    return ProfileField(__func__, profile, true, mask);
}

extern "C" int connection_profile_get_network_interface_name(connection_profile_h profile,
                                                             char** name) {
    SIM_ENTER(s);
    if (profile == nullptr)
        return kErrInvalidParameter;
    bool ethernet = static_cast<SimProfile*>(profile)->type == CONNECTION_PROFILE_TYPE_ETHERNET;
    return HandOut(ethernet ? "sim-eth" : "sim-wlan", name);
}

// ---------------------------------------------------------------------------
// Wi-Fi
// ---------------------------------------------------------------------------

extern "C" int wifi_initialize(void) {
    SIM_ENTER(s);
    if (s.wifi_initialized)
        return WIFI_ERROR_ALREADY_INITIALIZED;
    s.wifi_initialized = true;
    return 0;
}

extern "C" int wifi_deinitialize(void) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    s.wifi_initialized = false;
    s.wifi_device_cb = nullptr;
    s.wifi_connection_cb = nullptr;
    return 0;
}

extern "C" int wifi_set_device_state_changed_cb(wifi_device_state_changed_cb callback,
                                                void* user_data) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    if (callback == nullptr)
        return kErrInvalidParameter;
    s.wifi_device_cb = callback;
    s.wifi_device_user = user_data;
    return 0;
}

extern "C" int wifi_unset_device_state_changed_cb(void) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    s.wifi_device_cb = nullptr;
    return 0;
}

extern "C" int wifi_set_connection_state_changed_cb(wifi_connection_state_changed_cb callback,
                                                    void* user_data) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    if (callback == nullptr)
        return kErrInvalidParameter;
    s.wifi_connection_cb = callback;
    s.wifi_connection_user = user_data;
    return 0;
}

extern "C" int wifi_unset_connection_state_changed_cb(void) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    s.wifi_connection_cb = nullptr;
    return 0;
}

extern "C" int wifi_get_connected_ap(wifi_ap_h* ap) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    if (ap == nullptr)
        return kErrInvalidParameter;
    if (!WifiConnected(s))
        return kErrNoConnection;
    *ap = new (std::nothrow) SimAp{s.wifi_address, s.wifi_mask};
    return *ap == nullptr ? WIFI_DIRECT_ERROR_OUT_OF_MEMORY : 0;
}

extern "C" int wifi_ap_destroy(wifi_ap_h ap) {
    if (ap == nullptr)
        return kErrInvalidParameter;
    delete static_cast<SimAp*>(ap);
    return 0;
}

extern "C" int wifi_ap_get_ip_address(wifi_ap_h ap, wifi_address_family_e family, char** address) {
    SIM_ENTER(s);
    if (ap == nullptr || family != WIFI_ADDRESS_FAMILY_IPV4)
        return kErrInvalidParameter;
    return HandOut(static_cast<SimAp*>(ap)->address, address);
}

extern "C" int wifi_ap_get_subnet_mask(wifi_ap_h ap, wifi_address_family_e family, char** mask) {
    SIM_ENTER(s);
    if (ap == nullptr || family != WIFI_ADDRESS_FAMILY_IPV4)
        return kErrInvalidParameter;
    return HandOut(static_cast<SimAp*>(ap)->mask, mask);
}

extern "C" int wifi_get_network_interface_name(char** name) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    return HandOut("sim-wlan", name);
}

extern "C" int wifi_get_mac_address(char** mac) {
    SIM_ENTER(s);
    if (!s.wifi_initialized)
        return kErrNotInitialized;
    return HandOut(s.wifi_mac, mac);
}

// ---------------------------------------------------------------------------
// Wi-Fi Direct
// ---------------------------------------------------------------------------

extern "C" int wifi_direct_initialize(void) {
    SIM_ENTER(s);
    if (s.wfd_initialized)
        return WIFI_DIRECT_ERROR_ALREADY_INITIALIZED;
    s.wfd_initialized = true;
    return 0;
}

extern "C" int wifi_direct_deinitialize(void) {
    SIM_ENTER(s);
    if (!s.wfd_initialized)
        return WIFI_DIRECT_ERROR_NOT_INITIALIZED;
    s.wfd_initialized = false;
    s.wfd_connection_cb = nullptr;
    return 0;
}

extern "C" int wifi_direct_set_connection_state_changed_cb(
    wifi_direct_connection_state_changed_cb callback, void* user_data) {
    SIM_ENTER(s);
    if (!s.wfd_initialized)
        return WIFI_DIRECT_ERROR_NOT_INITIALIZED;
    if (callback == nullptr)
        return WIFI_DIRECT_ERROR_INVALID_PARAMETER;
    s.wfd_connection_cb = callback;
    s.wfd_connection_user = user_data;
    return 0;
}

extern "C" int wifi_direct_unset_connection_state_changed_cb(void) {
    SIM_ENTER(s);
    if (!s.wfd_initialized)
        return WIFI_DIRECT_ERROR_NOT_INITIALIZED;
    s.wfd_connection_cb = nullptr;
    return 0;
}

// The simulation raises no discovery, device or client-address callbacks;
// their release only has to be accepted.
extern "C" int wifi_direct_unset_discovery_state_changed_cb(void) {
    SIM_ENTER(s);
    return s.wfd_initialized ? 0 : WIFI_DIRECT_ERROR_NOT_INITIALIZED;
}

extern "C" int wifi_direct_unset_device_state_changed_cb(void) {
    SIM_ENTER(s);
    return s.wfd_initialized ? 0 : WIFI_DIRECT_ERROR_NOT_INITIALIZED;
}

extern "C" int wifi_direct_unset_client_ip_address_assigned_cb(void) {
    SIM_ENTER(s);
    return s.wfd_initialized ? 0 : WIFI_DIRECT_ERROR_NOT_INITIALIZED;
}

extern "C" int wifi_direct_get_state(wifi_direct_state_e* state) {
    SIM_ENTER(s);
    if (!s.wfd_initialized)
        return WIFI_DIRECT_ERROR_NOT_INITIALIZED;
    if (state == nullptr)
        return WIFI_DIRECT_ERROR_INVALID_PARAMETER;
    *state = s.wfd_state;
    return 0;
}

namespace {

int WifiDirectField(const char* function, const std::string SimState::*field, char** out) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    if (int injected = Enter(s, function))
        return injected;
    if (!s.wfd_initialized)
        return WIFI_DIRECT_ERROR_NOT_INITIALIZED;
    if ((s.*field).empty())
        return WIFI_DIRECT_ERROR_OPERATION_FAILED;
    return HandOut(s.*field, out);
}

}  // namespace

extern "C" int wifi_direct_get_ip_address(char** address) {
    return WifiDirectField(__func__, &SimState::wfd_address, address);
}

extern "C" int wifi_direct_get_subnet_mask(char** mask) {
    return WifiDirectField(__func__, &SimState::wfd_mask, mask);
}

extern "C" int wifi_direct_get_mac_address(char** mac) {
    return WifiDirectField(__func__, &SimState::wfd_mac, mac);
}

extern "C" int wifi_direct_get_network_interface_name(char** name) {
    SIM_ENTER(s);
    if (!s.wfd_initialized)
        return WIFI_DIRECT_ERROR_NOT_INITIALIZED;
    return HandOut("sim-p2p", name);
}

extern "C" int wifi_direct_foreach_connected_peers(wifi_direct_connected_peer_cb callback,
                                                   void* user_data) {
    std::vector<SimPeer> peers;
    {
        SIM_ENTER(s);
        if (!s.wfd_initialized)
            return WIFI_DIRECT_ERROR_NOT_INITIALIZED;
        if (callback == nullptr)
            return WIFI_DIRECT_ERROR_INVALID_PARAMETER;
        if (s.peers.empty())
            return WIFI_DIRECT_ERROR_NOT_PERMITTED;
        peers = s.peers;
    }
    // On the caller's thread, as the enumeration is synchronous.
    for (size_t i = 0; i < peers.size(); ++i) {
        wifi_direct_connected_peer_info_s info;
        std::memset(&info, 0, sizeof(info));
        info.device_name = &peers[i].name[0];
        info.ip_address = &peers[i].ip[0];
        info.mac_address = &peers[i].device_mac[0];
        info.interface_address = &peers[i].interface_mac[0];
        info.p2p_supported = true;
        info.channel = 6;
        if (!callback(&info, user_data))
            break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Control
// ---------------------------------------------------------------------------

namespace {

std::string Text(const char* text) {
    return text == nullptr ? std::string() : std::string(text);
}

// Waits, without the mutex, until the queue is empty and nothing is being
// delivered.
int WaitIdle(SimState& s, boost::unique_lock<boost::mutex>& lock) {
    boost::chrono::steady_clock::time_point deadline =
        boost::chrono::steady_clock::now() + boost::chrono::milliseconds(kFlushTimeoutMs);
    while (!s.queue.empty() || s.delivering) {
        if (s.idle.wait_until(lock, deadline) == boost::cv_status::timeout)
            return -1;
    }
    return 0;
}

}  // namespace

extern "C" int zel_sim_flush(void) {
    SimState& s = State();
    boost::unique_lock<boost::mutex> lock(s.mutex);
    return WaitIdle(s, lock);
}

extern "C" void zel_sim_reset(void) {
    SimState& s = State();
    boost::unique_lock<boost::mutex> lock(s.mutex);
    WaitIdle(s, lock);
    s.queue.clear();
    s.injected.clear();
    s.calls.clear();
    // Handles still held by a monitor stay valid memory-wise only if the
    // monitor was stopped first; reset is for between tests.
    for (size_t i = 0; i < s.connections.size(); ++i)
        delete s.connections[i];
    s.connections.clear();
    s.ethernet_profile_cb = nullptr;
    s.eth_up = false;
    s.eth_address.clear();
    s.eth_mask.clear();
    s.eth_mac.clear();
    s.wifi_initialized = false;
    s.wifi_activated = false;
    s.wifi_state = WIFI_CONNECTION_STATE_DISCONNECTED;
    s.wifi_address.clear();
    s.wifi_mask.clear();
    s.wifi_mac.clear();
    s.wifi_device_cb = nullptr;
    s.wifi_connection_cb = nullptr;
    s.wfd_initialized = false;
    s.wfd_state = WIFI_DIRECT_STATE_DEACTIVATED;
    s.wfd_address.clear();
    s.wfd_mask.clear();
    s.wfd_mac.clear();
    s.peers.clear();
    s.wfd_connection_cb = nullptr;
    s.service_monitor = false;
}

extern "C" void zel_sim_set_ethernet(int link_up, const char* address, const char* mask,
                                     const char* mac) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    connection_type_e oldType = CurrentType(s);
    std::string oldAddress = CurrentAddress(s);
    bool wasConnected = EthernetConnected(s);
    s.eth_up = link_up != 0;
    s.eth_address = Text(address);
    s.eth_mask = Text(mask);
    s.eth_mac = Text(mac);
    bool connected = EthernetConnected(s);
    if (connected != wasConnected)
        QueueProfileState(
            s,
            connected ? CONNECTION_PROFILE_STATE_CONNECTED : CONNECTION_PROFILE_STATE_DISCONNECTED,
            false, nullptr);
    QueueConnectionChanges(s, oldType, oldAddress);
}

extern "C" void zel_sim_set_wifi_device(int activated) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    if ((activated != 0) == s.wifi_activated)
        return;
    connection_type_e oldType = CurrentType(s);
    std::string oldAddress = CurrentAddress(s);
    bool wasConnected = WifiConnected(s);
    s.wifi_activated = activated != 0;
    QueueWifiDevice(s, activated ? WIFI_DEVICE_STATE_ACTIVATED : WIFI_DEVICE_STATE_DEACTIVATED,
                    false, nullptr);
    if (!s.wifi_activated) {
        s.wifi_state = WIFI_CONNECTION_STATE_DISCONNECTED;
        if (wasConnected)
            QueueWifiConnection(s, WIFI_CONNECTION_STATE_DISCONNECTED);
    }
    QueueConnectionChanges(s, oldType, oldAddress);
}

extern "C" void zel_sim_set_wifi_connection(wifi_connection_state_e state, const char* address,
                                            const char* mask, const char* mac) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    connection_type_e oldType = CurrentType(s);
    std::string oldAddress = CurrentAddress(s);
    s.wifi_state = state;
    s.wifi_address = Text(address);
    s.wifi_mask = Text(mask);
    s.wifi_mac = Text(mac);
    QueueWifiConnection(s, state);
    QueueConnectionChanges(s, oldType, oldAddress);
}

extern "C" void zel_sim_set_wifi_direct_state(wifi_direct_state_e state) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    s.wfd_state = state;
}

extern "C" void zel_sim_set_wifi_direct_address(const char* address, const char* mask,
                                                const char* mac) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    s.wfd_address = Text(address);
    s.wfd_mask = Text(mask);
    s.wfd_mac = Text(mac);
}

extern "C" void zel_sim_raise_wifi_direct_connection(int error_code,
                                                     wifi_direct_connection_state_e state,
                                                     const char* peer_mac) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    std::string mac = Text(peer_mac);
    Enqueue(s, [error_code, state, mac] {
        SimState& st = State();
        wifi_direct_connection_state_changed_cb cb = nullptr;
        void* user = nullptr;
        {
            boost::lock_guard<boost::mutex> lock(st.mutex);
            cb = st.wfd_connection_cb;
            user = st.wfd_connection_user;
        }
        if (cb != nullptr)
            cb(error_code, state, mac.c_str(), user);
    });
}

extern "C" void zel_sim_add_wifi_direct_peer(const char* device_name, const char* ip_address,
                                             const char* device_mac, const char* interface_mac) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    s.peers.push_back(
        SimPeer{Text(device_name), Text(ip_address), Text(device_mac), Text(interface_mac)});
}

extern "C" void zel_sim_clear_wifi_direct_peers(void) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    s.peers.clear();
}

extern "C" void zel_sim_raise_connection_type(int type, int replace_user_data, void* user_data) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    for (size_t i = 0; i < s.connections.size(); ++i) {
        SimConnection* c = s.connections[i];
        bool replace = replace_user_data != 0;
        Enqueue(s, [c, type, replace, user_data] {
            SimState& st = State();
            connection_type_changed_cb cb = nullptr;
            void* user = nullptr;
            {
                boost::lock_guard<boost::mutex> lock(st.mutex);
                if (!IsKnownConnection(st, c))
                    return;
                cb = c->type_cb;
                user = replace ? user_data : c->type_user;
            }
            if (cb != nullptr)
                cb(static_cast<connection_type_e>(type), user);
        });
    }
}

extern "C" void zel_sim_raise_ethernet_profile_state(int state, int replace_user_data,
                                                     void* user_data) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    QueueProfileState(s, state, replace_user_data != 0, user_data);
}

extern "C" void zel_sim_raise_wifi_device_state(int state, int replace_user_data, void* user_data) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    QueueWifiDevice(s, state, replace_user_data != 0, user_data);
}

extern "C" void zel_sim_inject_error(const char* function, int error, int times) {
    if (function == nullptr)
        return;
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    if (times == 0 || error == 0)
        s.injected.erase(function);
    else
        s.injected[function] = std::make_pair(error, times);
}

extern "C" int zel_sim_call_count(const char* function) {
    if (function == nullptr)
        return 0;
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    std::map<std::string, int>::const_iterator it = s.calls.find(function);
    return it == s.calls.end() ? 0 : it->second;
}

extern "C" void zel_sim_use_service_monitor(int enabled) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    s.service_monitor = enabled != 0;
}

extern "C" int zel_sim_service_monitor_selected(void) {
    SimState& s = State();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    return s.service_monitor ? 1 : 0;
}
