#include "protocol/window.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/hooks.h"
#include "protocol/wire.h"
#include "tests/protocol/support/protocol_testing.h"

using namespace protocol_testing;

namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { capture_protocol_log(); }
    void TearDown() override {
        proto_set_hooks(nullptr, nullptr);
        rx_window_free_all(w);
        for (stx_packet* p : owned) packet_free(p);
    }
    stx_packet* pkt(uint32_t data_id, uint32_t packet_id = 0) {
        stx_packet* p = packet_alloc();
        p->data_id = data_id;
        p->packet_id = packet_id;
        return p;
    }
    // Packets kept by the test itself (send arrays and queues do not own).
    stx_packet* owned_pkt(uint32_t data_id, uint32_t packet_id) {
        owned.push_back(pkt(data_id, packet_id));
        return owned.back();
    }
    rx_window w;
    std::vector<stx_packet*> owned;
};

TEST_F(WindowTest, StoresOutOfOrderAndAdvances) {
    for (uint32_t id : {3u, 2u, 1u}) ASSERT_EQ(rx_window_store(w, pkt(id)), 0);
    EXPECT_EQ(w.used, 3u);
    EXPECT_EQ(w.count, 3u);
    for (uint32_t i = 0; i < 3; i++) EXPECT_EQ(w.slots[i]->data_id, i + 1);

    // Delivery takes the packets out before the window moves on.
    for (uint32_t i = 0; i < 2; i++) {
        packet_free(w.slots[i]);
        w.slots[i] = nullptr;
        w.count--;
    }
    ASSERT_EQ(rx_window_advance(w, 2), 0);
    EXPECT_EQ(w.first_id, 3u);
    EXPECT_EQ(w.used, 1u);
    ASSERT_NE(w.slots[0], nullptr);
    EXPECT_EQ(w.slots[0]->data_id, 3u);
    EXPECT_EQ(w.slots[1], nullptr);
}

TEST_F(WindowTest, GrowsInSteps) {
    struct {
        uint32_t data_id;
        size_t capacity;
    } cases[] = {{1, 1024}, {1024, 1024}, {1025, 2048}, {2000, 2048}, {2049, 3072}, {5000, 5120}};
    for (auto& c : cases) {
        rx_window fresh;
        ASSERT_EQ(rx_window_store(fresh, pkt(c.data_id)), 0) << c.data_id;
        EXPECT_EQ(fresh.slots.size(), c.capacity) << c.data_id;
        EXPECT_EQ(fresh.used, c.data_id);
        rx_window_free_all(fresh);
    }
}

TEST_F(WindowTest, DuplicateDroppedNotReplaced) {
    stx_packet* first = pkt(5, 50);
    ASSERT_EQ(rx_window_store(w, first), 0);
    stx_packet* again = pkt(5, 51);
    EXPECT_EQ(rx_window_store(w, again), 1);
    packet_free(again);
    EXPECT_EQ(w.slots[4], first);
    EXPECT_EQ(w.count, 1u);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, 1);
    EXPECT_EQ(logged[0].text, "debug: SFQ imperfection? Packet is duplicated? dropping 5 1\n");
}

TEST_F(WindowTest, BelowWindowDropped) {
    w.first_id = 10;
    stx_packet* p = pkt(9);
    EXPECT_EQ(rx_window_store(w, p), 1);
    packet_free(p);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].text, "debug: Packet is out of bounds! SFQ imperfection! 9 10\n");
    EXPECT_EQ(w.count, 0u);
}

TEST_F(WindowTest, FarAheadDroppedWithoutGrowing) {
    struct {
        uint32_t data_id;
        int result;
    } cases[] = {
        {1 + rx_window_max_ahead + 1, 1},
        {0x7FFFFFFF, 1},
        {0x80000000, 1},  // half the id space away reads as behind
        {0xFFFFFFFF, 1},
    };
    for (auto& c : cases) {
        stx_packet* p = pkt(c.data_id);
        EXPECT_EQ(rx_window_store(w, p), c.result) << c.data_id;
        packet_free(p);
        EXPECT_EQ(w.slots.size(), window_step);
        EXPECT_EQ(logged.back().level, 1);
    }
    ASSERT_EQ(rx_window_store(w, pkt(1 + rx_window_max_ahead)), 0);
    EXPECT_EQ(w.used, rx_window_max_ahead + 1);
}

