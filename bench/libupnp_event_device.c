/* Reference device for the NOTIFY fan-out benchmark, written on Debian's
 * libupnp (an independent UPnP library): it serves a description folder,
 * accepts every subscription with the current Status, and on SIGUSR1 sends
 * EVENTS Status events to all subscribers with UpnpNotify.
 *
 *   libupnp-event-device IFNAME PORT FOLDER EVENTS
 *
 * Prints "ready" once registered and "sent N in S s" after the events;
 * exits on SIGINT or SIGTERM. */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <upnp.h>

static UpnpDevice_Handle g_handle;
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static char g_udn[256];
static char g_service[256];

static int Callback(Upnp_EventType type, const void* event, void* cookie) {
    (void)cookie;
    if (type != UPNP_EVENT_SUBSCRIPTION_REQUEST)
        return 0;
    const UpnpSubscriptionRequest* request = (const UpnpSubscriptionRequest*)event;
    const char* names[] = {"Status"};
    const char* values[] = {"0"};
    pthread_mutex_lock(&g_mutex);
    snprintf(g_udn, sizeof(g_udn), "%s", UpnpSubscriptionRequest_get_UDN_cstr(request));
    snprintf(g_service, sizeof(g_service), "%s",
             UpnpSubscriptionRequest_get_ServiceId_cstr(request));
    pthread_mutex_unlock(&g_mutex);
    UpnpAcceptSubscription(g_handle, UpnpSubscriptionRequest_get_UDN_cstr(request),
                           UpnpSubscriptionRequest_get_ServiceId_cstr(request), names, values, 1,
                           UpnpSubscriptionRequest_get_SID_cstr(request));
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: libupnp-event-device IFNAME PORT FOLDER EVENTS\n");
        return 2;
    }
    const int events = atoi(argv[4]);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, NULL);
    if (UpnpInit2(argv[1], (unsigned short)atoi(argv[2])) != UPNP_E_SUCCESS)
        return 1;
    UpnpSetWebServerRootDir(argv[3]);
    char url[256];
    snprintf(url, sizeof(url), "http://%s:%u/DeviceDescription.xml", UpnpGetServerIpAddress(),
             UpnpGetServerPort());
    if (UpnpRegisterRootDevice(url, Callback, NULL, &g_handle) != UPNP_E_SUCCESS) {
        UpnpFinish();
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    int sig = 0;
    for (;;) {
        sigwait(&signals, &sig);
        if (sig != SIGUSR1)
            break;
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        const char* names[] = {"Status"};
        char value[16];
        const char* values[] = {value};
        for (int i = 0; i < events; ++i) {
            snprintf(value, sizeof(value), "%d", i);
            pthread_mutex_lock(&g_mutex);
            UpnpNotify(g_handle, g_udn, g_service, names, values, 1);
            pthread_mutex_unlock(&g_mutex);
        }
        clock_gettime(CLOCK_MONOTONIC, &end);
        printf("sent %d in %.3f s\n", events,
               (double)(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9);
        fflush(stdout);
    }
    UpnpUnRegisterRootDevice(g_handle);
    UpnpFinish();
    return 0;
}
