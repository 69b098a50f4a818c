// The event loop: clock, descriptor table, polling, compaction, dispatch,
// the shared budget and the tunnel device reader. Time is simulated through
// the tick source; sockets are real, on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "protocol/wire.h"
#include "tests/engine/support/engine_testing.h"

using namespace engine_testing;

namespace {

class Loop : public EngineTest {};

// ---------------------------------------------------------------- clock

TEST_F(Loop, ClockSplitsMillisecondsAndGoesOnAcrossTheTickWrap) {
    fake_ms = 1234567;
    time_pair t;
    get_time(&t);
    EXPECT_EQ(1234, t.sec);
    EXPECT_EQ(567000000, t.nsec);
    EXPECT_DOUBLE_EQ(1234.567, time_to_sec(t));

    fake_ms = 0xFFFFFF00u;
    const double before = clock_now();
    fake_ms = 0x100;  // wrapped: 512 ms later
    const double after = clock_now();
    EXPECT_NEAR(0.512, after - before, 1e-9);
    fake_ms = 0x200;
    EXPECT_NEAR(0.768, clock_now() - before, 1e-9);
}

// ---------------------------------------------------------------- table

TEST_F(Loop, TableGrowsBy32WhenTheCountReachesTheCapacity) {
    for (int i = 0; i < 31; i++) fd_append(spare_socket, 0, fd_stream, nullptr, nullptr, 0);
    EXPECT_EQ(32, fd_poll.capacity);
    // Stale bytes in the slot that the next append takes.
    fd_poll.entries[31].revents = 0xFFFF;
    fd_poll.comp[31].close_flags = 3;
    const int i = fd_append(spare_socket, ev_read, fd_listener, nullptr, nullptr, 0x85);
    EXPECT_EQ(31, i);
    EXPECT_EQ(32, fd_poll.count);
    EXPECT_EQ(64, fd_poll.capacity);
    EXPECT_EQ(0, fd_poll.entries[i].revents);
    EXPECT_EQ(0, fd_poll.comp[i].close_flags);
    EXPECT_EQ(0x05, fd_poll.comp[i].local_delayed);  // index kept, delayed flag clear

    fd_reserve(31);  // 32 + 31 + 1 reaches 64: one more step
    EXPECT_EQ(96, fd_poll.capacity);

    fd_mark_removal(0, close_requested);
    fd_mark_removal(0, close_peer_informed);
    EXPECT_EQ(1, pending_removals);
    EXPECT_EQ(1u, marked_streams_total);
    EXPECT_EQ(close_requested | close_peer_informed, fd_poll.comp[0].close_flags);
}

// ---------------------------------------------------------------- polling

TEST_F(Loop, PollMapsEventsAndServesEveryEntryBeyond512) {
    uint16_t port;
    const int u = udp_socket(&port);
    // 600 entries: the readable socket stands last.
    for (int i = 0; i < 599; i++) fd_append(spare_socket, 0, fd_stream, nullptr, nullptr, 0);
    const int last = fd_append(u, ev_read, fd_server_udp, nullptr, nullptr, 0);
    send_datagram(spare_socket, port, "x", 1);

    auto [engine_side, client] = tcp_pair();
    extra_fds.push_back(client);
    const int w = fd_append(engine_side, ev_write, fd_stream, nullptr, nullptr, 0);
    // A descriptor that is no longer open does not stop the others.
    const int bad = fd_append(1000000, ev_read, fd_stream, nullptr, nullptr, 0);

    const int ready = poll_select(fd_poll.entries, fd_poll.count, 100);
    EXPECT_EQ(3, ready);
    EXPECT_EQ(ev_read, fd_poll.entries[last].revents);
    EXPECT_EQ(ev_write, fd_poll.entries[w].revents);
    EXPECT_EQ(ev_error, fd_poll.entries[bad].revents);
    EXPECT_EQ(0, fd_poll.entries[0].revents);

    EXPECT_EQ(fd_poll.count, poll_check(fd_poll.entries, fd_poll.count, 10));
    EXPECT_EQ(ev_read, fd_poll.entries[last].revents);
    EXPECT_EQ(ev_error, fd_poll.entries[bad].revents);
}

TEST_F(Loop, HangUpOfAStreamIsAReadSoTheEndIsSeen) {
    auto [engine_side, client] = tcp_pair();
    const int i = fd_append(engine_side, ev_read, fd_stream, nullptr, nullptr, 0);
    // Both directions shut: poll(2) reports POLLHUP.
    shutdown(engine_side, SHUT_WR);
    close(client);
    ASSERT_EQ(1, poll_select(fd_poll.entries, fd_poll.count, 100));
    EXPECT_TRUE(fd_poll.entries[i].revents & ev_read);
    char c;
    EXPECT_EQ(0, recv(engine_side, &c, 1, 0));
}

// ---------------------------------------------------------------- compaction

TEST_F(Loop, CompactionRunsAtOnceForSmallTablesElseEvery300ms) {
    struct Case {
        int entries;
        int marked;
        bool at_once;
    } cases[] = {{49, 1, true}, {50, 1, false}, {2100, 2001, true}, {2100, 2000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entries);
        poll_reset();
        for (int i = 0; i < c.entries; i++) fd_append(spare_socket, 0, fd_listener, nullptr, nullptr, 0);
        for (int i = 0; i < c.marked; i++) fd_mark_removal(i, close_requested);
        last_compaction = clock_now();
        main_loop_pass();
        EXPECT_EQ(c.at_once ? c.entries - c.marked : c.entries, fd_poll.count);
        if (c.at_once) continue;
        fake_ms += 299;  // not more than 0.3 s yet
        main_loop_pass();
        EXPECT_EQ(c.entries, fd_poll.count);
        fake_ms += 2;
        main_loop_pass();
        EXPECT_EQ(c.entries - c.marked, fd_poll.count);
        EXPECT_EQ(0, pending_removals);
        EXPECT_TRUE(fd_open(spare_socket));  // never closed
    }
}

TEST_F(Loop, CompactionKeepsOrderClosesSocketsAndUpdatesStreamIndexes) {
    stx_session* s = make_session();
    ASSERT_NE(nullptr, s);
    auto [a, ca] = tcp_pair();
    auto [b, cb] = tcp_pair();
    extra_fds.push_back(ca);
    extra_fds.push_back(cb);
    const int dead = fd_append(a, ev_read, fd_console, nullptr, nullptr, 0);
    s_stream* st = stream_new(s, 7);
    st->conn_state = conn_established;
    const int live = fd_append(b, ev_read, fd_stream, s, st, 0);
    fd_mark_removal(dead, close_requested);
    const int before = fd_poll.count;
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(before - 1, fd_poll.count);
    EXPECT_FALSE(fd_open(a));
    EXPECT_EQ(live - 1, st->fd_index);
    EXPECT_EQ(b, fd_poll.entries[st->fd_index].fd);
    EXPECT_EQ(st, fd_poll.comp[st->fd_index].stream);
}

// Inflates everything the session deflated so far.
std::string session_output(stx_session* s) {
    session_flush(s);
    std::vector<uint8_t> in(s->out_deflated.len);
    fifo_peek(&s->out_deflated, in.data(), uint32_t(in.size()));
    z_stream z{};
    inflateInit(&z);
    std::string out(65536, '\0');
    z.next_in = in.data();
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = uInt(out.size());
    inflate(&z, Z_SYNC_FLUSH);
    out.resize(out.size() - z.avail_out);
    inflateEnd(&z);
    return out;
}

TEST_F(Loop, ClosedEstablishedStreamDrainsItsOutputThenSendsEnd) {
    stx_session* s = make_session();
    ASSERT_NE(nullptr, s);
    auto [e, c] = tcp_pair();
    extra_fds.push_back(c);
    s_stream* st = stream_new(s, 0x1234);
    st->conn_state = conn_established;
    const int i = fd_append(e, ev_write, fd_stream, s, st, 0);
    buf_out_write(st, "pending", 7);
    fd_mark_removal(i, close_requested);

    const int count = fd_poll.count;
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(count, fd_poll.count);  // still draining
    EXPECT_EQ(now, st->close_time);

    buf_out_read(st, nullptr, 7);
    const uint64_t local_in = stats.local_in;
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(count - 1, fd_poll.count);
    EXPECT_EQ(local_in + 60, stats.local_in);
    EXPECT_EQ(nullptr, s->streams[0x1234]);
    EXPECT_EQ(nullptr, s->stream_ring);
    EXPECT_FALSE(fd_open(e));
    EXPECT_EQ(std::string("\x02\x34\x12", 3), session_output(s));
}

TEST_F(Loop, StreamThatNeverDrainsGoesAfter60sAndPeerEndedOnesSendNothing) {
    stx_session* s = make_session();
    ASSERT_NE(nullptr, s);
    s_stream* st = stream_new(s, 9);
    st->conn_state = conn_established;
    const int i = fd_append(spare_socket, 0, fd_stream, s, st, 0);
    buf_out_write(st, "stuck", 5);
    fd_mark_removal(i, close_requested | close_peer_informed);
    const int count = fd_poll.count;

    fd_poll.count = poll_compact(fd_poll.count);
    now += 60.0;
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(count, fd_poll.count);
    now += 0.001;
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(count - 1, fd_poll.count);
    EXPECT_TRUE(fd_open(spare_socket));
    EXPECT_EQ("", session_output(s));

    // A stream that never got established loses its data at once.
    s_stream* early = stream_new(s, 10);
    early->conn_state = conn_connecting;
    fifo_write(&early->input, "abc", 3);
    s->queued_input = 3;
    fd_mark_removal(fd_append(spare_socket, 0, fd_stream, s, early, 0), close_requested);
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(count - 1, fd_poll.count);
    EXPECT_EQ(0u, s->queued_input);
    EXPECT_EQ(std::string("\x02\x0a\x00", 3), session_output(s));
}

// ---------------------------------------------------------------- dispatch

TEST_F(Loop, ConsoleLeavingByMoveNeitherSkipsNorRepeatsAnEntry) {
    // Two quits and two other commands, interleaved: every quit moves the
    // last entry into its slot during the dispatch.
    const char* sent[] = {"quit\n", "abc\n", "quit\n", "xyz\n", "quit\n"};
    std::vector<int> clients;
    for (const char* text : sent) {
        auto [e, c] = tcp_pair();
        fd_append(e, ev_read, fd_console, nullptr, nullptr, 0);
        clients.push_back(c);
        send(c, text, std::strlen(text), 0);
    }
    int ready = poll_select(fd_poll.entries, fd_poll.count, 100);
    while (ready < 5) {  // loopback delivery is quick but not instant
        usleep(1000);
        ready = poll_select(fd_poll.entries, fd_poll.count, 100);
    }
    dispatch_ready(ready);
    EXPECT_EQ(2, fd_poll.count);
    for (size_t k = 0; k < clients.size(); k++) {
        SCOPED_TRACE(sent[k]);
        std::string got;
        char buf[256];
        usleep(20000);
        set_nonblocking(clients[k]);
        ssize_t n;
        while ((n = recv(clients[k], buf, sizeof buf, 0)) > 0) got.append(buf, size_t(n));
        if (std::strcmp(sent[k], "quit\n") == 0)
            EXPECT_EQ(0, n);  // closed, nothing sent
        else
            EXPECT_EQ("Quorin>", got);  // served exactly once
        close(clients[k]);
    }
}

TEST_F(Loop, TrafficLineOnlyInPassesWithAReadySocket) {
    runtime.traffic_s = 1;
    runtime.debug = 0;
    stats.udp_in = 11;
    stats.udp_out = 22;
    stats.local_in = 33;
    stats.local_out = 44;
    uint16_t port;
    server_udp_fd = udp_socket(&port);
    fd_append(server_udp_fd, ev_read, fd_server_udp, nullptr, nullptr, 0);
    fake_ms += 5000;
    main_loop_pass();
    EXPECT_EQ("", log_text());

    send_datagram(spare_socket, port, "tiny", 4);
    usleep(1000);
    main_loop_pass();
    const std::string text = log_text();
    EXPECT_NE(std::string::npos, text.find("(traf)UDP IN/OUT/ TCP IN/OUT: 11/22/33/44 \n")) << text;
    EXPECT_EQ(now, last_traffic_line);

    fd_poll.comp[0].type = 9;
    fd_poll.entries[0].revents = ev_read;
    dispatch_ready(1);
    EXPECT_NE(std::string::npos, log_text().find("Invalid socket type? 9\n"));
}

// ---------------------------------------------------------------- shared budget

TEST_F(Loop, BudgetIsSharedAmongDemandingSessions) {
    stx_session a{}, b{}, c{};
    a.next = &b, b.next = &c, c.next = &a;
    a.prev = &c, b.prev = &a, c.prev = &b;
    session_head = &a;
    runtime.totalspeed = 30000;  // 3000 bytes per 0.1 s
    a.owed = 2000, b.owed = 400;
    budget.total_demand = 2400;
    budget.demanding = 2;
    budget.next_share = now;
    share_budget();
    // take 2400, share 1200: a gets its share, b its 400 and 800 returns.
    EXPECT_EQ(1200, a.allowance);
    EXPECT_EQ(400, b.allowance);
    EXPECT_EQ(0, c.allowance);
    EXPECT_EQ(3000 - 2400 + 800, budget.pool);
    EXPECT_EQ(0u, budget.demanding);
    EXPECT_EQ(0, budget.total_demand);
    EXPECT_EQ(0, a.owed);
    EXPECT_NEAR(now + 0.1, budget.next_share, 1e-9);

    // Not yet time for the next share: nothing moves.
    a.owed = 5;
    budget.total_demand = 5;
    budget.demanding = 1;
    share_budget();
    EXPECT_EQ(5, a.owed);

    // Demand above the pool takes all of it.
    now += 0.1;
    a.owed = 5000;
    budget.total_demand = 5000;
    share_budget();
    EXPECT_EQ(1200 + 3000, a.allowance);
    EXPECT_EQ(0, budget.pool);
    session_head = nullptr;
}

// ---------------------------------------------------------------- tunnel device

TEST_F(Loop, TunnelDeviceFeedsTheSessionWhoseNetworkHoldsTheDestination) {
    stx_session* s = make_session();
    ASSERT_NE(nullptr, s);
    s->networks = {inet_addr("10.8.0.0"), inet_addr("255.255.0.0")};
    int p[2];
    ASSERT_EQ(0, pipe(p));
    extra_fds.push_back(p[1]);
    set_nonblocking(p[0]);
    cur_index = fd_append(p[0], ev_read, fd_tunnel_device, nullptr, nullptr, 0);

    uint8_t pkt[28] = {0x45};
    const uint32_t dst = inet_addr("10.8.3.4");
    std::memcpy(pkt + 16, &dst, 4);
    ASSERT_EQ(28, write(p[1], pkt, sizeof pkt));
    tunnel_device_read();
    std::string expect("\x06\x1c\x00", 3);
    expect.append(reinterpret_cast<char*>(pkt), sizeof pkt);
    EXPECT_EQ(expect, session_output(s));

    // Over the admission limit the packet is dropped and counted.
    s->bytes_in_flight = 3 * s->speed + 1;
    ASSERT_EQ(28, write(p[1], pkt, sizeof pkt));
    tunnel_device_read();
    EXPECT_EQ(1u, s->dropped_packets);
    EXPECT_EQ(expect, session_output(s));
}

TEST_F(Loop, MainLoopWithoutATableIsFatal) {
    EXPECT_EXIT(main_loop(), ::testing::ExitedWithCode(1), "error allocate memory for fd_poll");
}

}  // namespace
