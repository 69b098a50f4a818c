#include "protocol/fifo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/hooks.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes pattern(size_t n, uint32_t seed = 1) {
    bytes b(n);
    std::mt19937 rng(seed);
    for (auto& c : b) c = uint8_t(rng());
    return b;
}

// Text-like input: compressible, but not trivially.
bytes words(size_t n, uint32_t seed) {
    static const char* vocab[] = {"GET ", "/index.html ", "HTTP/1.1\r\n", "Host: ", "example.org\r\n", "Accept: */*\r\n",
                                  "abc", "xyz", "0123456789"};
    std::mt19937 rng(seed);
    bytes b;
    while (b.size() < n) {
        const char* w = vocab[rng() % 9];
        b.insert(b.end(), w, w + std::strlen(w));
        if (rng() % 7 == 0) b.push_back(uint8_t(rng()));
    }
    b.resize(n);
    return b;
}

int node_count(const byte_fifo& f) {
    if (!f.head) return 0;
    int n = 0;
    const fifo_node* p = f.head;
    do {
        ++n;
        EXPECT_LT(p->read_off, p->write_off) << "a linked node holds no unread byte";
        EXPECT_EQ(p->next->prev, p);
        p = p->next;
    } while (p != f.head);
    return n;
}

bytes drain(byte_fifo& f) {
    bytes out(f.len);
    EXPECT_EQ(fifo_read(&f, out.data(), uint32_t(out.size())), out.size());
    EXPECT_EQ(f.head, nullptr);
    return out;
}

TEST(Fifo, NodeBoundaryIs4076DataBytes) {
    byte_fifo f;
    bytes data = pattern(fifo_node_data_bytes + 1);
    ASSERT_EQ(fifo_write(&f, data.data(), fifo_node_data_bytes), 0);
    EXPECT_EQ(node_count(f), 1);
    EXPECT_EQ(f.head->write_off, fifo_node_data_bytes);
    ASSERT_EQ(fifo_write(&f, data.data() + fifo_node_data_bytes, 1), 0);
    EXPECT_EQ(node_count(f), 2);
    EXPECT_EQ(f.len, fifo_node_data_bytes + 1);
    EXPECT_EQ(f.head->prev->write_off, 1u);
    EXPECT_EQ(drain(f), data);
}

TEST(Fifo, ReadsAcrossNodesAndFreesEachNodeReadEmpty) {
    byte_fifo f;
    bytes data = pattern(3 * fifo_node_data_bytes + 500);
    // Uneven writes, so node edges fall inside writes.
    for (size_t off = 0; off < data.size();) {
        size_t n = std::min<size_t>(1000 + off % 777, data.size() - off);
        ASSERT_EQ(fifo_write(&f, data.data() + off, uint32_t(n)), 0);
        off += n;
    }
    EXPECT_EQ(node_count(f), 4);

    bytes first(fifo_node_data_bytes - 10);
    EXPECT_EQ(fifo_read(&f, first.data(), uint32_t(first.size())), first.size());
    EXPECT_EQ(node_count(f), 4);
    bytes ten(10);
    EXPECT_EQ(fifo_read(&f, ten.data(), 10), 10u);
    EXPECT_EQ(node_count(f), 3) << "the first node goes as soon as it is read empty";

    bytes peeked(fifo_node_data_bytes + 20);
    EXPECT_EQ(fifo_peek(&f, peeked.data(), uint32_t(peeked.size())), peeked.size());
    EXPECT_EQ(0, std::memcmp(peeked.data(), data.data() + fifo_node_data_bytes, peeked.size()));
    EXPECT_EQ(node_count(f), 3) << "peeking takes nothing";

    EXPECT_EQ(fifo_read(&f, nullptr, 5), 5u);  // discard
    bytes rest(f.len + 100);
    uint32_t got = fifo_read(&f, rest.data(), uint32_t(rest.size()));
    ASSERT_EQ(got, data.size() - fifo_node_data_bytes - 5);
    EXPECT_EQ(0, std::memcmp(rest.data(), data.data() + fifo_node_data_bytes + 5, got));
    EXPECT_EQ(f.head, nullptr);
    EXPECT_EQ(f.len, 0u);
    EXPECT_EQ(fifo_read(&f, rest.data(), 1), 0u);
    EXPECT_EQ(fifo_peek(&f, rest.data(), 1), 0u);
}

