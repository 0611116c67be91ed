#include "cd_discovery/src/device_description_parser.h"

#include <gtest/gtest.h>

#include <string>

#include <boost/algorithm/string/replace.hpp>

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
        // A second parse keeps the written UDN.
        cd::DeviceInfo again;
        ASSERT_EQ(cd::CD_SUCCESS, cd::ParseDescription(folder.Path(), "d.xml", again));
        EXPECT_EQ(device.udn, again.udn);
    }
}

}  // namespace
