// The TUN device layer without privileges: discovery over a made-up
// interface list, and opens that must fail before anything is created.
#include "platform/tundev.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/engine/support/child.h"

using test_support::temp_dir;

namespace {

struct fake_device {
    std::string name;
    const char* ifindex;    // null: no such file
    const char* tun_flags;  // null: not a tun/tap device
};

struct discovery_case {
    const char* what;
    std::vector<fake_device> devices;
    const char* expected;  // null: nothing found
};

class TunDiscovery : public ::testing::Test {
protected:
    void TearDown() override { tundev_set_paths(nullptr, nullptr); }
    // A folder laid out as /sys/class/net, and discovery pointed at it.
    static void make(const temp_dir& list, const std::vector<fake_device>& devices) {
        for (const fake_device& d : devices) {
            mkdir(list.file(d.name).c_str(), 0755);
            if (d.ifindex) list.write(d.name + "/ifindex", std::string(d.ifindex) + "\n");
            if (d.tun_flags) list.write(d.name + "/tun_flags", std::string(d.tun_flags) + "\n");
        }
        tundev_set_paths(list.path.c_str(), nullptr);
    }
    temp_dir dir;
};

TEST_F(TunDiscovery, LowestIfindexAmongTunDevicesWins) {
    const discovery_case cases[] = {
        {"one", {{"lo", "1", nullptr}, {"tun0", "5", "0x1001"}}, "tun0"},
        {"index, not name or directory order",
         {{"a", "9", "0x1001"}, {"z", "3", "0x1801"}, {"m", "4", "0x0001"}},
         "z"},
        {"tap devices are not taken", {{"tap0", "2", "0x1002"}, {"tun1", "7", "0x1001"}}, "tun1"},
        {"ordinary interfaces are not taken", {{"eth0", "2", nullptr}, {"lo", "1", nullptr}}, nullptr},
        {"unreadable index", {{"tun0", "x", "0x1001"}, {"tun1", "12", "0x1001"}}, "tun1"},
        {"missing index", {{"tun0", nullptr, "0x1001"}}, nullptr},
        {"name too long for an interface", {{"abcdefghijklmnop", "2", "0x1001"}, {"t", "20", "0x1"}}, "t"},
        {"no interfaces", {}, nullptr},
    };
    for (const discovery_case& c : cases) {
        temp_dir list;
        make(list, c.devices);
        char name[256] = "unchanged";
        const bool found = tundev_discover(name, sizeof name);
        EXPECT_EQ(found, c.expected != nullptr) << c.what;
        if (c.expected) {
            EXPECT_STREQ(name, c.expected) << c.what;
        }
    }
}

TEST_F(TunDiscovery, MissingListFindsNothing) {
    tundev_set_paths(dir.file("absent").c_str(), nullptr);
    char name[32];
    EXPECT_FALSE(tundev_discover(name, sizeof name));
}

// The clone device is pointed at a file that does not exist: a name that
// names no interface must fail before it is ever opened (ENODEV, not
// ENOENT), since attaching by name would create the device.
TEST_F(TunDiscovery, OpenOfAnUnknownNameCreatesNothing) {
    tundev_set_paths(nullptr, dir.file("no-clone-device").c_str());
    const std::string unknown = "qtn" + std::to_string(getpid());
    for (const std::string& name : {unknown, std::string(), std::string("abcdefghijklmnopq")}) {
        int ifindex = -5;
        errno = 0;
        EXPECT_EQ(tundev_open(name.c_str(), &ifindex), -1) << name;
        EXPECT_EQ(errno, ENODEV) << name;
        EXPECT_EQ(ifindex, -5);
    }
    EXPECT_EQ(if_nametoindex(unknown.c_str()), 0u);
    // An interface that exists but is no TUN device gets as far as the
    // clone device, which is missing here.
    int ifindex = 0;
    EXPECT_EQ(tundev_open("lo", &ifindex), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(TunDiscovery, RequestsForAnUnknownInterfaceFail) {
    const int no_such_index = 0x7FFFFFF0;
    EXPECT_FALSE(tundev_link_up(no_such_index));
    EXPECT_FALSE(tundev_set_ptp_address(no_such_index, inet_addr("10.7.0.2"), inet_addr("10.0.0.1")));
}

}  // namespace
