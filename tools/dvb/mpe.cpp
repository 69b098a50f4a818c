#include "tools/dvb/mpe.h"

#include <cstring>

namespace {

constexpr uint8_t llc_snap_ipv4[llc_snap_bytes] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
constexpr uint8_t ip_proto_udp = 17;
constexpr size_t ip_total_max_bytes = 65535;
constexpr uint8_t ip_default_ttl = 64;

uint16_t get16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// One's-complement sum of 16-bit big-endian words, not yet folded.
uint32_t sum16(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += get16(p + i);
    if (n & 1) sum += uint32_t(p[n - 1]) << 8;
    return sum;
}

uint16_t fold(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(sum);
}

uint32_t pseudo_header_sum(const uint8_t* ip, uint16_t udp_len) {
    uint32_t sum = sum16(ip + 12, 8);  // source and destination addresses
    sum += ip_proto_udp;
    sum += udp_len;
    return sum;
}

struct decap_ctx {
    mpe_decap* d;
    datagram_sink sink;
    void* ctx;
};

void on_section(void* c, const uint8_t* p, size_t len) {
    const decap_ctx& x = *static_cast<decap_ctx*>(c);
    mpe_counters& k = x.d->counters;
    mpe_section s;
    const mpe_status ms = mpe_parse(p, len, &s);
    if (ms == mpe_status::crc_error) {
        k.crc_errors++;
        return;
    }
    if (ms != mpe_status::ok) {
        k.mpe_errors++;
        return;
    }
    udp_datagram u;
    if (ipv4_udp_parse(s.datagram, s.datagram_len, &u) != ip_status::ok) {
        k.ip_errors++;
        return;
    }
    if (u.dst_net != x.d->sat_ip_net) {
        k.other_address++;
        return;
    }
    k.datagrams++;
    k.bytes += u.payload_len;
    x.sink(x.ctx, u);
}

}  // namespace

mpe_status mpe_parse(const uint8_t* p, size_t len, mpe_section* out) {
    if (len < mpe_header_bytes + mpe_crc_bytes) return mpe_status::too_short;
    if (p[0] != mpe_table_id) return mpe_status::not_mpe;
    if (!(p[1] & 0x80)) return mpe_status::no_crc;
    if (section_header_bytes + ((size_t(p[1] & 0x0F) << 8) | p[2]) != len) return mpe_status::bad_length;
    if (mpeg_crc32(p, len) != 0) return mpe_status::crc_error;
    if ((p[5] >> 4) & 0x03) return mpe_status::scrambled;
    if (p[6] != 0 || p[7] != 0) return mpe_status::fragmented;
    mpe_section s;
    s.mac[0] = p[11];
    s.mac[1] = p[10];
    s.mac[2] = p[9];
    s.mac[3] = p[8];
    s.mac[4] = p[4];
    s.mac[5] = p[3];
    s.datagram = p + mpe_header_bytes;
    s.datagram_len = len - mpe_header_bytes - mpe_crc_bytes;
    if (p[5] & 0x02) {
        if (s.datagram_len < llc_snap_bytes || std::memcmp(s.datagram, llc_snap_ipv4, llc_snap_bytes) != 0)
            return mpe_status::not_ipv4;
        s.datagram += llc_snap_bytes;
        s.datagram_len -= llc_snap_bytes;
    }
    *out = s;
    return mpe_status::ok;
}

ip_status ipv4_udp_parse(const uint8_t* p, size_t len, udp_datagram* out) {
    if (len < ipv4_header_min_bytes) return ip_status::too_short;
    if ((p[0] >> 4) != 4) return ip_status::not_ipv4;
    const size_t ihl = size_t(p[0] & 0x0F) * 4;
    if (ihl < ipv4_header_min_bytes || ihl > len) return ip_status::bad_header_length;
    const size_t total = get16(p + 2);
    if (total < ihl || total > len) return ip_status::bad_total_length;
    if (fold(sum16(p, ihl)) != 0xFFFF) return ip_status::bad_checksum;
    const uint16_t frag = get16(p + 6);
    if ((frag & 0x2000) || (frag & 0x1FFF)) return ip_status::fragment;
    if (p[9] != ip_proto_udp) return ip_status::not_udp;
    const uint8_t* udp = p + ihl;
    const size_t room = total - ihl;
    if (room < udp_header_bytes) return ip_status::bad_udp_length;
    const size_t udp_len = get16(udp + 4);
    if (udp_len < udp_header_bytes || udp_len > room) return ip_status::bad_udp_length;
    if (get16(udp + 6) != 0 && fold(sum16(udp, udp_len, pseudo_header_sum(p, uint16_t(udp_len)))) != 0xFFFF)
        return ip_status::bad_udp_checksum;
    udp_datagram u;
    std::memcpy(&u.src_net, p + 12, 4);
    std::memcpy(&u.dst_net, p + 16, 4);
    u.src_port = get16(udp);
    u.dst_port = get16(udp + 2);
    u.payload = udp + udp_header_bytes;
    u.payload_len = udp_len - udp_header_bytes;
    *out = u;
    return ip_status::ok;
}

