#include "network_layer/src/networkinterface.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/bind/bind.hpp>
#include <boost/tokenizer.hpp>

#include <zel_upnp/utils.h>
#include "network_layer/src/ipv6_address.h"
#include "network_layer/src/neighbour_table.h"
#include "network_layer/src/networkmonitor.h"
#include "network_layer/src/singleton.h"
#include "utils/src/common/guard.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/thread/thread_util.h"

namespace zel_upnp {
namespace network_layer {

namespace {

const char kThreadBaseName[] = "ZelNetIf";
// The single "ZelNetIf" thread carries no index in its name.
const int kNoThreadIndex = -1;
const char kLoopbackPrefix[] = "127.";
const char kAddressSeparator[] = ".";
const size_t kAddressParts = 4;
const unsigned long kMaxAddressPart = 255;

// Creation and destruction of the singleton; GetInstance reads it without
// the lock, so the pointer is atomic.
boost::mutex g_instance_mutex;
std::atomic<NetworkInterface*> g_instance(nullptr);

// Hooks, installed by other units; copied under the lock, called outside it.
boost::mutex g_hook_mutex;
NetworkMonitorFactory g_monitor_factory(&CreatePlatformNetworkMonitor);
NicEventHook g_nic_event_hook;

// Splits a dotted quad into numbers. False unless it has exactly four parts,
// each a decimal number of at most 255.
bool SplitAddress(const std::string& text, unsigned long parts[kAddressParts]) {
    typedef boost::tokenizer<boost::char_separator<char> > Tokenizer;
    boost::char_separator<char> separator(kAddressSeparator, "", boost::keep_empty_tokens);
    Tokenizer tokens(text, separator);
    size_t count = 0;
    for (Tokenizer::iterator it = tokens.begin(); it != tokens.end(); ++it) {
        const std::string& token = *it;
        if (count == kAddressParts || token.empty() || token.size() > 3 ||
            token.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned long value = std::strtoul(token.c_str(), nullptr, 10);
        if (value > kMaxAddressPart)
            return false;
        parts[count++] = value;
    }
    return count == kAddressParts;
}

bool MaskedEqual(const unsigned long a[kAddressParts], const unsigned long b[kAddressParts],
                 const unsigned long mask[kAddressParts]) {
    for (size_t i = 0; i < kAddressParts; ++i) {
        if ((a[i] & mask[i]) != (b[i] & mask[i]))
            return false;
    }
    return true;
}

// How the two addresses of a subnet test read.
enum class AddressPair { kLoopback, kInvalid, kParsed };

AddressPair ReadAddressPair(const std::string& address1, const std::string& address2,
                            unsigned long a[kAddressParts], unsigned long b[kAddressParts]) {
    if (boost::starts_with(address1, kLoopbackPrefix) ||
        boost::starts_with(address2, kLoopbackPrefix))
        return AddressPair::kLoopback;
    if (!SplitAddress(address1, a) || !SplitAddress(address2, b)) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "IP address is invalid : wrong value!");
        return AddressPair::kInvalid;
    }
    return AddressPair::kParsed;
}

// Reads a mask text; false (logged) when it is not four numbers.
bool ReadMask(const std::string& mask, unsigned long m[kAddressParts]) {
    if (SplitAddress(mask, m))
        return true;
    ZEL_LOGE(ZEL_CORE_NETWORK, "Subnet mask is invalid : wrong value!");
    return false;
}

std::vector<NetInfo>::iterator FindByName(std::vector<NetInfo>& list, const std::string& name) {
    return std::find_if(list.begin(), list.end(),
                        [&name](const NetInfo& info) { return info.interface_name == name; });
}

}  // namespace

// ---------------------------------------------------------------------------
// The kernel's interface list
// ---------------------------------------------------------------------------

bool ReadInterfaceRecords(int fd, std::vector<struct ifreq>* records) {
    try {
        for (size_t room = kInitialInterfaceRecords;;
             room = std::min(room * 2, kMaxInterfaceRecords)) {
            std::vector<struct ifreq> buffer(room);
            struct ifconf conf;
            std::memset(&conf, 0, sizeof(conf));
            conf.ifc_len = static_cast<int>(room * sizeof(struct ifreq));
            conf.ifc_req = buffer.data();
            if (ioctl(fd, SIOCGIFCONF, &conf) != 0)
                return false;
            const size_t filled = static_cast<size_t>(conf.ifc_len) / sizeof(struct ifreq);
            // The kernel stops at the first record that no longer fits and
            // says nothing: only a list with room to spare is known whole.
            if (filled < room || room == kMaxInterfaceRecords) {
                if (filled >= room)
                    ZEL_LOGW(ZEL_CORE_NETWORK, "interface list cut at %u records",
                             static_cast<unsigned>(room));
                buffer.resize(filled);
                records->swap(buffer);
                return true;
            }
        }
    } catch (const std::bad_alloc&) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "no room for the interface list");
        return false;
    }
}

