// Description, service-description and icon answers, built from the bytes
// read at registration. Runs on the "ZelTcpIo" thread that read the request
// (or on "ZelTcpAsk" after an access listener answered): nothing here reads
// a file or waits; the device list's mutex is held only while a path is
// looked up, never while an answer is built or sent.
#include "cd_discovery/src/send_description.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include <zel_upnp/network_layer.h>
#include "cd_discovery/src/device_info_list.h"
#include "network_layer/src/ipv6_address.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/string/header_text.h"

namespace zel_upnp {
namespace cd_discovery {

const char kBadRequestResponse[] = "HTTP/1.1 400 Bad Request\r\nConnection: Close\r\n\r\n";
const char kNotFoundResponse[] = "HTTP/1.1 404 Not Found\r\n\r\n";

namespace {

const char kDefaultUserAgent[] = "DLNADOC/1.50 QTN_HHP_Varnesk Mobile/1.0 UPnP/1.0";
const char kServiceMarker[] = "service:";
const int kDefaultApplicationUrlPort = 80;
// The URL elements rewritten in a served description, in rewrite order.
const char* const kRewrittenTags[] = {"SCPDURL", "controlURL", "eventSubURL"};
// Icons larger than this are not served: the whole answer is built in memory.
const long long kMaxIconBytes = 16 * 1024 * 1024;

// "urn:...:service:Name:1" -> "Name_1.xml"; empty when the type has no
// "service:" with a ":" after it, or would name a file outside the folder.
std::string ScpdFileName(const std::string& service_type) {
    const size_t marker = service_type.find(kServiceMarker);
    if (marker == std::string::npos)
        return std::string();
    std::string name = service_type.substr(marker + std::strlen(kServiceMarker));
    const size_t colon = name.find(':');
    if (colon == std::string::npos || name.find('/') != std::string::npos)
        return std::string();
    name[colon] = '_';
    return name + ".xml";
}

// An icon path may name only a file inside the device's folder: no ".."
// segment, and after following links the file must still lie below it.
bool IconPathInsideFolder(const std::string& folder, const std::string& path) {
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(begin, end - begin, "..") == 0)
            return false;
        begin = end + 1;
    }
    boost::system::error_code error;
    const boost::filesystem::path root = boost::filesystem::canonical(folder, error);
    if (error)
        return false;
    const boost::filesystem::path file = boost::filesystem::canonical(folder + "/" + path, error);
    if (error)
        return true;  // missing file: opening it fails and is answered 404
    const std::string prefix = root.string() + "/";
    return file.string().compare(0, prefix.size(), prefix) == 0;
}

void FillCommon(const DeviceInfo& device, DescriptionTarget& target) {
    target.userAgent = device.userAgent;
    target.udn = device.udn;
    target.documents = device.documents;
}

DescriptionLookup FindTarget(DeviceInfoList& list, const std::string& path,
                             DescriptionTarget& target) {
    boost::lock_guard<boost::mutex> lock(list.Mutex());
    if (DeviceInfoPtr device = list.FindByDescriptionUrl(path)) {
        if (!device->active)
            return DescriptionLookup::kNotFound;
        FillCommon(*device, target);
        target.isDescription = true;
        target.applicationUrlScheme = device->applicationUrlScheme;
        target.applicationUrlPort = device->applicationUrlPort;
        target.applicationUrlPath = device->applicationUrlPath;
        target.port = device->portNumber;
        return DescriptionLookup::kFound;
    }
    for (const DeviceInfoPtr& device : list.Devices()) {
        for (size_t i = 0; i < device->scpdUrls.size(); ++i) {
            if (device->scpdUrls[i] != path)
                continue;
            const std::string name = ScpdFileName(device->serviceTypes[i]);
            if (!device->active || name.empty())
                return DescriptionLookup::kNotFound;
            FillCommon(*device, target);
            target.fileKey = name;
            return DescriptionLookup::kFound;
        }
    }
    for (const DeviceInfoPtr& device : list.Devices()) {
        for (const boost::shared_ptr<CDDeviceIcon>& icon : device->icons) {
            if (icon->url != path)
                continue;
            if (!device->active)
                return DescriptionLookup::kNotFound;
            FillCommon(*device, target);
            target.fileKey = path;
            target.mimetype = icon->mimetype;
            target.isIcon = true;
            return DescriptionLookup::kFound;
        }
    }
    return DescriptionLookup::kNotFound;
}

// The bytes of a file of the folder, when it is a regular file of at most
// limit bytes.
bool ReadWholeFile(const std::string& path, long long limit, std::string& bytes) {
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(path, error))
        return false;
    std::ifstream file(path, std::ios_base::in | std::ios_base::binary);
    file.seekg(0, std::ios_base::end);
    const long long size = static_cast<long long>(file.tellg());
    file.seekg(0, std::ios_base::beg);
    if (!file || size < 0 || size > limit)
        return false;
    bytes.resize(static_cast<size_t>(size));
    return size == 0 || static_cast<bool>(file.read(&bytes[0], size));
}

