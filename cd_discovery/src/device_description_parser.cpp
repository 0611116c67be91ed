// Description parsing and the rewrites of "DeviceDescription.xml" (always
// whole, through a temporary file renamed over it).
// Runs on the application thread that registers a device or renames it.
#include "cd_discovery/src/device_description_parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include <boost/random/mersenne_twister.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/utils.h>
#include "cd_discovery/src/send_description.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/string/header_text.h"

namespace zel_upnp {
namespace cd_discovery {

const char kDescriptionFileName[] = "/DeviceDescription.xml";

namespace {

// Nesting of deviceList elements followed before a document is refused, so a
// pathological document cannot exhaust the stack of the registering thread.
const int kMaxDeviceDepth = 8;
const int kMaxAgeSecondsLimit = INT_MAX / 1000;

typedef std::unique_ptr<utils::NodeXml, void (*)(utils::NodeXml*)> NodeGuard;

bool ReadDescriptionText(const std::string& folder, std::string& text) {
    char* data = nullptr;
    if (utils::ReadFileUTF8(folder + kDescriptionFileName, &data) != utils::UTILS_SUCCESS)
        return false;
    text.assign(data);
    delete[] data;
    return true;
}

// Replaces the description atomically: a reader (or a power cut) sees the
// old document or the new one, never a part. The new file gets the old
// one's permissions. CD_FILE_ERROR (logged by the caller) when the folder
// cannot take a new file or the rename fails.
int WriteDescriptionText(const std::string& folder, const std::string& text) {
    const std::string path = folder + kDescriptionFileName;
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(&temporary[0]);
    if (fd < 0) {
        ZEL_LOGW(ZEL_CORE_CDDISCOVERY, " Unable to make stream ");
        return CD_FILE_ERROR;
    }
    struct stat old_file;
    if (::stat(path.c_str(), &old_file) == 0)
        ::fchmod(fd, old_file.st_mode & 07777);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const bool ok = written == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        ZEL_LOGW(ZEL_CORE_CDDISCOVERY, " Cannot write stream!! ");
        return CD_FILE_ERROR;
    }
    return CD_SUCCESS;
}

std::string Trimmed(const std::string& value) {
    std::string text = value;
    utils::StringUtils::TrimString(text);
    return text;
}

std::string WithoutLeadingSlash(const std::string& value) {
    std::string text = Trimmed(value);
    if (!text.empty() && text[0] == '/')
        text.erase(0, 1);
    return text;
}

// Types, UDNs, names and URLs of a document end up in SSDP headers, the
// User-Agent of description answers and the registered request paths; one
// holding a CR, LF or NUL refuses the whole document rather than being
// repaired.
bool HeaderSafe(const std::string& value, const char* field) {
    if (utils::IsHeaderSafe(value))
        return true;
    ZEL_LOGW(ZEL_CORE_CDDISCOVERY, "%s holds a CR, LF or NUL, description refused", field);
    return false;
}

// Visits every element child of the parser's current node in order; visit
// must leave the cursor where it found it. Returns the cursor to the current
// node. False as soon as visit does.
bool WalkChildren(utils::XmlParser& parser, const std::function<bool(utils::NodeXml&)>& visit) {
    utils::NodeXml* raw = nullptr;
    bool ok = true;
    int found = utils::XmlParserGetChildNode(parser, raw);
    while (found == 1) {
        NodeGuard node(raw, utils::XmlParserFreeNode);
        if (!visit(*node)) {
            ok = false;
            break;
        }
        raw = nullptr;
        found = utils::XmlParserGetNextNode(parser, raw);
    }
    utils::XmlParserStepBackToParentNode(parser);
    return ok;
}

// Children of one element as name -> trimmed text.
bool ReadFields(utils::XmlParser& parser,
                const std::function<void(const std::string&, const std::string&)>& field) {
    return WalkChildren(parser, [&](utils::NodeXml& node) {
        field(node.name, Trimmed(node.value));
        return true;
    });
}

bool ParseIcon(utils::XmlParser& parser, DeviceInfo& device) {
    boost::shared_ptr<CDDeviceIcon> icon(new CDDeviceIcon());
    ReadFields(parser, [&](const std::string& name, const std::string& value) {
        if (name == "mimetype")
            icon->mimetype = value;
        else if (name == "width")
            icon->width = value;
        else if (name == "height")
            icon->height = value;
        else if (name == "depth")
            icon->depth = value;
        else if (name == "url")
            icon->url = WithoutLeadingSlash(value);
    });
    if (icon->url.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "icon without url");
        return false;
    }
    if (!HeaderSafe(icon->url, "icon url"))
        return false;
    device.icons.push_back(icon);
    return true;
}

bool ParseService(utils::XmlParser& parser, DeviceInfo& device) {
    std::string service_type;
    std::string scpd_url;
    // serviceId, controlURL and eventSubURL belong to control and eventing.
    ReadFields(parser, [&](const std::string& name, const std::string& value) {
        if (name == "serviceType")
            service_type = value;
        else if (name == "SCPDURL")
            scpd_url = WithoutLeadingSlash(value);
    });
    if (service_type.empty() || scpd_url.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "service without serviceType or SCPDURL");
        return false;
    }
    if (!HeaderSafe(service_type, "serviceType") || !HeaderSafe(scpd_url, "SCPDURL"))
        return false;
    device.serviceTypes.push_back(service_type);
    device.scpdUrls.push_back(scpd_url);
    return true;
}

