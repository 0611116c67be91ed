/* The device platform's connection-manager, Wi-Fi and Wi-Fi Direct C
 * services, as far as the network monitor and the Wi-Fi Direct peer lookup
 * use them. On the device (ZEL_PLATFORM=device) the platform's own libraries
 * provide these functions; a generic build carries an in-memory simulation of
 * them (platform/generic), driven through zel_platform_sim.h.
 *
 * Every function returns 0 on success or a negative error code. Strings
 * handed out are malloc'ed and released by the caller with free. Callbacks
 * run on the service's own callback thread, never on the caller's. */
#ifndef ZEL_PLATFORM_SERVICES_H
#define ZEL_PLATFORM_SERVICES_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Connection manager ------------------------------------------------ */

typedef void* connection_h;
typedef void* connection_profile_h;
typedef void* connection_profile_iterator_h;

typedef enum {
    CONNECTION_TYPE_DISCONNECTED = 0,
    CONNECTION_TYPE_WIFI = 1,
    CONNECTION_TYPE_CELLULAR = 2,
    CONNECTION_TYPE_ETHERNET = 3,
} connection_type_e;

typedef enum {
    CONNECTION_PROFILE_TYPE_CELLULAR = 0,
    CONNECTION_PROFILE_TYPE_WIFI = 1,
    CONNECTION_PROFILE_TYPE_ETHERNET = 2,
} connection_profile_type_e;

typedef enum {
    CONNECTION_PROFILE_STATE_DISCONNECTED = 0,
    CONNECTION_PROFILE_STATE_ASSOCIATION = 1,
    CONNECTION_PROFILE_STATE_CONFIGURATION = 2,
    CONNECTION_PROFILE_STATE_CONNECTED = 3,
    CONNECTION_PROFILE_STATE_ONLINE = 4,
} connection_profile_state_e;

typedef enum {
    CONNECTION_ETHERNET_STATE_DEACTIVATED = 0,
    CONNECTION_ETHERNET_STATE_DISCONNECTED = 1,
    CONNECTION_ETHERNET_STATE_CONNECTED = 2,
} connection_ethernet_state_e;

typedef enum {
    CONNECTION_ITERATOR_TYPE_REGISTERED = 0,
    CONNECTION_ITERATOR_TYPE_CONNECTED = 1,
} connection_iterator_type_e;

typedef enum {
    CONNECTION_ADDRESS_FAMILY_IPV4 = 0,
    CONNECTION_ADDRESS_FAMILY_IPV6 = 1,
} connection_address_family_e;

typedef void (*connection_type_changed_cb)(connection_type_e type, void* user_data);
typedef void (*connection_address_changed_cb)(const char* ipv4_address, const char* ipv6_address,
                                              void* user_data);
typedef void (*connection_profile_state_changed_cb)(connection_profile_state_e state,
                                                    void* user_data);

int connection_create(connection_h* connection);
int connection_destroy(connection_h connection);
int connection_set_type_changed_cb(connection_h connection, connection_type_changed_cb callback,
                                   void* user_data);
int connection_unset_type_changed_cb(connection_h connection);
int connection_set_ip_address_changed_cb(connection_h connection,
                                         connection_address_changed_cb callback, void* user_data);
int connection_unset_ethernet_state_chaged_cb(connection_h connection);
int connection_get_profile_iterator(connection_h connection, connection_iterator_type_e type,
                                    connection_profile_iterator_h* iterator);
bool connection_profile_iterator_has_next(connection_profile_iterator_h iterator);
int connection_profile_iterator_next(connection_profile_iterator_h iterator,
                                     connection_profile_h* profile);
int connection_destroy_profile_iterator(connection_profile_iterator_h iterator);
int connection_get_current_profile(connection_h connection, connection_profile_h* profile);
int connection_get_ethernet_state(connection_h connection, connection_ethernet_state_e* state);
int connection_get_mac_address(connection_h connection, connection_type_e type, char** mac);
int connection_profile_get_type(connection_profile_h profile, connection_profile_type_e* type);
int connection_profile_clone(connection_profile_h* cloned, connection_profile_h origin);
int connection_profile_destroy(connection_profile_h profile);
int connection_profile_set_state_changed_cb(connection_profile_h profile,
                                            connection_profile_state_changed_cb callback,
                                            void* user_data);