TEST_F(WindowTest, AdvanceEdges) {
    w.first_id = 100;
    ASSERT_EQ(rx_window_store(w, pkt(100)), 0);
    EXPECT_EQ(rx_window_advance(w, 99), 0);  // below: nothing to do
    EXPECT_EQ(w.first_id, 100u);
    EXPECT_EQ(rx_window_advance(w, 101), -1);  // beyond what is used
    EXPECT_EQ(w.first_id, 100u);
    EXPECT_EQ(w.count, 1u);
    // A packet still held in a dropped slot is released, not leaked.
    EXPECT_EQ(rx_window_advance(w, 100), 0);
    EXPECT_EQ(w.count, 0u);
    EXPECT_EQ(w.used, 0u);
    EXPECT_EQ(w.first_id, 101u);
}

TEST_F(WindowTest, WindowAcrossIdWrap) {
    w.first_id = 0xFFFFFFFE;
    for (uint32_t id : {1u, 0xFFFFFFFFu, 0u, 0xFFFFFFFEu}) ASSERT_EQ(rx_window_store(w, pkt(id)), 0) << id;
    EXPECT_EQ(w.used, 4u);
    for (uint32_t i = 0; i < 4; i++) EXPECT_EQ(w.slots[i]->data_id, 0xFFFFFFFEu + i);
}

TEST_F(WindowTest, SendArrayAppendShrinkForget) {
    send_array a;
    a.first = 7;
    for (uint32_t i = 0; i < 1500; i++) send_array_append(a, owned_pkt(i % 10, 7 + i));
    EXPECT_EQ(a.used, 1500u);
    EXPECT_EQ(a.slots.size(), 2048u);
    EXPECT_EQ(send_array_at(a, 7)->packet_id, 7u);
    EXPECT_EQ(send_array_at(a, 1506)->packet_id, 1506u);
    EXPECT_EQ(send_array_at(a, 6), nullptr);
    EXPECT_EQ(send_array_at(a, 1507), nullptr);

    EXPECT_EQ(send_array_shrink(a, 7 + 1500), -1);
    EXPECT_EQ(a.first, 7u);
    EXPECT_EQ(send_array_shrink(a, 5), 0);  // below: nothing
    EXPECT_EQ(a.first, 7u);
    ASSERT_EQ(send_array_shrink(a, 1006), 0);
    EXPECT_EQ(a.first, 1007u);
    EXPECT_EQ(a.used, 500u);
    EXPECT_EQ(send_array_at(a, 1007)->packet_id, 1007u);
    EXPECT_EQ(a.slots[500], nullptr);

    array_p_forget(a, 3);
    int left = 0;
    for (uint32_t i = 0; i < a.used; i++) {
        if (a.slots[i]) {
            EXPECT_NE(a.slots[i]->data_id, 3u);
            left++;
        }
    }
    EXPECT_EQ(left, 450);
}

TEST_F(WindowTest, QueueLastInFirstOut) {
    packet_queue q;
    stx_packet* a = owned_pkt(1, 1);
    stx_packet* b = owned_pkt(2, 2);
    stx_packet* c = owned_pkt(3, 3);
    for (stx_packet* p : {a, b, c}) packet_queue_push(q, p);
    EXPECT_TRUE(packet_queue_remove(q, b));
    EXPECT_FALSE(packet_queue_remove(q, b));
    EXPECT_EQ(packet_queue_pop(q), c);
    EXPECT_EQ(packet_queue_pop(q), a);
    EXPECT_EQ(packet_queue_pop(q), nullptr);
}

