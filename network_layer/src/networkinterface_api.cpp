// Exported interface functions of the network layer: each fetches the
// registry and forwards; a missing registry (layer not initialised) gives the
// documented fallback. Nothing thrown inside crosses into the application.
#include <exception>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/api_guard.h"
#include "network_layer/src/networkinterface.h"
#include "utils/src/common/zel_log.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kLocalhost[] = "127.0.0.1";

}  // namespace

void GetNetworkInterfaces(std::vector<NetInfo>* interfaces) {
    GuardedVoid([&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry != nullptr)
            registry->GetNetworkInterfaces(interfaces);
    });
}

void GetActiveSelectedNetworkInterfaces(std::vector<NetInfo>* interfaces) {
    GuardedVoid([&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry != nullptr)
            registry->GetActiveSelectedNetworkInterfaces(interfaces);
    });
}

int GetNetworkInterface(const std::string& name, NetInfo& info) {
    return Guarded<int>(NL_FAILURE, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Network Instance NULL!");
            return static_cast<int>(NL_FAILURE);
        }
        return registry->GetNetworkInterface(name, info);
    });
}

int GetNetworkInterfaceByIP(const std::string& address, NetInfo& info) {
    return Guarded<int>(NL_FAILURE, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Network Instance NULL!");
            return static_cast<int>(NL_FAILURE);
        }
        return registry->GetNetworkInterfaceByIP(address, info);
    });
}

int ConfigureNetworkInterface(std::string& name, const bool& select) {
    return Guarded<int>(0, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr)
            return 0;
        if (select)
            registry->SelectNetworkInterface(name);
        else
            registry->DeselectNetworkInterface(name);
        return 1;
    });
}

int ConfigureOnAllNetworkInterfaces(const bool& enable) {
    return Guarded<int>(0, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr)
            return 0;
        registry->SetAutoSelect(enable);
        return 1;
    });
}

int NotifyNICAdded(const std::string& name, const std::string& address, const std::string& mask) {
    return Guarded<int>(NL_FAILURE, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return static_cast<int>(NL_FAILURE);
        }
        return registry->NotifyNICAdded(name, address, mask);
    });
}

int NotifyNICRemoved(const std::string& name) {
    return Guarded<int>(NL_FAILURE, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return static_cast<int>(NL_FAILURE);
        }
        return registry->NotifyNICRemoved(name);
    });
}

void ClearNetworkInterface() {
    GuardedVoid([] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry != nullptr)
            registry->ClearNetworkInterface();
    });
}

void UpdateNetworkInterface() {
    GuardedVoid([] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry != nullptr)
            registry->QueryUpdate();
    });
}

void StartNetworkMonitoring() {
    GuardedVoid([] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return;
        }
        registry->SetMonitoringEnabled(true);
    });
}

void StopNetworkMonitoring() {
    GuardedVoid([] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return;
        }
        registry->SetMonitoringEnabled(false);
    });
}

int InitializeNetworkMonitor() {
    return Guarded<int>(NL_FAILURE, [] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return static_cast<int>(NL_FAILURE);
        }
        registry->StartScanNetworkInterface();
        return static_cast<int>(NL_SUCCESS);
    });
}

int TerminateNetworkMonitor() {
    return Guarded<int>(NL_FAILURE, [] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return static_cast<int>(NL_FAILURE);
        }
        registry->StopScanNetworkInterface();
        return static_cast<int>(NL_SUCCESS);
    });
}

int RegisterNetworkEventListener(NetworkEventListener* listener, int& id) {
    id = -1;
    return Guarded<int>(NL_FAILURE, [&] {
        if (listener == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "listener is NULL");
            return static_cast<int>(NL_INVALID_LISTENER);
        }
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return static_cast<int>(NL_FAILURE);
        }
        id = registry->RegisterEventListener(listener);
        return static_cast<int>(NL_SUCCESS);
    });
}

int UnRegisterEventListener(const int& id) {
    return Guarded<int>(NL_FAILURE, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "network_instance is NULL");
            return static_cast<int>(NL_FAILURE);
        }
        registry->UnRegisterEventListener(id);
        return static_cast<int>(NL_SUCCESS);
    });
}

bool IsSameSubnet(const std::string& address1, const std::string& address2, std::string& mask) {
    return Guarded(false, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry != nullptr)
            return registry->IsSameSubnet(address1, address2, mask);
        // Without a registry there are no interface masks to try.
        if (mask.empty())
            return false;
        return NetworkInterface::IsSameSubnetWithMask(address1, address2, mask);
    });
}

int GetOutgoingIPaddress(const std::string& remoteAddress, std::string& localAddress) {
    return Guarded<int>(NL_FAILURE, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry == nullptr) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "Network Instance NULL!");
            return static_cast<int>(NL_FAILURE);
        }
        return registry->GetOutgoingIPaddress(remoteAddress, localAddress);
    });
}

int GetMacAddress(const std::string& address, std::string& macAddress) {
    return Guarded<int>(NL_SOCKET_FAILURE, [&] {
        // The registry knows the subnets and keeps a socket; before the layer
        // is initialised the lookup opens its own and walks the interfaces.
        NetworkInterface* registry = NetworkInterface::GetInstance();
        if (registry != nullptr)
            return registry->LookUpMacAddress(address, macAddress);
        return NetworkInterface::GetMacAddress(address, macAddress);
    });
}

bool IsLocalMachine(const std::string& address) {
    return Guarded(false, [&] {
        if (address == kLocalhost)
            return true;
        NetworkInterface* registry = NetworkInterface::GetInstance();
        return registry != nullptr && registry->IsLocalMachine(address);
    });
}

bool IsInterfaceExisting(const std::string& address, const std::string& namePrefix) {
    return Guarded(false, [&] {
        NetworkInterface* registry = NetworkInterface::GetInstance();
        return registry != nullptr && registry->IsInterfaceExisting(address, namePrefix);
    });
}

}  // namespace network_layer
}  // namespace zel_upnp