int ParseMaxAgeMs(const std::string& text) {
    try {
        size_t used = 0;
        const int seconds = std::stoi(text, &used, 10);
        if (used == text.size() && seconds > 0 && seconds <= kMaxAgeSecondsLimit)
            return seconds * 1000;
    } catch (const std::exception&) {
    }
    ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Error in Getting the max-age value");
    return 0;
}

bool ParseDevice(utils::XmlParser& parser, DeviceInfo& device, int depth) {
    if (depth > kMaxDeviceDepth) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "deviceList nested too deeply");
        return false;
    }
    const bool ok = WalkChildren(parser, [&](utils::NodeXml& node) {
        const std::string& name = node.name;
        if (name == "deviceType") {
            device.deviceType = Trimmed(node.value);
        } else if (name == "friendlyName") {
            device.friendlyName = Trimmed(node.value);
        } else if (name == "UDN") {
            device.udn = Trimmed(node.value);
        } else if (name == "X_MaxAge") {
            device.maxAgeMs = ParseMaxAgeMs(Trimmed(node.value));
        } else if (name == "iconList") {
            return WalkChildren(parser, [&](utils::NodeXml& child) {
                return child.name != "icon" || ParseIcon(parser, device);
            });
        } else if (name == "serviceList") {
            return WalkChildren(parser, [&](utils::NodeXml& child) {
                return child.name != "service" || ParseService(parser, device);
            });
        } else if (name == "deviceList") {
            return WalkChildren(parser, [&](utils::NodeXml& child) {
                if (child.name != "device")
                    return true;
                DeviceInfoPtr embedded(new DeviceInfo());
                if (!ParseDevice(parser, *embedded, depth + 1)) {
                    ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "__ParseDevice() recursion error");
                    return false;
                }
                device.embeddedDevices.push_back(embedded);
                return true;
            });
        }
        return true;
    });
    return ok && HeaderSafe(device.deviceType, "deviceType") &&
           HeaderSafe(device.friendlyName, "friendlyName") && HeaderSafe(device.udn, "UDN");
}

bool XMLParseDeviceDescription(const std::string& text, DeviceInfo& device) {
    utils::XmlParser parser;
    if (utils::XmlParserGetDomMA(text, parser) != 1) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Error in parsing file");
        return false;
    }
    utils::NodeXml* raw = nullptr;
    if (utils::XmlParserGetFirstNode(parser, raw) != 1) {
        utils::XmlParserDestroy(parser);
        return false;
    }
    NodeGuard root(raw, utils::XmlParserFreeNode);
    bool has_children = false;
    bool has_device = false;
    // specVersion and URLBase carry nothing the device registry uses.
    const bool ok = WalkChildren(parser, [&](utils::NodeXml& node) {
        has_children = true;
        if (node.name != "device")
            return true;
        has_device = true;
        return ParseDevice(parser, device, 0);
    });
    utils::XmlParserDestroy(parser);
    if (!has_children || !has_device) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "description has no device element");
        return false;
    }
    return ok;
}