int connection_profile_unset_state_changed_cb(connection_profile_h profile);
int connection_profile_get_ip_address(connection_profile_h profile,
                                      connection_address_family_e family, char** address);
int connection_profile_get_subnet_mask(connection_profile_h profile,
                                       connection_address_family_e family, char** mask);
int connection_profile_get_network_interface_name(connection_profile_h profile, char** name);

/* ---- Wi-Fi ------------------------------------------------------------- */

typedef void* wifi_ap_h;

/* wifi_initialize's answer when the service is already initialised; callers
 * accept it like success. */
#define WIFI_ERROR_ALREADY_INITIALIZED (-38)

typedef enum {
    WIFI_DEVICE_STATE_DEACTIVATED = 0,
    WIFI_DEVICE_STATE_ACTIVATED = 1,
} wifi_device_state_e;

typedef enum {
    WIFI_CONNECTION_STATE_FAILURE = -1,
    WIFI_CONNECTION_STATE_DISCONNECTED = 0,
    WIFI_CONNECTION_STATE_ASSOCIATION = 1,
    WIFI_CONNECTION_STATE_CONFIGURATION = 2,
    WIFI_CONNECTION_STATE_CONNECTED = 3,
} wifi_connection_state_e;

typedef enum {
    WIFI_ADDRESS_FAMILY_IPV4 = 0,
    WIFI_ADDRESS_FAMILY_IPV6 = 1,
} wifi_address_family_e;

typedef void (*wifi_device_state_changed_cb)(wifi_device_state_e state, void* user_data);
typedef void (*wifi_connection_state_changed_cb)(wifi_connection_state_e state, wifi_ap_h ap,
                                                 void* user_data);

int wifi_initialize(void);
int wifi_deinitialize(void);
int wifi_set_device_state_changed_cb(wifi_device_state_changed_cb callback, void* user_data);
int wifi_unset_device_state_changed_cb(void);
int wifi_set_connection_state_changed_cb(wifi_connection_state_changed_cb callback,
                                         void* user_data);
int wifi_unset_connection_state_changed_cb(void);
/* The handle is the caller's; release it with wifi_ap_destroy. */
int wifi_get_connected_ap(wifi_ap_h* ap);
int wifi_ap_destroy(wifi_ap_h ap);
int wifi_ap_get_ip_address(wifi_ap_h ap, wifi_address_family_e family, char** address);
int wifi_ap_get_subnet_mask(wifi_ap_h ap, wifi_address_family_e family, char** mask);
int wifi_get_network_interface_name(char** name);
int wifi_get_mac_address(char** mac);

/* ---- Wi-Fi Direct ------------------------------------------------------ */

#define WIFI_DIRECT_ERROR_NONE 0
#define WIFI_DIRECT_ERROR_NOT_PERMITTED (-1)
#define WIFI_DIRECT_ERROR_OUT_OF_MEMORY (-12)
#define WIFI_DIRECT_ERROR_RESOURCE_BUSY (-16)
#define WIFI_DIRECT_ERROR_INVALID_PARAMETER (-22)
#define WIFI_DIRECT_ERROR_CONNECTION_TIME_OUT (-110)
#define WIFI_DIRECT_ERROR_NOT_INITIALIZED ((int)0xfe3a0001)
#define WIFI_DIRECT_ERROR_COMMUNICATION_FAILED ((int)0xfe3a0002)
#define WIFI_DIRECT_ERROR_WIFI_USED ((int)0xfe3a0003)
#define WIFI_DIRECT_ERROR_MOBILE_AP_USED ((int)0xfe3a0004)
#define WIFI_DIRECT_ERROR_CONNECTION_FAILED ((int)0xfe3a0005)
#define WIFI_DIRECT_ERROR_AUTH_FAILED ((int)0xfe3a0006)
#define WIFI_DIRECT_ERROR_OPERATION_FAILED ((int)0xfe3a0007)
#define WIFI_DIRECT_ERROR_TOO_MANY_CLIENT ((int)0xfe3a0008)
#define WIFI_DIRECT_ERROR_ALREADY_INITIALIZED ((int)0xfe3a0009)
#define WIFI_DIRECT_ERROR_CONNECTION_CANCELED ((int)0xfe3a0010)
#define WIFI_DIRECT_ERROR_PBC_SESSION_OVERLAP ((int)0xfe3a0011)