TEST(Fifo, NullFifoAndFree) {
    uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(fifo_write(nullptr, b, 4), -1);
    EXPECT_EQ(fifo_read(nullptr, b, 4), 0u);
    byte_fifo f;
    fifo_write(&f, b, 4);
    f.unflushed = 1;
    fifo_free(&f);
    EXPECT_EQ(f.head, nullptr);
    EXPECT_EQ(f.len, 0u);
    EXPECT_EQ(f.unflushed, 0);
    fifo_free(&f);
}

struct zpair {
    z_stream def{}, inf{};
    zpair(int level = 6) {
        EXPECT_EQ(zstream_deflate_init(&def, level), Z_OK);
        EXPECT_EQ(zstream_inflate_init(&inf), Z_OK);
    }
    ~zpair() {
        deflateEnd(&def);
        inflateEnd(&inf);
    }
};

// Cuts the deflated fifo into payloads of at most `cut` bytes and inflates
// each one, as the receiving side of a session does.
int inflate_all(z_stream* inf, byte_fifo& deflated, byte_fifo& out, uint32_t cut, uint32_t chunk) {
    bytes payload(cut);
    while (deflated.len) {
        uint32_t n = fifo_read(&deflated, payload.data(), cut);
        int r = payload_inflate(inf, payload.data(), n, &out, chunk, 1u << 24);
        if (r != Z_OK) return r;
    }
    return Z_OK;
}

TEST(Fifo, SyncFlushedCommandIsWholeAtTheReceiverAtOnce) {
    zpair z;
    byte_fifo deflated, inflated;
    bytes all;
    for (int i = 0; i < 300; ++i) {
        bytes cmd = words(1 + (i * 37) % 2050, uint32_t(i));
        uint32_t produced = fifo_write_deflate(&deflated, cmd.data(), uint32_t(cmd.size()), &z.def, true);
        EXPECT_EQ(deflated.unflushed, 1);
        EXPECT_EQ(produced, deflated.len);
        all.insert(all.end(), cmd.begin(), cmd.end());
        ASSERT_EQ(inflate_all(&z.inf, deflated, inflated, 1400, 4076), Z_OK);
        ASSERT_EQ(inflated.len, all.size()) << "command " << i << " not whole after its sync flush";
    }
    EXPECT_EQ(drain(inflated), all);
    // Nothing is pending after a sync flush: flushing again adds nothing.
    EXPECT_EQ(fifo_deflate(&deflated, &z.def), 0u);
    EXPECT_EQ(deflated.head, nullptr);
    EXPECT_EQ(deflated.unflushed, 0);
}

TEST(Fifo, SyncFlushFinishesWhenOutputFillsTheLastNodeExactly) {
    // Leave 1..40 bytes of room in the last node so that the flush marker
    // lands on the node edge for some of them.
    for (uint32_t room = 1; room <= 40; ++room) {
        zpair z;
        byte_fifo deflated, inflated;
        bytes filler(fifo_node_data_bytes - room, 0x55);
        fifo_write(&deflated, filler.data(), uint32_t(filler.size()));
        bytes cmd = pattern(30 + room, room);
        fifo_write_deflate(&deflated, cmd.data(), uint32_t(cmd.size()), &z.def, true);
        EXPECT_EQ(fifo_read(&deflated, nullptr, uint32_t(filler.size())), filler.size());
        ASSERT_EQ(inflate_all(&z.inf, deflated, inflated, 1400, 4076), Z_OK);
        EXPECT_EQ(drain(inflated), cmd) << "room " << room;
    }
}

TEST(Fifo, UnflushedCommandsArriveAfterTheFlush) {
    zpair z;
    byte_fifo deflated, inflated;
    bytes all;
    for (int i = 0; i < 200; ++i) {
        bytes cmd = words(1 + (i * 53) % 2047, uint32_t(1000 + i));
        fifo_write_deflate(&deflated, cmd.data(), uint32_t(cmd.size()), &z.def, false);
        all.insert(all.end(), cmd.begin(), cmd.end());
    }
    EXPECT_EQ(deflated.unflushed, 1);
    uint32_t before = deflated.len;
    EXPECT_GT(fifo_deflate(&deflated, &z.def), 0u);
    EXPECT_EQ(deflated.unflushed, 0);
    EXPECT_GT(deflated.len, before);
    EXPECT_LT(deflated.len, all.size() / 2) << "text compresses";
    node_count(deflated);
    // Small output chunks exercise output held back inside inflate.
    ASSERT_EQ(inflate_all(&z.inf, deflated, inflated, 1000, 100), Z_OK);
    EXPECT_EQ(drain(inflated), all);
}

