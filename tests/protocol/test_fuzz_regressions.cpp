// Cases kept from fuzzing the wire core (tests/fuzz): the properties the
// fuzz targets check, on inputs that reach their edges.
#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/commands.h"
#include "protocol/fifo.h"
#include "protocol/wire.h"

namespace {

using bytes = std::vector<uint8_t>;

struct recorder {
    std::vector<std::string> events;
};

void add(void* ctx, const std::string& e) { static_cast<recorder*>(ctx)->events.push_back(e); }
void r_open(void* c, const cmd_open_req& r) {
    add(c, "open " + std::to_string(r.stream_id) + " " + std::string(r.name, r.name_len));
}
void r_internal(void* c, uint8_t svc, uint16_t id) { add(c, "int " + std::to_string(svc) + " " + std::to_string(id)); }
void r_end(void* c, uint16_t id) { add(c, "end " + std::to_string(id)); }
void r_stop(void* c, uint16_t id) { add(c, "stop " + std::to_string(id)); }
void r_data(void* c, uint16_t id, const uint8_t* b, uint32_t n) {
    auto& ev = static_cast<recorder*>(c)->events;
    const std::string head = "data " + std::to_string(id) + " ";
    // Pieces of one command arrive as several calls.
    if (!ev.empty() && ev.back().compare(0, head.size(), head) == 0) {
        ev.back().append(reinterpret_cast<const char*>(b), n);
        return;
    }
    add(c, head + std::string(reinterpret_cast<const char*>(b), n));
}
void r_tunnel(void* c, const uint8_t* p, uint16_t len) { add(c, "tun " + std::string(reinterpret_cast<const char*>(p), len)); }
bool r_tunnel_len(void*, uint16_t len) { return len <= 1500; }

const cmd_handlers recording = {r_open, r_internal, r_end, r_data, r_stop, r_stop, r_end, r_tunnel, r_tunnel_len};

// Returns the events, and the parser's last result in *result.
recorder parse(const bytes& stream, size_t piece, int* result) {
    recorder rec;
    cmd_parser p;
    byte_fifo in;
    *result = 0;
    for (size_t off = 0; off < stream.size() && *result == 0; off += piece) {
        const size_t n = std::min(piece, stream.size() - off);
        fifo_write(&in, stream.data() + off, uint32_t(n));
        *result = process_commands_core(p, in, recording, &rec);
        if (*result == 0) {
            EXPECT_EQ(0u, in.len) << "piece " << piece << " at " << off;
        }
    }
    fifo_free(&in);
    return rec;
}

bytes command_stream() {
    bytes out(4096);
    size_t n = 0;
    n += cmd_put_open(out.data() + n, 0x5000, 0x0100000A, 7, "a.name.that.is.long", 19);
    n += cmd_put_open_internal(out.data() + n, 31, 65535);
    n += cmd_put_data_header(out.data() + n, 2047, 7);
    for (int i = 0; i < 2047; i++) out[n++] = uint8_t(i * 7);
    n += cmd_put_data_header(out.data() + n, 0, 7);
    n += cmd_put_stream(out.data() + n, cmd_stop, 7);
    n += cmd_put_tunnel_header(out.data() + n, 20);
    for (int i = 0; i < 20; i++) out[n++] = uint8_t(0x45 + i);
    n += cmd_put_stream(out.data() + n, cmd_end, 7);
    // A tunnel packet beyond what the handler takes breaks the stream for good.
    n += cmd_put_tunnel_header(out.data() + n, 1501);
    n += cmd_put_stream(out.data() + n, cmd_end, 8);
    out.resize(n);
    return out;
}

TEST(FuzzRegressions, ParserGivesTheSameCommandsWholeAndInAnyPieces) {
    const bytes stream = command_stream();
    int whole_result = 0;
    const recorder whole = parse(stream, stream.size(), &whole_result);
    EXPECT_EQ(-1, whole_result);
    ASSERT_EQ(6u, whole.events.size());
    EXPECT_EQ("open 7 a.name.that.is.long", whole.events[0]);
    EXPECT_EQ("int 31 65535", whole.events[1]);
    EXPECT_EQ(size_t(7 + 2047), whole.events[2].size());
    EXPECT_EQ("end 7", whole.events[5]);
    for (size_t piece : {1, 2, 3, 9, 10, 11, 4076}) {
        int result = 0;
        const recorder split = parse(stream, piece, &result);
        EXPECT_EQ(whole_result, result) << piece;
        EXPECT_EQ(whole.events, split.events) << piece;
    }
}

bytes deflated(const bytes& plain) {
    z_stream zs{};
    deflateInit(&zs, 9);
    bytes out(plain.size() + plain.size() / 8 + 256);
    zs.next_in = const_cast<Bytef*>(plain.data());
    zs.avail_in = uInt(plain.size());
    zs.next_out = out.data();
    zs.avail_out = uInt(out.size());
    deflate(&zs, Z_SYNC_FLUSH);
    out.resize(out.size() - zs.avail_out);
    deflateEnd(&zs);
    return out;
}

TEST(FuzzRegressions, InflateGivesWhatZlibGivesAtEveryChunkSize) {
    bytes plain(9000);
    for (size_t i = 0; i < plain.size(); i++) plain[i] = uint8_t((i * 31) ^ (i >> 5));
    const bytes z = deflated(plain);
    for (uint32_t chunk : {1u, 2u, 7u, 1000u, 4075u, 4076u}) {
        z_stream zs;
        ASSERT_EQ(0, zstream_inflate_init(&zs));
        byte_fifo out;
        ASSERT_EQ(Z_OK, payload_inflate(&zs, z.data(), uint32_t(z.size()), &out, chunk, 1u << 20)) << chunk;
        bytes got(out.len);
        fifo_read(&out, got.data(), out.len);
        EXPECT_EQ(plain, got) << chunk;
        fifo_free(&out);
        inflateEnd(&zs);
    }
}

// Deflate cannot pass about 1032:1, so a bound of the engine's kind
// (n * 1032 + one chunk) holds every valid payload; a tighter one must cut.
TEST(FuzzRegressions, InflateStopsADecompressionBombAtItsBound) {
    const bytes z = deflated(bytes(4u << 20));
    ASSERT_LT(z.size(), 8000u);
    const uint32_t bound = 65536;
    z_stream zs;
    ASSERT_EQ(0, zstream_inflate_init(&zs));
    byte_fifo out;
    EXPECT_EQ(Z_MEM_ERROR, payload_inflate(&zs, z.data(), uint32_t(z.size()), &out, 4076, bound));
    EXPECT_LE(out.len, bound);
    fifo_free(&out);
    inflateEnd(&zs);
}

TEST(FuzzRegressions, InflateRefusesGarbageWithoutOutput) {
    const bytes junk = {0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x01};
    z_stream zs;
    ASSERT_EQ(0, zstream_inflate_init(&zs));
    byte_fifo out;
    EXPECT_NE(Z_OK, payload_inflate(&zs, junk.data(), uint32_t(junk.size()), &out, 4076, 1u << 20));
    EXPECT_EQ(nullptr, out.head);
    EXPECT_EQ(0u, out.len);
    inflateEnd(&zs);
}

}  // namespace
