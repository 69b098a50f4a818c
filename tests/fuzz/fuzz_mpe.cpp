// The DVB library's decapsulator: transport-stream packets off the air,
// sections across them, MPE sections and the IP/UDP datagrams inside.
//
// Input:
//   u8 control, u16 PID (big-endian, low 13 bits), 4 bytes satellite address,
//   then the stream: 188-byte packets (a shorter tail is ignored)
// control bits:
//   0x01  every packet gets the sync byte and the PID (the fuzzer would
//         rarely hit them), keeping the other header bits it chose
//   0x02  the stream is also parsed whole as one section and as one IP
//         datagram, from a buffer of exactly its size
//   0x04  the stream is also sent through the encoder as a UDP payload and
//         must come back unchanged
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/dvb/mpe.h"
#include "tools/dvb/ts.h"

namespace {

constexpr size_t head_bytes = 7;

struct sink_state {
    uint64_t seen = 0;
    uint64_t bytes = 0;
    uint32_t sat_ip = 0;
};

void on_datagram(void* ctx, const udp_datagram& d) {
    auto* s = static_cast<sink_state*>(ctx);
    if (d.dst_net != s->sat_ip) std::abort();  // the address filter let another through
    volatile uint8_t sum = 0;
    for (size_t i = 0; i < d.payload_len; i++) sum = uint8_t(sum + d.payload[i]);  // reads stay in bounds
    s->seen++;
    s->bytes += d.payload_len;
}

void round_trip(const uint8_t* data, size_t n, uint16_t pid, uint32_t sat_ip) {
    n = std::min(n, mpe_payload_max_bytes - ip_udp_header_bytes);
    std::vector<uint8_t> ip(ip_udp_header_bytes + n), section(section_max_bytes);
    if (ipv4_udp_build(1, 2, sat_ip, 3, 4, data, n, ip.data(), ip.size()) != ip.size()) std::abort();
    uint8_t mac[6];
    mpe_mac_for(sat_ip, mac);
    section.resize(mpe_build(mac, ip.data(), ip.size(), section.data(), section.size()));
    if (section.empty()) std::abort();
    ts_packetizer t;
    t.pid = pid;
    t.next_cc = uint8_t(n);
    const section_ref refs[2] = {{section.data(), section.size()}, {section.data(), section.size()}};
    std::vector<uint8_t> stream;
    ts_packetize(t, refs, 1 + n % 2, stream);
    mpe_decap d;
    mpe_decap_reset(d, pid, sat_ip);
    struct expect {
        const uint8_t* data;
        size_t n;
        int count;
    } e{data, n, 0};
    for (size_t at = 0; at < stream.size(); at += ts_packet_bytes)
        mpe_decap_packet(d, stream.data() + at, ts_packet_bytes,
                         [](void* c, const udp_datagram& u) {
                             auto* x = static_cast<expect*>(c);
                             if (u.payload_len != x->n || std::memcmp(u.payload, x->data, x->n) != 0) std::abort();
                             x->count++;
                         },
                         &e);
    if (e.count != int(1 + n % 2) || d.counters.discontinuities || d.counters.crc_errors) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < head_bytes) return 0;
    const uint8_t control = data[0];
    const uint16_t pid = uint16_t(((data[1] << 8) | data[2]) & ts_pid_max);
    uint32_t sat_ip;
    std::memcpy(&sat_ip, data + 3, 4);
    const uint8_t* stream = data + head_bytes;
    const size_t n = size - head_bytes;

    mpe_decap d;
    mpe_decap_reset(d, pid, sat_ip);
    sink_state sink;
    sink.sat_ip = sat_ip;
    uint8_t pkt[ts_packet_bytes];
    for (size_t at = 0; at + ts_packet_bytes <= n; at += ts_packet_bytes) {
        std::memcpy(pkt, stream + at, ts_packet_bytes);
        if (control & 0x01) {
            pkt[0] = ts_sync_byte;
            pkt[1] = uint8_t((pkt[1] & 0xE0) | (pid >> 8));
            pkt[2] = uint8_t(pid);
        }
        mpe_decap_packet(d, pkt, ts_packet_bytes, on_datagram, &sink);
    }
    const mpe_counters& c = d.counters;
    if (c.datagrams != sink.seen || c.bytes != sink.bytes) std::abort();
    if (c.datagrams + c.other_address + c.ip_errors + c.mpe_errors + c.crc_errors != c.sections) std::abort();

    if (control & 0x02) {
        std::vector<uint8_t> exact(stream, stream + n);
        mpe_section s;
        if (mpe_parse(exact.data(), exact.size(), &s) == mpe_status::ok &&
            (s.datagram < exact.data() || s.datagram + s.datagram_len > exact.data() + exact.size()))
            std::abort();
        udp_datagram u;
        if (ipv4_udp_parse(exact.data(), exact.size(), &u) == ip_status::ok &&
            (u.payload < exact.data() || u.payload + u.payload_len > exact.data() + exact.size()))
            std::abort();
    }
    if (control & 0x04) round_trip(stream, n, pid, sat_ip);
    return 0;
}