void mpe_decap_reset(mpe_decap& d, uint16_t pid, uint32_t sat_ip_net) {
    d.pid = pid;
    d.sat_ip_net = sat_ip_net;
    section_reset(d.sections);
}

void mpe_decap_packet(mpe_decap& d, const uint8_t* p, size_t len, datagram_sink sink, void* ctx) {
    ts_packet t;
    const ts_status st = ts_parse(p, len, &t);
    if (st == ts_status::bad_length || st == ts_status::bad_sync) return;  // no PID to tell
    const uint16_t pid = uint16_t(((p[1] & 0x1F) << 8) | p[2]);
    if (pid != d.pid) return;
    d.counters.ts_packets++;
    if (st != ts_status::ok) {
        d.counters.ts_errors++;
        return;
    }
    decap_ctx x{&d, sink, ctx};
    section_feed(d.sections, t, d.counters, on_section, &x);
}

size_t ipv4_udp_build(uint32_t src_net, uint16_t src_port, uint32_t dst_net, uint16_t dst_port, uint16_t ip_id,
                      const uint8_t* payload, size_t len, uint8_t* out, size_t cap) {
    const size_t total = ip_udp_header_bytes + len;
    if (total > ip_total_max_bytes || total > cap) return 0;
    uint8_t* ip = out;
    ip[0] = 0x45;
    ip[1] = 0;
    put16(ip + 2, uint16_t(total));
    put16(ip + 4, ip_id);
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = ip_default_ttl;
    ip[9] = ip_proto_udp;
    put16(ip + 10, 0);
    std::memcpy(ip + 12, &src_net, 4);
    std::memcpy(ip + 16, &dst_net, 4);
    put16(ip + 10, uint16_t(~fold(sum16(ip, ipv4_header_min_bytes))));
    uint8_t* udp = ip + ipv4_header_min_bytes;
    const uint16_t udp_len = uint16_t(udp_header_bytes + len);
    put16(udp, src_port);
    put16(udp + 2, dst_port);
    put16(udp + 4, udp_len);
    put16(udp + 6, 0);
    if (len) std::memcpy(udp + udp_header_bytes, payload, len);
    uint16_t check = uint16_t(~fold(sum16(udp, udp_len, pseudo_header_sum(ip, udp_len))));
    if (check == 0) check = 0xFFFF;  // 0 would mean "no checksum"
    put16(udp + 6, check);
    return total;
}

size_t mpe_build(const uint8_t mac[6], const uint8_t* datagram, size_t len, uint8_t* out, size_t cap) {
    if (len > mpe_payload_max_bytes) return 0;
    const size_t total = mpe_header_bytes + len + mpe_crc_bytes;
    if (total > cap) return 0;
    const size_t section_length = total - section_header_bytes;
    out[0] = mpe_table_id;
    // syntax indicator 1, private indicator 0, reserved 11
    out[1] = uint8_t(0xB0 | ((section_length >> 8) & 0x0F));
    out[2] = uint8_t(section_length);
    out[3] = mac[5];
    out[4] = mac[4];
    // reserved 11, no scrambling, no LLC/SNAP, current
    out[5] = 0xC1;
    out[6] = 0;  // section_number
    out[7] = 0;  // last_section_number
    out[8] = mac[3];
    out[9] = mac[2];
    out[10] = mac[1];
    out[11] = mac[0];
    if (len) std::memcpy(out + mpe_header_bytes, datagram, len);
    const uint32_t crc = mpeg_crc32(out, total - mpe_crc_bytes);
    out[total - 4] = uint8_t(crc >> 24);
    out[total - 3] = uint8_t(crc >> 16);
    out[total - 2] = uint8_t(crc >> 8);
    out[total - 1] = uint8_t(crc);
    return total;
}

void mpe_mac_for(uint32_t dst_net, uint8_t mac[6]) {
    mac[0] = 0x02;
    mac[1] = 0x00;
    std::memcpy(mac + 2, &dst_net, 4);
}
