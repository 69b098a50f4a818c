// The command records carried, deflated, inside a session, and the
// incremental parser that executes them as bytes arrive (a command may be
// split anywhere across packets).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/fifo.h"

enum cmd_code : uint8_t {
    cmd_open = 0,           // open by address (and optional name)
    cmd_open_internal = 1,  // open internal service, number in bits 3-7
    cmd_end = 2,
    cmd_data = 3,
    cmd_stop = 4,
    cmd_continue = 5,
    cmd_tunnel = 6,
    cmd_shutdown = 7,
};

// Header bytes by code; the parser reads the header length from here.
inline constexpr uint8_t cmd_header_len[8] = {10, 3, 3, 4, 3, 3, 3, 3};

constexpr uint16_t cmd_data_max = 2047;
constexpr uint32_t cmd_name_max = 255;  // an open's name length is one byte
// The longest tunnel packet: the engine's buffer. Callers may apply a
// smaller buflen through tunnel_len_ok.
constexpr uint32_t cmd_tunnel_max = fifo_node_data_bytes;

// Room for building one command.
constexpr size_t cmd_stream_bytes = cmd_header_len[cmd_end];  // end, stop, continue, shutdown, open internal
constexpr size_t cmd_open_max_bytes = cmd_header_len[cmd_open] + cmd_name_max;
constexpr size_t cmd_data_header_bytes = cmd_header_len[cmd_data];
constexpr size_t cmd_data_max_bytes = cmd_data_header_bytes + cmd_data_max;
constexpr size_t cmd_tunnel_header_bytes = cmd_header_len[cmd_tunnel];

// An open by name carries this address in place of one: 1.0.0.0, as the
// bytes stand in the command (network order).
inline constexpr uint8_t cmd_name_placeholder_addr[4] = {1, 0, 0, 0};

// Encoders. Each returns the number of bytes written to out.
size_t cmd_put_open(uint8_t* out, uint16_t port_net, uint32_t addr_net, uint16_t stream_id, const char* name,
                    uint8_t name_len);
size_t cmd_put_open_internal(uint8_t* out, uint8_t service, uint16_t stream_id);
// end, stop, continue, shutdown
size_t cmd_put_stream(uint8_t* out, cmd_code code, uint16_t stream_id);
// The 4-byte data header; len at most 2047.
size_t cmd_put_data_header(uint8_t* out, uint16_t len, uint16_t stream_id);
uint16_t cmd_data_length(const uint8_t* header);
size_t cmd_put_tunnel_header(uint8_t* out, uint16_t len);

// An open request as parsed (addresses and port in network order).
struct cmd_open_req {
    uint16_t stream_id;
    uint16_t port_net;
    uint32_t addr_net;
    uint8_t name_len;
    char name[cmd_name_max + 1];  // NUL-terminated copy of the name bytes
};

// What the parser calls. ctx is passed back untouched. Data of one command
// may arrive in several calls. A handler returns nothing; to stop the
// session it sets its own close mark.
struct cmd_handlers {
    void (*open)(void* ctx, const cmd_open_req& req);
    void (*open_internal)(void* ctx, uint8_t service, uint16_t stream_id);
    void (*end)(void* ctx, uint16_t stream_id);
    void (*data)(void* ctx, uint16_t stream_id, const uint8_t* bytes, uint32_t n);
    void (*stop)(void* ctx, uint16_t stream_id);
    void (*cont)(void* ctx, uint16_t stream_id);
    void (*shutdown)(void* ctx, uint16_t stream_id);
    // A complete tunnel packet.
    void (*tunnel)(void* ctx, const uint8_t* packet, uint16_t len);
    // Returns false when a tunnel packet of this length must not be taken
    // (the caller logs and marks its session); parsing then stops for good.
    bool (*tunnel_len_ok)(void* ctx, uint16_t len);
};

struct cmd_parser {
    uint8_t hdr[16];
    uint8_t have = 0;          // header bytes held
    uint8_t body = 0;          // the held header's body is under way (left is set)
    uint32_t left = 0;         // data/name/tunnel bytes still to come
    uint8_t name[cmd_name_max];
    uint32_t name_have = 0;
    uint8_t tunnel[cmd_tunnel_max];
    uint32_t tunnel_have = 0;
    bool broken = false;       // a fatal stream error was met
};

// cmd_header: reads the next header from in. Returns 0 with the first two
// header bytes in *first2, or -1 while it is incomplete.
int cmd_header(cmd_parser& p, byte_fifo& in, uint16_t* first2);

// Executes every complete command held in `in` (and hands over the partial
// data of the last one). Returns 0, or -1 once the stream is broken.
// Data bytes are handed over straight from the fifo's nodes, so a handler
// must not touch `in`. A handler left null skips that command's effect; the
// bytes are still consumed.
int process_commands_core(cmd_parser& p, byte_fifo& in, const cmd_handlers& h, void* ctx);
