// The state and steps of a session that both ends run the same way: ids,
// acknowledgement, the windows and queues, the two command streams and their
// zlib streams, and the round-trip bookkeeping. The engine's stx_session and
// the reference server's session both build on it; neither side's sockets,
// clock or logging live here (callers pass the time and get datagrams back).
#pragma once

#include <cstdint>

#include <zlib.h>

#include "protocol/commands.h"
#include "protocol/fifo.h"
#include "protocol/packet.h"
#include "protocol/window.h"

constexpr double keepalive_min_s = 5.0;
constexpr double keepalive_max_s = 120.0;
constexpr double keepalive_growth = 1.75;
constexpr uint16_t resend_limit = 50;  // times one packet may be asked for

struct session_core {
    uint32_t session_id = 0;
    char name[64] = {0};  // for log lines

    // Receive side.
    uint32_t last_rx_pid = 0;      // last received packet id
    uint32_t last_delivered = 0;   // last data id delivered in order (sent as last good)
    uint32_t last_good_pid = 0;
    uint32_t requested_count = 0;  // packet ids asked for again
    uint32_t peer_last_good = 0;   // highest last good id seen in headers
    double last_rx_time = 0;
    uint8_t working = 0;
    uint8_t data_received = 0;
    rx_window window;
    resend_req_list reqs;
    byte_fifo in_cmds;             // inflated, not yet parsed
    cmd_parser parser;
    z_stream inflater{};
    bool inflater_ready = false;

    // Send side.
    uint32_t next_pid = 1;
    uint32_t next_did = 1;
    send_array array_d;
    send_array array_p;
    packet_queue resend_q;
    packet_queue pending_q;
    byte_fifo out_deflated;        // deflated, not yet cut into packets
    z_stream deflater{};
    bool deflater_ready = false;
    double last_flush = 0;
    double last_send = 0;
    double keepalive_s = keepalive_min_s;
    uint16_t packet_size = 1444;   // payload room of a datagram incl. header

    uint32_t bytes_in_flight = 0;
    uint32_t packets_in_flight = 0;
    double rtt = 10.0;             // measured round-trip time, seconds
    double newest_acked_sent = 0;  // send time of the newest acknowledged packet
    int32_t allowance = 0;         // token bucket, bytes

    // Per-check counters of the rate control.
    uint32_t sent_bytes = 0;
    uint32_t sent_packets = 0;
    uint32_t resent_bytes = 0;
    uint32_t resent_packets = 0;

    uint8_t close_mark = 0;
};

// zlib set-up for both directions; 0 on success.
int session_core_zinit(session_core& s, int level);
// Frees every packet, queue, fifo and the zlib streams.
void session_core_release(session_core& s);

// Receive: a datagram already checked for length, belonging to s, not a
// reset. Updates the receive-side ids, queues resend requests for a gap
// (adding the ids asked to *resends_asked), stores data in the window and
// serves the requests it carries (adding to *resent). Takes ownership of p.
// Returns 1 for a keepalive, 0 for a stored data packet, -1 when dropped.
struct rx_counters {
    uint32_t* resends_asked;
    uint32_t* resent;
};
// The round-trip time is clamped into [min_rtt, 4.0] on every datagram. For a
// data packet the caller sees last_rx_pid before and after (the first data
// packet makes an engine session working; only a keepalive sets `working`
// here). Lengths are checked again: a short datagram is dropped (-1).
int session_core_receive(session_core& s, stx_packet* p, double now, double min_rtt, const rx_counters& c);

// Serves the peer's resend requests (count of 5-byte requests at reqs; at
// most 63 are read, whatever count says).
void serve_resend_requests(session_core& s, const uint8_t* reqs, int count, uint32_t* resent);

// Frees what the peer acknowledged with last good id g. Returns 0, or -1
// when g contradicts the arrays (close mark set).
int clean_acked(session_core& s, uint32_t g, double now);

// Called after each delivered packet's payload was inflated into in_cmds, so
// that the commands are executed before the next packet is inflated: the
// fifo then never holds more than one packet's output, however many packets
// the window hands over at once. A negative return stops the delivery.
using rx_step_fn = int (*)(session_core& s, void* ctx);

// Delivers in-order packets: inflates each payload into in_cmds (scratch
// chunk of chunk_len bytes, output bounded by max_inflated per packet) and
// runs step, when given, after each. Returns 0, or -1 on an inflate error or
// a bookkeeping fault (close mark set) or when step stopped it.
int process_rx_core(session_core& s, uint32_t chunk_len, uint32_t max_inflated, rx_step_fn step = nullptr,
                    void* ctx = nullptr);

// Builds the next outgoing packet of at most n wire bytes: due resend
// requests first (at most 63), then deflated payload. Assigns ids and flags
// 0x40 but does not advance the counters (a keepalive carries the next ids
// without taking them). n is held to [17, 1520]. Returns a packet the caller
// owns.
stx_packet* session_core_build_packet(session_core& s, int n, double now);
// After a data packet (len > 17) went out: take its ids, count it in flight,
// keep it in array_d/array_p. A next packet id past 0xFFFF0000 sets the
// close mark. A keepalive handed here is a caller's bug (fatal).
void session_core_commit_data(session_core& s, stx_packet* p, double now);
// Prepares a queued packet for a resend: new packet id, current last good,
// state pending, send time and s.last_send = now, appended to array_p.
void session_core_prepare_resend(session_core& s, stx_packet* p, double now);
// After a keepalive went out: the interval grows by 1.75, up to 120 s.
void session_core_keepalive_sent(session_core& s);
