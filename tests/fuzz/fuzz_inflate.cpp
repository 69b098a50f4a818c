// payload_inflate on arbitrary compressed bytes, packet after packet of one
// session's stream, each result handed to the command parser as the session
// does. A plain zlib inflate of the same bytes with unbounded room is the
// reference: what payload_inflate appends must be exactly what zlib gives,
// and its output bound (a decompression bomb) must hold.
//
// Input: u8 chunk choice, then records of u16 length (little-endian, low 11
// bits) and that many payload bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zlib.h>

#include "protocol/commands.h"
#include "protocol/fifo.h"
#include "protocol/hooks.h"

namespace {

// The engine's scratch sizes (buflen) and a few awkward ones.
constexpr uint32_t chunk_choices[] = {4076, 1, 2, 7, 64, 1000, 2048, 4075};
// The engine bounds one packet's output at this ratio (plus one chunk).
constexpr uint64_t max_ratio = 1032;
constexpr uint16_t length_mask = 0x7FF;
constexpr int packets_max = 64;

uint64_t counted = 0;
void count_open(void*, const cmd_open_req& r) { counted += r.name_len + 1; }
void count_internal(void*, uint8_t, uint16_t) { counted++; }
void count_id(void*, uint16_t) { counted++; }
void count_data(void*, uint16_t, const uint8_t*, uint32_t n) { counted += n; }
void count_tunnel(void*, const uint8_t*, uint16_t len) { counted += len; }
bool tunnel_len(void*, uint16_t len) { return len <= 4076; }

const cmd_handlers counting = {count_open, count_internal, count_id,     count_data, count_id,
                               count_id,   count_id,       count_tunnel, tunnel_len};

// Every node holds unread bytes and the fifo's length is their sum.
void check_fifo(const byte_fifo& f) {
    uint64_t sum = 0;
    if (f.head) {
        const fifo_node* n = f.head;
        do {
            if (n->read_off >= n->write_off || n->write_off > n->capacity || n->capacity != fifo_node_data_bytes)
                std::abort();
            sum += n->write_off - n->read_off;
            n = n->next;
        } while (n != f.head);
    }
    if (sum != f.len) std::abort();
}

// Z_OK with all input taken, or the error that stopped zlib.
int reference_inflate(z_stream* zs, const uint8_t* in, uint32_t n, std::string* out, uint64_t cap) {
    zs->next_in = const_cast<Bytef*>(in);
    zs->avail_in = n;
    uint8_t buf[16384];
    for (;;) {
        zs->next_out = buf;
        zs->avail_out = sizeof buf;
        const int r = inflate(zs, Z_SYNC_FLUSH);
        out->append(reinterpret_cast<char*>(buf), sizeof buf - zs->avail_out);
        if (out->size() > cap) return Z_MEM_ERROR;
        if (r == Z_BUF_ERROR && zs->avail_in == 0) return Z_OK;
        if (r != Z_OK) return r;
        if (zs->avail_in == 0 && zs->avail_out != 0) return Z_OK;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint32_t chunk = chunk_choices[data[0] % (sizeof chunk_choices / sizeof chunk_choices[0])];
    size_t off = 1;

    z_stream zs, ref;
    zstream_inflate_init(&zs);
    zstream_inflate_init(&ref);
    byte_fifo out;
    cmd_parser* parser = new cmd_parser();
    bool parsing = true;

    for (int k = 0; k < packets_max && off + 2 <= size; k++) {
        uint32_t n = uint32_t(data[off] | (data[off + 1] << 8)) & length_mask;
        off += 2;
        if (n > size - off) n = uint32_t(size - off);
        const uint8_t* pkt = data + off;
        off += n;
        if (n == 0) continue;

        const uint64_t bound = uint64_t(n) * max_ratio + chunk;
        const uint32_t before = out.len;
        const int r = payload_inflate(&zs, pkt, n, &out, chunk, uint32_t(bound));
        check_fifo(out);
        if (out.len - before > bound) std::abort();

        std::string expect;
        const int rr = reference_inflate(&ref, pkt, n, &expect, bound);
        if (r == Z_OK) {
            std::string got(out.len - before, '\0');
            // The parser took everything before, so the fifo holds only this packet's output.
            if (before != 0) std::abort();
            fifo_peek(&out, got.data(), uint32_t(got.size()));
            if (rr != Z_OK || got != expect) {
                std::fprintf(stderr, "inflate: %zu bytes, zlib gives %zu (zlib result %d)\n", got.size(),
                             expect.size(), rr);
                std::abort();
            }
        } else if (r == Z_MEM_ERROR) {
            if (rr == Z_OK) std::abort();  // zlib stayed within the bound
        } else if (rr == Z_OK) {
            std::fprintf(stderr, "inflate: result %d where zlib gives Z_OK\n", r);
            std::abort();
        }

        if (parsing) {
            const uint64_t before_count = counted;
            if (process_commands_core(*parser, out, counting, nullptr) < 0) parsing = false;
            if (counted < before_count) std::abort();
        }
        if (!parsing) fifo_free(&out);
        if (r != Z_OK) break;
    }

    fifo_free(&out);
    delete parser;
    inflateEnd(&zs);
    inflateEnd(&ref);
    return 0;
}
