// The server's end of the sessions' tunnel packets: whole IPv4 packets
// written to a TUN device of its own and read back from it. A session owns
// the source addresses of the packets it sent, and what the device gives
// back for such an address goes to that session.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Source and destination of an IPv4 packet (network order); false when the
// bytes are no IPv4 packet of that length.
bool ipv4_endpoints(const uint8_t* pkt, size_t len, uint32_t* src, uint32_t* dst);

class tun_side {
public:
    tun_side() = default;
    ~tun_side();
    tun_side(const tun_side&) = delete;
    tun_side& operator=(const tun_side&) = delete;

    // Opens the TUN device `name` (the kernel makes it when it does not
    // exist) in the network namespace `netns` (a name in /run/netns, or a
    // path; empty: ours) and brings it up. False with the reason in *err.
    bool open(const std::string& name, const std::string& netns, std::string* err);
    int fd() const { return fd_; }

    // A packet from session sid; false when it is not written.
    bool from_session(uint32_t sid, const uint8_t* pkt, size_t len);
    // Reads one packet: its length (0 when nothing waits, -1 on failure) and
    // in *sid the session that owns its destination (0: none).
    ssize_t read_packet(uint8_t* buf, size_t cap, uint32_t* sid);
    void forget_session(uint32_t sid);

private:
    int fd_ = -1;
    std::map<uint32_t, uint32_t> owners_;  // address (network order) -> session
};
