// The tunnel library's packet path: whatever the device hands over is
// parsed, classified and rewritten through the port map, and the map must
// be consistent after every input. A packet whose checksums held must still hold them after
// a rewrite.
//
// Input: records of
//   u8 control, u16 length (little-endian, low 11 bits), length bytes
// control bits:
//   0x01  instead of the bytes, the last rewritten outbound segment turned
//         round, as the listener's reply to it
//   0x02  the engine releases the mapped port in the first two bytes
//         (big-endian)
//   0x04  advance the clock by (control >> 4) * 8 seconds first
//   none  the bytes are one packet from the device
// The device is 10.7.0.2 with peer 10.0.0.1, the listener is on port 8118,
// the service's server is 203.0.113.9.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tun/packet.h"
#include "tun/portmap.h"

namespace {

constexpr int records_max = 256;
constexpr uint16_t length_mask = 0x7FF;

port_map pm;
const rewrite_template tmpl = {inet_addr("10.0.0.1"), inet_addr("10.7.0.2"), htons(8118)};
const uint32_t service_ip = inet_addr("203.0.113.9");

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_tun_packet: %s\n", what);
    std::abort();
}

bool checksums_hold(const uint8_t* p, size_t n, bool* tcp_ok) {
    ipv4_view v;
    if (parse_packet(p, n, &v) != parse_status::ok) return false;
    *tcp_ok = v.has_tcp && tcp_checksum(p, n) == 0;
    return ipv4_header_checksum(p, v.header_bytes) == 0;
}

void turn_round(std::vector<uint8_t>& p) {
    const size_t header = size_t(p[0] & 0x0F) * 4;
    for (int k = 0; k < 4; k++) std::swap(p[12 + k], p[16 + k]);
    for (int k = 0; k < 2; k++) std::swap(p[header + k], p[header + 2 + k]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    init_portmap_table(pm);
    int64_t now_s = 1000;
    std::vector<uint8_t> last_out;
    const uint8_t* p = data;
    size_t left = size;
    for (int r = 0; r < records_max && left >= 3; r++) {
        const uint8_t control = p[0];
        size_t n = size_t(p[1] | (p[2] << 8)) & length_mask;
        p += 3;
        left -= 3;
        if (n > left) n = left;
        std::vector<uint8_t> packet(p, p + n);
        p += n;
        left -= n;

        if (control & 0x04) now_s += (control >> 4) * 8;
        if (control & 0x02) {
            if (n >= 2) portmap_release(pm, (packet[0] << 8) | packet[1], now_s);
            continue;
        }
        if (control & 0x01) {
            if (last_out.empty()) continue;
            packet = last_out;
            turn_round(packet);
        }
        bool tcp_before = false, tcp_after = false;
        const bool ip_before = checksums_hold(packet.data(), packet.size(), &tcp_before);
        verdict why;
        const packet_action action =
            handle_device_packet(pm, tmpl, service_ip, packet.data(), packet.size(), now_s, &why);
        if (action == packet_action::to_device) {
            const bool ip_after = checksums_hold(packet.data(), packet.size(), &tcp_after);
            check(!ip_before || ip_after, "IP checksum broken by a rewrite");
            check(!tcp_before || tcp_after, "TCP checksum broken by a rewrite");
            if (why == verdict::redirect_out) last_out = packet;
        }
    }
    const char* broken = nullptr;
    check(portmap_consistent(pm, &broken), broken ? broken : "port map");
    return 0;
}
