// The redirect port map on simulated time, and checksum adjustment against
// full recomputation.
#include "tun/portmap.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "tests/tun/support/tun_testing.h"

using namespace tun_testing;

namespace {

const rewrite_template tmpl = {ipv4("10.0.0.1"), ipv4("10.7.0.2"), htons(8118)};
constexpr uint8_t ack = 0x10, syn = tcp_flags_bare_syn;

class TunPortMap : public ::testing::Test {
protected:
    void SetUp() override { init_portmap_table(*pm); }
    void TearDown() override {
        const char* why = "";
        EXPECT_TRUE(portmap_consistent(*pm, &why)) << why;
    }
    // The mapped port of the application's connection number i (its own
    // source port towards one server), or 0.
    int map(int i, uint8_t flags = syn, int64_t now_s = 0) {
        const bytes b = make_packet({ipv4("10.7.0.2"), ipv4("198.51.100.7"), ip_proto_tcp, uint16_t(40000 + i), 80});
        uint16_t port = 0;
        return get_portmap(*pm, tmpl, &b[12], &b[20], flags, now_s, &port) ? port : 0;
    }
    void fill() {
        for (int i = 0; i < portmap_entries; i++) ASSERT_EQ(map(i), 30000 + i);
        EXPECT_EQ(map(5000, syn, 1000), 0);  // full, nothing released
    }
    std::unique_ptr<port_map> pm = std::make_unique<port_map>();
};

TEST_F(TunPortMap, BareSynsTakePortsInOrderAndQueriesReadThemByPort) {
    for (uint8_t flags : {0x10, 0x12, 0x11, 0x04, 0xC2, 0x42, 0x00}) EXPECT_EQ(map(0, flags), 0) << int(flags);
    fill();
    EXPECT_EQ(map(1, ack), 30001);  // the same connection keeps its port
    EXPECT_EQ(map(1), 30001);
    struct query {
        int port;
        bool mapped;
    } cases[] = {{29999, false}, {30000, true}, {30999, true}, {31000, false}, {0x10000 + 30001, true}};
    for (const query& q : cases) {
        EXPECT_EQ(portmap_dst_ip(*pm, q.port), q.mapped ? ipv4("198.51.100.7") : 0u) << q.port;
        EXPECT_EQ(portmap_dst_port(*pm, q.port), q.mapped ? htons(80) : 0u) << q.port;
        portmap_release(*pm, q.port, 5);  // ignored outside the map
    }
    EXPECT_EQ(pm->entries[portmap_entries].fordel, 0);
    init_portmap_table(*pm);
    EXPECT_EQ(map(7), 30000);
}

TEST_F(TunPortMap, ReleasedEntriesComeBackWhenFullAndMoreThanSixtySecondsOld) {
    fill();
    for (int p : {30900, 30005, 30500}) portmap_release(*pm, p, 100);
    portmap_release(*pm, 30002, 130);
    EXPECT_EQ(map(5, ack, 150), 30005);  // a released mapping still carries late segments
    EXPECT_EQ(map(5001, syn, 160), 0);   // exactly 60 s: not yet
    // Reclaimed in allocation order; the one marked later stays.
    EXPECT_EQ(map(5001, syn, 161), 30005);
    EXPECT_EQ(map(5002, syn, 161), 30500);
    EXPECT_EQ(map(5003, syn, 161), 30900);
    EXPECT_EQ(map(5004, syn, 161), 0);
    EXPECT_EQ(map(5004, syn, 191), 30002);
}

TEST_F(TunPortMap, ASynOfTheSameConnectionTakesItsReleasedMappingBack) {
    fill();
    portmap_release(*pm, 30010, 0);
    portmap_release(*pm, 30011, 0);
    EXPECT_EQ(map(10, syn, 10), 30010);  // opened again: live once more
    EXPECT_EQ(map(11, ack, 10), 30011);  // a late segment leaves the mark
    EXPECT_EQ(map(7000, syn, 1000), 30011);
    EXPECT_EQ(map(7001, syn, 1000), 0);  // 30010 is not reclaimed under its new connection
    EXPECT_EQ(map(10, ack, 1000), 30010);
}

TEST(TunChecksum, AdjustmentGivesWhatRecomputationGives) {
    struct adjust_case {
        uint16_t before;
        int32_t delta;
        uint16_t after;
    } cases[] = {{0x1234, 0x10, 0x1244}, {0x1234, -0x10, 0x1224}, {0xFFFE, 1, 0x0000},     {0xFFF0, 0x0F, 0x0000},
                 {0x0000, -5, 0xFFFA},   {0xFFFA, 5, 0x0000},     {0x0001, -0x20000, 0xFFFE}, {0x8000, 0x7FFF0, 0x7FF8},
                 {0xFFFF, 0, 0x0000}};
    for (const adjust_case& c : cases) {
        uint8_t field[2];
        be16_put(field, c.before);
        checksum_adjust(field, c.delta);
        EXPECT_EQ(be16_get(field), c.after) << std::hex << c.before << " " << c.delta;
    }
}

// Random segments rewritten outbound, then turned round as the listener's
// replies and rewritten back: every stage carries valid checksums, and the
// replies come back as the original segments, byte for byte.
TEST(TunChecksum, RandomSegmentsMapAndReverseMapIntact) {
    auto pm = std::make_unique<port_map>();
    std::mt19937 rng(9);
    auto any = [&](uint32_t hi) { return std::uniform_int_distribution<uint32_t>(1, hi)(rng); };
    auto turn = [](bytes& p) {
        for (int k = 0; k < 4; k++) std::swap(p[12 + k], p[16 + k]);
        for (int k = 0; k < 2; k++) std::swap(p[20 + k], p[22 + k]);
    };
    for (int i = 0; i < 4000; i++) {
        if (i % portmap_entries == 0) init_portmap_table(*pm);
        const rewrite_template t = {any(0xFFFFFFFE), any(0xFFFFFFFE), uint16_t(any(65535))};
        packet_spec s{any(0xFFFFFFFE), any(0xFFFFFFFE), ip_proto_tcp, uint16_t(any(65535)), uint16_t(any(65535))};
        s.payload_bytes = any(1460);
        s.fill = uint8_t(any(255));
        const bytes original = make_packet(s);
        bytes b = original;
        uint16_t port = 0;
        ASSERT_EQ(get_portmap(*pm, t, &b[12], &b[20], syn, 0, &port), 1);
        map_packet(*pm, t, b.data(), &b[20], port);
        ASSERT_EQ(be16_get(&b[20]), port);
        ASSERT_TRUE(ipv4_header_checksum(b.data(), 20) == 0 && tcp_checksum(b.data(), b.size()) == 0) << i;
        turn(b);
        ASSERT_EQ(reverse_map_packet(*pm, b.data(), &b[20]), 1);
        ASSERT_TRUE(ipv4_header_checksum(b.data(), 20) == 0 && tcp_checksum(b.data(), b.size()) == 0) << i;
        turn(b);
        ASSERT_EQ(b, original) << i;
    }
}

}  // namespace
