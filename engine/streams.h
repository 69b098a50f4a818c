// Streams inside a session: deflating commands, executing received ones,
// packing local input, writing to local sockets, delaying reading.
#pragma once

#include <cstdint>

#include "engine/globals.h"

// Deflates one command into the session's outgoing stream; returns the
// deflated byte count.
uint32_t session_deflate(stx_session* s, const void* cmd, uint32_t n);
void session_flush(stx_session* s);

int session_inflate(stx_session* s, const uint8_t* payload, uint32_t n);
void process_commands(stx_session* s);
void pack_streams(stx_session* s, int64_t budget);
void tcp_write();
void send_continue(s_stream* st, uint32_t n);
void sockets_delay_all(stx_session* s);
void sockets_undelay_all(stx_session* s);

// Marks the stream's descriptor for removal (closing it), as the Parts'
// "close": removal bit only, ended flag, buf_out freed, events cleared.
void stream_close(s_stream* st);
s_stream* stream_new(stx_session* s, uint16_t id);
void ready_list_add(stx_session* s, s_stream* st);
void ready_list_remove(stx_session* s, s_stream* st);
void stream_ring_remove(stx_session* s, s_stream* st);
// Finishes opens by name whose resolution completed in the background
// (connects them, or ends the stream). Called once per loop pass.
void streams_poll_pending();
// Hands a complete tunnel packet to the tunnel library.
int tunnel_packet_out(stx_session* s, const uint8_t* pkt, uint16_t len);
