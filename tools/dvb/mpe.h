// Multiprotocol encapsulation: IPv4 datagrams in private sections (table id
// 0x3E) on one PID, and the UDP datagrams inside them. Decoders bound every
// length they read by the bytes they were given (the input comes off a radio
// link); encoders build what the decoders take. No descriptor, no clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/dvb/ts.h"

constexpr uint8_t mpe_table_id = 0x3E;
// table id .. MAC_address_1: the fixed header of every section.
constexpr size_t mpe_header_bytes = 12;
constexpr size_t mpe_crc_bytes = 4;
constexpr size_t mpe_payload_max_bytes = section_max_bytes - mpe_header_bytes - mpe_crc_bytes;
constexpr size_t llc_snap_bytes = 8;
constexpr size_t ipv4_header_min_bytes = 20;
constexpr size_t udp_header_bytes = 8;
constexpr size_t ip_udp_header_bytes = ipv4_header_min_bytes + udp_header_bytes;

struct mpe_section {
    uint8_t mac[6] = {};         // mac[0] is MAC_address_1, the most significant byte
    const uint8_t* datagram = nullptr;  // the IP datagram, stuffing after it included
    size_t datagram_len = 0;
};

enum class mpe_status {
    ok,
    too_short,        // shorter than a header and a CRC
    not_mpe,          // another table
    no_crc,           // section_syntax_indicator 0: a checksum instead of a CRC
    bad_length,       // section_length disagrees with the bytes given
    crc_error,
    scrambled,        // payload_scrambling_control set
    fragmented,       // one datagram over several sections
    not_ipv4,         // an LLC/SNAP header naming something else
};

// A whole section, as the reassembler hands it on.
mpe_status mpe_parse(const uint8_t* p, size_t len, mpe_section* out);

struct udp_datagram {
    uint32_t src_net = 0;   // network order
    uint32_t dst_net = 0;
    uint16_t src_port = 0;  // host order
    uint16_t dst_port = 0;
    const uint8_t* payload = nullptr;
    size_t payload_len = 0;
};

enum class ip_status {
    ok,
    too_short,
    not_ipv4,
    bad_header_length,
    bad_total_length,   // beyond the bytes given, or shorter than its header
    bad_checksum,
    fragment,           // fragments are not put together
    not_udp,
    bad_udp_length,
    bad_udp_checksum,
};

// An IPv4 datagram with bytes after it allowed (section stuffing).
ip_status ipv4_udp_parse(const uint8_t* p, size_t len, udp_datagram* out);

// What is done with one kept datagram: on the capture thread, before the
// packet that completed it returns.
using datagram_sink = void (*)(void* ctx, const udp_datagram& d);

// The whole receiving side for one PID and one destination address.
struct mpe_decap {
    uint16_t pid = 0;
    uint32_t sat_ip_net = 0;
    section_reassembler sections;
    mpe_counters counters;
};

// A new PID or address; the counters run on.
void mpe_decap_reset(mpe_decap& d, uint16_t pid, uint32_t sat_ip_net);

// One transport-stream packet of any PID (others are ignored, uncounted).
void mpe_decap_packet(mpe_decap& d, const uint8_t* p, size_t len, datagram_sink sink, void* ctx);

// The sending side, for the reference server and the tests.

// IPv4 + UDP around payload (checksums filled, don't-fragment set). Returns
// the datagram's length, or 0 when it would not fit in cap or in 65535 bytes.
size_t ipv4_udp_build(uint32_t src_net, uint16_t src_port, uint32_t dst_net, uint16_t dst_port, uint16_t ip_id,
                      const uint8_t* payload, size_t len, uint8_t* out, size_t cap);

// One section around an IP datagram. Returns its length, or 0 when the
// datagram exceeds mpe_payload_max_bytes or the section would not fit in cap.
size_t mpe_build(const uint8_t mac[6], const uint8_t* datagram, size_t len, uint8_t* out, size_t cap);

// The receiver's MAC address that the sender writes: locally administered,
// the IPv4 address in its last four bytes.
void mpe_mac_for(uint32_t dst_net, uint8_t mac[6]);