// ---------------------------------------------------------------------------
// NetChangeListener
// ---------------------------------------------------------------------------

NetChangeListener::NetChangeListener(int id, NetworkEventListener* listener)
    : id_(id), listener_(listener) {}

void NetChangeListener::Notify(const std::string& interfaceName, int event) {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    if (listener_ != nullptr)
        listener_->OnNetworkChanged(interfaceName, event);
}

void NetChangeListener::Clear() {
    boost::lock_guard<boost::recursive_mutex> lock(mutex_);
    listener_ = nullptr;
}

// ---------------------------------------------------------------------------
// Singleton and hooks
// ---------------------------------------------------------------------------

NetworkInterface* NetworkInterface::CreateInstance() {
    return CreateOnFirstUse(g_instance, g_instance_mutex, "NetworkInterface",
                            [] { return new (std::nothrow) NetworkInterface(); });
}

NetworkInterface* NetworkInterface::GetInstance() {
    return g_instance.load();
}

void NetworkInterface::DestroyInstance() {
    boost::lock_guard<boost::mutex> lock(g_instance_mutex);
    NetworkInterface* instance = g_instance.exchange(nullptr);
    delete instance;
}

void NetworkInterface::SetMonitorFactory(const NetworkMonitorFactory& factory) {
    boost::lock_guard<boost::mutex> lock(g_hook_mutex);
    g_monitor_factory = factory;
}

void NetworkInterface::SetNicEventHook(const NicEventHook& hook) {
    boost::lock_guard<boost::mutex> lock(g_hook_mutex);
    g_nic_event_hook = hook;
}

// ---------------------------------------------------------------------------
// Construction and destruction
// ---------------------------------------------------------------------------

NetworkInterface::NetworkInterface()
    : monitor_(nullptr),
      next_listener_id_(0),
      auto_select_(false),
      arp_socket_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
      arp_reopen_pending_(false),
      work_(new boost::asio::io_service::work(io_service_)) {
    ZEL_LOGD(ZEL_CORE_NETWORK, "NetworkInterface::ZelNetiIo");
    // Opened again on "ZelNetIf" at the first lookup that finds none.
    if (arp_socket_.load() < 0)
        ZEL_LOGE(ZEL_CORE_NETWORK, "ARP socket creation failed [%d]", errno);
    try {
        std::string name = utils::PrepareThreadName(kThreadBaseName);
        boost::thread* thread =
            utils::StartThread(threads_, utils::kApplicationThreadStackSize,
                               [this] { utils::RunIoLoop(io_service_, ZEL_CORE_NETWORK); });
        utils::SetNameOnThread(thread, name, kNoThreadIndex);
    } catch (const boost::thread_resource_error& e) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "thread_resource_error exception:[%s]", e.what());
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception");
    }
}

NetworkInterface::~NetworkInterface() {
    try {
        // Deliveries still queued are dropped: the listeners' owners are
        // being torn down too.
        work_.reset();
        io_service_.stop();
        threads_.join_all();
        StopScanNetworkInterface();
    } catch (...) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Unknown Exception");
    }
    const int fd = arp_socket_.exchange(-1);
    if (fd >= 0)
        close(fd);
}

