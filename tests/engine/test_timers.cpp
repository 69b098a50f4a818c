// Session timers, sending, resending and rate control, on simulated time
// (the tick source), with a bound UDP socket on loopback as the server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/timers.h"
#include "platform/net.h"
#include "protocol/packet.h"
#include "protocol/session_core.h"
#include "protocol/wire.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"

using namespace engine_testing;

#if defined(__SANITIZE_ADDRESS__)
// Freed blocks wait in AddressSanitizer's quarantine (256 MB by default) and
// would count as resident: the memory bound below is about live data.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=4"; }
#endif

namespace {

class Timers : public EngineTest {
protected:
    Timers() : EngineTest(70000) {}
    void SetUp() override {
        EngineTest::SetUp();
        s = make_session(mode_service_int);
        ASSERT_FALSE(HasFailure());
        received();  // the login
    }
    std::vector<bytes> received(int settle_us = 2000) { return drain_datagrams(fake_server, settle_us); }
    void advance_ms(uint32_t ms) {
        fake_ms += ms;
        now = clock_now();
    }

    stx_session* s = nullptr;
};

// ---------------------------------------------------------------- ending sessions

TEST_F(Timers, SessionsEndOnSilenceOrTheirCloseMark) {
    struct Case {
        uint32_t last_rx_pid;
        uint8_t close_mark;
        uint32_t alive_ms, dead_ms;  // the pass before and the pass that ends it
        const char* line;
    } cases[] = {
        {0, 0, 10000, 500, "Close session, no packets received from server\n"},
        {3, 0, 300000, 500, "Close session, seems no data/activity at specified timeout\n"},
        {3, 1, 0, 0, "Close session, instruction from algoritm\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        if (!session_head) {
            cur_index = 1;
            ASSERT_EQ(0, find_session());
            s = cur_session;
        }
        s->last_rx_time = now;
        s->last_rx_pid = c.last_rx_pid;
        if (!c.close_mark) {
            advance_ms(c.alive_ms);
            session_timers();
            ASSERT_EQ(s, session_head);
        }
        s->close_mark = c.close_mark;
        advance_ms(c.dead_ms);
        session_timers();
        EXPECT_EQ(nullptr, session_head);
        EXPECT_TRUE(logged(c.line));
    }
}

// ---------------------------------------------------------------- sending

TEST_F(Timers, DataIsCutIntoPacketsWhileTheAllowanceLasts) {
    s->allowance = 3 * 1472;
    const std::string payload(3000, 'p');
    fifo_write(&s->out_deflated, payload.data(), 3000);
    send_packets(s);
    EXPECT_TRUE(received().empty());  // nothing before the server has answered
    s->working = 1;
    send_packets(s);
    auto got = received();
    ASSERT_EQ(2u, got.size());
    for (uint32_t k = 0; k < 2; k++) {
        ASSERT_EQ(1472u, got[k].size());
        const pkt_header h = header_get(got[k].data());
        EXPECT_EQ(s->session_id, h.session_id);
        EXPECT_EQ(k + 1, h.packet_id);
        EXPECT_EQ(k + 1, h.data_id);
        EXPECT_EQ(flags_data, h.flags);
    }
    EXPECT_EQ(3 * 1472 - 2 * (1472 + 42), s->allowance);
    EXPECT_EQ(2u * 1472, s->bytes_in_flight);
    EXPECT_EQ(2u, s->packets_in_flight);
    EXPECT_EQ(2u * (1472 + 42), s->sent_bytes);
    EXPECT_EQ(3u, stats.datagrams_sent);  // with the login
    EXPECT_EQ(uint64_t(121 + 28 + 2 * (1472 + 28)), stats.udp_out);

    // The rest waits for the flush interval.
    send_packets(s);
    EXPECT_TRUE(received().empty());
    advance_ms(60);
    send_packets(s);
    got = received();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(size_t(17 + 3000 - 2 * 1455), got[0].size());
}

TEST_F(Timers, KeepalivesGrowBy175UpTo120s) {
    s->working = 1;
    s->last_rx_pid = 1;
    runtime.datatimeout_s = 100000;
    std::vector<double> at;
    while (at.size() < 10) {
        advance_ms(10);
        s->last_rx_time = now;
        session_timers();
        for (const bytes& b : received(0))
            if (b.size() == size_t(header_bytes)) at.push_back(now);
    }
    double expect = 5.0;
    for (size_t k = 1; k < at.size(); k++) {
        expect = std::min(expect * 1.75, 120.0);
        SCOPED_TRACE(k);
        EXPECT_GE(at[k] - at[k - 1], expect);
        EXPECT_LT(at[k] - at[k - 1], expect + 0.011);
    }
    EXPECT_EQ(120.0, s->keepalive_s);
}

TEST_F(Timers, FailedSendEmptiesTheBucketCountsAsLossAndPauses) {
    s->working = 1;
    fifo_write(&s->out_deflated, std::string(100, 'x').data(), 100);
    advance_ms(100);
    sock_close(server_udp_fd);
    fd_poll.entries[0].fd = spare_socket;
    server_udp_fd = -1;
    send_packets(s);
    EXPECT_EQ(0, s->allowance);
    EXPECT_EQ(117u, s->resent_bytes);
    EXPECT_EQ(1u, s->resent_packets);
    EXPECT_EQ(std::vector<uint32_t>{100}, sleeps);
    EXPECT_EQ(1u, s->packets_in_flight);  // kept for a resend
    EXPECT_TRUE(logged("send error (9) oneshot 117 burstavail 0\n"));
}

// ---------------------------------------------------------------- resending

TEST_F(Timers, RequestedPacketIsResentUnderANewPacketId) {
    s->working = 1;
    s->allowance = 3 * 1472;
    fifo_write(&s->out_deflated, std::string(200, 'q').data(), 200);
    advance_ms(100);
    send_packets(s);
    auto first = received();
    ASSERT_EQ(1u, first.size());

    uint8_t req[5];
    resend_req_put(req, resend_req_wire{1, 1});
    serve_resend_requests(*s, req, 1, &stats.resent);
    s->peer_last_good = 0;
    s->last_delivered = 9;
    resend_all(s);
    auto again = received();
    ASSERT_EQ(1u, again.size());
    const pkt_header h = header_get(again[0].data());
    EXPECT_EQ(2u, h.packet_id);
    EXPECT_EQ(1u, h.data_id);
    EXPECT_EQ(9u, h.last_good);
    EXPECT_EQ(0, std::memcmp(first[0].data() + 17, again[0].data() + 17, 200));
    EXPECT_EQ(uint32_t(217 + 42), s->resent_bytes);
    EXPECT_EQ(1u, stats.resent);

    // Without allowance it waits in the pending queue, then queues again.
    serve_resend_requests(*s, req, 1, &stats.resent);
    s->allowance = 100;
    resend_all(s);
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(1u, s->resend_q.items.size());
    EXPECT_TRUE(s->pending_q.items.empty());
}

TEST_F(Timers, ReceivedDataIsDeliveredAndAcknowledgedPacketsFreed) {
    s->working = 1;
    fifo_write(&s->out_deflated, std::string(200, 'a').data(), 200);
    advance_ms(100);
    const double sent_at = now;
    send_packets(s);
    ASSERT_EQ(1u, s->packets_in_flight);
    received();

    // The server's data packet 1 acknowledges ours and carries a shutdown
    // for a stream this side does not know (consumed without effect).
    server_codec codec;
    bytes b(header_bytes);
    header_put(b.data(), pkt_header{s->session_id, 1, 1, 1, flags_data});
    b = cat({b, codec.packet(stream_cmd(cmd_shutdown, 5))});
    send_datagram(fake_server, engine_port, b.data(), b.size());
    usleep(2000);
    advance_ms(10);
    cur_index = 0;
    udp_receive();
    ASSERT_EQ(1, s->data_received);

    session_timers();
    EXPECT_EQ(0, s->data_received);
    EXPECT_EQ(1u, s->last_delivered);
    EXPECT_EQ(2u, s->window.first_id);
    EXPECT_EQ(0u, s->in_cmds.len);
    EXPECT_EQ(0u, s->packets_in_flight);
    EXPECT_EQ(0u, s->bytes_in_flight);
    EXPECT_EQ(2u, s->array_d.first);
    EXPECT_EQ(sent_at, s->newest_acked_sent);
    EXPECT_NEAR(0.010 * 1.01, s->rtt, 1e-9);  // sent 10 ms before the acknowledgement
    EXPECT_EQ(s, session_head);
}

// Peak resident memory of this process, in kB.
long peak_rss_kb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld", &kb) == 1) break;
    if (f) std::fclose(f);
    return kb;
}

