/* Reference device for the discovery benchmark, written on Debian's libupnp
 * (an independent UPnP library): it serves a description folder from
 * libupnp's web server and answers searches for the device described there.
 *
 *   libupnp-device IFNAME PORT FOLDER
 *
 * Runs until SIGINT or SIGTERM. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <upnp.h>

static int Callback(Upnp_EventType type, const void* event, void* cookie) {
    (void)type;
    (void)event;
    (void)cookie;
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: libupnp-device IFNAME PORT FOLDER\n");
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, NULL);

    int rc = UpnpInit2(argv[1], (unsigned short)atoi(argv[2]));
    if (rc != UPNP_E_SUCCESS) {
        fprintf(stderr, "UpnpInit2: %d\n", rc);
        return 1;
    }
    UpnpSetWebServerRootDir(argv[3]);
    char url[256];
    snprintf(url, sizeof(url), "http://%s:%u/DeviceDescription.xml", UpnpGetServerIpAddress(),
             UpnpGetServerPort());
    UpnpDevice_Handle handle;
    rc = UpnpRegisterRootDevice(url, Callback, NULL, &handle);
    if (rc != UPNP_E_SUCCESS) {
        fprintf(stderr, "UpnpRegisterRootDevice: %d\n", rc);
        UpnpFinish();
        return 1;
    }
    UpnpSendAdvertisement(handle, 1800);
    printf("description %s\n", url);
    fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
    UpnpUnRegisterRootDevice(handle);
    UpnpFinish();
    return 0;
}
