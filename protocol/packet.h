// One datagram as both sides keep it in memory: the wire bytes and the ids
// copied out of them, with the bookkeeping of the send and receive windows.
#pragma once

#include <cstdint>

#include "protocol/wire.h"

enum : uint16_t { pkt_state_pending = 1, pkt_state_queued = 2 };

struct stx_packet {
    uint8_t data[max_datagram_bytes];
    uint32_t session_id;
    uint32_t packet_id;
    uint32_t data_id;
    uint16_t payload_off;  // behind the header and its resend requests
    uint16_t len;          // total wire length
    double sent;           // engine-clock seconds
    uint16_t state;
    uint16_t resend_count;
    uint16_t freed;
};

// Zero-filled; fatal when memory is exhausted.
stx_packet* packet_alloc();
void packet_free(stx_packet* p);