bool GenerateUdn(std::string& udn) {
    static boost::mutex generator_mutex;
    static std::unique_ptr<boost::random::mt19937> engine;
    boost::lock_guard<boost::mutex> lock(generator_mutex);
    if (!engine) {
        uint32_t seed[8] = {};
        std::ifstream urandom("/dev/urandom", std::ios_base::binary);
        urandom.read(reinterpret_cast<char*>(seed), sizeof(seed));
        if (!urandom)
            return false;
        std::seed_seq sequence(std::begin(seed), std::end(seed));
        engine.reset(new boost::random::mt19937(sequence));
    }
    boost::uuids::basic_random_generator<boost::random::mt19937> generator(engine.get());
    udn = "uuid:" + boost::uuids::to_string(generator());
    return true;
}

// The MAC address of the machine's first network interface by name
// (loopback and all-zero addresses skipped), which stays the same from one
// boot to the next; empty when there is none.
std::string StableMacAddress() {
    std::vector<std::string> names;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator it("/sys/class/net", error), end;
         !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name == "lo")
            continue;
        std::ifstream file("/sys/class/net/" + name + "/address");
        std::string mac;
        if (std::getline(file, mac) && !mac.empty() &&
            mac.find_first_not_of("0:") != std::string::npos)
            return mac;
    }
    return std::string();
}

// A name-based (version 5) UUID of the MAC, the folder and the device's
// place in the description (0 the root, 1.. its embedded devices): the
// same UDN at every start of a device whose folder cannot be written.
std::string DerivedUdn(const std::string& folder, size_t place) {
    // The namespace of the UDNs this library derives.
    static const boost::uuids::uuid kNamespace = {{0x6b, 0x1f, 0x52, 0x0e, 0x94, 0x3d, 0x4c, 0x71,
                                                   0x8a, 0x25, 0xd3, 0x0c, 0x5e, 0x47, 0x19, 0xa2}};
    boost::system::error_code error;
    boost::filesystem::path canonical = boost::filesystem::canonical(folder, error);
    const std::string name = StableMacAddress() + "|" + (error ? folder : canonical.string()) +
                             "|" + std::to_string(place);
    boost::uuids::name_generator_sha1 generator(kNamespace);
    return "uuid:" + boost::uuids::to_string(generator(name));
}

// Where the UDN element of the root device (first) and of each direct
// embedded device lies in the text, in document order. begin is npos for a
// device without one; empty when it holds nothing but white space.
struct UdnElement {
    size_t begin = std::string::npos;
    size_t end = std::string::npos;
    bool empty = false;
};

// Walks the tags of text, counting device elements, so that a device's UDN
// is told from one of a device inside it. False on a UDN element that is
// never closed.
bool LocateUdnElements(const std::string& text, std::vector<UdnElement>& devices) {
    static const std::string kUdnClose = "</UDN>";
    // Per open device element, its index in devices; -1 below the embedded
    // devices' level, whose UDNs are not ours to fill.
    std::vector<int> open;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        if (text.compare(at, 4, "<!--") == 0) {
            at = text.find("-->", at);
            if (at == std::string::npos)
                break;
            continue;
        }
        const bool closing = text.compare(at, 2, "</") == 0;
        const size_t name_begin = at + (closing ? 2 : 1);
        const size_t name_end = text.find_first_of(" \t\r\n/>", name_begin);
        if (name_end == std::string::npos)
            break;
        const std::string name = text.substr(name_begin, name_end - name_begin);
        const size_t tag_end = text.find('>', name_end);
        if (tag_end == std::string::npos)
            break;
        const bool self_closing = text[tag_end - 1] == '/';
        if (name == "device" && !self_closing) {
            if (closing && !open.empty()) {
                open.pop_back();
            } else if (!closing) {
                open.push_back(open.size() < 2 ? static_cast<int>(devices.size()) : -1);
                if (open.back() >= 0)
                    devices.push_back(UdnElement());
            }
            continue;
        }
        if (name != "UDN" || closing || open.empty() || open.back() < 0 ||
            devices[open.back()].begin != std::string::npos)
            continue;
        UdnElement& element = devices[open.back()];
        element.begin = at;
        if (self_closing) {
            element.end = tag_end + 1;
            element.empty = true;
            continue;
        }
        const size_t close = text.find(kUdnClose, tag_end);
        if (close == std::string::npos) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "</UDN> not found in description");
            return false;
        }
        element.end = close + kUdnClose.size();
        element.empty = text.find_first_not_of(" \t\r\n", tag_end + 1) >= close;
        at = close;
    }
    return true;
}

