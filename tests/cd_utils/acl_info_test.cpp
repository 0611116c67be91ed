#include "cd_utils/src/acl_info.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

namespace {

using namespace zel_upnp::cd_utils;

const char kMacA[] = "AA-AA-AA-AA-AA-01";
const char kMacB[] = "AA-AA-AA-AA-AA-02";
const char kMacC[] = "AA-AA-AA-AA-AA-03";

int NextIndex(AccessControlInfo& store, const std::string& mac) {
    int index = -100;
    EXPECT_EQ(store.GetNewDeviceIndex(mac, index), 0);
    return index;
}

int Count(AccessControlInfo& store, AclPermission permission) {
    int count = -1;
    AclEntryList entries;
    store.GetAclEntries(permission, count, entries);
    return count;
}

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

TEST(AclInfo, NumberingCountsReusesFreedAndRespectsForeignNumbers) {
    AccessControlInfo store(ACL_MODE_ALLOW_ALL);
    EXPECT_EQ(NextIndex(store, kMacA), 1);
    EXPECT_EQ(NextIndex(store, kMacA), 2);  // not recorded: a fresh number each time
    EXPECT_EQ(NextIndex(store, kMacB), 3);
    // A permitted entry keeps its own number; a foreign one above the counter
    // raises the result without moving the counter.
    ASSERT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacA, "10.0.0.1", "", "Device 4"), 0);
    ASSERT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacB, "10.0.0.2", "", "Device 12"), 0);
    EXPECT_EQ(NextIndex(store, kMacA), 4);
    EXPECT_EQ(NextIndex(store, kMacC), 13);
    // Deleting frees the number, which goes out before any counted one.
    ASSERT_EQ(store.DelAclEntry(ACL_PERMITTED, kMacB, "", ""), 0);
    EXPECT_EQ(NextIndex(store, kMacC), 12);
    EXPECT_EQ(NextIndex(store, kMacC), 5);  // counter was 3, one foreign 4 remains
    // Names that are not strict numbers neither count nor free anything.
    ASSERT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacC, "10.0.0.3", "", "Device 9x"), 0);
    EXPECT_EQ(NextIndex(store, kMacB), 5);
    ASSERT_EQ(store.DelAclEntry(ACL_PERMITTED, kMacC, "", ""), 0);
    EXPECT_EQ(NextIndex(store, kMacB), 5);
    // Clearing another list keeps the numbering; clearing the permitted list
    // starts it again, dropping freed numbers.
    ASSERT_EQ(store.DelAclEntry(ACL_PERMITTED, kMacA, "", ""), 0);  // frees 4
    ASSERT_EQ(store.DelAllAclEntries(ACL_REJECTED), 0);
    EXPECT_EQ(NextIndex(store, kMacC), 4);
    ASSERT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacA, "10.0.0.1", "", "Device 2"), 0);
    ASSERT_EQ(store.DelAclEntry(ACL_PERMITTED, kMacA, "", ""), 0);  // frees 2
    ASSERT_EQ(store.DelAllAclEntries(ACL_PERMITTED), 0);
    EXPECT_EQ(NextIndex(store, kMacC), 1);
}

TEST(AclInfo, NumberingFailsWhenNoNumberIsLeft) {
    AccessControlInfo store(ACL_MODE_ALLOW_ALL);
    ASSERT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacA, "10.0.0.1", "", "Device 2147483647"), 0);
    int index = -100;
    EXPECT_EQ(store.GetNewDeviceIndex(kMacB, index), 1);
    EXPECT_EQ(index, -100);
}

TEST(AclInfo, AddKeepsExistingEntryAndLeavesOnlyTheWaitList) {
    AccessControlInfo store(ACL_MODE_ASK);
    ASSERT_EQ(store.AddAclEntry(ACL_WAITING, kMacA, "10.0.0.1", "ua", "Device 1"), 0);
    ASSERT_EQ(store.AddAclEntry(ACL_REJECTED, kMacA, "10.0.0.1", "ua", "Device 1"), 0);
    EXPECT_EQ(store.FindAclEntry(ACL_WAITING, kMacA), 1);
    ASSERT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacA, "10.0.0.1", "ua", "Device 1"), 0);
    EXPECT_EQ(store.FindAclEntry(ACL_REJECTED, kMacA), 0);  // both lists now
    // A second add of the MAC changes nothing, new IP and name ignored.
    EXPECT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacA, "10.0.0.9", "ua", "Other"), 0);
    std::string mac, name;
    EXPECT_EQ(store.GetPermittedCPInfo("10.0.0.9", "", mac, name), 1);
    ASSERT_EQ(store.GetPermittedCPInfo("10.0.0.1", "", mac, name), 0);
    EXPECT_EQ(name, "Device 1");
    EXPECT_EQ(Count(store, ACL_PERMITTED), 1);
    // Matching is byte for byte; empty MAC or IP is refused.
    EXPECT_EQ(store.FindAclEntry(ACL_PERMITTED, "aa-aa-aa-aa-aa-01"), 1);
    EXPECT_EQ(store.AddAclEntry(ACL_PERMITTED, "", "10.0.0.1", "", ""), 1);
    EXPECT_EQ(store.AddAclEntry(ACL_PERMITTED, kMacB, "", "", ""), 1);
}

TEST(AclInfo, InvalidPermissionFailsTheListCallsAndChangesNothing) {
    AccessControlInfo store(ACL_MODE_ALLOW_ALL);
    ASSERT_EQ(store.AddAclEntry(ACL_WAITING, kMacA, "10.0.0.1", "ua", "Device 1"), 0);
    AclEntryList input{boost::make_shared<stAclEntry>(stAclEntry{"10.0.0.2", kMacB, "", ""})};
    for (int value : {3, -1, 1000}) {
        const AclPermission bad = static_cast<AclPermission>(value);
        AclEntryList out{boost::make_shared<stAclEntry>()};
        int count = 0;
        EXPECT_EQ(store.AddAclEntry(bad, kMacB, "10.0.0.2", "", ""), 1);
        EXPECT_EQ(store.AddAclEntries(bad, input), 1);
        EXPECT_EQ(store.DelAllAclEntries(bad), 1);
        EXPECT_EQ(store.GetAclEntries(bad, count, out), 1);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(store.SetAclMode(static_cast<AclPermitMode>(value == 3 ? 6 : value)), 1);
    }
    EXPECT_EQ(Count(store, ACL_WAITING), 1);
    EXPECT_EQ(NextIndex(store, kMacB), 1);
}

TEST(AclInfo, ListsAreBounded) {
    AccessControlInfo store(ACL_MODE_ALLOW_ALL);
    for (size_t i = 0; i < kMaxAclEntriesPerList; ++i)
        ASSERT_EQ(store.AddAclEntry(ACL_REJECTED, "M" + std::to_string(i), "10.0.0.1", "", ""), 0);
    EXPECT_EQ(store.AddAclEntry(ACL_REJECTED, "one more", "10.0.0.1", "", ""), 1);
    EXPECT_EQ(store.FindAclEntry(ACL_REJECTED, "one more"), 1);
}

}  // namespace
