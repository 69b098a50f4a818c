#include "tuner/tsdemux.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tuner/kestrix_api.h"

namespace {

using bytes = std::vector<uint8_t>;

struct delivery {
    int slot;  // which recorder
    bytes data;
    bool operator==(const delivery& o) const { return slot == o.slot && data == o.data; }
};

std::vector<delivery> got;
std::vector<std::string> logged;

void test_log(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    logged.push_back(line);
}

template <int K>
void recorder(const uint8_t* data, uint32_t length) {
    got.push_back({K, bytes(data, data + length)});
}

void* rec(int k) {
    static void* const table[] = {reinterpret_cast<void*>(&recorder<0>), reinterpret_cast<void*>(&recorder<1>),
                                  reinterpret_cast<void*>(&recorder<2>)};
    return table[k];
}

// A packet whose payload holds no sync byte, so that only real packet
// starts can be found.
bytes packet(uint16_t pid, uint8_t cc, uint8_t flags = 0) {
    bytes p(ts_packet_bytes, uint8_t(cc + 1));
    p[0] = ts_sync_byte;
    p[1] = uint8_t(flags | ((pid >> 8) & 0x1F));
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (cc & 0x0F));
    return p;
}

bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct TunerDemux : testing::Test {
    std::unique_ptr<ts_demux> d{new ts_demux()};
    void SetUp() override {
        got.clear();
        logged.clear();
    }
    void filter(uint16_t pid, int k, uint32_t type = kestrix_cdecl) {
        uint32_t n = 0;
        ASSERT_EQ(demux_set_filter(*d, pid, rec(k), type, 0, &n, test_log), 1);
        logged.clear();
    }
    void feed(const bytes& b) { demux_capture(*d, b.data(), uint32_t(b.size()), test_log); }
    void feed(const bytes& b, size_t from, size_t to) {
        demux_capture(*d, b.data() + from, uint32_t(to - from), test_log);
    }
};

TEST_F(TunerDemux, PacketsSplitAtEveryOffsetArriveWhole) {
    const bytes p[] = {packet(0x100, 0), packet(0x1FFF, 1), packet(0x100, 2), packet(0x21, 3)};
    const bytes stream = cat({p[0], p[1], p[2], p[3]});
    filter(ts_fullts_slot, 0);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        got.clear();
        d->carry.count = 0;
        feed(stream, 0, cut);
        feed(stream, cut, stream.size());
        ASSERT_EQ(got.size(), 4u) << "cut at " << cut;
        for (int i = 0; i < 4; ++i) EXPECT_EQ(got[size_t(i)].data, p[i]) << "cut at " << cut;
    }
    EXPECT_TRUE(logged.empty());
}

struct framing_case {
    const char* name;
    std::vector<bytes> buffers;
    std::vector<bytes> packets;     // what the whole-stream filter gets
    std::vector<std::string> logs;  // lines the splitter writes
    uint32_t carried;               // bytes kept at the end
};

void PrintTo(const framing_case& c, std::ostream* os) { *os << c.name; }

struct TunerDemuxFraming : TunerDemux, testing::WithParamInterface<framing_case> {};

const bytes a = packet(0x100, 5), b = packet(0x200, 6), c = packet(0x300, 7);
bytes slice(const bytes& v, size_t from, size_t to) { return bytes(v.begin() + long(from), v.begin() + long(to)); }
bytes junk(size_t n) { return bytes(n, 0x11); }

