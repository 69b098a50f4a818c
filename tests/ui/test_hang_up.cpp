// Hanging up the dial-up link on the quit road, with the fake pppd and the
// sleeps recorded instead of slept.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/dialup.h"
#include "platform/sleep.h"
#include "tests/engine/support/child.h"
#include "ui/core/hang_up.h"

namespace {

std::vector<uint32_t> slept;
void record_sleep(uint32_t ms) {
    slept.push_back(ms);
    // The links still need real time to see their signal.
    usleep(ms * 100);
}

class UiHangUp : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir.file("peers").c_str(), 0700);
        mkdir(dir.file("run").c_str(), 0700);
        dialup_set_paths({dir.file("peers"), dir.file("run"), QUORIN_FAKE_PPPD});
        setenv("QUORIN_PPP_PEERS", dir.file("peers").c_str(), 1);
        setenv("QUORIN_PPP_RUNDIR", dir.file("run").c_str(), 1);
        slept.clear();
        sleep_set_impl(record_sleep);
    }
    void TearDown() override {
        sleep_set_impl(nullptr);
        std::vector<dialup_connection> links;
        dialup_connections(&links);
        for (const dialup_connection& c : links) kill(c.pid, SIGKILL);
        dialup_set_paths(dialup_default_paths());
        unsetenv("QUORIN_PPP_PEERS");
        unsetenv("QUORIN_PPP_RUNDIR");
    }
    void link_up(const std::string& name, const std::string& peer_text = "") {
        dir.write("peers/" + name, peer_text);
        dialup_call call;
        ASSERT_EQ(dialup_dial_start(name, &call), 0);
        int error = -1, state = 0;
        for (int i = 0; i < 3000 && state == 0; ++i) {
            state = dialup_dial_poll(&call, &error);
            if (state == 0) usleep(10000);
        }
        ASSERT_EQ(state, 1) << "error " << error;
    }
    int terms(const std::string& name) {
        std::ifstream f(dir.file("run/ppp-" + name + ".terms"));
        int n = 0;
        std::string line;
        while (std::getline(f, line)) ++n;
        return n;
    }
    bool up(const std::string& name) {
        std::vector<dialup_connection> links;
        dialup_connections(&links);
        for (const dialup_connection& c : links)
            if (c.entry == name) return true;
        return false;
    }

    test_support::temp_dir dir;
};

TEST_F(UiHangUp, OnlyTheNamedLinkAndOnlyWhenAsked) {
    link_up("isp");
    link_up("other");
    struct case_t {
        DialKeys keys;
        bool isp_up;
        std::vector<uint32_t> first_sleeps;
    } cases[] = {
        {{"isp", false}, true, {}},
        {{"", true}, true, {100}},
        {{"nobody", true}, true, {100}},
        {{"isp", true}, false, {100}},
    };
    for (const case_t& c : cases) {
        slept.clear();
        EXPECT_TRUE(hang_up_dialup(c.keys).isEmpty());
        EXPECT_EQ(up("isp"), c.isp_up) << c.keys.connection.toStdString() << " " << c.keys.hangup;
        EXPECT_TRUE(up("other"));
        ASSERT_GE(slept.size(), c.first_sleeps.size());
        EXPECT_EQ(std::vector<uint32_t>(slept.begin(), slept.begin() + long(c.first_sleeps.size())), c.first_sleeps);
    }
    EXPECT_EQ(terms("isp"), 1);
    EXPECT_EQ(terms("other"), 0);
}

TEST_F(UiHangUp, StubbornLinkGetsTenAttempts) {
    link_up("isp", "stubborn\n");
    EXPECT_TRUE(hang_up_dialup({"isp", true}).isEmpty());
    EXPECT_TRUE(up("isp"));
    // 100 ms to settle, then per attempt 100 checks 10 ms apart.
    ASSERT_EQ(slept.size(), 1u + 10u * 100u);
    EXPECT_EQ(slept[0], 100u);
    EXPECT_TRUE(std::all_of(slept.begin() + 1, slept.end(), [](uint32_t ms) { return ms == 10; }));
    // Signals of one kind do not queue: the link saw at least one of them.
    for (int i = 0; i < 500 && terms("isp") == 0; ++i) usleep(10000);
    EXPECT_GE(terms("isp"), 1);
}

}  // namespace
