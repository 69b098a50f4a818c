#include "protocol/fifo.h"

#include <cstdlib>
#include <cstring>

#include "protocol/hooks.h"

namespace {

fifo_node* node_new() {
    // Data bytes are left uninitialised: every byte is written before it is read.
    auto* n = static_cast<fifo_node*>(std::malloc(sizeof(fifo_node)));
    if (!n) proto_fatal(__LINE__, "error allocate memory");
    n->read_off = 0;
    n->write_off = 0;
    n->capacity = fifo_node_data_bytes;
    return n;
}

void link_tail(byte_fifo* f, fifo_node* n) {
    if (!f->head) {
        n->next = n;
        n->prev = n;
        f->head = n;
        return;
    }
    fifo_node* last = f->head->prev;
    n->prev = last;
    n->next = f->head;
    last->next = n;
    f->head->prev = n;
}

void unlink_node(byte_fifo* f, fifo_node* n) {
    if (n->next == n) {
        f->head = nullptr;
    } else {
        n->prev->next = n->next;
        n->next->prev = n->prev;
        if (f->head == n) f->head = n->next;
    }
    std::free(n);
}

// The last node, with room to write; a new node is linked when it is full.
fifo_node* tail_with_room(byte_fifo* f) {
    fifo_node* last = f->head ? f->head->prev : nullptr;
    if (!last || last->write_off == last->capacity) {
        last = node_new();
        link_tail(f, last);
    }
    return last;
}

// A node linked for compressor output that got none must not stay: readers
// rely on every linked node holding unread bytes.
void drop_empty_tail(byte_fifo* f) {
    if (!f->head) return;
    fifo_node* last = f->head->prev;
    if (last->read_off == last->write_off) unlink_node(f, last);
}

// Runs deflate into the fifo's free room until flush is done with the given
// input. Returns the bytes produced.
uint32_t deflate_into(byte_fifo* f, z_stream* zs, int flush) {
    uint32_t produced = 0;
    for (;;) {
        fifo_node* last = tail_with_room(f);
        uint32_t room = last->capacity - last->write_off;
        zs->next_out = last->data + last->write_off;
        zs->avail_out = room;
        uInt in_before = zs->avail_in;
        int r = deflate(zs, flush);
        if (r < 0 && r != Z_BUF_ERROR) proto_fatal(__LINE__, "error deflate!");
        uint32_t got = room - zs->avail_out;
        last->write_off += got;
        f->len += got;
        produced += got;
        if (r == Z_BUF_ERROR || (got == 0 && zs->avail_in == in_before)) break;
        // Output room left over means deflate took all it was given and, for
        // a sync flush, finished the flush; a full node may hide more output.
        if (zs->avail_out != 0 && zs->avail_in == 0) break;
    }
    drop_empty_tail(f);
    return produced;
}

}  // namespace

int fifo_write(byte_fifo* fifo, const void* data, uint32_t n) {
    if (!fifo) return -1;
    const auto* src = static_cast<const uint8_t*>(data);
    while (n) {
        fifo_node* last = tail_with_room(fifo);
        uint32_t take = last->capacity - last->write_off;
        if (take > n) take = n;
        std::memcpy(last->data + last->write_off, src, take);
        last->write_off += take;
        fifo->len += take;
        src += take;
        n -= take;
    }
    return 0;
}

uint32_t fifo_read(byte_fifo* fifo, void* dst, uint32_t n) {
    if (!fifo) return 0;
    auto* out = static_cast<uint8_t*>(dst);
    uint32_t taken = 0;
    while (n && fifo->head) {
        fifo_node* first = fifo->head;
        uint32_t take = first->write_off - first->read_off;
        if (take > n) take = n;
        if (out) {
            std::memcpy(out, first->data + first->read_off, take);
            out += take;
        }
        first->read_off += take;
        fifo->len -= take;
        taken += take;
        n -= take;
        if (first->read_off == first->write_off) unlink_node(fifo, first);
    }
    return taken;
}

