/* Reference device for the discovery and control benchmarks, written on
 * Debian's libupnp (an independent UPnP library): it serves a description
 * folder from libupnp's web server, answers searches for the device
 * described there and answers the SwitchPower:1 actions SetTarget, GetTarget
 * and GetStatus as the sample device does.
 *
 *   libupnp-device IFNAME PORT FOLDER
 *
 * Runs until SIGINT or SIGTERM. */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <upnp.h>
#include <upnptools.h>

static const char kSwitchPower[] = "urn:schemas-upnp-org:service:SwitchPower:1";
static int g_target; /* libupnp runs callbacks on its thread pool */
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;

static void AnswerAction(UpnpActionRequest* request) {
    const char* name = UpnpActionRequest_get_ActionName_cstr(request);
    IXML_Document* answer = NULL;
    int err = UPNP_E_SUCCESS;
    pthread_mutex_lock(&g_mutex);
    if (strcmp(name, "GetStatus") == 0 || strcmp(name, "GetTarget") == 0) {
        UpnpAddToActionResponse(&answer, name, kSwitchPower,
                                name[3] == 'S' ? "ResultStatus" : "RetTargetValue",
                                g_target ? "1" : "0");
    } else if (strcmp(name, "SetTarget") == 0) {
        IXML_NodeList* values = ixmlDocument_getElementsByTagName(
            (IXML_Document*)UpnpActionRequest_get_ActionRequest(request), "newTargetValue");
        IXML_Node* text = values ? ixmlNode_getFirstChild(ixmlNodeList_item(values, 0)) : NULL;
        const char* value = text ? ixmlNode_getNodeValue(text) : NULL;
        if (value && (strcmp(value, "1") == 0 || strcmp(value, "0") == 0)) {
            g_target = value[0] == '1';
            answer = UpnpMakeActionResponse(name, kSwitchPower, 0, NULL);
        } else {
            err = 402;
        }
        if (values)
            ixmlNodeList_free(values);
    } else {
        err = 401;
    }
    pthread_mutex_unlock(&g_mutex);
    UpnpActionRequest_set_ErrCode(request, err);
    UpnpActionRequest_set_ActionResult(request, answer);
}

static int Callback(Upnp_EventType type, const void* event, void* cookie) {
    (void)cookie;
    if (type == UPNP_CONTROL_ACTION_REQUEST)
        AnswerAction((UpnpActionRequest*)event);
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
