// Tunnel bring-up: the stages, waits and adapter steps of start_tun on
// simulated time, with the adapters and the routing table in memory.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/globals.h"
#include "engine/routes.h"
#include "engine/startup.h"
#include "engine/tunnel.h"
#include "platform/adapters_fake.h"
#include "platform/routes_fake.h"
#include "platform/sleep.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"

namespace {

uint32_t ip(const char* text) { return inet_addr(text); }

std::vector<int> stages;
std::vector<uint32_t> slept;
const char* reported_name = "";
intptr_t reported_handle = 0;

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

const route_row lan_default = row("0.0.0.0", 0, "192.0.2.1", route_indirect, 2, 10);
const route_row adapter_route = row("10.0.0.1", 32, "10.7.0.2", route_direct, 5, 30);

struct bringup_case {
    const char* name;
    const char* adapter_name;  // what InitTun reports
    bool opened;               // InitTun returned a device
    int dhcp;
    int renew_error;
    bool adapter_route;        // the adapter's route is in the table
    std::vector<int> stages;
    std::vector<uint32_t> sleeps;
    bool renewed;              // the adapter's address was released and renewed
    uint32_t signal_at_ms = 0;    // of simulated time: a stop signal (StopInTheBringUp)
    bool address_changes = true;  // the address-change wait sees one at once
};

std::vector<int> stages_with_retries(std::vector<int> head) {
    head.insert(head.end(), 10, 7);
    head.push_back(9);
    return head;
}

std::vector<uint32_t> sleeps_with_retries(std::vector<uint32_t> head) {
    head.insert(head.end(), 10, 500);
    head.push_back(500);
    return head;
}

const std::vector<bringup_case> cases = {
    {"AdapterFoundIsRenewed", "qtun0", true, 1, 0, true, {2, 3, 5, 6}, {500, 1000, 500}, true},
    {"FailedRenewalFallsBackToTheTimeout", "qtun0", true, 1, 17, true, {2, 3, 5, 4, 6}, {3000, 500, 1000, 500}, true},
    {"EmptyNameIsNoAdapter", "", true, 1, 0, true, {2, 3, 4, 6}, {3000, 500, 1000, 500}, false},
    {"UnopenedDeviceIsNoAdapter", "qtun0", false, 1, 0, true, {2, 3, 4, 6}, {3000, 500, 1000, 500}, false},
    {"OnlyAnExactNameMatches", "qtun", true, 1, 0, true, {2, 3, 4, 6}, {3000, 500, 1000, 500}, false},
    {"AdapterWithoutAddressIsNotInTheMap", "qbare", true, 1, 0, true, {2, 3, 4, 6}, {3000, 500, 1000, 500}, false},
    {"ManualAddressingWaitsForNothing", "qtun0", true, 0, 0, true, {2, 3, 6}, {500, 1000, 500}, false},
    {"AdapterRouteNeverAppears", "qtun0", true, 0, 0, false, stages_with_retries({2, 3, 6}),
     sleeps_with_retries({500}), false},
};

class TunnelBringUp : public ::testing::TestWithParam<bringup_case> {
protected:
    void SetUp() override {
        routes_reset();
        stages.clear();
        slept.clear();
        ui = ui_bindings{};
        tun = tun_bindings{};
        ui.UIProgress = [](int stage) {
            stages.push_back(stage);
            return 0;
        };
        sleep_set_impl([](uint32_t ms) { slept.push_back(ms); });
        route_log_name = log_path.c_str();
        adapter_address a;
        a.index = 5;
        a.local = ip("10.7.0.2");
        a.address = ip("10.0.0.1");
        adapters_fake::install({{1, "lo"}, {2, "qlan"}, {5, "qtun0"}, {6, "qbare"}}, {a});
        adapters_fake::fail_renew(GetParam().renew_error);
        std::vector<route_row> table = {lan_default};
        if (GetParam().adapter_route) table.push_back(adapter_route);
        routes_fake::install(table);
        reported_name = GetParam().adapter_name;
        reported_handle = GetParam().opened ? intptr_t(3) : tun_handle_none;
        tun.InitTun = [](char* out) {
            std::strcpy(out, reported_name);
            return reported_handle;
        };
    }
    void TearDown() override {
        routes_reset();
        routes_fake::uninstall();
        adapters_fake::uninstall();
        sleep_set_impl(nullptr);
        route_log_name = "route.log";
        ui = ui_bindings{};
        tun = tun_bindings{};
    }
    test_support::temp_dir dir;
    std::string log_path = dir.file("route.log");
};

TEST_P(TunnelBringUp, StagesWaitsAndAdapterSteps) {
    const bringup_case& c = GetParam();
    EXPECT_EQ(start_tun(ip("10.7.0.2"), ip("10.0.0.1"), ip("203.0.113.5"), htons(4000), 3000, c.dhcp, 0, 0), 1);
    EXPECT_EQ(stages, c.stages);
    EXPECT_EQ(slept, engine_testing::in_slices(c.sleeps));
    const std::vector<std::string> calls = adapters_fake::calls();
    ASSERT_GE(calls.size(), 2u);
    // Subscribed before the library is touched; the wait goes in slices.
    EXPECT_EQ(calls[0], "watch");
    EXPECT_EQ(calls[1], "wait 100");
    const bool renewed = std::find(calls.begin(), calls.end(), "release 5") != calls.end() &&
                         std::find(calls.begin(), calls.end(), "renew 5") != calls.end();
    EXPECT_EQ(renewed, c.renewed);
    for (const std::string& call : calls)
        EXPECT_TRUE(call.rfind("release", 0) != 0 || call == "release 5") << "only the adapter is released";
    // The monitor is running once the bring-up returns.
    EXPECT_FALSE(route_monitor_join(0));
}

INSTANTIATE_TEST_SUITE_P(Roads, TunnelBringUp, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<bringup_case>& i) { return std::string(i.param.name); });