TEST_P(TunerDemuxFraming, Case) {
    filter(ts_fullts_slot, 0);
    for (const bytes& buf : GetParam().buffers) feed(buf);
    std::vector<bytes> packets;
    for (const delivery& g : got) packets.push_back(g.data);
    EXPECT_EQ(packets, GetParam().packets);
    EXPECT_EQ(logged, GetParam().logs);
    EXPECT_EQ(d->carry.count, GetParam().carried);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TunerDemuxFraming,
    testing::Values(
        framing_case{"TwoAlignedPackets", {cat({a, b})}, {a, b}, {}, 0},
        framing_case{"KeepsTwelveBytesForTheNextBuffer",
                     {cat({a, slice(b, 0, 12)}), slice(b, 12, 188)}, {a, b}, {}, 0},
        framing_case{"JunkBetweenPacketsIsSkipped", {cat({junk(5), a, junk(100), b, junk(3)})}, {a, b}, {}, 0},
        framing_case{"JunkAcrossBuffersIsSkipped", {cat({a, junk(40)}), cat({junk(30), b})}, {a, b}, {}, 0},
        framing_case{"ManyBytesWithoutPacketsAreReported", {junk(500), junk(188), a}, {a},
                     {"500 bytes without packets !"}, 0},
        framing_case{"TrailingJunkAfterAPacketCounts", {cat({a, junk(189)})}, {a}, {"189 bytes without packets !"}, 0},
        // A short middle buffer cannot complete the kept packet: it is lost,
        // and the middle buffer is searched from its first byte.
        framing_case{"SpanOverThreeBuffersLosesThePacket",
                     {cat({a, slice(b, 0, 50)}), slice(b, 50, 150), cat({slice(b, 150, 188), c})},
                     {a, c},
                     {"Sample not contain enought data !"},
                     0},
        framing_case{"ShortBufferWithASyncByteStartsANewCarry",
                     {slice(a, 0, 100), cat({junk(10), slice(b, 0, 20)}), slice(b, 20, 188)},
                     {b},
                     {"Sample not contain enought data !"},
                     0},
        framing_case{"ExactCompletionLeavesNothing", {slice(a, 0, 1), slice(a, 1, 188)}, {a}, {}, 0},
        framing_case{"PartialAtTheEndIsKept", {cat({a, slice(b, 0, 187)})}, {a}, {}, 187},
        // After a lost sync byte the splitter finds the next packet start.
        framing_case{"LostSyncFindsTheNextPacket",
                     {cat({slice(a, 1, 188), b, c})},
                     {b, c},
                     {},
                     0},
        framing_case{"EmptyBufferChangesNothing", {bytes{}, cat({a, slice(b, 0, 10)}), bytes{}}, {a}, {}, 10}),
    [](const testing::TestParamInfo<framing_case>& i) { return std::string(i.param.name); });

TEST_F(TunerDemux, PidIsMaskedToThirteenBits) {
    filter(0x0100, 1);
    filter(0x1FFF, 2);
    const bytes flagged = packet(0x0100, 0, 0xE0);  // error, unit start and priority bits set
    const bytes null_packet = packet(0x1FFF, 0, 0xE0);
    feed(cat({flagged, null_packet}));
    EXPECT_EQ(got, (std::vector<delivery>{{1, flagged}, {2, null_packet}}));
}

TEST_F(TunerDemux, WholeStreamAndSinglePidFiltersTogether) {
    filter(ts_fullts_slot, 0);
    filter(0x200, 1);
    feed(cat({a, b, c, b}));
    EXPECT_EQ(got, (std::vector<delivery>{{0, a}, {0, b}, {1, b}, {0, c}, {0, b}, {1, b}}));
}

TEST_F(TunerDemux, NoPidFilterHandsWholeBuffersOnly) {
    d->no_pid_filter = true;
    filter(0x100, 1);
    feed(cat({a, slice(b, 0, 10)}));
    EXPECT_TRUE(got.empty()) << "no FullTS filter: nothing";
    filter(ts_fullts_slot, 0);
    const bytes odd = cat({junk(7), a, slice(b, 0, 50)});
    feed(odd);
    EXPECT_EQ(got, (std::vector<delivery>{{0, odd}}));
    EXPECT_EQ(d->carry.count, 0u);
}

TEST_F(TunerDemux, UnknownTypeIsLoggedPerDelivery) {
    filter(ts_fullts_slot, 0, 3);
    filter(0x100, 1, kestrix_fastcall);
    filter(0x200, 2, kestrix_stdcall);
    feed(cat({a, b}));
    EXPECT_EQ(got, (std::vector<delivery>{{1, a}, {2, b}}));
    EXPECT_EQ(logged, (std::vector<std::string>{"Unknown CalllBack type !", "Unknown CalllBack type !"}));
}

