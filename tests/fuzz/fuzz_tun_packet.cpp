// The tunnel library's packet path: what the device hands over is parsed,
// classified and rewritten through the port map. A rewrite keeps checksums
// that held, and the map is consistent after every input.
//
// Input: records of u8 control, u16 length (little-endian, low 11 bits),
// then that many bytes: one packet from the device, unless control has
//   0x01  the last rewritten outbound segment turned round instead (the
//         listener's reply to it)
//   0x02  the engine releases the mapped port in the first two bytes
//   0x04  the clock advances by (control >> 4) * 8 seconds first
// The device is 10.7.0.2 with peer 10.0.0.1, the listener is on port 8118,
// the service's server is 203.0.113.9.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tun/packet.h"

namespace {

port_map pm;
const rewrite_template tmpl = {inet_addr("10.0.0.1"), inet_addr("10.7.0.2"), htons(8118)};

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_tun_packet: %s\n", what);
    std::abort();
}

// Bit 0: the IP header checksum holds; bit 1: the TCP one does.
int checksums(const std::vector<uint8_t>& p) {
    ipv4_view v;
    if (parse_packet(p.data(), p.size(), &v) != parse_status::ok) return 0;
    return (ipv4_header_checksum(p.data(), v.header_bytes) == 0) | (v.has_tcp && tcp_checksum(p.data(), p.size()) == 0) << 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    init_portmap_table(pm);
    int64_t now_s = 1000;
    std::vector<uint8_t> last_out;
    for (int r = 0; r < 256 && size >= 3; r++) {
        const uint8_t control = data[0];
        const size_t n = std::min(size - 3, size_t(data[1] | (data[2] << 8)) & 0x7FF);
        std::vector<uint8_t> packet(data + 3, data + 3 + n);
        data += 3 + n;
        size -= 3 + n;
        if (control & 0x04) now_s += (control >> 4) * 8;
        if (control & 0x02) {
            if (n >= 2) portmap_release(pm, (packet[0] << 8) | packet[1], now_s);
            continue;
        }
        if (control & 0x01) {
            if (last_out.empty()) continue;
            packet = last_out;
            const size_t tcp = size_t(packet[0] & 0x0F) * 4;
            for (int k = 0; k < 4; k++) std::swap(packet[12 + k], packet[16 + k]);
            for (int k = 0; k < 2; k++) std::swap(packet[tcp + k], packet[tcp + 2 + k]);
        }
        const int before = checksums(packet);
        verdict why;
        if (handle_device_packet(pm, tmpl, inet_addr("203.0.113.9"), packet.data(), packet.size(), now_s, &why) !=
            packet_action::to_device)
            continue;
        check((checksums(packet) & before) == before, "a rewrite broke a checksum that held");
        if (why == verdict::redirect_out) last_out = packet;
    }
    const char* broken = "";
    check(portmap_consistent(pm, &broken), broken);
    return 0;
}