// Simulated time: every sleep and address-change wait moves it on; the stop
// signal is taken once it reaches signal_at_ms.
uint32_t simulated_ms = 0, signal_at_ms = 0, signal_taken_ms = 0, longest_slice_ms = 0;

void pass_time(uint32_t ms) {
    simulated_ms += ms;
    longest_slice_ms = std::max(longest_slice_ms, ms);
    if (!signal_taken_ms && simulated_ms >= signal_at_ms) {
        signal_taken_ms = simulated_ms;
        take_stop_signal(SIGTERM);
    }
}

using StopInTheBringUp = TunnelBringUp;

// Every wait of the bring-up ends within 100 ms of a stop signal, and what
// follows waits no more and changes nothing (no address released, no route
// set, no monitor); the packet thread still starts, as stopping it gives the
// device back. A child takes the signal, which stays taken.
TEST_P(StopInTheBringUp, EndsTheWaitAndSetsNothingMore) {
    const bringup_case& c = GetParam();
    test_support::child_result r = test_support::run_child([&] {
        signal_at_ms = c.signal_at_ms;
        sleep_set_impl(pass_time);
        if (!c.address_changes)
            adapters_fake::answer_waits([](uint32_t ms) {
                pass_time(ms);
                return 0;
            });
        static bool thread = false;
        tun.StartTunThread = [] {
            thread = true;
            return uintptr_t(1);
        };
        start_tun(ip("10.7.0.2"), ip("10.0.0.1"), ip("203.0.113.5"), htons(4000), 3000, c.dhcp, 0, 0);
        const std::vector<std::string> calls = adapters_fake::calls(), changes = routes_fake::calls();
        std::printf("signal at %u, waited on %u, slices <= %u, released %d, routes changed %d, monitor %d, thread %d",
                    signal_taken_ms, simulated_ms - signal_taken_ms, longest_slice_ms,
                    int(std::count(calls.begin(), calls.end(), "release 5")),
                    int(std::count_if(changes.begin(), changes.end(),
                                      [](const std::string& call) { return call.compare(0, 4, "dump") != 0; })),
                    !route_monitor_join(0), thread);
    });
    EXPECT_EQ(r.out, "signal at " + std::to_string(c.signal_at_ms) +
                         ", waited on 0, slices <= 100, released 0, routes changed 0, monitor 0, thread 1");
}

INSTANTIATE_TEST_SUITE_P(
    Waits, StopInTheBringUp,
    ::testing::Values(bringup_case{"AddressChange", "qtun0", true, 1, 0, true, {}, {}, false, 500, false},
                      // No adapter found: the fixed wait of tun_timeout.
                      bringup_case{"DhcpFallback", "qtun", true, 1, 0, true, {}, {}, false, 500},
                      // 500 ms for the thread, then the waits for the adapter's route.
                      bringup_case{"AdapterRoute", "qtun0", true, 0, 0, false, {}, {}, false, 1200}),
    [](const ::testing::TestParamInfo<bringup_case>& i) { return std::string(i.param.name); });

}  // namespace