// ---------------------------------------------------------------------------
// Monitor
// ---------------------------------------------------------------------------

void NetworkInterface::StartScanNetworkInterface() {
    NetworkMonitorFactory factory;
    {
        boost::lock_guard<boost::mutex> lock(g_hook_mutex);
        factory = g_monitor_factory;
    }
    boost::lock_guard<boost::mutex> lock(monitor_mutex_);
    if (monitor_ != nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "can't start network interface, network monitor is not null!");
        return;
    }
    if (factory)
        monitor_ = factory(this);
    if (monitor_ == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "no network monitor available on this platform");
        ZEL_LOGE(ZEL_CORE_NETWORK, "network_monitor failed to start");
        return;
    }
    // The monitor is kept even when it fails to start, so that a later
    // TerminateNetworkMonitor releases whatever it did register.
    if (monitor_->Start())
        ZEL_LOGI(ZEL_CORE_NETWORK, "ScanNetworkInterface started");
    else
        ZEL_LOGE(ZEL_CORE_NETWORK, "network_monitor failed to start");
}

void NetworkInterface::StopScanNetworkInterface() {
    boost::lock_guard<boost::mutex> lock(monitor_mutex_);
    if (monitor_ != nullptr) {
        monitor_->Stop();
        delete monitor_;
        monitor_ = nullptr;
    }
    ZEL_LOGI(ZEL_CORE_NETWORK, "ScanNetworkInterface stopped");
}

void NetworkInterface::SetMonitoringEnabled(bool enabled) {
    boost::lock_guard<boost::mutex> lock(monitor_mutex_);
    if (monitor_ == nullptr) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "network_monitor is NULL");
        return;
    }
    // Pausing waits for a hand-over under way (see NetworkMonitor).
    monitor_->SetEnabled(enabled);
    if (enabled)
        ZEL_LOGI(ZEL_CORE_NETWORK, "Start network monitoring");
    else
        ZEL_LOGI(ZEL_CORE_NETWORK, "Stop network monitoring");
}

void NetworkInterface::QueryUpdate() {
    boost::lock_guard<boost::mutex> lock(monitor_mutex_);
    if (monitor_ == nullptr)
        return;
    ZEL_LOGI(ZEL_CORE_NETWORK, "Query network interface update");
    monitor_->QueryUpdate();
}

// ---------------------------------------------------------------------------
// Update from the monitor
// ---------------------------------------------------------------------------

void NetworkInterface::Update(std::vector<NetInfo> interfaces) {
    const bool autoSelect = auto_select_.load();
    ZEL_LOGI(ZEL_CORE_NETWORK, "updated list : [%d][%d]", static_cast<int>(interfaces.size()),
             autoSelect ? 1 : 0);

    if (autoSelect) {
        for (const NetInfo& info : interfaces)
            AddToSelected(info.interface_name);
    }

    // Removal pass: events go out only after the interface lock is released,
    // because the server manager's reaction queries the registry.
    std::vector<std::string> selected;
    {
        boost::lock_guard<boost::recursive_mutex> lock(selection_mutex_);
        selected = selected_;
    }
    std::vector<std::string> removed;
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        for (std::vector<NetInfo>::iterator it = available_.begin(); it != available_.end();) {
            if (FindByName(interfaces, it->interface_name) != interfaces.end()) {
                ++it;
                continue;
            }
            if (std::find(selected.begin(), selected.end(), it->interface_name) != selected.end())
                removed.push_back(it->interface_name);
            it = available_.erase(it);
        }
    }
    for (const std::string& name : removed)
        NotifyNICIfEvent(name, NIC_REMOVED);

    // Addition pass, in the monitor's order.
    for (const NetInfo& info : interfaces) {
        if (info.interface_name.empty() || info.ip_address.empty())
            continue;
        bool added = false;
        bool changed = false;
        bool ipv6Changed = false;
        {
            boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
            std::vector<NetInfo>::iterator it = FindByName(available_, info.interface_name);
            if (it == available_.end()) {
                available_.push_back(info);
                added = true;
            } else if (it->ip_address != info.ip_address) {
                changed = true;
            } else if (!SameIpv6Side(*it, info)) {
                // Only the IPv6 side moved: IPv4 servers and announcements
                // stay as they are.
                it->ipv6_addresses = info.ipv6_addresses;
                it->interface_index = info.interface_index;
                ipv6Changed = true;
            }
        }
        if (added) {
            if (autoSelect) {
                AddToSelected(info.interface_name);
                NotifyNICIfEvent(info.interface_name, NIC_ADDED);
            } else if (IsSelected(info.interface_name)) {
                NotifyNICIfEvent(info.interface_name, NIC_ADDED);
            }
        } else if (changed) {
            ChangeAddress(info);
        } else if (ipv6Changed && IsSelected(info.interface_name)) {
            NotifyNICIfEvent(info.interface_name, NIC_IPV6CHANGED);
        }
    }
}

