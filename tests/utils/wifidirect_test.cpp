#include "utils/src/wifidirect/wifidirect.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "zel_platform_sim.h"

namespace {

using zel_upnp::utils::getDeviceMac;
using zel_upnp::utils::NormalizeMacAddress;

// The conversion cache lives as long as the process: every test uses
// addresses of its own (the second byte names the test).
std::string Mac(int test, int peer, bool normalised) {
    char text[18];
    std::snprintf(text, sizeof(text),
                  normalised ? "0A-%02X-00-00-00-%02X" : "0a:%02x:00:00:00:%02x", test, peer);
    return text;
}

std::string DeviceMac(int test, int peer) {
    char text[18];
    std::snprintf(text, sizeof(text), "DE-%02X-00-00-00-%02X", test, peer);
    return text;
}

class WifiDirectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zel_platform_sim_reset();
        zel_platform_sim_set_wifi_direct_state(WIFI_DIRECT_STATE_CONNECTED);
    }
    void TearDown() override { zel_platform_sim_reset(); }

    // Peer whose platform record carries lower-case, colon-separated text.
    static void AddPeer(int test, int peer) {
        std::string device = DeviceMac(test, peer);
        for (char& c : device)
            c = c == '-' ? ':' : static_cast<char>(std::tolower(c));
        zel_platform_sim_add_wifi_direct_peer("peer", "192.168.49.2", device.c_str(),
                                              Mac(test, peer, false).c_str());
    }
    static int Queries() {
        return zel_platform_sim_call_count("wifi_direct_foreach_connected_peers");
    }
};

TEST(WifiDirectMac, Normalisation) {
    struct Case {
        std::string in, out;
        bool ok;
    } cases[] = {
        {"aa:bb:cc:dd:ee:ff", "AA-BB-CC-DD-EE-FF", true},
        {"AA-bb-CC-dd-EE-ff", "AA-BB-CC-DD-EE-FF", true},
        {"aa:bb:cc:dd:ee:f", "aa:bb:cc:dd:ee:f", false},
        {"aa:bb:cc:dd:ee:ff:", "aa:bb:cc:dd:ee:ff:", false},
        {"", "", false},
    };
    for (Case& c : cases) {
        std::string mac = c.in;
        EXPECT_EQ(c.ok, NormalizeMacAddress(mac)) << c.in;
        EXPECT_EQ(c.out, mac) << c.in;
    }
}

TEST_F(WifiDirectTest, FailuresGiveEmptyAndCacheNothing) {
    AddPeer(3, 1);
    struct Case {
        const char* function;
        int error;
    } cases[] = {
        {"wifi_direct_initialize", WIFI_DIRECT_ERROR_OPERATION_FAILED},
        {"wifi_direct_get_state", WIFI_DIRECT_ERROR_COMMUNICATION_FAILED},
        {"wifi_direct_foreach_connected_peers", WIFI_DIRECT_ERROR_RESOURCE_BUSY},
    };
    for (const Case& c : cases) {
        zel_platform_sim_inject_error(c.function, c.error, 1);
        EXPECT_EQ("", getDeviceMac(Mac(3, 1, true))) << c.function;
    }
    zel_platform_sim_set_wifi_direct_state(WIFI_DIRECT_STATE_ACTIVATED);
    EXPECT_EQ("", getDeviceMac(Mac(3, 1, true)));
    // Nothing was cached: the next request asks the platform again.
    zel_platform_sim_set_wifi_direct_state(WIFI_DIRECT_STATE_CONNECTED);
    int before = Queries();
    EXPECT_EQ(DeviceMac(3, 1), getDeviceMac(Mac(3, 1, true)));
    EXPECT_EQ(before + 1, Queries());
    // Every path that initialised the service released it again.
    EXPECT_EQ(zel_platform_sim_call_count("wifi_direct_initialize") - 1,
              zel_platform_sim_call_count("wifi_direct_deinitialize"));
}

TEST_F(WifiDirectTest, TwentyFirstConversionDropsTheOldest) {
    for (int peer = 0; peer <= 20; ++peer)
        AddPeer(5, peer);
    for (int peer = 0; peer <= 20; ++peer)
        ASSERT_EQ(DeviceMac(5, peer), getDeviceMac(Mac(5, peer, true)));
    int before = Queries();
    EXPECT_EQ(DeviceMac(5, 20), getDeviceMac(Mac(5, 20, true)));
    EXPECT_EQ(DeviceMac(5, 1), getDeviceMac(Mac(5, 1, true)));
    EXPECT_EQ(before, Queries());
    EXPECT_EQ(DeviceMac(5, 0), getDeviceMac(Mac(5, 0, true)));
    EXPECT_EQ(before + 1, Queries());
}

// Every lookup asks the platform and takes and releases the service itself:
// one caller's release must not end another's enumeration.
TEST_F(WifiDirectTest, ConcurrentLookupsAllGetTheirPeer) {
    const int kThreads = 4;
    const int kRounds = 16;
    for (int peer = 0; peer < kThreads * kRounds; ++peer)
        AddPeer(7, peer);
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int peer = t * kRounds; peer < (t + 1) * kRounds; ++peer)
                wrong[t] += getDeviceMac(Mac(7, peer, true)) != DeviceMac(7, peer);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(0, wrong[t]) << "thread " << t;
}

}  // namespace