uint32_t fifo_peek(const byte_fifo* fifo, void* dst, uint32_t n) {
    if (!fifo || !fifo->head) return 0;
    auto* out = static_cast<uint8_t*>(dst);
    uint32_t copied = 0;
    const fifo_node* node = fifo->head;
    do {
        uint32_t take = node->write_off - node->read_off;
        if (take > n - copied) take = n - copied;
        if (out) std::memcpy(out + copied, node->data + node->read_off, take);
        copied += take;
        node = node->next;
    } while (copied < n && node != fifo->head);
    return copied;
}

void fifo_free(byte_fifo* fifo) {
    if (!fifo) return;
    while (fifo->head) unlink_node(fifo, fifo->head);
    fifo->len = 0;
    fifo->unflushed = 0;
}

uint32_t fifo_write_deflate(byte_fifo* fifo, const void* data, uint32_t n, z_stream* zs, bool sync_flush) {
    if (!zs) return fifo_write(fifo, data, n) == 0 ? n : 0;
    if (!fifo) return 0;
    fifo->unflushed = 1;
    zs->next_in = static_cast<Bytef*>(const_cast<void*>(data));
    zs->avail_in = n;
    uint32_t produced = deflate_into(fifo, zs, sync_flush ? Z_SYNC_FLUSH : Z_NO_FLUSH);
    zs->next_in = Z_NULL;
    zs->avail_in = 0;
    return produced;
}

uint32_t fifo_deflate(byte_fifo* fifo, z_stream* zs) {
    if (!fifo || !zs) return 0;
    fifo->unflushed = 0;
    zs->next_in = Z_NULL;
    zs->avail_in = 0;
    return deflate_into(fifo, zs, Z_SYNC_FLUSH);
}

int zstream_deflate_init(z_stream* zs, int level) {
    std::memset(zs, 0, sizeof *zs);
    return deflateInit_(zs, level, ZLIB_VERSION, int(sizeof(z_stream)));
}

int zstream_inflate_init(z_stream* zs) {
    std::memset(zs, 0, sizeof *zs);
    return inflateInit_(zs, ZLIB_VERSION, int(sizeof(z_stream)));
}

// A Z_BUF_ERROR once every input byte is taken is not a fault: it is how
// inflate says that it had nothing more to give, which happens when the last
// output chunk was filled exactly and the follow-up call finds nothing left.
// Only the peer's bytes can produce any other result, so it is handed back
// for the caller to end the session.
int payload_inflate(z_stream* zs, const uint8_t* in, uint32_t n, byte_fifo* out, uint32_t chunk_len,
                    uint32_t max_out) {
    if (!zs || !out) return Z_STREAM_ERROR;
    if (n == 0) return Z_OK;
    if (chunk_len == 0) chunk_len = fifo_node_data_bytes;
    zs->next_in = const_cast<Bytef*>(in);
    zs->avail_in = n;
    uint64_t produced = 0;
    int result = Z_OK;
    for (;;) {
        fifo_node* last = tail_with_room(out);
        uint64_t give = last->capacity - last->write_off;
        if (give > chunk_len) give = chunk_len;
        // One byte past the bound is enough to learn that the bound is broken.
        if (give > max_out - produced + 1) give = max_out - produced + 1;
        zs->next_out = last->data + last->write_off;
        zs->avail_out = uInt(give);
        int r = inflate(zs, Z_SYNC_FLUSH);
        uint32_t got = uint32_t(give - zs->avail_out);
        if (produced + got > max_out) {
            got = uint32_t(max_out - produced);
            r = Z_MEM_ERROR;
        }
        last->write_off += got;
        out->len += got;
        produced += got;
        if (r == Z_BUF_ERROR && zs->avail_in == 0) break;
        if (r != Z_OK) {
            result = r;
            break;
        }
        // A filled chunk may leave output inside inflate even with no input left.
        if (zs->avail_in == 0 && zs->avail_out != 0) break;
    }
    drop_empty_tail(out);
    zs->next_in = Z_NULL;
    zs->avail_in = 0;
    return result;
}