void NetworkInterface::ChangeAddress(const NetInfo& changed) {
    const std::string& name = changed.interface_name;
    const bool selected = IsSelected(name);
    if (selected)
        NotifyNICIfEvent(name, NIC_REMOVED);
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        std::vector<NetInfo>::iterator it = FindByName(available_, name);
        if (it != available_.end()) {
            it->ip_address = changed.ip_address;
            it->ipv6_addresses = changed.ipv6_addresses;
            it->interface_index = changed.interface_index;
        }
    }
    if (selected) {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(kAddressChangePauseMs));
        NotifyNICIfEvent(name, NIC_IPCHANGED);
    }
}

// ---------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------

void NetworkInterface::GetNetworkInterfaces(std::vector<NetInfo>* interfaces) {
    if (interfaces == nullptr)
        return;
    boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
    *interfaces = available_;
}

void NetworkInterface::GetActiveSelectedNetworkInterfaces(std::vector<NetInfo>* interfaces) {
    if (interfaces == nullptr)
        return;
    std::vector<std::string> selected;
    {
        boost::lock_guard<boost::recursive_mutex> lock(selection_mutex_);
        selected = selected_;
    }
    boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
    for (const NetInfo& info : available_) {
        if (!info.interface_name.empty() &&
            std::find(selected.begin(), selected.end(), info.interface_name) != selected.end())
            interfaces->push_back(info);
    }
}

int NetworkInterface::GetNetworkInterface(const std::string& name, NetInfo& info) {
    boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
    std::vector<NetInfo>::iterator it = FindByName(available_, name);
    if (it == available_.end())
        return NL_FAILURE;
    info = *it;
    return NL_SUCCESS;
}

int NetworkInterface::GetNetworkInterfaceByIP(const std::string& address, NetInfo& info) {
    boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
    if (available_.empty()) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "available_net_interfaces_ empty!");
        return NL_FAILURE;
    }
    if (address.empty()) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "local ip address empty!");
        return NL_FAILURE;
    }
    for (const NetInfo& candidate : available_) {
        if (candidate.ip_address == address || HoldsIpv6Address(candidate, address)) {
            info = candidate;
            return NL_SUCCESS;
        }
    }
    ZEL_LOGE(ZEL_CORE_NETWORK, "No info for local ip %s!", address.c_str());
    return NL_FAILURE;
}

bool NetworkInterface::IsLocalMachine(const std::string& address) {
    if (address == "127.0.0.1" || (IsIpv6Literal(address) && StripZone(address) == "::1"))
        return true;
    boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
    for (const NetInfo& info : available_) {
        if (info.ip_address == address || HoldsIpv6Address(info, address))
            return true;
    }
    return false;
}

bool NetworkInterface::IsInterfaceExisting(const std::string& address,
                                           const std::string& namePrefix) {
    boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
    for (const NetInfo& info : available_) {
        if (info.ip_address == address && boost::starts_with(info.interface_name, namePrefix))
            return true;
    }
    return false;
}

bool NetworkInterface::IsSelected(const std::string& name) {
    boost::lock_guard<boost::recursive_mutex> lock(selection_mutex_);
    return std::find(selected_.begin(), selected_.end(), name) != selected_.end();
}

