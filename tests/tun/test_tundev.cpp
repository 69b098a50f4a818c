// The TUN device layer without privileges: discovery over a made-up
// interface list, and opens that must fail before anything is created.
#include "platform/tundev.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "tests/engine/support/child.h"

using test_support::temp_dir;

namespace {

class TunDevice : public ::testing::Test {
protected:
    void TearDown() override { tundev_set_paths(nullptr, nullptr); }
};

TEST_F(TunDevice, DiscoveryTakesTheTunDeviceWithTheLowestIndex) {
    // Each device: name, ifindex file, tun_flags file ("" for none).
    const struct {
        std::vector<std::array<const char*, 3>> devices;
        const char* expected;
    } cases[] = {
        {{{"lo", "1", ""}, {"tun0", "5", "0x1001"}}, "tun0"},
        {{{"a", "9", "0x1001"}, {"z", "3", "0x1801"}, {"m", "4", "0x0001"}}, "z"},
        {{{"tap0", "2", "0x1002"}, {"tun1", "7", "0x1001"}}, "tun1"},
        {{{"tun0", "x", "0x1001"}, {"tun1", "12", "0x1001"}}, "tun1"},
        {{{"abcdefghijklmnop", "2", "0x1001"}, {"t", "20", "0x1"}}, "t"},
        {{{"eth0", "2", ""}, {"tun0", "", "0x1001"}}, nullptr},
        {{}, nullptr},
    };
    for (const auto& c : cases) {
        temp_dir list;
        for (const auto& [name, ifindex, flags] : c.devices) {
            mkdir(list.file(name).c_str(), 0755);
            if (*ifindex) list.write(std::string(name) + "/ifindex", std::string(ifindex) + "\n");
            if (*flags) list.write(std::string(name) + "/tun_flags", std::string(flags) + "\n");
        }
        tundev_set_paths(list.path.c_str(), nullptr);
        char found[256] = "";
        EXPECT_EQ(tundev_discover(found, sizeof found), c.expected != nullptr);
        EXPECT_STREQ(found, c.expected ? c.expected : "");
    }
    tundev_set_paths("/nonexistent/class/net", nullptr);
    char found[16];
    EXPECT_FALSE(tundev_discover(found, sizeof found));
}

// The clone device is a path that does not exist: a name of no interface
// must fail before it is opened (ENODEV, not ENOENT), since attaching by
// name would make the device.
TEST_F(TunDevice, OpenOfAnUnknownNameCreatesNothing) {
    temp_dir dir;
    tundev_set_paths(nullptr, dir.file("no-clone-device").c_str());
    const std::string unknown = "qtn" + std::to_string(getpid());
    for (const std::string& name : {unknown, std::string(), std::string("abcdefghijklmnopq")}) {
        int ifindex = -5;
        EXPECT_EQ(tundev_open(name.c_str(), &ifindex), -1) << name;
        EXPECT_EQ(errno, ENODEV) << name;
    }
    EXPECT_EQ(if_nametoindex(unknown.c_str()), 0u);
    int ifindex = 0;
    EXPECT_EQ(tundev_open("lo", &ifindex), -1);  // exists: gets as far as the clone device
    EXPECT_EQ(errno, ENOENT);
    bool was_up = false, added = true;
    EXPECT_FALSE(tundev_link_up(0x7FFFFFF0, &was_up));
    EXPECT_FALSE(tundev_link_down(0x7FFFFFF0));
    EXPECT_FALSE(tundev_set_ptp_address(0x7FFFFFF0, inet_addr("10.7.0.2"), inet_addr("10.0.0.1"), &added));
    EXPECT_FALSE(added);
    EXPECT_FALSE(tundev_remove_address(0x7FFFFFF0, inet_addr("10.7.0.2"), inet_addr("10.0.0.1")));
}

}  // namespace