TEST(Fifo, InflateGivesEverythingItsInputDecidesEvenWhenAChunkFillsExactly) {
    // A payload may end anywhere in the zlib stream, for instance right
    // behind the code of a long match: inflate has then taken every input
    // byte while part of the match is still unwritten when a chunk fills.
    // Whatever the chunk size, one call must give what one unbounded call gives.
    bytes text = words(300, 7);
    for (int i = 0; i < 6; ++i) text.insert(text.end(), 600, uint8_t('k' + i));
    zpair z;
    byte_fifo deflated;
    fifo_write_deflate(&deflated, text.data(), uint32_t(text.size()), &z.def, true);
    bytes payload = drain(deflated);
    for (uint32_t cut = 1; cut <= payload.size(); ++cut) {
        z_stream ref{};
        ASSERT_EQ(zstream_inflate_init(&ref), Z_OK);
        byte_fifo ref_out;
        ASSERT_EQ(payload_inflate(&ref, payload.data(), cut, &ref_out, 1u << 16, 1u << 20), Z_OK);
        for (uint32_t chunk = 1; chunk <= 64; ++chunk) {
            z_stream inf{};
            ASSERT_EQ(zstream_inflate_init(&inf), Z_OK);
            byte_fifo out;
            ASSERT_EQ(payload_inflate(&inf, payload.data(), cut, &out, chunk, 1u << 20), Z_OK);
            EXPECT_EQ(out.len, ref_out.len) << "cut " << cut << " chunk " << chunk;
            fifo_free(&out);
            inflateEnd(&inf);
        }
        fifo_free(&ref_out);
        inflateEnd(&ref);
    }
}

TEST(Fifo, WithoutZstreamDeflateIsAPlainWrite) {
    byte_fifo f;
    uint8_t b[3] = {7, 8, 9};
    EXPECT_EQ(fifo_write_deflate(&f, b, 3, nullptr, true), 3u);
    EXPECT_EQ(drain(f), bytes(b, b + 3));
}

TEST(Fifo, InflateIsBoundedPerCall) {
    zpair z(9);
    byte_fifo deflated, out;
    bytes zeros(1 << 20, 0);
    fifo_write_deflate(&deflated, zeros.data(), uint32_t(zeros.size()), &z.def, true);
    bytes payload = drain(deflated);
    ASSERT_LT(payload.size(), 1500u) << "a megabyte of zeros fits one datagram";

    z_stream inf{};
    ASSERT_EQ(zstream_inflate_init(&inf), Z_OK);
    EXPECT_EQ(payload_inflate(&inf, payload.data(), uint32_t(payload.size()), &out, 4076, 65536), Z_MEM_ERROR);
    EXPECT_EQ(out.len, 65536u);
    node_count(out);
    fifo_free(&out);
    inflateEnd(&inf);

    ASSERT_EQ(zstream_inflate_init(&inf), Z_OK);
    EXPECT_EQ(payload_inflate(&inf, payload.data(), uint32_t(payload.size()), &out, 4076, 1 << 20), Z_OK);
    EXPECT_EQ(drain(out), zeros);
    inflateEnd(&inf);
}

TEST(Fifo, InflateHandsBackTheErrorOfBadInput) {
    z_stream inf{};
    ASSERT_EQ(zstream_inflate_init(&inf), Z_OK);
    byte_fifo out;
    uint8_t junk[32];
    std::memset(junk, 0xFF, sizeof junk);
    EXPECT_EQ(payload_inflate(&inf, junk, sizeof junk, &out, 4076, 65536), Z_DATA_ERROR);
    EXPECT_EQ(out.len, 0u);
    EXPECT_EQ(out.head, nullptr);
    EXPECT_EQ(payload_inflate(&inf, junk, 0, &out, 4076, 65536), Z_OK) << "an empty payload inflates to nothing";
    inflateEnd(&inf);
}

TEST(Fifo, DeflateOnABrokenStreamIsFatal) {
    proto_set_hooks(nullptr, [](int, const char* text) { throw std::runtime_error(text); });
    z_stream dead{};  // never initialised: deflate refuses it
    byte_fifo f;
    uint8_t b[4] = {1, 2, 3, 4};
    try {
        fifo_write_deflate(&f, b, 4, &dead, true);
        ADD_FAILURE() << "no fatal error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "error deflate!");
    }
    fifo_free(&f);
    proto_set_hooks(nullptr, nullptr);
}

}  // namespace
