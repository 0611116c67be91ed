#include "cd_discovery/src/device_description_parser.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/operations.hpp>

#include <zel_upnp/cd_discovery.h>
#include "support/device_library.h"

namespace {

namespace cd = zel_upnp::cd_discovery;

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    boost::algorithm::replace_all(text, from, to);
    return text;
}

const char kUdnElement[] = "<UDN>uuid:root-1</UDN>";
const char kDeviceList[] =
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:Embedded:1</deviceType>"
    "<friendlyName>Test Embedded</friendlyName><UDN>uuid:emb-1</UDN><serviceList><service>"
    "<serviceType>urn:schemas-upnp-org:service:SwitchPower:1</serviceType><SCPDURL>/sp/"
    "scpd.xml</SCPDURL></service></serviceList></device></deviceList>";

// Every malformed document (the valid one with from replaced by to) is
// refused with 6002 and its file left as it was.
TEST(DeviceDescriptionParserTest, MalformedDocumentsAreRefusedWithoutTouchingTheFile) {
    const char* const cases[][2] = {
        {"device>", "dev>"},  // no device element
        {"urn:dial-multiscreen-org:service:dial:1", ""},
        {kUdnElement, ""},  // nothing to put a UDN in, as the embedded one goes too
        {kUdnElement, "<UDN>"},
        {"urn:schemas-upnp-org:device:MediaServer:1", " "},
        {"<url>/icons/i.png</url>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        zel_test::DescriptionFolder folder;
        std::string text = Replace(folder.Read(), c[0], c[1]);
        if (std::string(c[0]) == kUdnElement && *c[1] == '\0')
            text = Replace(text, kDeviceList, "");
        folder.Write("DeviceDescription.xml", text);
        cd::DeviceInfo device;
        EXPECT_EQ(cd::CD_INVALID, cd::ParseDescription(folder.Path(), "d.xml", device));
        EXPECT_EQ(text, folder.Read());
    }
    zel_test::DescriptionFolder folder;
    folder.Write("DeviceDescription.xml", "<root><device>");
    cd::DeviceInfo device;
    EXPECT_EQ(cd::CD_INVALID, cd::ParseDescription(folder.Path(), "d.xml", device));
    EXPECT_EQ(cd::CD_INVALID, cd::ParseDescription("/nonexistent/zel", "d.xml", device));
}

// An empty or self-closed UDN gets a generated one, written in its place.
TEST(DeviceDescriptionParserTest, MissingUdnIsGeneratedAndWrittenBack) {
    for (const char* element : {"<UDN></UDN>", "<UDN/>", "<UDN>  </UDN>"}) {
        SCOPED_TRACE(element);
        zel_test::DescriptionFolder folder(element);
        const std::string before = folder.Read();
        cd::DeviceInfo device;
        ASSERT_EQ(cd::CD_SUCCESS, cd::ParseDescription(folder.Path(), "d.xml", device));
        ASSERT_EQ(41u, device.udn.size());
        EXPECT_EQ(0u, device.udn.find("uuid:"));
        const std::string expected =
            Replace(before, element, std::string("<UDN>") + device.udn + "</UDN>");
        EXPECT_EQ(expected, folder.Read());
        // Written through a temporary file renamed over the old one.
        // No temporary file left beside the document, three SCPDs and icons/.
        EXPECT_EQ(5, std::distance(boost::filesystem::directory_iterator(folder.Path()),
                                   boost::filesystem::directory_iterator()));
        // A second parse keeps the written UDN.
        cd::DeviceInfo again;
        ASSERT_EQ(cd::CD_SUCCESS, cd::ParseDescription(folder.Path(), "d.xml", again));
        EXPECT_EQ(device.udn, again.udn);
    }
}

// Each embedded device's UDN goes into that device's own element; one
// without an element of its own refuses the document and touches nothing.
TEST(DeviceDescriptionParserTest, EachEmbeddedDeviceGetsItsOwnUdnElement) {
    const auto device = [](const std::string& name, const std::string& udn) {
        return "<device><deviceType>urn:x:device:" + name + ":1</deviceType>" + udn +
               "<deviceList><device><deviceType>urn:x:device:Deep:1</deviceType><UDN/>"
               "</device></deviceList></device>";
    };
    const struct {
        const char* a;
        bool ok;
    } cases[] = {{"<UDN/>", true}, {"<UDN></UDN>", true}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a);
        zel_test::DescriptionFolder folder;
        const std::string text =
            Replace(folder.Read(), kDeviceList,
                    "<deviceList>" + device("A", c.a) + device("B", "<UDN/>") + "</deviceList>");
        folder.Write("DeviceDescription.xml", text);
        cd::DeviceInfo root;
        const int result = cd::ParseDescription(folder.Path(), "d.xml", root);
        if (!c.ok) {
            EXPECT_EQ(cd::CD_INVALID, result);
            EXPECT_EQ(text, folder.Read());
            continue;
        }
        ASSERT_EQ(cd::CD_SUCCESS, result);
        ASSERT_EQ(2u, root.embeddedDevices.size());
        const std::string a = root.embeddedDevices[0]->udn;
        const std::string b = root.embeddedDevices[1]->udn;
        EXPECT_NE(a, b);
        const std::string written = folder.Read();
        EXPECT_EQ(Replace(Replace(text, device("A", c.a), device("A", "<UDN>" + a + "</UDN>")),
                          device("B", "<UDN/>"), device("B", "<UDN>" + b + "</UDN>")),
                  written);
        EXPECT_EQ(written, root.documents->description);
        cd::DeviceInfo again;
        ASSERT_EQ(cd::CD_SUCCESS, cd::ParseDescription(folder.Path(), "d.xml", again));
        EXPECT_EQ(b, again.embeddedDevices[1]->udn);
    }
}

// A folder that cannot be written (a read-only mount: root ignores mode
// bits) gives the same derived UDN at every parse, served from memory.
TEST(DeviceDescriptionParserTest, ReadOnlyFolderGetsTheSameDerivedUdnEveryTime) {
    zel_test::DescriptionFolder source("<UDN/>");
    const std::string folder = source.Path() + "/ro";
    boost::filesystem::create_directories(folder);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "needs root to mount a read-only folder";
    std::unique_ptr<const char, void (*)(const char*)> unmount(
        folder.c_str(), [](const char* path) { ::umount2(path, MNT_DETACH); });
    const std::string text = source.Read();
    std::ofstream(folder + "/DeviceDescription.xml") << text;
    ASSERT_EQ(0, ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
    cd::DeviceInfo first;
    cd::DeviceInfo second;
    ASSERT_EQ(cd::CD_SUCCESS, cd::ParseDescription(folder, "d.xml", first));
    ASSERT_EQ(cd::CD_SUCCESS, cd::ParseDescription(folder, "d.xml", second));
    EXPECT_EQ(first.udn, second.udn);
    ASSERT_EQ(41u, first.udn.size());
    EXPECT_EQ('5', first.udn[5 + 14]);  // a name-based UUID
    EXPECT_EQ(Replace(text, "<UDN/>", "<UDN>" + first.udn + "</UDN>"),
              second.documents->description);
    std::ifstream file(folder + "/DeviceDescription.xml");
    EXPECT_EQ(text, std::string(std::istreambuf_iterator<char>(file), {}));
}

}  // namespace
