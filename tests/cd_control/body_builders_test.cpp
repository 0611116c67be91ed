#include <zel_upnp/cd_control.h>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <string>

#include <zel_upnp/utils.h>

namespace {

namespace cc = zel_upnp::cd_control;

const char kType[] = "urn:schemas-upnp-org:service:Dimming:1";

TEST(BodyBuilders, ExactBytes) {
    EXPECT_EQ(cc::BuildActionResponse(kType, "GetLoadLevelStatus", {{"RetLoadLevelStatus", "50"}}),
              "<u:GetLoadLevelStatusResponse xmlns:u=\"urn:schemas-upnp-org:service:Dimming:1\">"
              "<RetLoadLevelStatus>50</RetLoadLevelStatus></u:GetLoadLevelStatusResponse>");
    EXPECT_EQ(cc::BuildActionResponse("a\"b", "Stop", {}),
              "<u:StopResponse xmlns:u=\"a&quot;b\"></u:StopResponse>");
    EXPECT_EQ(cc::BuildPropertySet({{"Status", "1"}, {"Target", ""}}),
              "<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">"
              "<e:property><Status>1</Status></e:property>"
              "<e:property><Target></Target></e:property></e:propertyset>");
    EXPECT_EQ(cc::BuildUPnPFault(701, "Transition <not> available"),
              "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
              "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
              "<errorCode>701</errorCode><errorDescription>Transition &lt;not&gt; available"
              "</errorDescription></UPnPError></detail></s:Fault>");
}

// What a control point reads back is what the application gave, whatever
// the value holds: markup, quotes, entity text, line breaks.
TEST(BodyBuilders, ValuesComeBackExactly) {
    const std::string values[] = {"<DIDL-Lite xmlns=\"urn:x\"><item id='1'/></DIDL-Lite>",
                                  "a&amp;b & c", "line\r\nbreak\ttab", "]]>", "caf\xC3\xA9"};
    for (const std::string& value : values) {
        const std::string body = cc::BuildPropertySet({{"LastChange", value}});
        const size_t start = body.find("<LastChange>") + 12;
        const std::string text = body.substr(start, body.find("</LastChange>") - start);
        EXPECT_EQ(text.find_first_of("<>\r\n\""), std::string::npos) << text;
        std::string decoded;
        ASSERT_EQ(zel_upnp::utils::XmlUnescapeValue(text, decoded), zel_upnp::utils::UTILS_SUCCESS);
        EXPECT_EQ(decoded, value);
    }
    // No XML 1.0 document may carry other C0 bytes, even as references.
    EXPECT_EQ(cc::BuildPropertySet({{"V", std::string("a\x01"
                                                      "b",
                                                      3)}})
                  .find('\x01'),
              std::string::npos);
}

TEST(BodyBuilders, RefusedNames) {
    const std::string bad[] = {"", "1st", "a b", "a<b", "u:x", "a\r\nb"};
    for (const std::string& name : bad) {
        EXPECT_EQ(cc::BuildActionResponse(kType, name, {}), "") << name;
        EXPECT_EQ(cc::BuildActionResponse(kType, "Play", {{name, "1"}}), "") << name;
        EXPECT_EQ(cc::BuildPropertySet({{name, "1"}}), "") << name;
        EXPECT_EQ(cc::SendActionResult(1, kType, name, {}), cc::CDC_INVALID_NAME) << name;
    }
    EXPECT_EQ(cc::BuildActionResponse("", "Play", {}), "");
    EXPECT_EQ(cc::BuildActionResponse("urn:x\r\nX: y", "Play", {}), "");
    EXPECT_EQ(cc::BuildPropertySet({}), "");
}

TEST(BodyBuilders, GetActionArgument) {
    std::vector<boost::shared_ptr<cc::StrArgument> > args;
    for (auto pair : {std::make_pair("InstanceID", "0"), std::make_pair("u:Speed", "1"),
                      std::make_pair("Speed", "2"), std::make_pair("xSpeed", "3")})
        args.push_back(
            boost::make_shared<cc::StrArgument>(cc::StrArgument{pair.first, pair.second}));
    args.push_back(nullptr);
    std::string value = "untouched";
    EXPECT_FALSE(cc::GetActionArgument(args, "Missing", value));
    EXPECT_FALSE(cc::GetActionArgument(args, "", value));
    EXPECT_EQ(value, "untouched");
    ASSERT_TRUE(cc::GetActionArgument(args, "Speed", value));
    EXPECT_EQ(value, "1");  // the prefix is not part of the name; the first one wins
    ASSERT_TRUE(cc::GetActionArgument(args, "InstanceID", value));
    EXPECT_EQ(value, "0");
}

}  // namespace