bool NetworkInterface::AddToSelected(const std::string& name) {
    boost::lock_guard<boost::recursive_mutex> lock(selection_mutex_);
    if (std::find(selected_.begin(), selected_.end(), name) != selected_.end())
        return false;
    selected_.push_back(name);
    return true;
}

bool NetworkInterface::IsAvailable(const std::string& name) {
    boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
    return FindByName(available_, name) != available_.end();
}

// ---------------------------------------------------------------------------
// Selection and application-fed interfaces
// ---------------------------------------------------------------------------

void NetworkInterface::SelectNetworkInterface(const std::string& name) {
    if (name.empty()) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid param!!!");
        return;
    }
    if (!AddToSelected(name)) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "NetworkInterface is already selected");
        return;
    }
    if (IsAvailable(name))
        NotifyNICIfEvent(name, NIC_ADDED);
}

void NetworkInterface::DeselectNetworkInterface(const std::string& name) {
    bool wasSelected = false;
    {
        boost::lock_guard<boost::recursive_mutex> lock(selection_mutex_);
        std::vector<std::string>::iterator it = std::find(selected_.begin(), selected_.end(), name);
        if (it != selected_.end()) {
            selected_.erase(it);
            wasSelected = true;
        }
    }
    if (wasSelected && IsAvailable(name))
        NotifyNICIfEvent(name, NIC_REMOVED);
}

void NetworkInterface::SetAutoSelect(bool enable) {
    auto_select_ = enable;
}

int NetworkInterface::NotifyNICAdded(const std::string& name, const std::string& address,
                                     const std::string& mask) {
    if (name.empty() || address.empty() || mask.empty()) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid Params!!!");
        return NL_FAILURE;
    }
    bool known = false;
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        if (FindByName(available_, name) != available_.end()) {
            known = true;
        } else {
            NetInfo info;
            info.interface_name = name;
            info.ip_address = address;
            info.subnet_mask = mask;
            FillIpv6FromKernel(info);
            available_.push_back(info);
        }
    }
    AddToSelected(name);
    if (known) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "Interface [%s] is already added!!", name.c_str());
        return NL_SUCCESS;
    }
    NotifyNICIfEvent(name, NIC_ADDED);
    return NL_SUCCESS;
}

int NetworkInterface::NotifyNICRemoved(const std::string& name) {
    if (name.empty()) {
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invalid Params!!!");
        return NL_FAILURE;
    }
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        std::vector<NetInfo>::iterator it = FindByName(available_, name);
        if (it == available_.end()) {
            ZEL_LOGI(ZEL_CORE_NETWORK, "Interface [%s] is already removed!!", name.c_str());
            return NL_SUCCESS;
        }
        available_.erase(it);
    }
    // The selection is kept: the name takes effect again when it returns.
    if (IsSelected(name))
        NotifyNICIfEvent(name, NIC_REMOVED);
    return NL_SUCCESS;
}

void NetworkInterface::ClearNetworkInterface() {
    {
        boost::lock_guard<boost::recursive_mutex> lock(selection_mutex_);
        selected_.clear();
    }
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        available_.clear();
    }
    boost::lock_guard<boost::mutex> lock(monitor_mutex_);
    if (monitor_ != nullptr)
        monitor_->ClearInterfaceList();
}

// ---------------------------------------------------------------------------
// NIC events and listeners
// ---------------------------------------------------------------------------

void NetworkInterface::NotifyNICIfEvent(const std::string& name, int event) {
    NicEventHook hook;
    {
        boost::lock_guard<boost::mutex> lock(g_hook_mutex);
        hook = g_nic_event_hook;
    }
    if (hook)
        hook(name, event);

    boost::lock_guard<boost::recursive_mutex> lock(listener_mutex_);
    if (listeners_.empty()) {
        ZEL_LOGI(ZEL_CORE_NETWORK, "event listener vector is empty!!");
        return;
    }
    for (const auto& entry : listeners_) {
        io_service_.post(
            boost::bind(&NetworkInterface::NotifyNICEventByID, this, entry.first, name, event));
    }
    ZEL_LOGI(ZEL_CORE_NETWORK, "%u event listeners are notified!!!",
             static_cast<unsigned>(listeners_.size()));
}