void LoadFilesOf(const std::string& folder, const DeviceInfo& device, DeviceDocuments& documents) {
    for (const std::string& type : device.serviceTypes) {
        const std::string name = ScpdFileName(type);
        if (name.empty() || documents.files.count(name) != 0)
            continue;
        char* data = nullptr;
        if (utils::ReadFileUTF8(folder + "/" + name, &data) == utils::UTILS_SUCCESS &&
            data[0] != '\0')
            documents.files[name] = data;
        else
            ZEL_LOGW(ZEL_CORE_CDDISCOVERY, "service description %s not readable", name.c_str());
        delete[] data;
    }
    for (const boost::shared_ptr<CDDeviceIcon>& icon : device.icons) {
        std::string bytes;
        if (documents.files.count(icon->url) != 0)
            continue;
        if (IconPathInsideFolder(folder, icon->url) &&
            ReadWholeFile(folder + "/" + icon->url, kMaxIconBytes, bytes))
            documents.files[icon->url] = std::move(bytes);
        else
            ZEL_LOGW(ZEL_CORE_CDDISCOVERY, "icon %s not readable", icon->url.c_str());
    }
}

// The path part of an absolute URL, "/" when it has none.
std::string PathOfUrl(const std::string& url) {
    std::string host;
    int port = 0;
    std::string path;
    if (utils::StringUtils::ParseURI(url, host, port, path) == 1)
        return path;
    const size_t authority = url.find("//");
    const size_t slash =
        url.find('/', authority == std::string::npos ? 0 : authority + std::strlen("//"));
    return slash == std::string::npos ? std::string("/") : url.substr(slash);
}

std::string ApplicationUrlLine(const DescriptionTarget& target, const std::string& local) {
    std::string path = target.applicationUrlPath;
    utils::StringUtils::TrimString(path);
    if (path.empty())
        return std::string();
    if (path[0] == '/')
        path.erase(0, 1);
    const int port =
        target.applicationUrlPort < 1 ? kDefaultApplicationUrlPort : target.applicationUrlPort;
    return "Application-URL: " + target.applicationUrlScheme + "://" +
           network_layer::UrlHost(local) + ":" + std::to_string(port) + "/" + path + "\r\n";
}

int SendDocument(const boost::shared_ptr<utils::HTTPInfo>& request, const DescriptionTarget& target,
                 void* session) {
    const std::string* document = nullptr;
    if (target.documents && target.isDescription) {
        document = &target.documents->description;
    } else if (target.documents) {
        auto found = target.documents->files.find(target.fileKey);
        if (found != target.documents->files.end())
            document = &found->second;
    }
    if (document == nullptr || document->empty()) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Cannot obtain description!!!");
        return SendTextResponse(kNotFoundResponse, session);
    }
    const std::string local = request->GetMyIpAddress();
    const bool rewrite = target.isDescription && target.port > 0;
    const std::string rewritten =
        rewrite ? RewriteDescriptionUrls(*document, local, target.port) : std::string();
    const std::string& body = rewrite ? rewritten : *document;

    std::string language;
    // The peer's value is echoed, so it must not be able to end the line:
    // a value with CR, LF or NUL drops the header instead.
    const bool has_language =
        request->GetHeaderValue("ACCEPT-LANGUAGE", language) == 0 && utils::IsHeaderSafe(language);
    std::string answer;
    answer.reserve(body.size() + 512);
    answer += "HTTP/1.1 200 OK\r\n";
    if (has_language)
        answer += "Content-Language: " + language + "\r\n";
    answer += "Content-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: ";
    answer += std::to_string(body.size());
    answer += "\r\nConnection: close\r\nUser-Agent: ";
    answer += target.userAgent.empty() ? kDefaultUserAgent : target.userAgent;
    answer += "\r\nServer: NRV, UPnP/1.0, Varnesk UPnP SDK/1.0\r\n";
    if (target.isDescription)
        answer += ApplicationUrlLine(target, local);
    answer += "\r\n";
    answer += body;
    return SendOwnedResponse(std::move(answer), session);
}

}  // namespace