// A burst of packets that each inflate to about a megabyte (zeros for a
// stream nobody knows), the first one arriving last, is executed packet by
// packet: the inbound command fifo never holds more than one packet's worth.
TEST_F(Timers, ABurstOfInflatingPacketsStaysWithinBoundedMemory) {
    constexpr uint32_t packets = 100;
    server_codec codec;
    bytes plain;
    for (int k = 0; k < 320; k++) plain = cat({plain, data_cmd(999, std::string(cmd_data_max, '\0'))});
    std::vector<bytes> datagrams(packets + 1);
    for (uint32_t id = 1; id <= packets; id++) {
        bytes b(header_bytes);
        header_put(b.data(), pkt_header{s->session_id, id, id, 0, flags_data});
        const bytes z = codec.packet(plain);
        ASSERT_LE(z.size(), 1400u);
        datagrams[id] = cat({b, z});
    }
    auto r = test_support::run_child([&] {
        const long before = peak_rss_kb();
        for (uint32_t k = 0; k < packets; k++) {
            const uint32_t id = k + 2 <= packets ? k + 2 : 1;
            stx_packet* p = packet_alloc();
            std::memcpy(p->data, datagrams[id].data(), datagrams[id].size());
            p->len = uint16_t(datagrams[id].size());
            session_core_receive(*s, p, now, runtime.minmeasuredrtt_s, rx_counters{nullptr, nullptr});
        }
        process_rx(s);
        const long grown_kb = peak_rss_kb() - before;
        std::printf("delivered %u grown %ld kB\n", s->last_delivered, grown_kb);
        std::fflush(stdout);
        if (s->last_delivered != packets || s->in_cmds.len || s->close_mark) _exit(2);
        if (grown_kb > 32 * 1024) _exit(3);
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.code) << r.out << r.err;
}

// Received commands answer with commands of their own; while the deflated
// output is backed up past its bound, delivery waits in the window.
TEST_F(Timers, DeliveryWaitsWhileTheOutputBacklogIsFull) {
    const std::string block(1 << 20, 'z');
    for (int k = 0; k < 65; k++) fifo_write(&s->out_deflated, block.data(), uint32_t(block.size()));
    server_codec codec;
    bytes b(header_bytes);
    header_put(b.data(), pkt_header{s->session_id, 1, 1, 0, flags_data});
    b = cat({b, codec.packet(stream_cmd(cmd_end, 3))});
    stx_packet* p = packet_alloc();
    std::memcpy(p->data, b.data(), b.size());
    p->len = uint16_t(b.size());
    ASSERT_EQ(0, session_core_receive(*s, p, now, runtime.minmeasuredrtt_s, rx_counters{nullptr, nullptr}));
    s->data_received = 0;
    process_rx(s);
    EXPECT_EQ(0u, s->last_delivered);
    EXPECT_EQ(1u, s->window.count);
    EXPECT_EQ(1, s->data_received);  // to be taken up again

    fifo_free(&s->out_deflated);
    s->data_received = 0;
    process_rx(s);
    EXPECT_EQ(1u, s->last_delivered);
    EXPECT_EQ(0u, s->window.count);
}

// ---------------------------------------------------------------- token bucket

TEST_F(Timers, RefillOf64BytesOrLessIsNotApplied) {
    s->speed = 3000;
    s->allowance = 0;
    s->last_refill = now;
    const double start = now;
    now = start + 0.021;  // 63 bytes
    refill_allowance(s);
    EXPECT_EQ(0, s->allowance);
    EXPECT_EQ(start, s->last_refill);
    now = start + 0.022;  // 66 bytes
    refill_allowance(s);
    EXPECT_EQ(66, s->allowance);
    EXPECT_EQ(now, s->last_refill);
    now += 100;
    refill_allowance(s);
    EXPECT_EQ(int32_t(s->burst), s->allowance);
}

TEST_F(Timers, RefillDrawsFromTheSharedPool) {
    runtime.totalspeed = 10000;
    s->speed = 1000;
    s->burst = 100000;
    struct Case {
        int64_t pool;
        int32_t allowance;
        int64_t owed, pool_after, demand;
        uint32_t demanding;
    } cases[] = {
        {0, 0, 500, 0, 500, 1},        // nothing in the pool: all owed
        {200, 200, 300, 0, 300, 1},    // part of it
        {800, 500, 0, 300, 0, 0},      // enough
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pool);
        s->allowance = 0;
        s->owed = 0;
        budget = shared_budget{};
        budget.pool = c.pool;
        s->last_refill = now - 0.5;
        refill_allowance(s);
        EXPECT_EQ(c.allowance, s->allowance);
        EXPECT_EQ(c.owed, s->owed);
        EXPECT_EQ(c.pool_after, budget.pool);
        EXPECT_EQ(c.demand, budget.total_demand);
        EXPECT_EQ(c.demanding, budget.demanding);
    }
    s->owed = 0;
    budget = shared_budget{};
}

