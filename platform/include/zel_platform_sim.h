/* Control of the simulated device services of a generic build (the
 * connection manager, Wi-Fi and Wi-Fi Direct of zel_platform_services.h).
 * Tests, and an application that wants to try the device's code paths on an
 * ordinary Linux machine, drive the simulated interfaces from here. Not
 * present when the library is built for the device (ZEL_PLATFORM=device).
 *
 * State changes take effect at once for the service calls; the callbacks
 * they cause are queued to the simulation's own callback thread
 * ("ZelSimCb"). zel_sim_flush waits until every queued callback has run. */
#ifndef ZEL_PLATFORM_SIM_H
#define ZEL_PLATFORM_SIM_H

#include "zel_platform_services.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZEL_SIM_API __attribute__((visibility("default")))

/* Back to the initial state: every service uninitialised, no callback
 * registered, Ethernet, Wi-Fi and Wi-Fi Direct down, no peer, no injected
 * error, call counts zero, kernel monitor selected. Waits for queued
 * callbacks first. */
ZEL_SIM_API void zel_sim_reset(void);

/* Ethernet link. Up with a non-empty address makes the Ethernet state
 * connected and the profile state connected; down makes both disconnected.
 * A change of address while up raises the address-change callback. */
ZEL_SIM_API void zel_sim_set_ethernet(int link_up, const char* address, const char* mask,
                                      const char* mac);

/* Wi-Fi radio on or off (device-state callback) and the connection to an
 * access point (connection-state callback with the state given). The
 * address, mask and MAC are what the connected access point reports. */
ZEL_SIM_API void zel_sim_set_wifi_device(int activated);
ZEL_SIM_API void zel_sim_set_wifi_connection(wifi_connection_state_e state, const char* address,
                                             const char* mask, const char* mac);

/* Wi-Fi Direct service state (what wifi_direct_get_state reports), the P2P
 * interface's own address, and a connection-state callback to raise. */
ZEL_SIM_API void zel_sim_set_wifi_direct_state(wifi_direct_state_e state);
ZEL_SIM_API void zel_sim_set_wifi_direct_address(const char* address, const char* mask,
                                                 const char* mac);
ZEL_SIM_API void zel_sim_raise_wifi_direct_connection(int error_code,
                                                      wifi_direct_connection_state_e state,
                                                      const char* peer_mac);

/* Connected Wi-Fi Direct peers, in enumeration order. */
ZEL_SIM_API void zel_sim_add_wifi_direct_peer(const char* device_name, const char* ip_address,
                                              const char* device_mac, const char* interface_mac);
ZEL_SIM_API void zel_sim_clear_wifi_direct_peers(void);

/* Raw callbacks with arbitrary values (unknown states, null user data):
 * the user data registered is replaced by user_data when replace_user_data
 * is non-zero. */
ZEL_SIM_API void zel_sim_raise_connection_type(int type, int replace_user_data, void* user_data);
ZEL_SIM_API void zel_sim_raise_ethernet_profile_state(int state, int replace_user_data,
                                                      void* user_data);
ZEL_SIM_API void zel_sim_raise_wifi_device_state(int state, int replace_user_data, void* user_data);

/* Makes the named service function (for example "connection_create" or
 * "wifi_direct_initialize") return error for its next `times` calls
 * (negative: until cleared with times 0), without doing anything else. */
ZEL_SIM_API void zel_sim_inject_error(const char* function, int error, int times);

/* How often the named service function has been called since the last
 * reset. */
ZEL_SIM_API int zel_sim_call_count(const char* function);

/* Waits (at most two seconds) until every queued callback has run. Returns
 * 0, or -1 when the queue did not drain in time. Must not be called from a
 * callback. */
ZEL_SIM_API int zel_sim_flush(void);

/* Non-zero: the interface registry creates the monitor that follows these
 * simulated services instead of the kernel monitor. Read when the monitor
 * is created (InitializeNetworkMonitor). */
ZEL_SIM_API void zel_sim_use_service_monitor(int enabled);
ZEL_SIM_API int zel_sim_service_monitor_selected(void);

#ifdef __cplusplus
}
#endif

#endif
