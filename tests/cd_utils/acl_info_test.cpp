#include "cd_utils/src/acl_info.h"

#include <gtest/gtest.h>

namespace {

using namespace zel_upnp::cd_utils;

const char kMacA[] = "AA-AA-AA-AA-AA-01";
const char kMacB[] = "AA-AA-AA-AA-AA-02";

// Only strict decimal numbers in the int range count; 0 marks a refusal.
TEST(AclInfo, DefaultNameNumbersAreStrictDecimal) {
    const std::pair<const char*, int> cases[] = {{"Device 7", 7},
                                                 {"Device +5", 5},
                                                 {"Device -3", -3},
                                                 {"Device 2147483647", 2147483647},
                                                 {"Device -2147483648", -2147483647 - 1},
                                                 {"Device 2147483648", 0},
                                                 {"Device x1", 0},
                                                 {"Device 1 ", 0},
                                                 {"Device  1", 0},
                                                 {"Device ", 0},
                                                 {"Device -", 0},
                                                 {"device 1", 0},
                                                 {"Device1", 0}};
    for (const auto& c : cases) {
        int number = 0;
        EXPECT_EQ(ParseDefaultNameNumber(c.first, number), c.second != 0) << c.first;
        EXPECT_EQ(number, c.second) << c.first;
    }
}

TEST(AclInfo, NumberingFailsWhenNoNumberIsLeft) {
    AccessControlInfo store(ACL_MODE_ALLOW_ALL);
    ASSERT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacA, "10.0.0.1", "", "Device 2147483647"), 0);
    int index = -100;
    EXPECT_EQ(store.GetNewDeviceIndex(kMacB, index), 1);
    EXPECT_EQ(index, -100);
}

TEST(AclInfo, ListsAreBounded) {
    AccessControlInfo store(ACL_MODE_ALLOW_ALL);
    for (size_t i = 0; i < kMaxAclEntriesPerList; ++i)
        ASSERT_EQ(store.AddAclEntry(ACL_REJECTED, "M" + std::to_string(i), "10.0.0.1", "", ""), 0);
    EXPECT_EQ(store.AddAclEntry(ACL_REJECTED, "one more", "10.0.0.1", "", ""), 1);
    EXPECT_EQ(store.FindAclEntry(ACL_REJECTED, "one more"), 1);
}

}  // namespace
