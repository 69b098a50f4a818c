#include "protocol/commands.h"

#include <cstring>

#include "protocol/hooks.h"
#include "protocol/wire.h"

size_t cmd_put_open(uint8_t* out, uint16_t port_net, uint32_t addr_net, uint16_t stream_id, const char* name,
                    uint8_t name_len) {
    if (!name) name_len = 0;
    out[0] = cmd_open;
    out[1] = name_len;
    // Port and address travel as they sit in a socket address.
    std::memcpy(out + 2, &port_net, 2);
    std::memcpy(out + 4, &addr_net, 4);
    put_u16(out + 8, stream_id);
    if (name_len) std::memcpy(out + 10, name, name_len);
    return size_t(10) + name_len;
}

size_t cmd_put_open_internal(uint8_t* out, uint8_t service, uint16_t stream_id) {
    out[0] = uint8_t(cmd_open_internal | ((service & 0x1F) << 3));
    put_u16(out + 1, stream_id);
    return 3;
}

size_t cmd_put_stream(uint8_t* out, cmd_code code, uint16_t stream_id) {
    out[0] = uint8_t(code & 7);
    put_u16(out + 1, stream_id);
    return 3;
}

size_t cmd_put_data_header(uint8_t* out, uint16_t len, uint16_t stream_id) {
    // Eleven bits of length: more would silently wrap into a different command.
    if (len > cmd_data_max) proto_fatal(__LINE__, "data command longer than 2047 bytes");
    out[0] = uint8_t(cmd_data | ((len & 0x1F) << 3));
    out[1] = uint8_t((len >> 5) & 0x3F);
    put_u16(out + 2, stream_id);
    return 4;
}

uint16_t cmd_data_length(const uint8_t* header) {
    return uint16_t((header[0] >> 3) | ((header[1] & 0x3F) << 5));
}

size_t cmd_put_tunnel_header(uint8_t* out, uint16_t len) {
    out[0] = cmd_tunnel;
    put_u16(out + 1, len);
    return 3;
}

int cmd_header(cmd_parser& p, byte_fifo& in, uint16_t* first2) {
    if (p.have == 0) {
        if (fifo_read(&in, p.hdr, 1) == 0) return -1;
        p.have = 1;
    }
    uint8_t need = cmd_header_len[p.hdr[0] & 7];
    if (p.have < need) {
        p.have = uint8_t(p.have + fifo_read(&in, p.hdr + p.have, uint32_t(need - p.have)));
        if (p.have < need) return -1;
    }
    if (first2) *first2 = get_u16(p.hdr);
    return 0;
}

namespace {

void command_done(cmd_parser& p) {
    p.have = 0;
    p.body = 0;
    p.left = 0;
    p.name_have = 0;
    p.tunnel_have = 0;
}

// Hands data bytes over as they sit in the fifo's nodes, without a copy.
void pass_data(cmd_parser& p, byte_fifo& in, const cmd_handlers& h, void* ctx, uint16_t stream_id) {
    while (p.left && in.head) {
        fifo_node* first = in.head;
        uint32_t n = first->write_off - first->read_off;
        if (n > p.left) n = p.left;
        if (h.data) h.data(ctx, stream_id, first->data + first->read_off, n);
        fifo_read(&in, nullptr, n);
        p.left -= n;
    }
}

// Sets up the body of a freshly completed header. Returns false when the
// stream is broken.
bool begin_body(cmd_parser& p, const cmd_handlers& h, void* ctx) {
    p.body = 1;
    switch (p.hdr[0] & 7) {
    case cmd_open:
        p.left = p.hdr[1];
        break;
    case cmd_data:
        p.left = cmd_data_length(p.hdr);
        break;
    case cmd_tunnel: {
        uint16_t len = get_u16(p.hdr + 1);
        if (h.tunnel_len_ok && !h.tunnel_len_ok(ctx, len)) return false;
        if (len > cmd_tunnel_max) return false;
        p.left = len;
        break;
    }
    default:
        p.left = 0;
        break;
    }
    return true;
}

}  // namespace

int process_commands_core(cmd_parser& p, byte_fifo& in, const cmd_handlers& h, void* ctx) {
    if (p.broken) return -1;
    for (;;) {
        if (cmd_header(p, in, nullptr) < 0) return 0;
        if (!p.body && !begin_body(p, h, ctx)) {
            p.broken = true;
            return -1;
        }
        const uint8_t code = p.hdr[0] & 7;
        switch (code) {
        case cmd_open: {
            p.name_have += fifo_read(&in, p.name + p.name_have, p.left);
            p.left = p.hdr[1] - p.name_have;
            if (p.left) return 0;
            cmd_open_req req;
            req.name_len = p.hdr[1];
            std::memcpy(&req.port_net, p.hdr + 2, 2);
            std::memcpy(&req.addr_net, p.hdr + 4, 4);
            req.stream_id = get_u16(p.hdr + 8);
            std::memcpy(req.name, p.name, req.name_len);
            req.name[req.name_len] = 0;
            command_done(p);
            if (h.open) h.open(ctx, req);
            break;
        }
        case cmd_open_internal: {
            uint8_t service = uint8_t(p.hdr[0] >> 3);
            uint16_t sid = get_u16(p.hdr + 1);
            command_done(p);
            if (h.open_internal) h.open_internal(ctx, service, sid);
            break;
        }
        case cmd_data: {
            uint16_t sid = get_u16(p.hdr + 2);
            pass_data(p, in, h, ctx, sid);
            if (p.left) return 0;
            command_done(p);
            break;
        }
        case cmd_tunnel: {
            uint16_t len = get_u16(p.hdr + 1);
            p.tunnel_have += fifo_read(&in, p.tunnel + p.tunnel_have, p.left);
            p.left = len - p.tunnel_have;
            if (p.left) return 0;
            command_done(p);
            if (h.tunnel) h.tunnel(ctx, p.tunnel, len);
            break;
        }
        default: {
            uint16_t sid = get_u16(p.hdr + 1);
            command_done(p);
            void (*fn)(void*, uint16_t) = nullptr;
            switch (code) {
            case cmd_end: fn = h.end; break;
            case cmd_stop: fn = h.stop; break;
            case cmd_continue: fn = h.cont; break;
            case cmd_shutdown: fn = h.shutdown; break;
            default: break;
            }
            if (fn) fn(ctx, sid);
            break;
        }
        }
    }
}