void NetworkInterface::NotifyNICEventByID(int id, const std::string& name, int event) {
    boost::shared_ptr<NetChangeListener> wrapper;
    {
        boost::lock_guard<boost::recursive_mutex> lock(listener_mutex_);
        for (const auto& entry : listeners_) {
            if (entry.first == id) {
                wrapper = entry.second;
                break;
            }
        }
        if (!wrapper)
            return;
        ZEL_LOGI(ZEL_CORE_NETWORK, "Notifying NIC Change %d for %s listener_id %d", event,
                 name.c_str(), id);
    }
    wrapper->Notify(name, event);
}

int NetworkInterface::RegisterEventListener(NetworkEventListener* listener) {
    if (listener == nullptr)
        return -1;
    boost::lock_guard<boost::recursive_mutex> lock(listener_mutex_);
    int id = next_listener_id_++;
    boost::shared_ptr<NetChangeListener> wrapper(new NetChangeListener(id, listener));
    listeners_.push_back(std::make_pair(id, wrapper));
    return id;
}

void NetworkInterface::UnRegisterEventListener(int id) {
    boost::shared_ptr<NetChangeListener> wrapper;
    {
        boost::lock_guard<boost::recursive_mutex> lock(listener_mutex_);
        for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
            if (it->first == id) {
                wrapper = it->second;
                listeners_.erase(it);
                break;
            }
        }
    }
    // Waits out a delivery in flight on "ZelNetIf".
    if (wrapper)
        wrapper->Clear();
}

// ---------------------------------------------------------------------------
// Address utilities
// ---------------------------------------------------------------------------

bool NetworkInterface::IsSameSubnetWithMask(const std::string& address1,
                                            const std::string& address2, const std::string& mask) {
    if (IsIpv6Literal(address1) || IsIpv6Literal(address2))
        return IsSameIpv6PrefixWithLength(address1, address2, mask);
    unsigned long a[kAddressParts];
    unsigned long b[kAddressParts];
    const AddressPair pair = ReadAddressPair(address1, address2, a, b);
    if (pair != AddressPair::kParsed)
        return pair == AddressPair::kLoopback;
    unsigned long m[kAddressParts];
    return ReadMask(mask, m) && MaskedEqual(a, b, m);
}

bool NetworkInterface::IsSameSubnet(const std::string& address1, const std::string& address2,
                                    std::string& mask) {
    if (!mask.empty())
        return IsSameSubnetWithMask(address1, address2, mask);
    if (IsIpv6Literal(address1) || IsIpv6Literal(address2))
        return IsSameIpv6Link(address1, address2, mask);
    unsigned long a[kAddressParts];
    unsigned long b[kAddressParts];
    const AddressPair pair = ReadAddressPair(address1, address2, a, b);
    if (pair != AddressPair::kParsed)
        return pair == AddressPair::kLoopback;
    std::vector<NetInfo> available;
    {
        boost::lock_guard<boost::recursive_mutex> lock(interface_mutex_);
        available = available_;
    }
    for (const NetInfo& info : available) {
        mask = info.subnet_mask;
        if (mask.empty())
            continue;
        unsigned long m[kAddressParts];
        if (!ReadMask(mask, m))
            return false;
        if (MaskedEqual(a, b, m))
            return true;
    }
    return false;
}

int NetworkInterface::GetOutgoingIPaddress(const std::string& remoteAddress,
                                           std::string& localAddress) {
    std::vector<NetInfo> active;
    GetActiveSelectedNetworkInterfaces(&active);
    if (IsIpv6Literal(remoteAddress))
        return OutgoingIpv6Address(active, remoteAddress, localAddress);
    for (const NetInfo& info : active) {
        std::string mask = info.subnet_mask;
        if (IsSameSubnet(info.ip_address, remoteAddress, mask)) {
            localAddress = info.ip_address;
            return NL_SUCCESS;
        }
    }
    return NL_NO_INTERFACE;
}

}  // namespace network_layer
}  // namespace zel_upnp