typedef enum {
    WIFI_DIRECT_STATE_DEACTIVATED = 0,
    WIFI_DIRECT_STATE_DEACTIVATING = 1,
    WIFI_DIRECT_STATE_ACTIVATING = 2,
    WIFI_DIRECT_STATE_ACTIVATED = 3,
    WIFI_DIRECT_STATE_DISCOVERING = 4,
    WIFI_DIRECT_STATE_CONNECTING = 5,
    WIFI_DIRECT_STATE_DISCONNECTING = 6,
    WIFI_DIRECT_STATE_CONNECTED = 7,
    WIFI_DIRECT_STATE_GROUP_OWNER = 8,
} wifi_direct_state_e;

typedef enum {
    WIFI_DIRECT_CONNECTION_REQ = 0,
    WIFI_DIRECT_CONNECTION_WPS_REQ = 1,
    WIFI_DIRECT_CONNECTION_IN_PROGRESS = 2,
    WIFI_DIRECT_CONNECTION_RSP = 3,
    WIFI_DIRECT_DISASSOCIATION_IND = 4,
    WIFI_DIRECT_DISCONNECTION_RSP = 5,
    WIFI_DIRECT_DISCONNECTION_IND = 6,
    WIFI_DIRECT_GROUP_CREATED = 7,
    WIFI_DIRECT_GROUP_DESTROYED = 8,
    WIFI_DIRECT_INVITATION_REQ = 9,
    WIFI_DIRECT_CONNECTION_WAIT = 10,
    WIFI_DIRECT_CONNECTION_INTERNAL = 11,
} wifi_direct_connection_state_e;

/* One connected peer, valid only during the enumeration callback. */
typedef struct {
    char* device_name;
    char* ip_address;
    char* mac_address;       /* P2P device address */
    char* interface_address; /* P2P interface address */
    bool p2p_supported;
    int channel;
    int display_device_type;
    int display_session_available;
    int display_hdcp_support;
    int display_control_port;
    int display_max_throughput;
} wifi_direct_connected_peer_info_s;

typedef void (*wifi_direct_connection_state_changed_cb)(int error_code,
                                                        wifi_direct_connection_state_e state,
                                                        const char* mac_address, void* user_data);
/* Returns true to continue the enumeration. */
typedef bool (*wifi_direct_connected_peer_cb)(wifi_direct_connected_peer_info_s* peer,
                                              void* user_data);

int wifi_direct_initialize(void);
int wifi_direct_deinitialize(void);
int wifi_direct_set_connection_state_changed_cb(wifi_direct_connection_state_changed_cb callback,
                                                void* user_data);
int wifi_direct_unset_connection_state_changed_cb(void);
int wifi_direct_unset_discovery_state_changed_cb(void);
int wifi_direct_unset_device_state_changed_cb(void);
int wifi_direct_unset_client_ip_address_assigned_cb(void);
int wifi_direct_get_state(wifi_direct_state_e* state);
int wifi_direct_get_ip_address(char** address);
int wifi_direct_get_subnet_mask(char** mask);
int wifi_direct_get_mac_address(char** mac);
int wifi_direct_get_network_interface_name(char** name);
/* Returns WIFI_DIRECT_ERROR_NOT_PERMITTED (-1) when no peer is connected. */
int wifi_direct_foreach_connected_peers(wifi_direct_connected_peer_cb callback, void* user_data);

#ifdef __cplusplus
}
#endif

#endif
