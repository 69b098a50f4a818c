// The satellite's sending end: a session's downstream datagrams wrapped in
// IPv4/UDP (to the satellite address and the engine's port), put in
// multiprotocol-encapsulation sections, cut into transport-stream packets on
// one PID and sent over UDP to a card's feed (the simulated card takes each
// datagram of whole packets as one capture buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/dvb/ts.h"

struct sat_options {
    bool set = false;
    uint32_t feed_addr_net = 0;  // where the transport stream goes
    uint16_t feed_port = 0;      // host order
    uint16_t pid = 0;
    uint32_t sat_ip_net = 0;     // the destination address in the IP header
};

// "FEED_ADDR:PORT,PID,SATIP" (PID 0-8191, SATIP a dotted quad).
bool parse_sat_option(const std::string& text, sat_options* out);

class sat_sender {
public:
    // src_*: what the IP header names as the sender (the server's UDP socket).
    sat_sender(const sat_options& o, uint32_t src_net, uint16_t src_port);
    ~sat_sender();
    sat_sender(const sat_sender&) = delete;
    sat_sender& operator=(const sat_sender&) = delete;

    bool open();
    // One datagram for the engine's UDP port; false when the feed socket
    // refused it (the caller waits as for its own socket).
    bool send(const uint8_t* data, size_t len, uint16_t engine_port);

private:
    sat_options opts_;
    uint32_t src_net_;
    uint16_t src_port_;
    uint16_t ip_id_ = 0;
    int fd_ = -1;
    ts_packetizer packetizer_;
    std::vector<uint8_t> packets_;
};
