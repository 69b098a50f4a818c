// IPv4 packets for the tunnel tests, with correct checksums unless a test
// breaks them on purpose.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tun/packet.h"

namespace tun_testing {

using bytes = std::vector<uint8_t>;

inline uint32_t ipv4(const char* dotted) { return inet_addr(dotted); }

struct packet_spec {
    uint32_t src_ip, dst_ip;  // network order
    uint8_t protocol = ip_proto_tcp;
    uint16_t src_port = 0, dst_port = 0;  // host order (TCP, UDP)
    uint8_t tcp_flags = tcp_flags_bare_syn;
    size_t payload_bytes = 0;
    uint8_t fill = 0x5A;
    uint16_t fragment = 0;  // flags and offset field, host order
    size_t options_bytes = 0;  // IP options (multiple of 4)
};

inline void be16_put(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

inline uint16_t be16_get(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

// Header, then a TCP (20 bytes), UDP (8) or ICMP echo (8) header, or none
// for other protocols, then the payload.
inline bytes make_packet(const packet_spec& s) {
    const size_t header = 20 + s.options_bytes;
    const size_t transport = s.protocol == ip_proto_tcp ? 20 : (s.protocol == ip_proto_udp || s.protocol == ip_proto_icmp) ? 8 : 0;
    bytes b(header + transport + s.payload_bytes, 0);
    b[0] = uint8_t(0x40 | (header / 4));
    be16_put(&b[2], uint16_t(b.size()));
    be16_put(&b[4], 0x1234);
    be16_put(&b[6], s.fragment);
    b[8] = 64;
    b[9] = s.protocol;
    std::memcpy(&b[12], &s.src_ip, 4);
    std::memcpy(&b[16], &s.dst_ip, 4);
    uint8_t* t = &b[header];
    for (size_t i = 0; i < s.payload_bytes; i++) t[transport + i] = uint8_t(s.fill + i);
    if (s.protocol == ip_proto_tcp) {
        be16_put(t, s.src_port);
        be16_put(t + 2, s.dst_port);
        be16_put(t + 4, 0x0102);
        be16_put(t + 6, 0x0304);
        t[12] = 0x50;
        t[13] = s.tcp_flags;
        be16_put(t + 14, 64240);
        be16_put(t + 16, tcp_checksum(b.data(), b.size()));
    } else if (s.protocol == ip_proto_udp) {
        be16_put(t, s.src_port);
        be16_put(t + 2, s.dst_port);
        be16_put(t + 4, uint16_t(8 + s.payload_bytes));
    } else if (s.protocol == ip_proto_icmp) {
        t[0] = 8;  // echo request
    }
    be16_put(&b[10], ipv4_header_checksum(b.data(), header));
    return b;
}

}  // namespace tun_testing