TEST_F(TunerDemux, TableNumbersAndRefusals) {
    uint32_t n = 99;
    EXPECT_EQ(demux_set_filter(*d, 8193, rec(0), 4, 0, &n, test_log), 0);
    EXPECT_EQ(n, 99u);
    EXPECT_EQ(demux_set_filter(*d, 0x100, rec(0), 4, 7, &n, test_log), 1);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(demux_set_filter(*d, 0x100, rec(1), 4, 0, &n, test_log), 0);
    EXPECT_EQ(demux_set_filter(*d, 8192, rec(1), 4, 0, &n, test_log), 1);
    EXPECT_EQ(demux_set_filter(*d, 8192, rec(1), 4, 0, &n, test_log), 0);
    EXPECT_EQ(demux_set_remote(*d, rec(2), &n, test_log), 1);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(demux_set_remote(*d, rec(2), &n, test_log), 0);
    EXPECT_EQ(d->filters[0x100].size, 7u);
    EXPECT_EQ(demux_del_filter(*d, 2, test_log), 1) << "the remote-control slot";
    EXPECT_EQ(demux_del_filter(*d, 2, test_log), 0);
    EXPECT_EQ(demux_del_filter(*d, 0, test_log), 1);
    EXPECT_EQ(d->filters[0x100].number, 0u) << "only the callback is cleared";
    EXPECT_EQ(d->filters[0x100].type.load(), 4u);
    EXPECT_EQ(logged, (std::vector<std::string>{"PID > 8192 !", "filter_num=0", "Filter for PID 256 exists !",
                                                "filter_num=1", "FullTS filter exists !", "filter_num=2",
                                                "Filter for RC_RAW exists !", "Filter with ID 2 not exists !"}));
    // A clear frees every slot but keeps counting, and keeps the carry.
    feed(slice(a, 0, 20));
    d->remote.hook_installed = true;
    demux_clear(*d);
    EXPECT_FALSE(d->remote.hook_installed);
    EXPECT_EQ(d->carry.count, 20u);
    EXPECT_EQ(demux_set_filter(*d, 8192, rec(1), 4, 0, &n, test_log), 1);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(d->filters[0x100].type.load(), 0u);
}

// A removal made while a delivery runs on another thread returns only after
// that delivery has left the callback.
std::atomic<int> blocked_state{0};  // 1 inside, 2 released
void blocking_callback(const uint8_t*, uint32_t) {
    blocked_state = 1;
    while (blocked_state.load() != 2) std::this_thread::yield();
}

template <typename F>
bool wait_for(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST_F(TunerDemux, RemovalWaitsForTheDeliveryInProgress) {
    for (const bool clear_all : {false, true}) {
        blocked_state = 0;
        uint32_t n = 0;
        ASSERT_EQ(demux_set_filter(*d, 0x100, reinterpret_cast<void*>(&blocking_callback), 4, 0, &n, test_log), 1);
        std::thread card([this] { feed(a); });
        ASSERT_TRUE(wait_for([] { return blocked_state.load() == 1; }));
        std::atomic<bool> removed{false};
        std::thread caller([&] {
            if (clear_all)
                demux_clear(*d);
            else
                demux_del_filter(*d, n, test_log);
            removed = true;
        });
        // Not a timing check: the removal must not return while the callback
        // runs, however long we look.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(removed.load()) << clear_all;
        blocked_state = 2;
        caller.join();
        card.join();
        EXPECT_TRUE(removed.load());
        EXPECT_EQ(d->filters[0x100].callback.load(), nullptr);
    }
}

// From inside a delivery the removal does not wait for itself.
ts_demux* inner_demux = nullptr;
uint32_t inner_number = 0;
int inner_result = -1;
void deleting_callback(const uint8_t*, uint32_t) {
    inner_result = demux_del_filter(*inner_demux, inner_number, test_log);
}

TEST_F(TunerDemux, RemovalFromInsideADeliveryReturnsAtOnce) {
    inner_demux = d.get();
    ASSERT_EQ(demux_set_filter(*d, 0x100, reinterpret_cast<void*>(&deleting_callback), 4, 0, &inner_number,
                               test_log),
              1);
    filter(ts_fullts_slot, 0);
    feed(cat({a, a}));
    EXPECT_EQ(inner_result, 1);
    EXPECT_EQ(got.size(), 2u) << "the whole-stream filter stays";
}

}  // namespace
