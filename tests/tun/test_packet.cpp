// Where a packet from the tunnel device goes, and the redirect rewrite both
// ways. The device is 10.7.0.2 with peer 10.0.0.1, the listener is on port
// 8118, the service's server is 203.0.113.9.
#include "tun/packet.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tests/tun/support/tun_testing.h"

using namespace tun_testing;

namespace {

const rewrite_template tmpl = {ipv4("10.0.0.1"), ipv4("10.7.0.2"), htons(8118)};
const uint32_t service = ipv4("203.0.113.9"), own = ipv4("10.7.0.2"), other = ipv4("10.7.0.3");

packet_spec pkt(uint8_t protocol, uint32_t src, const char* dst, uint16_t dport = 80, uint16_t sport = 40000,
                uint16_t fragment = 0) {
    packet_spec s{src, ipv4(dst), protocol, sport, dport};
    s.fragment = fragment;
    return s;
}

TEST(TunClassify, Table) {
    const struct {
        packet_spec spec;
        verdict expected;
        std::function<void(bytes&)> damage;
    } cases[] = {
        {pkt(ip_proto_udp, own, "198.51.100.7"), verdict::to_engine, nullptr},
        {pkt(ip_proto_udp, other, "198.51.100.7"), verdict::drop_foreign_source, nullptr},
        {pkt(ip_proto_udp, own, "192.168.1.1"), verdict::drop_protected, nullptr},
        {pkt(ip_proto_udp, own, "10.0.0.1"), verdict::to_engine, nullptr},  // the peer
        {pkt(ip_proto_icmp, own, "198.51.100.7"), verdict::to_engine, nullptr},
        {pkt(ip_proto_gre, own, "198.51.100.7"), verdict::to_engine, nullptr},
        {pkt(ip_proto_gre, other, "198.51.100.7"), verdict::drop_foreign_source, nullptr},
        {pkt(2, own, "198.51.100.7"), verdict::drop_protocol, nullptr},
        {pkt(ip_proto_udp, own, "239.255.255.250"), verdict::drop_protected, nullptr},
        {pkt(ip_proto_udp, own, "224.0.0.1"), verdict::drop_protected, nullptr},
        {pkt(ip_proto_udp, own, "203.0.113.9"), verdict::drop_protected, nullptr},
        {pkt(ip_proto_udp, own, "198.51.100.7", 53, 1, 0x00B9), verdict::to_engine, nullptr},  // later fragment
        {pkt(ip_proto_tcp, other, "198.51.100.7", pptp_port), verdict::to_engine, nullptr},
        {pkt(ip_proto_tcp, own, "192.168.0.1", pptp_port), verdict::drop_protected, nullptr},
        {pkt(ip_proto_tcp, own, "172.31.0.1"), verdict::drop_protected, nullptr},
        {pkt(ip_proto_tcp, own, "172.32.0.1"), verdict::redirect_out, nullptr},
        {pkt(ip_proto_tcp, own, "172.15.0.1"), verdict::redirect_out, nullptr},
        {pkt(ip_proto_tcp, own, "10.1.2.3"), verdict::drop_protected, nullptr},
        {pkt(ip_proto_tcp, own, "240.0.0.1"), verdict::redirect_out, nullptr},
        {pkt(ip_proto_tcp, own, "10.0.0.1", 30000, 8118), verdict::redirect_reply, nullptr},
        {pkt(ip_proto_tcp, own, "10.0.0.1", 30000, 8119), verdict::drop_reply_port, nullptr},
        {pkt(ip_proto_tcp, own, "198.51.100.7", 80, 1, 0x0003), verdict::drop_bad_tcp, nullptr},  // later fragment
        {pkt(ip_proto_tcp, own, "198.51.100.7", 80, 1, 0x2000), verdict::redirect_out, nullptr},  // first one
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_malformed, [](bytes& b) { b[0] = 0x60; }},
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_malformed, [](bytes& b) { b[0] = 0x44; }},
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_malformed, [](bytes& b) { b[0] = 0x4F; }},
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_malformed, [](bytes& b) { b.resize(19); }},
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_malformed, [](bytes& b) { b.clear(); }},
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_malformed, [](bytes& b) { b.pop_back(); }},
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_malformed, [](bytes& b) { be16_put(&b[2], 19); }},
        {pkt(ip_proto_tcp, own, "198.51.100.7"), verdict::drop_bad_tcp, [](bytes& b) {
             b.resize(36);
             be16_put(&b[2], 36);
         }},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n++);
        bytes b = make_packet(c.spec);
        if (c.damage) c.damage(b);
        ipv4_view v;
        if (parse_packet(b.data(), b.size(), &v) == parse_status::ok) {
            EXPECT_EQ(int(classify_packet(v, tmpl, service)), int(c.expected));
        }
        auto pm = std::make_unique<port_map>();
        init_portmap_table(*pm);
        verdict why;
        const packet_action action = handle_device_packet(*pm, tmpl, service, b.data(), b.size(), 0, &why);
        // A reply without a mapping behind it is dropped after the lookup.
        EXPECT_EQ(int(why), int(c.expected == verdict::redirect_reply ? verdict::drop_no_mapping : c.expected));
        EXPECT_EQ(action == packet_action::to_engine, c.expected == verdict::to_engine);
    }
}

TEST(TunClassify, RedirectRewritesTheSynAndItsReply) {
    auto pm = std::make_unique<port_map>();
    init_portmap_table(*pm);
    packet_spec syn = pkt(ip_proto_tcp, own, "198.51.100.7", 443, 41000);
    syn.options_bytes = 4;  // the TCP header lies behind IP options
    bytes b = make_packet(syn);
    ASSERT_EQ(int(handle_device_packet(*pm, tmpl, service, b.data(), b.size(), 0)), int(packet_action::to_device));
    EXPECT_EQ(bytes(b.begin() + 12, b.begin() + 20), bytes({10, 0, 0, 1, 10, 7, 0, 2}));
    EXPECT_EQ(be16_get(&b[24]), 30000);
    EXPECT_EQ(be16_get(&b[26]), 8118);
    EXPECT_TRUE(ipv4_header_checksum(b.data(), 24) == 0 && tcp_checksum(b.data(), b.size()) == 0);

    packet_spec synack = pkt(ip_proto_tcp, own, "10.0.0.1", 30000, 8118);
    synack.tcp_flags = 0x12;
    synack.payload_bytes = 100;
    b = make_packet(synack);
    ASSERT_EQ(int(handle_device_packet(*pm, tmpl, service, b.data(), b.size(), 0)), int(packet_action::to_device));
    EXPECT_EQ(bytes(b.begin() + 12, b.begin() + 20), bytes({198, 51, 100, 7, 10, 7, 0, 2}));
    EXPECT_EQ(be16_get(&b[20]), 443);
    EXPECT_EQ(be16_get(&b[22]), 41000);
    EXPECT_TRUE(ipv4_header_checksum(b.data(), 20) == 0 && tcp_checksum(b.data(), b.size()) == 0);

    // Towards a port that no connection holds: dropped untouched.
    b = make_packet(pkt(ip_proto_tcp, own, "10.0.0.1", 30001, 8118));
    const bytes before = b;
    EXPECT_EQ(int(handle_device_packet(*pm, tmpl, service, b.data(), b.size(), 0)), int(packet_action::drop));
    EXPECT_EQ(b, before);
}

}  // namespace
