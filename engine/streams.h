// Streams inside a session: deflating commands, executing received ones,
// packing local input, writing to local sockets, delaying reading.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/globals.h"
#include "protocol/commands.h"

// Deflates one command into the session's outgoing stream; returns the
// deflated byte count.
uint32_t session_deflate(stx_session* s, const void* cmd, uint32_t n);
void session_flush(stx_session* s);
// Deflates a 3-byte stream command (end, stop, continue, shutdown).
uint32_t session_stream_cmd(stx_session* s, cmd_code code, uint16_t stream_id);

void process_commands(stx_session* s);
void pack_streams(stx_session* s, int64_t budget);
void tcp_write();
void send_continue(s_stream* st, uint32_t n);
void sockets_delay_all(stx_session* s);
void sockets_undelay_all(stx_session* s);

// buf_out is written, drained and dropped only through these, which keep
// buf_out_total, the figure that bounds what all streams hold together.
void buf_out_write(s_stream* st, const void* data, uint32_t n);
// Takes up to n bytes into dst (null to discard); returns the bytes taken.
uint32_t buf_out_read(s_stream* st, void* dst, uint32_t n);
void buf_out_free(s_stream* st);

// The stream's session is lost under it (reset, time-out, shutdown): its
// local connection will close with a reset, so that the application sees
// the transfer cut, not finished. A stream that had already ended normally
// with nothing left to deliver keeps its clean end.
void stream_cut(s_stream* st);
// stream_cut for every stream of every session.
void streams_cut_all();
// Marks the stream's descriptor for removal (closing it), as a plain
// close: removal bit only, ended flag, buf_out freed, events cleared.
void stream_close(s_stream* st);
// Marks the stream's descriptor entry for removal with these close flags
// (nothing when the stream has no entry yet).
void stream_mark(s_stream* st, uint8_t flags);
// Allocates a zero-filled stream with this id and links it into the
// session's stream table and ring (stream count + 1). Null when out of
// memory. Freed with stream_record_free (engine/loop.h).
s_stream* stream_new(stx_session* s, uint16_t id);
void ready_list_add(stx_session* s, s_stream* st);
void ready_list_remove(stx_session* s, s_stream* st);
// Unlinks the stream from the session's ring; the stream count falls by 1.
void stream_ring_remove(stx_session* s, s_stream* st);
// Finishes opens by name whose resolution completed in the background
// (connects them, or ends the stream). Called once per loop pass.
void streams_poll_pending();
// Opens by name still waiting to be picked up by streams_poll_pending.
size_t streams_pending_count();
// Hands a complete tunnel packet to the tunnel library. Returns the bytes
// handed over (0 when the packet was dropped or could not be announced).
int tunnel_packet_out(stx_session* s, const uint8_t* pkt, uint16_t len);