TEST_F(WindowTest, QueueingFreedPacketIsFatal) {
    packet_queue q;
    stx_packet* p = owned_pkt(1, 1);
    p->freed = 1;
    EXPECT_DEATH(packet_queue_push(q, p, "sess"), "freed packet");
}

std::vector<resend_req_wire> pending(const resend_req_list& l) {
    std::vector<resend_req_wire> out;
    for (auto& r : l.items) out.push_back({r.first, r.count});
    return out;
}

TEST_F(WindowTest, GapBecomesRunsOf256) {
    struct {
        uint32_t last, pid, asked;
        std::vector<resend_req_wire> want;
    } cases[] = {
        {10, 600, 589, {{11, 0}, {267, 0}, {523, 77}}},
        {10, 11, 0, {}},
        {10, 12, 1, {{11, 1}}},
        {10, 267, 256, {{11, 0}}},
        {10, 5, 0, {}},
        {0xFFFFFFF0u, 5, 20, {{0xFFFFFFF1u, 20}}},
    };
    for (auto& c : cases) {
        resend_req_list l;
        EXPECT_EQ(resend_req_add_gap(l, c.last, c.pid, 1.0), c.asked) << c.last << "->" << c.pid;
        auto got = pending(l);
        ASSERT_EQ(got.size(), c.want.size()) << c.last << "->" << c.pid;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].first, c.want[i].first);
            EXPECT_EQ(got[i].count, c.want[i].count);
        }
    }
}

TEST_F(WindowTest, ForgedGapIsBounded) {
    resend_req_list l;
    EXPECT_EQ(resend_req_add_gap(l, 0, 0x7FFFFFF0u, 0.0), resend_gap_max_ids);
    EXPECT_EQ(l.items.size(), resend_gap_max_ids / 256);
    // Repeated forgeries fill the list up to its bound and no further.
    for (uint32_t last = 0x10000000; l.items.size() < resend_req_list_max; last += 0x10000000)
        resend_req_add_gap(l, last, last + 0x0FFFFFFF, 0.0);
    EXPECT_EQ(resend_req_add_gap(l, 0x70000000, 0x70000100, 0.0), 0u);
    resend_req_add(l, 1, 1, 0.0);
    EXPECT_EQ(l.items.size(), resend_req_list_max);
}

TEST_F(WindowTest, EmitTakesDueRequestsFromTheFront) {
    resend_req_list l;
    for (uint32_t i = 0; i < 70; i++) resend_req_add(l, 1000 + i, uint8_t(i), 1.0);
    resend_req_add(l, 5000, 3, 2.0);  // not due yet at 1.5
    EXPECT_EQ(resend_req_size(l, 1.5), 70u * 5);
    EXPECT_EQ(resend_req_size(l, 1.0), 0u);  // due only strictly later

    uint8_t out[63 * 5 + 5] = {0};
    EXPECT_EQ(resend_req_emit(out, 63 * 5, l, 1.5), 0);
    for (uint32_t i = 0; i < 63; i++) {
        resend_req_wire r = resend_req_get(out + i * 5);
        EXPECT_EQ(r.first, 1000 + i);
        EXPECT_EQ(r.count, uint8_t(i));
    }
    ASSERT_EQ(l.items.size(), 8u);
    EXPECT_EQ(l.items[0].first, 1063u);

    // The rest goes out; the request that is not yet due stops the copy.
    EXPECT_EQ(resend_req_emit(out, 63 * 5, l, 1.5), 63 * 5 - 7 * 5);
    ASSERT_EQ(l.items.size(), 1u);
    EXPECT_EQ(l.items[0].first, 5000u);

    struct {
        int room, left;
    } rooms[] = {{4, 4}, {0, 0}, {-5, -5}};
    for (auto& r : rooms) EXPECT_EQ(resend_req_emit(out, r.room, l, 9.0), r.left);
    EXPECT_EQ(l.items.size(), 1u);
    EXPECT_EQ(resend_req_emit(out, 7, l, 9.0), 2);
    EXPECT_TRUE(l.items.empty());
}

}  // namespace