int SendOwnedResponse(std::string&& text, void* session) {
    std::string* heap = new (std::nothrow) std::string(std::move(text));
    if (heap == nullptr)
        return network_layer::SendSyncResponsePacket(text, static_cast<int>(text.size()), session);
    const int result =
        network_layer::SendResponsePacket(heap, static_cast<int>(heap->size()), session);
    if (result != 0)
        delete heap;
    return result;
}

DescriptionLookup GetDeviceDescDetails(const std::string& path, DescriptionTarget& target) {
    boost::shared_ptr<DeviceInfoList> list = DeviceInfoList::Existing();
    const DescriptionLookup found =
        list ? FindTarget(*list, path, target) : DescriptionLookup::kNotFound;
    if (found == DescriptionLookup::kNotFound)
        ZEL_LOGD(ZEL_CORE_CDDISCOVERY, "Device info not found!!");
    return found;
}

std::string RewriteDescriptionUrls(const std::string& text, const std::string& localAddress,
                                   int port) {
    std::string out = text;
    // An IPv6 address of the request's interface is bracketed, without zone.
    const std::string authority =
        "http://" + network_layer::UrlHost(localAddress) + ":" + std::to_string(port);
    for (const char* tag : kRewrittenTags) {
        const std::string open = std::string("<") + tag + ">";
        const std::string close = std::string("</") + tag + ">";
        size_t from = 0;
        for (;;) {
            const size_t begin = out.find(open, from);
            if (begin == std::string::npos)
                break;
            const size_t value_begin = begin + open.size();
            const size_t end = out.find(close, value_begin);
            if (end == std::string::npos)
                break;
            std::string value = out.substr(value_begin, end - value_begin);
            utils::StringUtils::TrimString(value);
            if (value.empty())
                value = "/";
            else if (value[0] == 'h')
                value = PathOfUrl(value);
            else if (value[0] != '/')
                value.insert(0, "/");
            const std::string url = authority + value;
            out.replace(value_begin, end - value_begin, url);
            from = value_begin + url.size() + close.size();
        }
    }
    return out;
}

DeviceDocumentsPtr LoadDeviceDocuments(const std::string& folder, const std::string& description,
                                       const DeviceInfo& root) {
    boost::shared_ptr<DeviceDocuments> documents = boost::make_shared<DeviceDocuments>();
    documents->description = description;
    LoadFilesOf(folder, root, *documents);
    for (const DeviceInfoPtr& embedded : root.embeddedDevices)
        LoadFilesOf(folder, *embedded, *documents);
    return documents;
}

DeviceDocumentsPtr WithDescription(const DeviceDocumentsPtr& documents,
                                   const std::string& description) {
    boost::shared_ptr<DeviceDocuments> copy = documents
                                                  ? boost::make_shared<DeviceDocuments>(*documents)
                                                  : boost::make_shared<DeviceDocuments>();
    copy->description = description;
    return copy;
}

int SendTextResponse(const std::string& text, void* session) {
    return SendOwnedResponse(std::string(text), session);
}

int SendDescription(const boost::shared_ptr<utils::HTTPInfo>& request,
                    const DescriptionTarget& target, void* session) {
    if (!target.isIcon)
        return SendDocument(request, target, session);
    const std::string* bytes = nullptr;
    if (target.documents) {
        auto found = target.documents->files.find(target.fileKey);
        if (found != target.documents->files.end())
            bytes = &found->second;
    }
    if (bytes == nullptr) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "Icon can't be sent!!!");
        return SendTextResponse(kNotFoundResponse, session);
    }
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: " + target.mimetype +
                             "\r\nContent-Length: " + std::to_string(bytes->size()) +
                             "\r\nConnection: close\r\n\r\n";
    const size_t total = head.size() + bytes->size();
    char* icon = static_cast<char*>(std::malloc(total));
    if (icon == nullptr) {
        ZEL_LOGE(ZEL_CORE_CDDISCOVERY, "malloc failed!!");
        return SendTextResponse(kNotFoundResponse, session);
    }
    std::memcpy(icon, head.data(), head.size());
    std::memcpy(icon + head.size(), bytes->data(), bytes->size());
    const int length = static_cast<int>(total);
    const int result = network_layer::SendBinaryResponsePacket(icon, length, session);
    if (result != 0)
        std::free(icon);
    return result;
}

}  // namespace cd_discovery
}  // namespace zel_upnp
