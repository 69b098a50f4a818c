// Route setting, the monitor thread, `set server` and the restore at
// shutdown: their logic on the in-memory table (simulated time), and the
// same roads against real devices and routes in a private namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/routes.h"
#include "platform/dns_servers.h"
#include "platform/routes_fake.h"
#include "platform/sleep.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"
#include "tests/engine/support/netns.h"

namespace {

using engine_testing::in_slices;
using test_support::private_netns;
using test_support::read_file;
using test_support::sh;
using test_support::sh_out;
using test_support::temp_dir;
using test_support::unique_name;

uint32_t ip(const char* text) { return inet_addr(text); }

std::vector<int> stages;
std::vector<uint32_t> slept;

route_row row(const char* dst, int len, const char* via, uint8_t type, uint32_t dev, uint32_t metric) {
    route_row r;
    r.dst = ip(dst);
    r.mask = prefix_mask(len);
    r.next_hop = ip(via);
    r.type = type;
    r.if_index = dev;
    r.metric = metric;
    return r;
}

std::set<std::string> texts(const std::vector<route_row>& t) {
    std::set<std::string> out;
    for (const route_row& r : t) out.insert(route_text(r));
    return out;
}

bool wait_for(const std::function<bool()>& cond, int ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Route code on the engine thread sleeps on simulated time and reports
// stages to a recorder; route.log goes to a temporary folder.
class RoutesBase : public ::testing::Test {
protected:
    void SetUp() override {
        routes_reset();
        stages.clear();
        slept.clear();
        ui = ui_bindings{};
        ui.UIProgress = [](int stage) {
            stages.push_back(stage);
            return 0;
        };
        sleep_set_impl([](uint32_t ms) { slept.push_back(ms); });
        route_log_name = log_path.c_str();
        dns_servers_set_path(dir.file("resolv.conf").c_str());
    }
    void TearDown() override {
        routes_reset();
        routes_fake::uninstall();
        sleep_set_impl(nullptr);
        dns_servers_set_path(nullptr);
        route_log_name = "route.log";
        ui = ui_bindings{};
    }
    std::string route_log() { return read_file(log_path); }
    void dns(const std::string& text) { dir.write("resolv.conf", text); }

    temp_dir dir;
    std::string log_path = dir.file("route.log");
    int replace = 0;
};

// ---------------------------------------------------------------- the in-memory table

// The machine: a LAN (interface 2) with its default route through
// 192.0.2.1, and the adapter (interface 5) at 10.7.0.2 with its peer route.
const route_row lan_default = row("0.0.0.0", 0, "192.0.2.1", route_indirect, 2, 10);
const route_row lan_net = row("192.0.2.0", 24, "192.0.2.2", route_direct, 2, 0);
const route_row adapter = row("10.0.0.1", 32, "10.7.0.2", route_direct, 5, 30);

class RoutesLogic : public RoutesBase {
protected:
    void start(const std::vector<route_row>& table, int mode) {
        routes_fake::install(table);
        replace = mode;
        set_route_params(ip("10.7.0.2"), ip("10.0.0.1"), ip("203.0.113.5"));
    }
};

struct logic_case {
    const char* name;
    std::vector<route_row> table;
    int replace;
    std::string resolv;               // "" : no local DNS
    std::set<std::string> while_up;  // the table after the first SetRoute
    std::set<std::string> after_second;  // and after a second one
    std::vector<uint32_t> sleeps;        // a pass that found both routes settles for 1 s
};

const std::string half1 = "0.0.0.0/1 via 10.0.0.1 dev 5 metric 30 onlink";
const std::string half2 = "128.0.0.0/1 via 10.0.0.1 dev 5 metric 30 onlink";
const std::string net = "192.0.2.0/24 at 192.0.2.2 dev 2 metric 0";
const std::string peer = "10.0.0.1/32 at 10.7.0.2 dev 5 metric 30";
const std::string server = "203.0.113.5/32 via 192.0.2.1 dev 2 metric 10";

// A default with two next hops and what the route code does not read (its
// metrics: mtu 1400), as a router may leave it.
route_row two_hop_default(uint32_t metric) {
    route_row r = row("0.0.0.0", 0, "192.0.2.1", route_indirect, 2, metric);
    r.proto = 3;
    r.hops.resize(2);
    r.hops[0].gateway = ip("192.0.2.1");
    r.hops[0].if_index = 2;
    r.hops[1].gateway = ip("192.0.2.3");
    r.hops[1].if_index = 3;
    r.hops[1].weight = 2;
    r.attrs = {12, 0, 8, 0, 8, 0, 2, 0, 0x78, 5, 0, 0};
    return r;
}

// A host route through that default's first next hop, with its metrics.
std::string via_first_hop(const char* dst, uint32_t metric) {
    route_row r = row(dst, 32, "192.0.2.1", route_indirect, 2, metric);
    r.attrs = two_hop_default(0).attrs;
    return route_text(r);
}

const std::vector<logic_case> logic_cases = {
    {"MetricModeRaisesEveryZeroRouteOnce",
     {lan_default, row("0.0.0.0", 8, "192.0.2.9", route_indirect, 2, 5), lan_net, adapter},
     0,
     "",
     {"0.0.0.0/0 via 192.0.2.1 dev 2 metric 40", "0.0.0.0/8 via 192.0.2.9 dev 2 metric 35", net, peer, server, half1,
      half2},
     {"0.0.0.0/0 via 192.0.2.1 dev 2 metric 40", "0.0.0.0/8 via 192.0.2.9 dev 2 metric 35", net, peer,
      "203.0.113.5/32 via 192.0.2.1 dev 2 metric 40", half1, half2},
     {1000, 1000}},
    {"MetricModeLeavesAWorseDefaultAlone",
     {row("0.0.0.0", 0, "192.0.2.1", route_indirect, 2, 50), lan_net, adapter},
     0,
     "",
     {"0.0.0.0/0 via 192.0.2.1 dev 2 metric 50", net, peer, "203.0.113.5/32 via 192.0.2.1 dev 2 metric 50", half1,
      half2},
     {"0.0.0.0/0 via 192.0.2.1 dev 2 metric 50", net, peer, "203.0.113.5/32 via 192.0.2.1 dev 2 metric 50", half1,
      half2},
     {1000, 1000}},
    {"ReplaceModeDeletesTheDefaultOnce",
     {lan_default, lan_net, adapter},
     1,
     "",
     {net, peer, server, half1, half2},
     {net, peer, server, half1, half2},
     {1000}},
    {"LowestMetricDefaultWinsAndTiesGoToTheLaterRow",
     {row("0.0.0.0", 0, "192.0.2.7", route_indirect, 2, 20), row("0.0.0.0", 0, "192.0.2.8", route_indirect, 2, 10),
      // Metrics compare in 16 bits: 65546 ties with 10, and the later row wins.
      row("0.0.0.0", 0, "192.0.2.9", route_indirect, 2, 65546), lan_net, adapter},
     1,
     "",
     {"0.0.0.0/0 via 192.0.2.7 dev 2 metric 20", "0.0.0.0/0 via 192.0.2.8 dev 2 metric 10", net, peer,
      "203.0.113.5/32 via 192.0.2.9 dev 2 metric 65546", half1, half2},
     // The next pass takes the next best as the old default; both come back.
     {"0.0.0.0/0 via 192.0.2.7 dev 2 metric 20", net, peer, "203.0.113.5/32 via 192.0.2.8 dev 2 metric 10", half1,
      half2},
     {1000, 1000}},
    {"DnsServersGetHostRoutesExceptThePeerAndThisMachine",
     {lan_default, lan_net, adapter},
     1,
     "nameserver 192.0.2.53\nnameserver 10.0.0.1\nnameserver 127.0.0.53\nnameserver 0.0.0.0\n"
     "nameserver 198.51.100.53\n",
     {net, peer, server, half1, half2, "192.0.2.53/32 via 192.0.2.1 dev 2 metric 10",
      "198.51.100.53/32 via 192.0.2.1 dev 2 metric 10"},
     {net, peer, server, half1, half2, "192.0.2.53/32 via 192.0.2.1 dev 2 metric 10",
      "198.51.100.53/32 via 192.0.2.1 dev 2 metric 10"},
     {1000}},
    {"MetricModeRaisesADefaultWithTwoNextHopsWhole",
     {two_hop_default(10), lan_net, adapter},
     0,
     "nameserver 192.0.2.53\n",
     {route_text(two_hop_default(40)), net, peer, via_first_hop("203.0.113.5", 10), via_first_hop("192.0.2.53", 10),
      half1, half2},
     {route_text(two_hop_default(40)), net, peer, via_first_hop("203.0.113.5", 40), via_first_hop("192.0.2.53", 40),
      half1, half2},
     {1000, 1000}},
    {"ReplaceModePutsBackADefaultWithTwoNextHopsWhole",
     {two_hop_default(10), lan_net, adapter},
     1,
     "",
     {net, peer, via_first_hop("203.0.113.5", 10), half1, half2},
     {net, peer, via_first_hop("203.0.113.5", 10), half1, half2},
     {1000}},
    {"SeventeenDnsServersGetNoRoutes",
     {lan_default, lan_net, adapter},
     1,
     [] {
         std::string t;
         for (int i = 1; i <= 17; i++) t += "nameserver 192.0.2." + std::to_string(100 + i) + "\n";
         return t;
     }(),
     {net, peer, server, half1, half2},
     {net, peer, server, half1, half2},
     {1000}},
};

class RoutesLogicCases : public RoutesLogic, public ::testing::WithParamInterface<logic_case> {};

TEST_P(RoutesLogicCases, SetTwiceThenRestoreLeavesTheTableAsItWas) {
    const logic_case& c = GetParam();
    start(c.table, c.replace);
    if (!c.resolv.empty()) {
        dns(c.resolv);
        set_dns_routes();
    }
    SetRoute(&replace);
    EXPECT_EQ(texts(routes_fake::table()), c.while_up);
    SetRoute(&replace);
    EXPECT_EQ(texts(routes_fake::table()), c.after_second);
    EXPECT_EQ(slept, in_slices(c.sleeps));
    EXPECT_TRUE(stages.empty());
    restore_routes();
    EXPECT_EQ(texts(routes_fake::table()), texts(c.table)) << route_log();
    // Nothing changes after the shutdown flag.
    routes_fake::clear_calls();
    SetRoute(&replace);
    set_server_route();
    change_server_route(ip("203.0.113.6"));
    EXPECT_TRUE(routes_fake::calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Tables, RoutesLogicCases, ::testing::ValuesIn(logic_cases),
                         [](const ::testing::TestParamInfo<logic_case>& i) { return std::string(i.param.name); });

TEST_F(RoutesLogic, LogTellsEveryStep) {
    start({lan_default, lan_net, adapter}, 0);
    dns("nameserver 192.0.2.53\nnameserver 10.0.0.1\n");
    set_dns_routes();
    SetRoute(&replace);
    restore_routes();
    const std::string log = route_log();
    const char* lines[] = {
        "Try to set DNS servers route\n",
        "DnsQueryConfig return 0. DNS List:\n",
        "n: 1. addr: 192.0.2.53\n",
        "n: 2. addr: 10.0.0.1\n",
        "SetRoute. replace=0. \n",
        "Route table (size 3):\n",
        "Dst: 0.0.0.0 Mask: 0.0.0.0 Via: 192.0.2.1 Met: 10\n",
        " DEF \n",
        "Dst: 10.0.0.1 Mask: 255.255.255.255 Via: 10.7.0.2 Met: 30\n",
        " TUN \n",
        "found default route: Dst: 0 Mask: 0 Via: 10200c0 Met: 10\n",
        "found tun route: Dst: 100000a Mask: ffffffff Via: 200070a Met: 30\n",
        "Old default route metric set\n",
        "Set DNS route success\n",
        "Set server route success\n",
        "Set default route 1 success\n",
        "Set default route 2 success\n",
        "Old default route metric restored\n",
        "Default route 1 removed.\n",
        "Default route 2 removed.\n",
        "Route to DNS server removed.\n",
        "Route to quorin server removed.\n",
    };
    size_t at = 0;
    for (const char* line : lines) {
        const size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << log;
        at = found;
    }
    EXPECT_EQ(log.find("Set DNS route success\n", log.find("Set DNS route success\n") + 1), std::string::npos)
        << "the peer gets no DNS route";
}

TEST_F(RoutesLogic, AdapterRouteThatNeverAppearsEndsInStageNine) {
    start({lan_default, lan_net}, 0);
    SetRoute(&replace);
    std::vector<int> want(10, 7);
    want.push_back(9);
    EXPECT_EQ(stages, want);
    EXPECT_EQ(slept, in_slices(std::vector<uint32_t>(10, 500)));
    const std::vector<std::string> calls = routes_fake::calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "dump"), 11);
    const std::string log = route_log();
    EXPECT_NE(log.find("Tun route not found, mb adapter still init?\n"), std::string::npos);
    EXPECT_NE(log.find("Tun or default route not found\n"), std::string::npos);
    EXPECT_EQ(texts(routes_fake::table()), texts({lan_default, lan_net})) << "nothing was changed";
}

TEST_F(RoutesLogic, AdapterRouteWithoutDefaultIsNoWait) {
    start({lan_net, adapter}, 0);
    SetRoute(&replace);
    EXPECT_TRUE(stages.empty());
    EXPECT_TRUE(slept.empty());
    EXPECT_NE(route_log().find("Tun or default route not found\n"), std::string::npos);
}

TEST_F(RoutesLogic, MonitorReappliesOnceAndMovesTheServerRoute) {
    start({lan_default, lan_net, adapter}, 1);
    SetRoute(&replace);
    route_monitor_start(&replace);
    ASSERT_TRUE(wait_for([] { return route_monitor_waiting(); }));

    // Someone deletes a half route: the monitor puts it back, once; its own
    // changes do not wake it again.
    route_row h1 = row("0.0.0.0", 1, "10.0.0.1", route_indirect, 5, 30);
    routes_fake::outside_del(h1);
    ASSERT_TRUE(wait_for([] { return route_monitor_passes() == 1 && route_monitor_waiting(); }));
    EXPECT_TRUE(texts(routes_fake::table()).count(half1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a loop to show
    EXPECT_EQ(route_monitor_passes(), 1);

    change_server_route(ip("203.0.113.77"));
    ASSERT_TRUE(wait_for([] {
        return texts(routes_fake::table()).count("203.0.113.77/32 via 192.0.2.1 dev 2 metric 10") == 1;
    })) << route_log();
    EXPECT_EQ(texts(routes_fake::table()).count(server), 0u);

    const auto t0 = std::chrono::steady_clock::now();
    restore_routes();
    EXPECT_TRUE(route_monitor_join(500));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(texts(routes_fake::table()), texts({lan_default, lan_net, adapter}));
}

TEST_F(RoutesLogic, DefaultAddedAgainInReplaceModeIsPutBackOnce) {
    start({lan_default, lan_net, adapter}, 1);
    SetRoute(&replace);
    routes_fake::outside_add(lan_default);
    SetRoute(&replace);
    EXPECT_EQ(texts(routes_fake::table()), std::set<std::string>({net, peer, server, half1, half2}));
    restore_routes();
    EXPECT_EQ(texts(routes_fake::table()), texts({lan_default, lan_net, adapter}));
    EXPECT_EQ(route_log().find("Restore old default route failed"), std::string::npos) << route_log();
}

// ---------------------------------------------------------------- real routes

// A private namespace with a LAN (veth, 192.0.2.2/24, default through
// 192.0.2.1 metric 10) and a TUN device at 10.7.0.2 with peer 10.0.0.1,
// its peer route at metric 30.
class RoutesNamespace : public RoutesBase {
protected:
    void SetUp() override {
        RoutesBase::SetUp();
        if (!ns.ok()) GTEST_SKIP() << ns.why();
        ASSERT_EQ(sh("ip link add " + lan + " type veth peer name " + lan + "p && ip link set " + lan + "p up"), 0);
        ASSERT_EQ(sh("ip link set " + lan + " up && ip addr add 192.0.2.2/24 dev " + lan), 0);
        ASSERT_EQ(sh("ip route add default via 192.0.2.1 dev " + lan + " metric 10"), 0);
        ASSERT_EQ(sh("ip tuntap add " + tun_dev + " mode tun && ip link set " + tun_dev + " up"), 0);
        ASSERT_EQ(sh("ip addr add 10.7.0.2 peer 10.0.0.1 dev " + tun_dev + " metric 30"), 0);
        dns("nameserver 192.0.2.53\nnameserver 10.0.0.1\n");
        before = sh_out("ip route");
        set_route_params(ip("10.7.0.2"), ip("10.0.0.1"), ip("203.0.113.5"));
    }
    std::string dev_of(const std::string& dst) { return sh_out("ip route get " + dst); }

    private_netns ns;
    std::string lan = unique_name("qrl");
    std::string tun_dev = unique_name("qrt");
    std::string before;
};

struct mode_case {
    const char* name;
    int replace;
    std::vector<std::string> while_up;  // lines of `ip route`, LAN as L and tunnel as T
};

const std::vector<mode_case> mode_cases = {
    {"MetricMode",
     0,
     {"default via 192.0.2.1 dev L metric 40", "0.0.0.0/1 via 10.0.0.1 dev T proto static src 10.7.0.2 metric 30 onlink",
      "128.0.0.0/1 via 10.0.0.1 dev T proto static src 10.7.0.2 metric 30 onlink",
      "192.0.2.53 via 192.0.2.1 dev L proto static metric 10",
      "203.0.113.5 via 192.0.2.1 dev L proto static metric 10"}},
    {"ReplaceMode",
     1,
     {"0.0.0.0/1 via 10.0.0.1 dev T proto static src 10.7.0.2 metric 30 onlink",
      "128.0.0.0/1 via 10.0.0.1 dev T proto static src 10.7.0.2 metric 30 onlink",
      "192.0.2.53 via 192.0.2.1 dev L proto static metric 10",
      "203.0.113.5 via 192.0.2.1 dev L proto static metric 10"}},
};

class RoutesNamespaceModes : public RoutesNamespace, public ::testing::WithParamInterface<mode_case> {};

TEST_P(RoutesNamespaceModes, TakeOverTheDefaultAndGiveItBack) {
    replace = GetParam().replace;
    set_dns_routes();
    SetRoute(&replace);
    std::string up = sh_out("ip route");
    for (std::string line : GetParam().while_up) {
        line.replace(line.find(" dev ") + 5, 1, line[line.find(" dev ") + 5] == 'L' ? lan : tun_dev);
        EXPECT_NE(up.find(line), std::string::npos) << line << "\n" << up;
    }
    EXPECT_EQ(up.find("10.0.0.1 via"), std::string::npos) << "no DNS route to the peer\n" << up;
    EXPECT_EQ(up.find("default via 192.0.2.1 dev " + lan + " metric 10"), std::string::npos) << up;
    EXPECT_NE(dev_of("198.51.100.1").find("via 10.0.0.1 dev " + tun_dev), std::string::npos);
    EXPECT_NE(dev_of("203.0.113.5").find("via 192.0.2.1 dev " + lan), std::string::npos);
    restore_routes();
    EXPECT_EQ(sh_out("ip route"), before) << route_log();
}

INSTANTIATE_TEST_SUITE_P(Modes, RoutesNamespaceModes, ::testing::ValuesIn(mode_cases),
                         [](const ::testing::TestParamInfo<mode_case>& i) { return std::string(i.param.name); });

TEST_F(RoutesNamespace, MonitorPutsBackADeletedHalfRouteAndServerRouteFollowsSetServer) {
    SetRoute(&replace);
    route_monitor_start(&replace);
    ASSERT_TRUE(wait_for([] { return route_monitor_waiting(); }));

    ASSERT_EQ(sh("ip route del 0.0.0.0/1"), 0);
    ASSERT_TRUE(wait_for([&] { return sh_out("ip route show 0.0.0.0/1").find("via 10.0.0.1") != std::string::npos; }))
        << route_log();
    ASSERT_TRUE(wait_for([] { return route_monitor_passes() == 1 && route_monitor_waiting(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a loop to show
    EXPECT_EQ(route_monitor_passes(), 1) << route_log();
    EXPECT_NE(route_log().find("route table changed, ret: 0\n"), std::string::npos);

    change_server_route(ip("203.0.113.77"));
    ASSERT_TRUE(wait_for([&] { return !sh_out("ip route show 203.0.113.77").empty(); })) << route_log();
    EXPECT_EQ(sh_out("ip route show 203.0.113.5"), "");

    const auto t0 = std::chrono::steady_clock::now();
    restore_routes();
    EXPECT_TRUE(route_monitor_join(500)) << "the monitor stops within the console's wait";
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(sh_out("ip route"), before) << route_log();
}

// A change made while the monitor's pass for an earlier one still runs gets
// a pass of its own.
TEST_F(RoutesNamespace, TwoDeletionsWhileAPassRunsAreBothRepaired) {
    SetRoute(&replace);
    route_monitor_start(&replace);
    ASSERT_TRUE(wait_for([] { return route_monitor_waiting(); }));
    ASSERT_EQ(sh("ip route del 0.0.0.0/1 && sleep 0.4 && ip route del 128.0.0.0/1"), 0);
    for (const std::string half : {"0.0.0.0/1", "128.0.0.0/1"})
        EXPECT_TRUE(wait_for([&] { return sh_out("ip route show " + half).find("via 10.0.0.1") != std::string::npos; }))
            << half << " missing\n" << route_log();
    restore_routes();
    EXPECT_TRUE(route_monitor_join(500));
    EXPECT_EQ(sh_out("ip route"), before) << route_log();
}

TEST_F(RoutesNamespace, FatalErrorAfterRoutesWereSetRestoresThem) {
    const test_support::child_result r = test_support::run_child([&] {
        replace = 1;
        set_route_params(ip("10.7.0.2"), ip("10.0.0.1"), ip("203.0.113.5"));
        SetRoute(&replace);
        std::printf("%s", sh_out("ip route show default").empty() ? "default deleted\n" : "default kept\n");
        fatal_error(__LINE__, "Can't connect to tunnel control socket.");
    });
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("default deleted\n"), std::string::npos) << r.out;
    EXPECT_EQ(sh_out("ip route"), before) << route_log();
}

}  // namespace
