// The name-lookup pool: results come back through the wake descriptor, the
// workers are joined when it stops (a lookup under way is waited for), and
// a flood of lookups is refused past its bound.
#include <dirent.h>
#include <poll.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "engine/resolver.h"
#include "platform/net.h"
#include "tests/engine/support/engine_testing.h"

namespace {

int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A joined thread leaves /proc/self/task a moment after join returns (the
// kernel wakes the joiner before it unlists the task), so the count is given
// a little time to settle.
int settled_thread_count(int expected) {
    int n = thread_count();
    for (int i = 0; i < 2000 && n != expected; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = thread_count();
    }
    return n;
}

std::atomic<bool> held{false};
std::atomic<int> started{0};
std::atomic<int> finished{0};
bool slow_lookup(const char* host, uint32_t* addr) {
    started++;
    while (held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    finished++;
    return engine_testing::hosts_only(host, addr);
}

class EngineResolver : public ::testing::Test {
protected:
    void SetUp() override {
        threads_before = thread_count();
        held = false;
        started = 0;
        finished = 0;
    }
    void TearDown() override {
        held = false;
        resolver_stop();
        resolve_set_impl(nullptr);
        EXPECT_EQ(-1, resolver_wake_fd());
        EXPECT_EQ(threads_before, settled_thread_count(threads_before));
    }
    int threads_before = 0;
};

TEST_F(EngineResolver, ResultsWakeTheLoopThroughItsDescriptor) {
    resolve_set_impl(engine_testing::hosts_only);
    EXPECT_EQ(-1, resolver_wake_fd());
    ASSERT_TRUE(resolver_submit(7, "localhost"));
    ASSERT_TRUE(resolver_submit(8, "no-such-host.invalid"));
    std::map<uint64_t, name_result> got;
    while (got.size() < 2) {
        pollfd p{resolver_wake_fd(), POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, 10000));
        for (const name_result& r : resolver_take()) got[r.serial] = r;
    }
    EXPECT_TRUE(got[7].ok);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), got[7].addr_net);
    EXPECT_FALSE(got[8].ok);
    pollfd p{resolver_wake_fd(), POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0));  // taken: nothing wakes the loop any more
}

TEST_F(EngineResolver, StopWaitsForTheLookupUnderWay) {
    resolve_set_impl(slow_lookup);
    ASSERT_TRUE(resolver_submit(1, "localhost"));
    // A job still queued when the pool stops is dropped; only one a worker
    // has taken must be waited for.
    while (started == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    resolver_stop();
    EXPECT_EQ(1, finished);
}

TEST_F(EngineResolver, FloodOfLookupsIsRefusedPastItsBound) {
    resolve_set_impl(slow_lookup);
    held = true;
    int accepted = 0;
    for (uint64_t i = 0; i < 2000; i++) accepted += resolver_submit(i, "localhost");
    EXPECT_EQ(1024, accepted);
    held = false;
}

}  // namespace