// ---------------------------------------------------------------- speed control

TEST_F(Timers, SpeedRisesBy50PerCheckWithoutLoss) {
    s->speed_min = 500;
    s->speed_max = 3000;
    s->speed = 1000;
    s->last_check = now;
    s->sent_bytes = 10000;  // not more than 10000 bytes: no check
    advance_ms(200);
    speed_control(s);
    s->sent_bytes = 10001;  // not more than 0.1 s since the last one
    s->last_check = now - 0.09;
    speed_control(s);
    ASSERT_EQ(1000u, s->speed);
    s->last_check = now;
    for (int k = 1; k <= 60; k++) {
        s->sent_bytes = 20000;
        advance_ms(200);
        speed_control(s);
        ASSERT_EQ(std::min(1000u + 50u * k, 3000u), s->speed);
        EXPECT_EQ(0u, s->sent_bytes);
        EXPECT_EQ(now, s->last_check);
    }
    // Fifty checks write the status line, with the period's rate in it:
    // 50 x 20000 bytes in 10 s.
    const std::string text = log_text();
    const std::string head = "B/G 0/100|buf 0B+0B+0B/0P?0P 0/0/0 (alpha) spd ";
    const size_t at = text.find(head);
    ASSERT_NE(std::string::npos, at) << text;
    EXPECT_NEAR(100000, std::atoi(text.c_str() + at + head.size()), 1);
    EXPECT_NE(std::string::npos, text.find("/0<3000 sock 0 rtt 10.010000 delay 0 sd 0 st 0 drq 0 c 1.000000 c/s "
                                           "1000.000000 DLT 0 o "));
    EXPECT_DOUBLE_EQ(10.0 * 1.001, s->rtt);
    EXPECT_EQ(10u * 20000, s->period_sent);  // the ten checks since
}

