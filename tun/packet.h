// What the packet thread does with one IPv4 packet from the tunnel device:
// parse its headers (every length checked before a field is read), decide
// where it goes, and rewrite redirected TCP through the port map. Bytes in,
// verdict out; the caller passes the time and holds the map's lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tun/portmap.h"

constexpr uint8_t ip_proto_icmp = 1;
constexpr uint8_t ip_proto_tcp = 6;
constexpr uint8_t ip_proto_udp = 17;
constexpr uint8_t ip_proto_gre = 47;
// PPTP's control connection travels whole, so that its GRE data finds the
// server that the control connection talks to.
constexpr uint16_t pptp_port = 1723;
constexpr size_t ipv4_header_min_bytes = 20;
constexpr size_t tcp_header_min_bytes = 20;

enum class parse_status {
    ok,
    not_ipv4,          // version other than 4 (or no byte at all)
    short_header,      // fewer bytes than the header claims, or IHL below 5
    bad_total_length,  // beyond the bytes read, or inside the header
};

struct ipv4_view {
    size_t header_bytes;  // IHL * 4
    size_t total_bytes;   // the total length field
    uint8_t protocol;
    uint32_t src_ip, dst_ip;  // network order
    bool later_fragment;      // fragment offset not 0: no transport header
    // TCP, when protocol is TCP, the packet is no later fragment and the 20
    // bytes of the header are there.
    bool has_tcp;
    size_t tcp_offset;
    uint16_t src_port, dst_port;  // host order
    uint8_t tcp_flags;
};

parse_status parse_packet(const uint8_t* pkt, size_t n, ipv4_view* out);

enum class verdict {
    drop_malformed,        // not IPv4, or lengths that do not hold
    drop_protected,        // private, multicast or the service's server address
    drop_foreign_source,   // ICMP/UDP/GRE not from the device's own address
    drop_protocol,         // neither ICMP, UDP, GRE nor TCP
    drop_bad_tcp,          // TCP without a whole header (later fragment, truncated)
    drop_reply_port,       // from the listener's address, but not its port
    drop_no_mapping,       // redirected TCP that the port map has no entry for
    to_engine,             // whole, through a receive slot
    redirect_out,          // an application's segment towards the listener
    redirect_reply,        // the listener's segment back to the application
};

// service_ip: the service's server address (network order; 0 for none).
verdict classify_packet(const ipv4_view& v, const rewrite_template& t, uint32_t service_ip);

enum class packet_action { drop, to_engine, to_device };

// The whole step: parse, classify and, for redirected TCP, rewrite the
// packet in place through the map (to_device: write the n bytes back).
packet_action handle_device_packet(port_map& pm, const rewrite_template& t, uint32_t service_ip, uint8_t* pkt,
                                   size_t n, int64_t now_s, verdict* why = nullptr);

// The service's server address built in (QUORIN_TUN_SERVICE_IP), network
// order; 0 when the build names none.
uint32_t built_in_service_ip();

// The ones' complement checksum of an IPv4 header and of a TCP segment with
// its pseudo-header: 0 when the packet's checksums hold. For tests and the
// fuzz target; the packet path itself only adjusts.
uint16_t ipv4_header_checksum(const uint8_t* ip, size_t header_bytes);
uint16_t tcp_checksum(const uint8_t* ip, size_t n);
