#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <vector>

#include "platform/dynlib.h"
#include "platform/net.h"
#include "platform/sleep.h"
#include "platform/tick.h"

namespace {

uint32_t fake_now = 0;
uint32_t fake_tick() { return fake_now; }

TEST(Tick, SourceCanBeInjectedAndRestored) {
    fake_now = 0xFFFFFFF0u;
    tick_set_source(fake_tick);
    EXPECT_EQ(tick_count(), 0xFFFFFFF0u);
    fake_now += 0x20;  // the 32-bit tick wraps like the Windows one
    EXPECT_EQ(tick_count(), 0x10u);
    tick_set_source(nullptr);
    uint32_t a = tick_count();
    uint32_t b = tick_count();
    EXPECT_LT(uint32_t(b - a), 1000u) << "the real clock is back and moves forward";
}

std::vector<uint32_t> slept;
void record_sleep(uint32_t ms) { slept.push_back(ms); }

TEST(Sleep, ImplementationCanBeInjectedAndRestored) {
    slept.clear();
    sleep_set_impl(record_sleep);
    sleep_ms(1000);
    sleep_ms(100);
    EXPECT_EQ(slept, (std::vector<uint32_t>{1000, 100}));
    sleep_set_impl(nullptr);
    sleep_ms(0);
    EXPECT_EQ(slept.size(), 2u);
}

TEST(Dynlib, WindowsNamesMapToSharedObjects) {
    const struct {
        const char* windows;
        const char* linux_name;
    } cases[] = {
        {QUORIN_UI_DLL, "libquorin_ui.so"}, {TUN_DLL, "libtun.so"},         {DVB_DLL, "libdvb.so"},
        {KESTRIX_DLL, "libKestrix.so"},     {TEVII_DLL, "libTeVii.so"},     {"Other.DLL", "libOther.so"},
        {"plain.so", "plain.so"},           {".dll", ".dll"},
    };
    for (const auto& c : cases) EXPECT_EQ(dynlib_file_name(c.windows), c.linux_name) << c.windows;
}

TEST(Dynlib, MissingLibraryIsNull) {
    std::string saved = dynlib_search_dir();
    EXPECT_FALSE(saved.empty());
    dynlib_set_search_dir("/nonexistent-quorin-dir");
    EXPECT_EQ(dynlib_load(TUN_DLL), nullptr);
    dynlib_set_search_dir(saved);
    EXPECT_EQ(dynlib_load("no_such_library_here.dll"), nullptr);
    EXPECT_EQ(dynlib_symbol(nullptr, "InitTun"), nullptr);
    dynlib_close(nullptr);
}

TEST(Net, ResolvesLoopback) {
    uint32_t addr = 0;
    ASSERT_TRUE(resolve_ipv4("127.0.0.1", &addr));
    EXPECT_EQ(ntohl(addr), 0x7F000001u);
    addr = 0;
    ASSERT_TRUE(resolve_ipv4("localhost", &addr));
    EXPECT_EQ(ntohl(addr) >> 24, 127u);
}

// gethostbyname("") answers with the machine's own name's address; loopback
// when that name has none.
TEST(Net, EmptyNameIsTheLocalHost) {
    char name[256] = {0};
    ASSERT_EQ(0, gethostname(name, sizeof name - 1));
    uint32_t own = htonl(INADDR_LOOPBACK);
    resolve_ipv4(name, &own);
    uint32_t addr = 0;
    ASSERT_TRUE(resolve_ipv4("", &addr));
    EXPECT_EQ(addr, own);
    resolve_set_impl([](const char*, uint32_t*) { return false; });
    addr = 0;
    EXPECT_TRUE(resolve_ipv4("", &addr));
    EXPECT_EQ(ntohl(addr), 0x7F000001u);
    resolve_set_impl(nullptr);
}

TEST(Net, ParsesDottedQuads) {
    EXPECT_EQ(ntohl(parse_ipv4("10.1.2.3")), 0x0A010203u);
    EXPECT_EQ(parse_ipv4("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_ipv4("300.1.1.1"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_ipv4(""), 0xFFFFFFFFu);
}

}  // namespace
