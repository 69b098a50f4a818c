#include "tools/refserver/sat.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "tools/dvb/mpe.h"
#include "tools/refserver/options.h"

namespace {

// Seven packets fill an Ethernet-sized datagram, as streams over IP carry them.
constexpr size_t packets_per_feed_datagram = 7;

}  // namespace

bool parse_sat_option(const std::string& text, sat_options* out) {
    const size_t c1 = text.find(',');
    const size_t c2 = c1 == std::string::npos ? c1 : text.find(',', c1 + 1);
    if (c2 == std::string::npos || text.find(',', c2 + 1) != std::string::npos) return false;
    rs_endpoint feed;
    if (!parse_endpoint(text.substr(0, c1), &feed) || feed.port == 0) return false;
    const std::string pid_text = text.substr(c1 + 1, c2 - c1 - 1);
    char* end = nullptr;
    const long pid = std::strtol(pid_text.c_str(), &end, 0);
    if (pid_text.empty() || *end || pid < 0 || pid > ts_pid_max) return false;
    in_addr a{};
    if (inet_pton(AF_INET, text.substr(c2 + 1).c_str(), &a) != 1) return false;
    out->set = true;
    out->feed_addr_net = feed.addr_net;
    out->feed_port = feed.port;
    out->pid = uint16_t(pid);
    out->sat_ip_net = a.s_addr;
    return true;
}

sat_sender::sat_sender(const sat_options& o, uint32_t src_net, uint16_t src_port)
    : opts_(o), src_net_(src_net), src_port_(src_port) {
    packetizer_.pid = o.pid;
}

sat_sender::~sat_sender() {
    if (fd_ >= 0) close(fd_);
}

bool sat_sender::open() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd_ >= 0;
}

bool sat_sender::send(const uint8_t* data, size_t len, uint16_t engine_port) {
    uint8_t ip[section_max_bytes];
    uint8_t section[section_max_bytes];
    const size_t ip_len = ipv4_udp_build(src_net_, src_port_, opts_.sat_ip_net, engine_port, ip_id_++, data, len, ip,
                                         mpe_payload_max_bytes);
    uint8_t mac[6];
    mpe_mac_for(opts_.sat_ip_net, mac);
    const size_t section_len = ip_len ? mpe_build(mac, ip, ip_len, section, sizeof section) : 0;
    if (section_len == 0) return true;  // larger than any session datagram: nothing to send
    packets_.clear();
    const section_ref ref{section, section_len};
    const uint8_t first_cc = packetizer_.next_cc;
    ts_packetize(packetizer_, &ref, 1, packets_);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = opts_.feed_addr_net;
    to.sin_port = htons(opts_.feed_port);
    const size_t chunk = packets_per_feed_datagram * ts_packet_bytes;
    for (size_t at = 0; at < packets_.size(); at += chunk) {
        const size_t n = std::min(chunk, packets_.size() - at);
        if (sendto(fd_, packets_.data() + at, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0) continue;
        if (at == 0) {
            // Nothing went out: the stream goes on as if this section had
            // never been cut.
            packetizer_.next_cc = first_cc;
            return false;
        }
        // Half a section went out and is lost as on the air: the receiver
        // sees the gap in the continuity counters and the session resends.
        break;
    }
    return true;
}