// The first period starts when the session is made, not at clock zero.
TEST_F(Timers, FirstStatusLineMeasuresItsPeriodFromTheSessionsStart) {
    for (int k = 0; k < 50; k++) {
        s->sent_bytes = 20000;
        advance_ms(200);
        speed_control(s);
    }
    const std::string text = log_text();
    const std::string head = "(alpha) spd ";
    const size_t at = text.find(head);
    ASSERT_NE(std::string::npos, at) << text;
    EXPECT_NEAR(100000, std::atoi(text.c_str() + at + head.size()), 1);
}

TEST_F(Timers, HeavyLossCutsTheSpeedThenDropsItToTheMinimum) {
    s->speed_min = 100;
    s->speed_max = 100000;
    s->speed = 100000;
    const uint32_t expect[] = {40000, 16000, 6400, 100, 40};
    for (uint32_t want : expect) {
        s->sent_bytes = 8000;
        s->resent_bytes = 12000;  // 60 % loss
        advance_ms(200);
        speed_control(s);
        EXPECT_EQ(std::max(want, 100u), s->speed);
    }
    // Little sent and some loss: straight to the minimum.
    s->speed = 5000;
    s->sent_bytes = 2;
    s->resent_bytes = 20000;
    advance_ms(200);
    speed_control(s);
    EXPECT_EQ(100u, s->speed);
}

// ---------------------------------------------------------------- reading control

TEST_F(Timers, ReadingStopsAbove10SpeedsInFlightAndResumesBelow4RoundTrips) {
    s->speed = 1000;
    s->rtt = 0.5;
    s->last_rx_time = now;
    struct Step {
        uint32_t in_flight;
        double silent;
        uint8_t delayed;
    } steps[] = {
        {5000, 0, 0},      // at 5 speeds: reading goes on
        {7000, 1.0, 0},    // above 5 speeds but the server is quiet longer than a round trip
        {7000, 0, 1},      // above 5 speeds and the server talks: stop
        {2000, 0, 1},      // not below 4 x rtt x speed
        {1999, 0, 0},      // below: resume
        {10001, 1.0, 1},   // above 10 speeds: stop whatever
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.in_flight);
        s->bytes_in_flight = st.in_flight;
        s->last_rx_time = now - st.silent;
        reading_control(s);
        EXPECT_EQ(st.delayed, s->delayed);
    }
    EXPECT_EQ(2u, s->delay_count);
}

}  // namespace
