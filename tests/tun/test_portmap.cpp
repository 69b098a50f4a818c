// The redirect port map: allocation order, exhaustion, reclaim on simulated
// time, reuse by the same connection, the engine's queries, and checksum
// adjustment against full recomputation.
#include "tun/portmap.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "tests/tun/support/tun_testing.h"
#include "tun/packet.h"

using namespace tun_testing;

namespace {

const rewrite_template tmpl = {ipv4("10.0.0.1"), ipv4("10.7.0.2"), htons(8118)};

class TunPortMap : public ::testing::Test {
protected:
    void SetUp() override { init_portmap_table(*pm); }
    void TearDown() override {
        const char* why = "";
        EXPECT_TRUE(portmap_consistent(*pm, &why)) << why;
    }
    // The application's connection number i: its own source port towards one
    // public server.
    int map(int i, uint8_t flags = tcp_flags_bare_syn, int64_t now_s = 0) {
        uint8_t addrs[8], ports[4];
        const uint32_t src = ipv4("10.7.0.2"), dst = ipv4("198.51.100.7");
        std::memcpy(addrs, &src, 4);
        std::memcpy(addrs + 4, &dst, 4);
        be16_put(ports, uint16_t(40000 + i));
        be16_put(ports + 2, 80);
        uint16_t port = 0;
        return get_portmap(*pm, tmpl, addrs, ports, flags, now_s, &port) ? port : 0;
    }
    void fill(int n) {
        for (int i = 0; i < n; i++) ASSERT_EQ(map(i), 30000 + i);
    }
    std::unique_ptr<port_map> pm = std::make_unique<port_map>();
};

TEST_F(TunPortMap, SynsTakePortsInIndexOrderAndQueriesGiveTheDialledAddress) {
    fill(3);
    for (int p = 30000; p < 30003; p++) {
        EXPECT_EQ(portmap_dst_ip(*pm, p), ipv4("198.51.100.7"));
        EXPECT_EQ(portmap_dst_port(*pm, p), htons(80));
    }
    // The port is taken from the low 16 bits, as the engine passes an int.
    EXPECT_EQ(portmap_dst_port(*pm, 0x10000 + 30001), htons(80));
    // The same connection keeps its port, whatever its segments carry.
    EXPECT_EQ(map(1, 0x10), 30001);
    EXPECT_EQ(map(1), 30001);
    init_portmap_table(*pm);
    EXPECT_EQ(map(7), 30000);
}

TEST_F(TunPortMap, OnlyABareSynOpensAMapping) {
    for (uint8_t flags : {0x10, 0x12, 0x11, 0x04, 0xC2, 0x42, 0x82, 0x00})
        EXPECT_EQ(map(0, flags), 0) << int(flags);
    EXPECT_EQ(map(0, 0x02), 30000);
}

TEST_F(TunPortMap, PortsOutsideTheMapGiveNothing) {
    fill(portmap_entries);
    struct query {
        int port;
        bool mapped;
    } cases[] = {{29999, false}, {30000, true}, {30999, true}, {31000, false}, {0, false}, {65535, false}};
    for (const query& q : cases) {
        EXPECT_EQ(portmap_dst_ip(*pm, q.port), q.mapped ? ipv4("198.51.100.7") : 0u) << q.port;
        EXPECT_EQ(portmap_dst_port(*pm, q.port), q.mapped ? htons(80) : 0u) << q.port;
        portmap_release(*pm, q.port, 5);  // ignored outside
    }
    EXPECT_EQ(portmap_dst_port(*pm, 30999), htons(80));
    EXPECT_EQ(pm->entries[portmap_entries].fordel, 0);
}

TEST_F(TunPortMap, ReleasedEntriesComeBackOnlyWhenFullAndMoreThanSixtySecondsOld) {
    fill(portmap_entries);
    EXPECT_EQ(map(5000, tcp_flags_bare_syn, 1000), 0);  // full, nothing released

    portmap_release(*pm, 30005, 100);
    portmap_release(*pm, 30002, 130);
    // A released mapping still carries its connection's late segments.
    EXPECT_EQ(map(5, 0x11, 150), 30005);
    EXPECT_EQ(map(5001, tcp_flags_bare_syn, 160), 0);  // exactly 60 s: not yet
    EXPECT_EQ(map(5001, tcp_flags_bare_syn, 161), 30005);
    // It was the only free entry: the next connection finds none again.
    EXPECT_EQ(map(5002, tcp_flags_bare_syn, 161), 0);
    EXPECT_EQ(map(5002, tcp_flags_bare_syn, 191), 30002);
    EXPECT_EQ(portmap_dst_port(*pm, 30005), htons(80));
}

TEST_F(TunPortMap, ReclaimFreesEveryOldEntryInAllocationOrder) {
    fill(portmap_entries);
    for (int p : {30900, 30003, 30500}) portmap_release(*pm, p, 0);
    EXPECT_EQ(map(6000, tcp_flags_bare_syn, 61), 30003);
    EXPECT_EQ(map(6001, tcp_flags_bare_syn, 61), 30500);
    EXPECT_EQ(map(6002, tcp_flags_bare_syn, 61), 30900);
    EXPECT_EQ(map(6003, tcp_flags_bare_syn, 61), 0);
}

TEST_F(TunPortMap, ASynOfTheSameConnectionTakesItsReleasedMappingBack) {
    fill(portmap_entries);
    portmap_release(*pm, 30010, 0);
    // The application opens the same connection again: the mapping is live.
    EXPECT_EQ(map(10, tcp_flags_bare_syn, 10), 30010);
    EXPECT_EQ(pm->entries[10].fordel, 0);
    // So it is not reclaimed under the new connection.
    EXPECT_EQ(map(7000, tcp_flags_bare_syn, 1000), 0);
    EXPECT_EQ(map(10, 0x10, 1000), 30010);
    // Late segments of a released one leave the mark alone.
    portmap_release(*pm, 30011, 0);
    EXPECT_EQ(map(11, 0x11, 10), 30011);
    EXPECT_EQ(pm->entries[11].fordel, 1);
}

// ---------------------------------------------------------------- checksums

TEST(TunChecksum, AdjustmentGivesWhatRecomputationGives) {
    struct adjust_case {
        uint16_t before;
        int32_t delta;
        uint16_t after;
    } cases[] = {
        {0x1234, 0, 0x1234},       {0x1234, 0x10, 0x1244},  {0x1234, -0x10, 0x1224}, {0xFFFE, 1, 0x0000},
        {0xFFF0, 0x0F, 0x0000},    {0x0000, -5, 0xFFFA},    {0xFFFA, 5, 0x0000},     {0x0001, -0x20000, 0xFFFF - 1},
        {0x8000, 0x7FFF0, 0x7FF8}, {0xFFFF, 0, 0x0000},
    };
    for (const adjust_case& c : cases) {
        uint8_t field[2];
        be16_put(field, c.before);
        checksum_adjust(field, c.delta);
        EXPECT_EQ(be16_get(field), c.after) << std::hex << c.before << " " << c.delta;
    }
}

// Random connections through the outbound rewrite, then their segments
// turned round as the listener's replies and rewritten back: every stage
// has valid checksums equal to a full recomputation, and the replies come
// back as the original segments, byte for byte.
TEST(TunChecksum, RandomSegmentsMapAndReverseMapIntact) {
    auto pm = std::make_unique<port_map>();
    init_portmap_table(*pm);
    std::mt19937 rng(9);
    auto any = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    for (int i = 0; i < 4000; i++) {
        // Rewrites only look at the header words: vary what they sum.
        const rewrite_template t = {htonl(any(1, 0xFFFFFFFE)), htonl(any(1, 0xFFFFFFFE)), htons(uint16_t(any(1, 65535)))};
        if (i % portmap_entries == 0) init_portmap_table(*pm);
        packet_spec s{htonl(any(1, 0xFFFFFFFE)), htonl(any(1, 0xFFFFFFFE))};
        s.src_port = uint16_t(any(1, 65535));
        s.dst_port = uint16_t(any(1, 65535));
        s.payload_bytes = any(0, 1460);
        s.fill = uint8_t(any(0, 255));
        const bytes original = make_packet(s);
        bytes b = original;

        uint16_t port = 0;
        ASSERT_EQ(get_portmap(*pm, t, &b[12], &b[20], tcp_flags_bare_syn, 0, &port), 1);
        map_packet(*pm, t, b.data(), &b[20], port);
        ASSERT_EQ(ipv4_header_checksum(b.data(), 20), 0) << i;
        ASSERT_EQ(tcp_checksum(b.data(), b.size()), 0) << i;
        EXPECT_EQ(be16_get(&b[20]), port);
        EXPECT_EQ(std::memcmp(&b[16], &t.dst_ip, 4), 0);

        // The listener's reply carries the same words, turned round.
        auto turn = [](bytes& p) {
            for (int k = 0; k < 4; k++) std::swap(p[12 + k], p[16 + k]);
            for (int k = 0; k < 2; k++) std::swap(p[20 + k], p[22 + k]);
        };
        turn(b);
        ASSERT_EQ(reverse_map_packet(*pm, b.data(), &b[20]), 1);
        ASSERT_EQ(ipv4_header_checksum(b.data(), 20), 0) << i;
        ASSERT_EQ(tcp_checksum(b.data(), b.size()), 0) << i;
        turn(b);
        ASSERT_EQ(b, original) << i;
    }
    const char* why = "";
    EXPECT_TRUE(portmap_consistent(*pm, &why)) << why;
}

}  // namespace
