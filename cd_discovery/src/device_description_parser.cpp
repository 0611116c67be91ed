// Description parsing and the in-place rewrites of "DeviceDescription.xml".
// Runs on the application thread that registers a device or renames it.
#include "cd_discovery/src/device_description_parser.h"

#include <climits>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include <boost/random/mersenne_twister.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <zel_upnp/cd_discovery.h>
#include <zel_upnp/utils.h>
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

int WriteDescriptionText(const std::string& folder, const std::string& text) {
    std::ofstream file(folder + kDescriptionFileName,
                       std::ios_base::out | std::ios_base::trunc | std::ios_base::binary);
    if (!file.is_open()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " Unable to make stream ");
        return CD_FILE_ERROR;
    }
    if (!file.write(text.data(), static_cast<std::streamsize>(text.size())) || !file.flush()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " Cannot write stream!! ");
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

// The UDN element a generated UDN goes into: the first empty one ("<UDN/>",
// or "<UDN>" holding only white space) of a device `level` deviceList
// elements below from, skipping deeper devices and ending with the
// deviceList it started in. Devices get their UDNs in document order, so
// this is the element of the device being given one and never a UDN written
// for an earlier device. CD_SUCCESS with [begin, end), or CD_FAILURE logged.
int FindEmptyUdnElement(const std::string& text, size_t from, int level, const char* where,
                        size_t& begin, size_t& end) {
    static const std::string kListOpen = "<deviceList>";
    static const std::string kListClose = "</deviceList>";
    static const std::string kOpen = "<UDN>";
    static const std::string kClose = "</UDN>";
    static const std::string kEmpty = "<UDN/>";
    static const std::string* const kTokens[] = {&kListOpen, &kListClose, &kOpen, &kEmpty};
    int depth = 0;
    for (size_t at = from;;) {
        const std::string* token = nullptr;
        size_t found = std::string::npos;
        for (const std::string* candidate : kTokens) {
            const size_t position = text.find(*candidate, at);
            if (position < found) {
                found = position;
                token = candidate;
            }
        }
        if (token == nullptr || (token == &kListClose && depth - 1 < level))
            break;
        at = found + token->size();
        if (token == &kListOpen || token == &kListClose) {
            depth += token == &kListOpen ? 1 : -1;
            continue;
        }
        size_t element_end = at;
        bool empty = token == &kEmpty;
        if (token == &kOpen) {
            const size_t close = text.find(kClose, at);
            if (close == std::string::npos) {
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "</UDN> not found in description%s", where);
                return CD_FAILURE;
            }
            empty = text.find_first_not_of(" \t\r\n", at) >= close;
            element_end = close + kClose.size();
        }
        if (empty && depth == level) {
            begin = found;
            end = element_end;
            return CD_SUCCESS;
        }
        at = element_end;
    }
    ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Neither <UDN> nor <UDN/> found in description%s", where);
    return CD_FAILURE;
}

// The two UDN rewrites differ only in where the search begins.
int ReplaceUdnElement(const std::string& folder, bool in_device_list, std::string& udn) {
    if (folder.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " file path is null!");
        return CD_FILE_ERROR;
    }
    std::string text;
    if (!ReadDescriptionText(folder, text)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Failed to Open Description File!");
        return CD_FAILURE;
    }
    const char* where = in_device_list ? " in deviceList header" : "";
    size_t from = 0;
    if (in_device_list) {
        from = text.find("<deviceList>");
        if (from == std::string::npos) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "<deviceList> not found in XML file.");
            return CD_FAILURE;
        }
    }
    size_t begin = 0;
    size_t end = 0;
    if (FindEmptyUdnElement(text, from, in_device_list ? 1 : 0, where, begin, end) != CD_SUCCESS)
        return CD_FAILURE;
    std::string generated;
    if (!GenerateUdn(generated)) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Bad Cast Exception while converting UUID to string!");
        return CD_FAILURE;
    }
    text.replace(begin, end - begin, "<UDN>" + generated + "</UDN>");
    // The generated UDN is used even when it cannot be written back.
    udn = generated;
    return WriteDescriptionText(folder, text);
}

std::string GenerateMissingUdn(const std::string& folder, bool embedded) {
    std::string udn;
    const int result = embedded ? ModifyDescriptionByCreatingEmbUDN(folder, udn)
                                : ModifyDescriptionByCreatingUDN(folder, udn);
    if (result != CD_SUCCESS && embedded)
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "ModifyDescriptionByCreatingEmbUDN() failed");
    return udn;
}

}  // namespace

int ModifyDescriptionByCreatingUDN(const std::string& folder, std::string& udn) {
    return ReplaceUdnElement(folder, false, udn);
}

int ModifyDescriptionByCreatingEmbUDN(const std::string& folder, std::string& udn) {
    const int result = ReplaceUdnElement(folder, true, udn);
    ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "emb_udn_value=[%s]", udn.c_str());
    if (result == CD_SUCCESS)
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "return success");
    return result;
}

int ParseDescription(const std::string& folder, const std::string& descriptionUrl,
                     DeviceInfo& device) {
    std::string text;
    if (!ReadDescriptionText(folder, text)) {
        ZEL_LOGE(ZEL_CORE_UTILS, "Failed to Open Description File!");
        return CD_INVALID;
    }
    if (!XMLParseDeviceDescription(text, device))
        return CD_INVALID;
    if (device.udn.empty()) {
        device.udn = GenerateMissingUdn(folder, false);
        if (device.udn.empty()) {
            ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " UDN is not correctly generated!! ");
            return CD_INVALID;
        }
    }
    if (device.deviceType.empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, " Device type is null!! ");
        return CD_INVALID;
    }
    device.descriptionUrl = descriptionUrl;
    device.descriptionFolder = folder;
    for (DeviceInfoPtr& embedded : device.embeddedDevices) {
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "inside Emb device case");
        if (embedded->udn.empty()) {
            embedded->udn = GenerateMissingUdn(folder, true);
            if (embedded->udn.empty()) {
                ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Emb UDN is not correctly generated!! ");
                return CD_INVALID;
            }
        }
        embedded->descriptionUrl = descriptionUrl;
        embedded->descriptionFolder = folder;
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "description_url=[%s], udn=[%s]", descriptionUrl.c_str(),
                 embedded->udn.c_str());
    }
    return CD_SUCCESS;
}

int ModifyDescriptionByFriendName(const std::string& name, const std::string& folder) {
    std::string text;
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