// Gives every device of root (the root first, then its direct embedded
// devices) whose UDN is empty one of its own, written into that device's
// own empty UDN element of text. The file is rewritten once; where it
// cannot be, each such device gets its derived UDN instead and text holds
// those, to be served from memory. False (file untouched) when a device
// has no UDN element of its own or one cannot be generated.
bool AssignMissingUdns(const std::string& folder, std::string& text, DeviceInfo& root) {
    std::vector<DeviceInfo*> devices(1, &root);
    for (DeviceInfoPtr& embedded : root.embeddedDevices)
        devices.push_back(embedded.get());
    std::vector<size_t> missing;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i]->udn.empty())
            missing.push_back(i);
    }
    if (missing.empty())
        return true;
    std::vector<UdnElement> elements;
    if (!LocateUdnElements(text, elements))
        return false;
    for (size_t i : missing) {
        if (i >= elements.size() || elements[i].begin == std::string::npos || !elements[i].empty) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Neither <UDN> nor <UDN/> found in description%s",
                     i == 0 ? "" : " in deviceList header");
            return false;
        }
    }
    // Replaced from the last element back, so earlier offsets stay valid.
    const auto fill = [&](const std::function<std::string(size_t)>& udn_of) {
        std::string filled = text;
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            devices[*it]->udn = udn_of(*it);
            const UdnElement& element = elements[*it];
            filled.replace(element.begin, element.end - element.begin,
                           "<UDN>" + devices[*it]->udn + "</UDN>");
        }
        return filled;
    };
    bool generated = true;
    std::string written = fill([&](size_t) {
        std::string udn;
        generated = GenerateUdn(udn) && generated;
        return udn;
    });
    if (!generated) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Bad Cast Exception while converting UUID to string!");
        return false;
    }
    if (WriteDescriptionText(folder, written) == CD_SUCCESS) {
        text = written;
        return true;
    }
    // A read-only folder is a configuration, not a fault: the device gets
    // the same UDN at every start, and serves it from memory.
    text = fill([&](size_t place) { return DerivedUdn(folder, place); });
    for (size_t i : missing)
        ZEL_LOGW(ZEL_CORE_CDDISCOVERY, "description not writable: derived UDN %s served",
                 devices[i]->udn.c_str());
    return true;
}

}  // namespace

int ParseDescription(const std::string& folder, const std::string& descriptionUrl,
                     DeviceInfo& device) {
    std::string text;
    if (!ReadDescriptionText(folder, text)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Failed to Open Description File!");
        return CD_INVALID;
    }
    if (!XMLParseDeviceDescription(text, device))
        return CD_INVALID;
    if (!AssignMissingUdns(folder, text, device)) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " UDN is not correctly generated!! ");
        return CD_INVALID;
    }
    if (device.deviceType.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " Device type is null!! ");
        return CD_INVALID;
    }
    device.descriptionUrl = descriptionUrl;
    device.descriptionFolder = folder;
    for (DeviceInfoPtr& embedded : device.embeddedDevices) {
        embedded->descriptionUrl = descriptionUrl;
        embedded->descriptionFolder = folder;
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "description_url=[%s], udn=[%s]", descriptionUrl.c_str(),
                 embedded->udn.c_str());
    }
    device.documents = LoadDeviceDocuments(folder, text, device);
    for (DeviceInfoPtr& embedded : device.embeddedDevices)
        embedded->documents = device.documents;
    return CD_SUCCESS;
}

int ModifyDescriptionByFriendName(const std::string& name, const std::string& folder,
                                  std::string& text) {
    if (!ReadDescriptionText(folder, text)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Failed to Open Description File!");
        return CD_FAILURE;
    }
    static const std::string kOpen = "<friendlyName>";
    const size_t begin = text.find(kOpen);
    const size_t end =
        begin == std::string::npos ? std::string::npos : text.find("</friendlyName>", begin);
    if (end == std::string::npos)
        return CD_FAILURE;
    // The name is the application's text; escaped so the document stays
    // well-formed whatever it holds.
    std::string escaped;
    if (!name.empty() && utils::XmlEscapeValue(name, escaped) != utils::UTILS_SUCCESS)
        return CD_FAILURE;
    text.replace(begin + kOpen.size(), end - begin - kOpen.size(), escaped);
    return WriteDescriptionText(folder, text);
}

}  // namespace cd_discovery
}  // namespace zel_upnp
