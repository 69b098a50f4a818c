// The byte fifo used for every buffer of a stream and both command streams
// of a session: a ring of 4096-byte nodes, appended at the tail, read from
// the head, a node freed as soon as it is read empty.
#pragma once

#include <cstdint>

#include <zlib.h>

// Each node is one 4096-byte block: a 20-byte header {next, prev, read
// offset, write offset, capacity} as the 32-bit program laid it out, and
// 4076 bytes of data. That data room is also the size of the engine's own
// buffer (engine/globals.h) and of the longest tunnel packet.
constexpr uint32_t fifo_node_bytes = 4096;
constexpr uint32_t fifo_node_header_bytes = 20;
constexpr uint32_t fifo_node_data_bytes = fifo_node_bytes - fifo_node_header_bytes;

struct fifo_node {
    fifo_node* next;
    fifo_node* prev;
    uint32_t read_off;
    uint32_t write_off;
    uint32_t capacity;
    uint8_t data[fifo_node_data_bytes];
};

struct byte_fifo {
    fifo_node* head = nullptr;  // first node; head->prev is the last
    uint32_t len = 0;
    uint8_t unflushed = 0;      // deflate output not yet sync-flushed
};

// Appends n bytes. Returns 0, or -1 when fifo is null.
int fifo_write(byte_fifo* fifo, const void* data, uint32_t n);
// Takes up to n bytes into dst (dst may be null to discard). Returns the
// number of bytes actually taken.
uint32_t fifo_read(byte_fifo* fifo, void* dst, uint32_t n);
// Copies up to n bytes from the front without taking them.
uint32_t fifo_peek(const byte_fifo* fifo, void* dst, uint32_t n);
void fifo_free(byte_fifo* fifo);

// Deflates one command into fifo, sync-flushing when sync_flush is set.
// Returns the number of deflated bytes produced. Without a zstream it is a
// plain fifo_write and returns n.
uint32_t fifo_write_deflate(byte_fifo* fifo, const void* data, uint32_t n, z_stream* zs, bool sync_flush);
// Flushes pending deflate output (Z_SYNC_FLUSH) into fifo. Returns bytes produced.
uint32_t fifo_deflate(byte_fifo* fifo, z_stream* zs);

// zlib set-up at the protocol's fixed version; 0 on success.
int zstream_deflate_init(z_stream* zs, int level);
int zstream_inflate_init(z_stream* zs);

// Inflates one packet payload into out, chunk_len bytes at a time (Z_SYNC_FLUSH).
// Returns Z_OK, or the zlib error that stopped it. Output is bounded by
// max_out: exceeding it returns Z_MEM_ERROR (a decompression bomb).
// max_out bounds what this one call appends (out keeps at most max_out new
// bytes). A Z_BUF_ERROR once all input is taken means "nothing more" and is
// Z_OK. Output that inflate holds back after a chunk filled exactly is
// drained in the same call. Z_STREAM_END is returned as it comes (the peer
// ended its stream, which this protocol never does).
int payload_inflate(z_stream* zs, const uint8_t* in, uint32_t n, byte_fifo* out, uint32_t chunk_len,
                    uint32_t max_out);
