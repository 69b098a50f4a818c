#include "tun/packet.h"

#include <arpa/inet.h>

#include <cstring>

#ifndef QUORIN_TUN_SERVICE_IP
#define QUORIN_TUN_SERVICE_IP "0.0.0.0"
#endif

namespace {

uint16_t load_u16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

// Destinations that never go through the service: private networks,
// multicast and the service's own server (a loop through the tunnel).
bool protected_destination(uint32_t dst_ip, uint32_t service_ip) {
    uint8_t a[4];
    std::memcpy(a, &dst_ip, 4);
    if (a[0] == 10) return true;
    if (a[0] == 172 && a[1] >= 16 && a[1] <= 31) return true;
    if (a[0] == 192 && a[1] == 168) return true;
    if (a[0] >= 224 && a[0] <= 239) return true;
    return service_ip != 0 && dst_ip == service_ip;
}

uint32_t add_words(uint32_t sum, const uint8_t* p, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += load_u16(p + i);
    if (n & 1) sum += uint32_t(p[n - 1]) << 8;
    return sum;
}

uint16_t fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

}  // namespace

parse_status parse_packet(const uint8_t* pkt, size_t n, ipv4_view* out) {
    *out = ipv4_view{};
    if (n < 1 || (pkt[0] >> 4) != 4) return parse_status::not_ipv4;
    const size_t header = size_t(pkt[0] & 0x0F) * 4;
    if (n < ipv4_header_min_bytes || header < ipv4_header_min_bytes || header > n) return parse_status::short_header;
    const size_t total = load_u16(pkt + 2);
    if (total < header || total > n) return parse_status::bad_total_length;

    out->header_bytes = header;
    out->total_bytes = total;
    out->protocol = pkt[9];
    std::memcpy(&out->src_ip, pkt + 12, 4);
    std::memcpy(&out->dst_ip, pkt + 16, 4);
    out->later_fragment = (load_u16(pkt + 6) & 0x1FFF) != 0;
    if (out->protocol == ip_proto_tcp && !out->later_fragment && total - header >= tcp_header_min_bytes) {
        const uint8_t* tcp = pkt + header;
        out->has_tcp = true;
        out->tcp_offset = header;
        out->src_port = load_u16(tcp);
        out->dst_port = load_u16(tcp + 2);
        out->tcp_flags = tcp[13];
    }
    return parse_status::ok;
}

verdict classify_packet(const ipv4_view& v, const rewrite_template& t, uint32_t service_ip) {
    const bool listener_reply = v.src_ip == t.dst_ip && v.dst_ip == t.src_ip;
    if (protected_destination(v.dst_ip, service_ip) && !listener_reply) return verdict::drop_protected;
    switch (v.protocol) {
    case ip_proto_icmp:
    case ip_proto_udp:
    case ip_proto_gre:
        return v.src_ip == t.dst_ip ? verdict::to_engine : verdict::drop_foreign_source;
    case ip_proto_tcp:
        if (!v.has_tcp) return verdict::drop_bad_tcp;
        if (v.dst_port == pptp_port) return verdict::to_engine;
        if (listener_reply) return v.src_port == ntohs(t.dst_port) ? verdict::redirect_reply : verdict::drop_reply_port;
        return verdict::redirect_out;
    default:
        return verdict::drop_protocol;
    }
}

packet_action handle_device_packet(port_map& pm, const rewrite_template& t, uint32_t service_ip, uint8_t* pkt,
                                   size_t n, int64_t now_s, verdict* why) {
    verdict unused;
    if (!why) why = &unused;
    ipv4_view v;
    if (parse_packet(pkt, n, &v) != parse_status::ok) {
        *why = verdict::drop_malformed;
        return packet_action::drop;
    }
    *why = classify_packet(v, t, service_ip);
    switch (*why) {
    case verdict::to_engine:
        return packet_action::to_engine;
    case verdict::redirect_reply:
        if (reverse_map_packet(pm, pkt, pkt + v.tcp_offset)) return packet_action::to_device;
        *why = verdict::drop_no_mapping;
        return packet_action::drop;
    case verdict::redirect_out: {
        uint16_t port = 0;
        if (!get_portmap(pm, t, pkt + 12, pkt + v.tcp_offset, v.tcp_flags, now_s, &port)) {
            *why = verdict::drop_no_mapping;
            return packet_action::drop;
        }
        map_packet(pm, t, pkt, pkt + v.tcp_offset, port);
        return packet_action::to_device;
    }
    default:
        return packet_action::drop;
    }
}

uint32_t built_in_service_ip() {
    in_addr a{};
    if (inet_pton(AF_INET, QUORIN_TUN_SERVICE_IP, &a) != 1) return 0;
    return a.s_addr;
}

uint16_t ipv4_header_checksum(const uint8_t* ip, size_t header_bytes) { return fold(add_words(0, ip, header_bytes)); }

uint16_t tcp_checksum(const uint8_t* ip, size_t n) {
    const size_t header = size_t(ip[0] & 0x0F) * 4;
    size_t total = load_u16(ip + 2);
    if (total > n) total = n;
    if (total < header) return 0xFFFF;
    const size_t segment = total - header;
    uint32_t sum = add_words(0, ip + 12, 8);
    sum += ip_proto_tcp;
    sum += uint32_t(segment);
    return fold(add_words(sum, ip + header, segment));
}
