// Where a packet from the tunnel device goes: the classifier as a table,
// headers whose lengths do not hold, and the redirect rewrite both ways.
#include "tun/packet.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tests/tun/support/tun_testing.h"

using namespace tun_testing;

namespace {

// The device is 10.7.0.2 with peer 10.0.0.1; the listener is on port 8118;
// the service's server is 203.0.113.9.
const rewrite_template tmpl = {ipv4("10.0.0.1"), ipv4("10.7.0.2"), htons(8118)};
const uint32_t service = ipv4("203.0.113.9");
const uint32_t own = ipv4("10.7.0.2");
const uint32_t other = ipv4("10.7.0.3");

struct classify_case {
    const char* name;
    packet_spec spec;
    verdict expected;
    std::function<void(bytes&)> damage = nullptr;
};

packet_spec tcp(uint32_t src, const char* dst, uint16_t dport, uint16_t sport = 40000) {
    packet_spec s{src, ipv4(dst)};
    s.src_port = sport;
    s.dst_port = dport;
    return s;
}

packet_spec proto(uint8_t p, uint32_t src, const char* dst) {
    packet_spec s{src, ipv4(dst), p};
    s.src_port = 5353;
    s.dst_port = 53;
    return s;
}

packet_spec fragment(packet_spec s, uint16_t field) {
    s.fragment = field;
    return s;
}

TEST(TunClassify, Table) {
    const classify_case cases[] = {
        {"udp from own address", proto(ip_proto_udp, own, "198.51.100.7"), verdict::to_engine},
        {"udp from another source", proto(ip_proto_udp, other, "198.51.100.7"), verdict::drop_foreign_source},
        {"udp to a private network", proto(ip_proto_udp, own, "192.168.1.1"), verdict::drop_protected},
        {"udp to the peer", proto(ip_proto_udp, own, "10.0.0.1"), verdict::to_engine},
        {"icmp from own address", proto(ip_proto_icmp, own, "198.51.100.7"), verdict::to_engine},
        {"gre from own address", proto(ip_proto_gre, own, "198.51.100.7"), verdict::to_engine},
        {"gre from another source", proto(ip_proto_gre, other, "198.51.100.7"), verdict::drop_foreign_source},
        {"igmp", proto(2, own, "198.51.100.7"), verdict::drop_protocol},
        {"udp to multicast", proto(ip_proto_udp, own, "239.255.255.250"), verdict::drop_protected},
        {"udp to 224.0.0.1", proto(ip_proto_udp, own, "224.0.0.1"), verdict::drop_protected},
        {"udp to the service's server", proto(ip_proto_udp, own, "203.0.113.9"), verdict::drop_protected},
        {"udp later fragment", fragment(proto(ip_proto_udp, own, "198.51.100.7"), 0x00B9), verdict::to_engine},
        {"tcp to port 1723 from anyone", tcp(other, "198.51.100.7", pptp_port), verdict::to_engine},
        {"tcp to 172.31.0.1", tcp(own, "172.31.0.1", 80), verdict::drop_protected},
        {"tcp to 172.32.0.1", tcp(own, "172.32.0.1", 80), verdict::redirect_out},
        {"tcp to 172.15.0.1", tcp(own, "172.15.0.1", 80), verdict::redirect_out},
        {"tcp to 10.1.2.3", tcp(own, "10.1.2.3", 80), verdict::drop_protected},
        {"tcp to 240.0.0.1", tcp(own, "240.0.0.1", 80), verdict::redirect_out},
        {"tcp to a public address", tcp(own, "198.51.100.7", 443), verdict::redirect_out},
        {"tcp to port 1723 of a private one", tcp(own, "192.168.0.1", pptp_port), verdict::drop_protected},
        {"listener reply", tcp(own, "10.0.0.1", 30000, 8118), verdict::redirect_reply},
        {"reply from another port", tcp(own, "10.0.0.1", 30000, 8119), verdict::drop_reply_port},
        {"tcp later fragment", fragment(tcp(own, "198.51.100.7", 80), 0x0003), verdict::drop_bad_tcp},
        {"tcp first fragment", fragment(tcp(own, "198.51.100.7", 80), 0x2000), verdict::redirect_out},
        {"ipv6", tcp(own, "198.51.100.7", 80), verdict::drop_malformed, [](bytes& b) { b[0] = 0x60; }},
        {"ihl below 5", tcp(own, "198.51.100.7", 80), verdict::drop_malformed, [](bytes& b) { b[0] = 0x44; }},
        {"ihl past the end", tcp(own, "198.51.100.7", 80), verdict::drop_malformed, [](bytes& b) { b[0] = 0x4F; }},
        {"shorter than a header", tcp(own, "198.51.100.7", 80), verdict::drop_malformed,
         [](bytes& b) { b.resize(19); }},
        {"total length past what was read", tcp(own, "198.51.100.7", 80), verdict::drop_malformed,
         [](bytes& b) { be16_put(&b[2], uint16_t(b.size() + 1)); }},
        {"total length inside the header", tcp(own, "198.51.100.7", 80), verdict::drop_malformed,
         [](bytes& b) { be16_put(&b[2], 19); }},
        {"tcp header cut short", tcp(own, "198.51.100.7", 80), verdict::drop_bad_tcp,
         [](bytes& b) {
             b.resize(36);
             be16_put(&b[2], 36);
         }},
        {"empty", tcp(own, "198.51.100.7", 80), verdict::drop_malformed, [](bytes& b) { b.clear(); }},
    };
    for (const classify_case& c : cases) {
        bytes b = make_packet(c.spec);
        if (c.damage) c.damage(b);
        ipv4_view v;
        if (parse_packet(b.data(), b.size(), &v) == parse_status::ok) {
            EXPECT_EQ(int(classify_packet(v, tmpl, service)), int(c.expected)) << c.name;
        }
        auto pm = std::make_unique<port_map>();
        init_portmap_table(*pm);
        verdict why = verdict::to_engine;
        const packet_action action = handle_device_packet(*pm, tmpl, service, b.data(), b.size(), 0, &why);
        // A reply with no mapping behind it ends up dropped after the lookup.
        const verdict expected = c.expected == verdict::redirect_reply ? verdict::drop_no_mapping : c.expected;
        EXPECT_EQ(int(why), int(expected)) << c.name;
        if (expected == verdict::to_engine) {
            EXPECT_EQ(int(action), int(packet_action::to_engine)) << c.name;
        }
    }
}

// A connection's SYN goes to the listener from the peer's mapped port, and
// the listener's SYN-ACK comes back from the address that was dialled.
TEST(TunClassify, RedirectRewritesBothWays) {
    auto pm = std::make_unique<port_map>();
    init_portmap_table(*pm);
    packet_spec syn = tcp(own, "198.51.100.7", 443, 41000);
    syn.options_bytes = 4;  // the TCP header lies behind IP options
    syn.payload_bytes = 0;
    bytes b = make_packet(syn);
    ASSERT_EQ(int(handle_device_packet(*pm, tmpl, service, b.data(), b.size(), 0)), int(packet_action::to_device));
    EXPECT_EQ(std::memcmp(&b[12], &tmpl.src_ip, 4), 0);
    EXPECT_EQ(std::memcmp(&b[16], &tmpl.dst_ip, 4), 0);
    EXPECT_EQ(be16_get(&b[24]), 30000);
    EXPECT_EQ(be16_get(&b[26]), 8118);
    EXPECT_EQ(ipv4_header_checksum(b.data(), 24), 0);
    EXPECT_EQ(tcp_checksum(b.data(), b.size()), 0);

    packet_spec synack = tcp(own, "10.0.0.1", 30000, 8118);
    synack.tcp_flags = 0x12;
    synack.payload_bytes = 100;
    bytes r = make_packet(synack);
    ASSERT_EQ(int(handle_device_packet(*pm, tmpl, service, r.data(), r.size(), 0)), int(packet_action::to_device));
    EXPECT_EQ(std::memcmp(&r[12], &syn.dst_ip, 4), 0);
    EXPECT_EQ(std::memcmp(&r[16], &syn.src_ip, 4), 0);
    EXPECT_EQ(be16_get(&r[20]), 443);
    EXPECT_EQ(be16_get(&r[22]), 41000);
    EXPECT_EQ(ipv4_header_checksum(r.data(), 20), 0);
    EXPECT_EQ(tcp_checksum(r.data(), r.size()), 0);

    // A reply towards a port that no connection holds is dropped untouched.
    bytes stray = make_packet(tcp(own, "10.0.0.1", 30001, 8118));
    const bytes before = stray;
    verdict why;
    EXPECT_EQ(int(handle_device_packet(*pm, tmpl, service, stray.data(), stray.size(), 0, &why)),
              int(packet_action::drop));
    EXPECT_EQ(int(why), int(verdict::drop_no_mapping));
    EXPECT_EQ(stray, before);
}

}  // namespace
