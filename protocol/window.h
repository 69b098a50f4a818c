// Reliability state shared by both ends of a session: the receive window
// ordered by data id, the send arrays by data id (array_d) and packet id
// (array_p), the resend and pending queues, and the list of resend requests
// to ride in outgoing headers.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/packet.h"

constexpr uint32_t window_step = 1024;
constexpr uint32_t queue_step = 32;
// A data id this far ahead of the window is not trusted: no peer can have
// that much in flight, and growing for it would let one datagram exhaust
// memory.
constexpr uint32_t rx_window_max_ahead = 1u << 16;
// A packet-id gap wider than this is not asked for in full (only its first
// ids are): a forged packet id must not queue millions of requests.
constexpr uint32_t resend_gap_max_ids = rx_window_max_ahead;
// Requests wait here until they ride out at most 63 per packet; past this
// many (16 M ids) the peer is not being reasonable and further ones are
// dropped.
constexpr uint32_t resend_req_list_max = 65536;
constexpr uint32_t resend_req_run = 256;  // ids of one request with count byte 0

struct rx_window {
    std::vector<stx_packet*> slots = std::vector<stx_packet*>(window_step, nullptr);
    uint32_t first_id = 1;
    uint32_t used = 0;
    uint32_t count = 0;
};

// array_d and array_p.
struct send_array {
    std::vector<stx_packet*> slots = std::vector<stx_packet*>(window_step, nullptr);
    uint32_t first = 1;
    uint32_t used = 0;
};

struct packet_queue {
    std::vector<stx_packet*> items;
};

struct resend_req {
    uint32_t first;
    uint8_t count;  // 0 means 256
    double stamp;
};

struct resend_req_list {
    std::vector<resend_req> items;
};

// Receive window. rx_window_store: 0 stored, 1 dropped (caller frees).
int rx_window_store(rx_window& w, stx_packet* p);
// Drops slots up to data id; returns 0, or -1 when id is beyond what is used
// (the caller logs and closes the session). An id below the window is a
// no-op. Packets still held in dropped slots are freed.
int rx_window_advance(rx_window& w, uint32_t data_id);
void rx_window_free_all(rx_window& w);

// Send arrays.
void send_array_append(send_array& a, stx_packet* p);
stx_packet* send_array_at(const send_array& a, uint32_t id);  // null when outside
// Drops slots up to id (first becomes id + 1). Returns -1 when that is more
// than is used; then nothing changes. An id below the array is a no-op.
int send_array_shrink(send_array& a, uint32_t id);
// Empties every slot whose packet carries data_id.
void array_p_forget(send_array& p, uint32_t data_id);

// Queues. A packet that bears the freed mark is a bookkeeping fault: logged
// with `who` (the session's name) and fatal.
void packet_queue_push(packet_queue& q, stx_packet* p, const char* who = "");
bool packet_queue_remove(packet_queue& q, stx_packet* p);  // false when absent
stx_packet* packet_queue_pop(packet_queue& q);             // the last entry, or null

// Resend requests.
void resend_req_add(resend_req_list& l, uint32_t first, uint8_t count, double now);
// Queues requests for the ids last+1 .. pid-1 as runs of 256 (count byte 0)
// and one remainder. Returns the number of ids requested.
uint32_t resend_req_add_gap(resend_req_list& l, uint32_t last, uint32_t pid, double now);
uint32_t resend_req_size(const resend_req_list& l, double now);
// Writes due requests from the front, at most room / 5; returns room left.
int resend_req_emit(uint8_t* dst, int room, resend_req_list& l, double now);
