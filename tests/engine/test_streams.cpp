// The command stream inside a session: what each received command does to
// the streams and sockets, the packer, the writer with its stop/continue
// flow control, opens by name and tunnel packets. The session's output is
// checked by inflating it and parsing it as the server would.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/globals.h"
#include "engine/listeners.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "engine/timers.h"
#include "platform/net.h"
#include "protocol/commands.h"
#include "protocol/packet.h"
#include "protocol/window.h"
#include "protocol/wire.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"

using namespace engine_testing;

namespace {

PacketSlot send_slots[tun_slot_count];

class Streams : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        s = make_session();
    }

    // A local connection served by a stream of the session.
    s_stream* local_stream(uint16_t id, int* client) {
        auto pair = tcp_pair();
        extra_fds.push_back(pair.second);
        if (client) *client = pair.second;
        s_stream* st = stream_new(s, id);
        st->conn_state = conn_established;
        fd_append(pair.first, ev_read, fd_stream, s, st, 0);
        return st;
    }
    poll_entry& entry(const s_stream* st) { return fd_poll.entries[st->fd_index]; }
    poll_companion& comp(const s_stream* st) { return fd_poll.comp[st->fd_index]; }

    // Everything the session deflated since the last call, as the server reads it.
    std::vector<rec> sent() { return server.take_commands(s); }
    bytes packet(const bytes& plain) { return server.packet(plain); }
    // A data packet with the next data id carrying this payload, delivered
    // and executed as the session timers do.
    void deliver_payload(const bytes& payload) {
        stx_packet* p = packet_alloc();
        const uint32_t id = s->window.first_id;
        header_put(p->data, pkt_header{s->session_id, id, id, 0, flags_data});
        std::memcpy(p->data + header_bytes, payload.data(), payload.size());
        p->packet_id = id;
        p->data_id = id;
        p->payload_off = header_bytes;
        p->len = uint16_t(header_bytes + payload.size());
        ASSERT_EQ(0, rx_window_store(s->window, p));
        process_rx(s);
    }
    void deliver(const bytes& plain) { deliver_payload(packet(plain)); }

    // The engine's write event for a stream.
    void write_event(s_stream* st) {
        cur_index = st->fd_index;
        cur_session = s;
        cur_stream = st;
        tcp_write();
    }

    stx_session* s = nullptr;
    server_codec server;
};

// ---------------------------------------------------------------- data and flow control

TEST_F(Streams, CommandHeaderAndDataSplitAcrossPacketsAreCompletedLater) {
    s_stream* st = local_stream(9, nullptr);
    entry(st).events = ev_read;
    const bytes cmd = data_cmd(9, "abcdefgh");
    deliver(bytes(cmd.begin(), cmd.begin() + 2));
    EXPECT_EQ(0u, st->buf_out.len);
    deliver(bytes(cmd.begin() + 2, cmd.begin() + 7));
    EXPECT_EQ(3u, st->buf_out.len);
    EXPECT_TRUE(entry(st).events & ev_write);
    deliver(bytes(cmd.begin() + 7, cmd.end()));
    char got[9] = {0};
    buf_out_read(st, got, 8);
    EXPECT_STREQ("abcdefgh", got);

    // Data for unknown or ended streams is consumed without effect, and the
    // commands behind it are still executed.
    bytes more = data_cmd(10, "zzz");
    bytes end = stream_cmd(cmd_stop, 9);
    more.insert(more.end(), end.begin(), end.end());
    deliver(more);
    EXPECT_TRUE(st->stopped_by_peer);
}

TEST_F(Streams, BufOutAboveTcpbufSendsOneStopAndFallingBelowHalfOneContinue) {
    runtime.tcpbuf = 65536;
    int client;
    s_stream* st = local_stream(4, &client);
    const std::string chunk(2047, 'x');
    bytes all;
    for (int i = 0; i < 32; i++) {
        bytes c = data_cmd(4, chunk);
        all.insert(all.end(), c.begin(), c.end());
    }
    bytes rest = data_cmd(4, std::string(65536 - 32 * 2047, 'y'));
    all.insert(all.end(), rest.begin(), rest.end());
    deliver(all);
    EXPECT_EQ(65536u, st->buf_out.len);
    EXPECT_FALSE(st->stopped);
    EXPECT_EQ(0, count_code(sent(), 4));

    deliver(data_cmd(4, "z"));
    deliver(data_cmd(4, "z"));
    EXPECT_TRUE(st->stopped);
    EXPECT_EQ(now, st->stop_time);
    std::vector<rec> out = sent();
    ASSERT_EQ(1, count_code(out, 4));
    EXPECT_EQ(4, out[0].id);

    // Drained to 40000: still above half. 40000 -> 30000 crosses it once.
    send_continue(st, st->buf_out.len - 40000);
    EXPECT_EQ(0, count_code(sent(), 5));
    send_continue(st, 10000);
    EXPECT_FALSE(st->stopped);
    out = sent();
    ASSERT_EQ(1, count_code(out, 5));
    EXPECT_EQ(4, out[0].id);
    send_continue(st, 1000);
    EXPECT_EQ(0, count_code(sent(), 5));
}

// Every stream stays below its own bound, but together they may not hold
// more than the engine-wide one: the stream whose data would cross it ends.
TEST_F(Streams, AllStreamsTogetherHoldNoMoreThanTheTotalBound) {
    runtime.buf_out_total_max = 10000;
    s_stream* a = local_stream(1, nullptr);
    s_stream* b = local_stream(2, nullptr);
    s_stream* c = local_stream(3, nullptr);
    const std::string chunk(2000, 'd');
    for (int k = 0; k < 3; k++) deliver(cat({data_cmd(1, chunk), data_cmd(2, chunk)}));
    EXPECT_EQ(6000u, a->buf_out.len);
    EXPECT_TRUE(b->ended);
    EXPECT_EQ(close_requested, comp(b).close_flags);
    EXPECT_EQ(0u, b->buf_out.len);
    EXPECT_EQ(6000u, buf_out_total);
    EXPECT_NE(std::string::npos, log_text().find("stream 2 on session"));

    // Room comes back as buffers drain.
    buf_out_read(a, nullptr, 5000);
    deliver(data_cmd(3, std::string(cmd_data_max, 'e')));
    EXPECT_FALSE(c->ended);
    EXPECT_EQ(1000u + cmd_data_max, buf_out_total);
}

TEST_F(Streams, WriterDrainsToTheSocketAndSendsOneContinueOnTheWay) {
    runtime.tcpbuf = 16384;
    int client;
    s_stream* st = local_stream(5, &client);
    st->conn_state = conn_connecting;
    std::string payload;
    for (int i = 0; i < 20000; i++) payload += char('a' + i % 26);
    for (size_t off = 0; off < payload.size(); off += 2000) deliver(data_cmd(5, payload.substr(off, 2000)));
    EXPECT_TRUE(st->stopped);
    sent();

    std::string got;
    char buf[8192];
    while (got.size() < payload.size()) {
        write_event(st);
        ASSERT_TRUE(wait_readable(client));
        ssize_t n = recv(client, buf, sizeof buf, 0);
        ASSERT_GT(n, 0);
        got.append(buf, size_t(n));
    }
    EXPECT_EQ(payload, got);
    EXPECT_EQ(conn_established, st->conn_state);
    EXPECT_EQ(0u, st->buf_out.len);
    EXPECT_EQ(1, count_code(sent(), 5));
    // Each write counts its bytes plus 60 per started 1500-byte segment.
    EXPECT_GE(s->local_out, 20000u + 60 * 14);
}

TEST_F(Streams, WriteErrorEndsTheStreamWithAnEndCommandLater) {
    int client;
    s_stream* st = local_stream(6, &client);
    linger off{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(client);  // reset
    extra_fds.erase(std::find(extra_fds.begin(), extra_fds.end(), client));
    usleep(10000);
    for (int i = 0; i < 10 && !st->ended; i++) {
        deliver(data_cmd(6, "hello"));
        write_event(st);
    }
    EXPECT_TRUE(st->ended);
    EXPECT_EQ(close_requested, comp(st).close_flags);
    EXPECT_EQ(0, entry(st).events);
    fd_poll.count = poll_compact(fd_poll.count);
    std::vector<rec> out = sent();
    ASSERT_EQ(1, count_code(out, 2));
    EXPECT_EQ(nullptr, s->streams[6]);
}

// ---------------------------------------------------------------- ends and shutdowns

TEST_F(Streams, LocalEndSendsShutdownAndTheStreamGoesOnlyAfterThePeersShutdown) {
    int client;
    s_stream* st = local_stream(7, &client);
    send(client, "last words", 10, 0);
    shutdown(client, SHUT_WR);
    for (int i = 0; i < 2 && !st->local_end; i++) {
        ASSERT_TRUE(wait_readable(entry(st).fd));
        cur_index = st->fd_index;
        cur_session = s;
        cur_stream = st;
        entry(st).revents = ev_read;
        process_case_2();
    }
    ASSERT_TRUE(st->local_end);
    EXPECT_FALSE(entry(st).events & ev_read);
    pack_streams(s, 100000);
    std::vector<rec> out = sent();
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(3, out[0].code);
    EXPECT_EQ("last words", out[0].data);
    EXPECT_EQ(7, out[1].code);
    EXPECT_EQ(7, out[1].id);
    EXPECT_EQ(0, comp(st).close_flags);
    fd_poll.count = poll_compact(fd_poll.count);
    ASSERT_EQ(st, s->streams[7]);

    deliver(stream_cmd(cmd_shutdown, 7));
    EXPECT_EQ(close_requested | close_peer_informed, comp(st).close_flags);
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(nullptr, s->streams[7]);
    EXPECT_TRUE(sent().empty());  // the peer knows: no end command
    char c;
    EXPECT_TRUE(wait_readable(client));
    EXPECT_EQ(0, recv(client, &c, 1, 0));
}

// The peer's shutdown can arrive while our own is not packed yet: the stream
// waits on the ready list for budget, or a stop took it off. It stays until
// its shutdown has gone out, and leaves without an end.
TEST_F(Streams, PeerShutdownBeforeOursIsPackedKeepsTheStreamUntilOursGoesOut) {
    s_stream* waiting = local_stream(21, nullptr);
    s_stream* stopped = local_stream(22, nullptr);
    waiting->local_end = 1;
    ready_list_add(s, waiting);
    stopped->local_end = 1;
    fifo_write(&stopped->input, "abc", 3);
    s->queued_input += 3;
    ready_list_add(s, stopped);
    deliver(stream_cmd(cmd_stop, 22));
    ASSERT_FALSE(stopped->in_ready);

    deliver(cat({stream_cmd(cmd_shutdown, 21), stream_cmd(cmd_shutdown, 22)}));
    EXPECT_EQ(0, comp(waiting).close_flags);
    EXPECT_EQ(0, comp(stopped).close_flags);
    fd_poll.count = poll_compact(fd_poll.count);
    ASSERT_EQ(waiting, s->streams[21]);
    ASSERT_EQ(stopped, s->streams[22]);

    deliver(stream_cmd(cmd_continue, 22));
    pack_streams(s, 100000);
    std::vector<rec> out = sent();
    ASSERT_EQ(3u, out.size());
    EXPECT_EQ(7, out[0].code);
    EXPECT_EQ(21, out[0].id);
    EXPECT_EQ(3, out[1].code);
    EXPECT_EQ("abc", out[1].data);
    EXPECT_EQ(7, out[2].code);
    EXPECT_EQ(22, out[2].id);
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(nullptr, s->streams[21]);
    EXPECT_EQ(nullptr, s->streams[22]);
    EXPECT_TRUE(sent().empty());  // no end: the peer ended both
}

TEST_F(Streams, PeerShutdownWithEmptyBufOutHalfClosesTheLocalSocket) {
    int client;
    s_stream* st = local_stream(8, &client);
    deliver(stream_cmd(cmd_shutdown, 8));
    EXPECT_TRUE(st->remote_end);
    ASSERT_TRUE(entry(st).events & ev_write);
    cur_index = st->fd_index;
    cur_session = s;
    cur_stream = st;
    entry(st).revents = ev_write;
    process_case_2();
    EXPECT_FALSE(entry(st).events & ev_write);
    char c;
    ASSERT_TRUE(wait_readable(client));
    EXPECT_EQ(0, recv(client, &c, 1, 0));
    // The other direction still works.
    send(client, "up", 2, 0);
    ASSERT_TRUE(wait_readable(entry(st).fd));
    entry(st).revents = ev_read;
    process_case_2();
    EXPECT_EQ(2u, st->input.len);
}

TEST_F(Streams, PeerEndFinishesTheStreamAtOnce) {
    s_stream* st = local_stream(11, nullptr);
    const char in[] = "queued";
    fifo_write(&st->input, in, 6);
    s->queued_input += 6;
    ready_list_add(s, st);
    deliver(stream_cmd(cmd_end, 11));
    EXPECT_TRUE(st->ended);
    EXPECT_EQ(close_requested | close_peer_informed, comp(st).close_flags);
    EXPECT_FALSE(entry(st).events & ev_read);
    EXPECT_FALSE(st->in_ready);
    EXPECT_EQ(0u, st->input.len);
    EXPECT_EQ(0u, s->queued_input);
}

// A session that times out under its streams cuts them: each client sees a
// reset. Only a stream that the server had already ended, with nothing
// left to write, keeps its clean end of file.
TEST_F(Streams, SessionLossResetsCutStreamsAndLeavesFinishedOnesClean) {
    enum { idle, unwritten, ended_drained, ended_unwritten };
    const struct {
        int state;
        std::string client_sees;
    } cases[] = {
        {idle, "reset"}, {unwritten, "reset"}, {ended_drained, "end of file"}, {ended_unwritten, "reset"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        if (!s) s = make_session();
        int client;
        s_stream* st = local_stream(5, &client);
        if (c.state == unwritten || c.state == ended_unwritten) buf_out_write(st, "tail", 4);
        if (c.state == ended_drained || c.state == ended_unwritten) deliver(stream_cmd(cmd_end, 5));
        s->last_rx_pid = 1;
        fake_ms += uint32_t(runtime.datatimeout_s + 1) * 1000;
        now = clock_now();
        session_timers();
        ASSERT_EQ(nullptr, session_head);
        s = nullptr;
        fd_poll.count = poll_compact(fd_poll.count);
        ASSERT_TRUE(wait_readable(client));
        char b[8];
        const ssize_t r = recv(client, b, sizeof b, 0);
        EXPECT_EQ(c.client_sees, r == 0 ? "end of file" : r < 0 && errno == ECONNRESET ? "reset" : "data");
    }
    EXPECT_TRUE(logged("Close session, seems no data/activity at specified timeout"));
}

TEST_F(Streams, StopAndContinueSteerReadingAndTheReadyList) {
    s_stream* st = local_stream(12, nullptr);
    fifo_write(&st->input, "abc", 3);
    ready_list_add(s, st);
    deliver(stream_cmd(cmd_stop, 12));
    EXPECT_TRUE(st->stopped_by_peer);
    EXPECT_FALSE(st->in_ready);
    EXPECT_FALSE(entry(st).events & ev_read);
    EXPECT_EQ(1u, s->stop_count);
    deliver(stream_cmd(cmd_stop, 12));
    EXPECT_NE(std::string::npos, log_text().find("Trying to delay already delayed stream c"));

    deliver(stream_cmd(cmd_continue, 12));
    EXPECT_FALSE(st->stopped_by_peer);
    EXPECT_TRUE(st->in_ready);
    EXPECT_TRUE(entry(st).events & ev_read);
    deliver(stream_cmd(cmd_continue, 12));
    EXPECT_NE(std::string::npos, log_text().find("Already stream 12 in cycle 1"));
}

// ---------------------------------------------------------------- opens

struct refusal {
    const char* what;
    uint32_t addr;
    uint16_t port;
    const char* log;
};

int fake_limit = 0;
int fake_descriptor_limit() { return fake_limit; }
int next_descriptor() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

// Opens from the server that would take one of the console's last
// descriptors, or find none at all, are refused with an end; one line in
// the log tells of the shortage, not one per open.
TEST_F(Streams, OpensWhileDescriptorsAreShortAreRefusedWithAnEnd) {
    uint16_t port;
    extra_fds.push_back(tcp_listener(htonl(INADDR_LOOPBACK), &port));
    services_table[3] = service_entry{htonl(INADDR_LOOPBACK), port};
    const int first_free = next_descriptor();
    fake_limit = first_free + descriptor_reserve;
    descriptor_limit_set_impl(fake_descriptor_limit);
    deliver(cat({open_internal_cmd(3, 40), open_internal_cmd(3, 41)}));
    descriptor_limit_set_impl(nullptr);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = rlim_t(first_free);
    setrlimit(RLIMIT_NOFILE, &low);
    deliver(open_internal_cmd(3, 42));
    setrlimit(RLIMIT_NOFILE, &saved);

    std::vector<rec> out = sent();
    ASSERT_EQ(3u, out.size());
    for (size_t k = 0; k < out.size(); k++) {
        EXPECT_EQ(2, out[k].code);
        EXPECT_EQ(40 + k, out[k].id);
        EXPECT_EQ(nullptr, s->streams[40 + k]);
    }
    EXPECT_EQ(first_free, next_descriptor());
    const std::string text = log_text();
    EXPECT_EQ(text.find("Out of descriptors"), text.rfind("Out of descriptors"));
    EXPECT_NE(std::string::npos, text.find("Out of descriptors"));
    EXPECT_EQ(std::string::npos, text.find("ext. service, session error"));
}

TEST_F(Streams, RefusedOpensAreAnsweredWithAnEnd) {
    invalid_ports[0] = htons(25);
    invalid_ports_count = 1;
    const refusal cases[] = {
        {"zero host", 0, htons(80), "ABUSE: ZERO invalid host 300 session"},
        {"localhost", htonl(0x7F000005), htons(80), "ABUSE: ext to localhost 300 session"},
        {"zero port", htonl(0x0A000001), 0, "ABUSE: ZERO invalid port 300 session"},
        {"listed port", htonl(0x0A000001), htons(25), "ABUSE: invalid port 25 session"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.what);
        deliver(open_cmd(300, c.addr, c.port));
        std::vector<rec> out = sent();
        ASSERT_EQ(1u, out.size());
        EXPECT_EQ(2, out[0].code);
        EXPECT_EQ(300, out[0].id);
        EXPECT_EQ(nullptr, s->streams[300]);
        EXPECT_NE(std::string::npos, log_text().find(c.log));
    }
    EXPECT_NE(std::string::npos, log_text().find("ABUSE: Invalid port, verification failed"));

    runtime.ttcp = 0;
    deliver(open_cmd(301, htonl(0x0A000001), htons(80)));
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(2, out[0].code);
    EXPECT_EQ(0u, s->stream_count);
}

TEST_F(Streams, StreamLimitRefusesAndPastAHundredRefusalsResetsTheSession) {
    uint16_t port;
    const int l = tcp_listener(htonl(INADDR_LOOPBACK), &port);
    extra_fds.push_back(l);
    services_table[0] = service_entry{htonl(INADDR_LOOPBACK), port};
    s->stream_limit = 2;
    deliver(cat({open_internal_cmd(0, 1), open_internal_cmd(0, 2), open_internal_cmd(0, 3)}));
    EXPECT_EQ(2u, s->stream_count);
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(2, out[0].code);
    EXPECT_EQ(3, out[0].id);
    EXPECT_EQ(1u, s->over_limit);
    EXPECT_NE(std::string::npos, log_text().find("reached limit fd(2 >= 2) on session"));

    char drain[64];
    while (recv(fake_server, drain, sizeof drain, 0) > 0) {
    }
    s->over_limit = 100;
    deliver(open_internal_cmd(0, 4));
    EXPECT_TRUE(s->close_mark);
    EXPECT_NE(std::string::npos, log_text().find("Sockets overlimit, session"));
    EXPECT_NE(std::string::npos, log_text().find("Sending reset to customer, closing session"));
    uint8_t reset[64];
    ASSERT_TRUE(wait_readable(fake_server));
    ASSERT_EQ(17, recv(fake_server, reset, sizeof reset, 0));
    EXPECT_EQ(0xC0, reset[16]);
}

TEST_F(Streams, InternalServiceOpenConnectsAndRegistersTheStream) {
    uint16_t port;
    const int l = tcp_listener(htonl(INADDR_LOOPBACK), &port);
    extra_fds.push_back(l);
    services_table[3] = service_entry{htonl(INADDR_LOOPBACK), port};
    deliver(open_internal_cmd(3, 77));
    s_stream* st = s->streams[77];
    ASSERT_NE(nullptr, st);
    EXPECT_EQ(conn_connecting, st->conn_state);
    EXPECT_EQ(1u, s->stream_count);
    EXPECT_EQ(fd_stream, comp(st).type);
    EXPECT_EQ(ev_read, entry(st).events);
    ASSERT_TRUE(wait_readable(l));
    const int a = accept(l, nullptr, nullptr);
    EXPECT_GE(a, 0);
    extra_fds.push_back(a);
    EXPECT_TRUE(sent().empty());
}

TEST_F(Streams, ServerReopeningALiveIdRetiresTheStaleStreamWithoutAnEnd) {
    s_stream* old = local_stream(90, nullptr);
    uint16_t port;
    const int l = tcp_listener(htonl(INADDR_LOOPBACK), &port);
    extra_fds.push_back(l);
    services_table[1] = service_entry{htonl(INADDR_LOOPBACK), port};
    deliver(open_internal_cmd(1, 90));
    EXPECT_TRUE(old->ended);
    EXPECT_EQ(close_requested | close_peer_informed, comp(old).close_flags);
    s_stream* fresh = s->streams[90];
    ASSERT_NE(old, fresh);
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(fresh, s->streams[90]);
    EXPECT_TRUE(sent().empty());
}

// ---------------------------------------------------------------- opens by name

class StreamsByName : public Streams {
protected:
    void SetUp() override {
        Streams::SetUp();
        resolve_set_impl(hosts_only);
    }
    void TearDown() override {
        resolve_set_impl(nullptr);
        Streams::TearDown();
    }
    // Waits for the background lookups and picks them up as the loop would.
    void settle() {
        for (int i = 0; i < 3000 && streams_pending_count(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            streams_poll_pending();
        }
        ASSERT_EQ(0u, streams_pending_count());
    }
};

TEST_F(StreamsByName, NameResolvingToLoopbackOrNothingEndsTheStream) {
    deliver(open_cmd(40, 0x00000001, htons(80), "localhost"));
    deliver(open_cmd(41, 0x00000001, htons(80), "no-such-host.invalid"));
    s_stream* a = s->streams[40];
    s_stream* b = s->streams[41];
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(conn_connecting_by_name, a->conn_state);
    EXPECT_EQ(0, entry(a).events);
    // Data before the connection is kept but wakes no writer.
    deliver(data_cmd(40, "early"));
    EXPECT_EQ(5u, a->buf_out.len);
    EXPECT_EQ(0, entry(a).events);

    settle();
    EXPECT_TRUE(a->ended);
    EXPECT_TRUE(b->ended);
    EXPECT_EQ(close_requested, comp(a).close_flags);
    EXPECT_EQ(close_requested, comp(b).close_flags);
    EXPECT_NE(std::string::npos, log_text().find("ABUSE: ext to localhost 40 session"));
    fd_poll.count = poll_compact(fd_poll.count);
    std::vector<rec> out = sent();
    ASSERT_EQ(2, count_code(out, 2));
    EXPECT_EQ(nullptr, s->streams[40]);
    EXPECT_EQ(nullptr, s->streams[41]);
}

TEST_F(StreamsByName, LookupsForStreamsThatEndedMeanwhileAreDiscarded) {
    deliver(open_cmd(50, 0x00000001, htons(80), "localhost"));
    deliver(stream_cmd(cmd_end, 50));
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(nullptr, s->streams[50]);
    // The slot may be reused by a new stream before the lookup comes back.
    s_stream* other = local_stream(50, nullptr);
    settle();
    EXPECT_FALSE(other->ended);
    EXPECT_EQ(0, comp(other).close_flags);
    EXPECT_TRUE(sent().empty());
}

// A name that resolves to an address outside 127/8 is connected. Such an
// address exists only in a network namespace of our own, made in a child.
TEST_F(StreamsByName, NameResolvingToAnAllowedAddressConnects) {
    auto r = test_support::run_child([this] {
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        if (std::system("ip link set lo up && ip addr add 10.77.0.1/32 dev lo") != 0) _exit(77);
        uint16_t port;
        const int l = tcp_listener(inet_addr("10.77.0.1"), &port);
        if (l < 0) _exit(2);
        deliver(open_cmd(60, 0x00000001, port, "10.77.0.1"));
        deliver(data_cmd(60, "ping"));
        s_stream* st = s->streams[60];
        if (!st || st->conn_state != conn_connecting_by_name) _exit(3);
        for (int i = 0; i < 3000 && streams_pending_count(); i++) {
            usleep(5000);
            streams_poll_pending();
        }
        if (st->conn_state != conn_connecting || st->ended) _exit(4);
        if (!(entry(st).events & ev_read) || !(entry(st).events & ev_write)) _exit(5);
        if (!wait_readable(l)) _exit(6);
        const int a = accept(l, nullptr, nullptr);
        if (a < 0) _exit(7);
        write_event(st);
        char buf[8] = {0};
        if (!wait_readable(a) || recv(a, buf, sizeof buf, 0) != 4 || std::string(buf) != "ping") _exit(8);
    });
    if (r.exited && r.code == 77) GTEST_SKIP() << "no network namespace here: " << r.err;
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.code) << r.out << r.err;
}

// ---------------------------------------------------------------- packing

TEST_F(Streams, PackerServesReadyStreamsInTurnWithinTheBudget) {
    s->packet_size = 200;
    s_stream* a = local_stream(1, nullptr);
    s_stream* b = local_stream(2, nullptr);
    const std::string ta(500, 'a'), tb(300, 'b');
    fifo_write(&a->input, ta.data(), 500);
    fifo_write(&b->input, tb.data(), 300);
    s->queued_input = 800;
    ready_list_add(s, a);
    ready_list_add(s, b);
    entry(a).events = 0;
    pack_streams(s, 1000000);
    std::vector<rec> out;
    {
        session_flush(s);
        const std::string plain = server.take_output(s);
        // One record per data command: the merging recorder would join a turn.
        for (size_t at = 0; at + 4 <= plain.size();) {
            const uint8_t* h = reinterpret_cast<const uint8_t*>(plain.data() + at);
            const uint16_t len = cmd_data_length(h);
            out.push_back(rec{h[0] & 7, uint16_t(h[2] | h[3] << 8), 0, 0, 0, "", plain.substr(at + 4, len)});
            at += 4 + len;
        }
    }
    ASSERT_EQ(5u, out.size());
    const uint16_t order[] = {1, 2, 1, 2, 1};
    for (size_t i = 0; i < 5; i++) EXPECT_EQ(order[i], out[i].id) << i;
    EXPECT_EQ(200u, out[0].data.size());
    EXPECT_EQ(100u, out[4].data.size());
    EXPECT_EQ(0u, s->queued_input);
    EXPECT_EQ(nullptr, s->ready_head);
    EXPECT_EQ(0u, s->ready_count);
    EXPECT_TRUE(entry(a).events & ev_read);  // drained: reading resumes
    EXPECT_EQ(800u + 5 * 4, s->packed_raw);

    // A spent budget stops the packer and is counted.
    runtime.ldelay_s = 0.0;  // every record yields deflated bytes at once
    fifo_write(&a->input, ta.data(), 500);
    s->queued_input += 500;
    ready_list_add(s, a);
    const uint32_t stops = budget_stops;
    pack_streams(s, 1);
    EXPECT_EQ(stops + 1, budget_stops);
    EXPECT_TRUE(a->in_ready);
}

TEST_F(Streams, OutputIsFlushedAtMostOncePerFlushInterval) {
    runtime.ldelay_s = 0.05;
    s->flush_interval_s = 0.05;
    s->last_flush = now;
    s_stream* a = local_stream(1, nullptr);
    fifo_write(&a->input, "hello", 5);
    s->queued_input += 5;
    ready_list_add(s, a);
    now += 0.01;
    pack_streams(s, 100000);
    EXPECT_TRUE(s->out_deflated.unflushed);
    now += 0.05;
    pack_streams(s, 100000);
    EXPECT_FALSE(s->out_deflated.unflushed);
    EXPECT_EQ(now, s->last_flush);

    // With ldelay 0 every command is complete as soon as it is deflated.
    runtime.ldelay_s = 0.0;
    session_stream_cmd(s, cmd_stop, 3);
    EXPECT_EQ(5u + 4 + 3, server.take_output(s).size());
}

TEST_F(Streams, DelayingStopsReadingAndUndelayingGivesItBackToDrainedStreams) {
    s_stream* plain_st = local_stream(1, nullptr);
    s_stream* stopped = local_stream(2, nullptr);
    s_stream* loaded = local_stream(3, nullptr);
    stopped->stopped_by_peer = 1;
    entry(stopped).events = 0;
    fifo_write(&loaded->input, "x", 1);
    entry(plain_st).revents = ev_read;
    sockets_delay_all(s);
    EXPECT_TRUE(s->delayed);
    EXPECT_EQ(0, entry(plain_st).events);
    EXPECT_EQ(0, entry(plain_st).revents);
    EXPECT_EQ(0, entry(loaded).events);
    sockets_undelay_all(s);
    EXPECT_FALSE(s->delayed);
    EXPECT_EQ(ev_read, entry(plain_st).events);
    EXPECT_EQ(0, entry(stopped).events);
    EXPECT_EQ(0, entry(loaded).events);
}

// ---------------------------------------------------------------- inflate

TEST_F(Streams, GarbageInflateClosesTheSession) {
    deliver_payload(bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x12});
    EXPECT_TRUE(s->close_mark);
    EXPECT_NE(std::string::npos, log_text().find("inflate error:"));
    EXPECT_NE(std::string::npos, log_text().find("(upgrade client?)"));
}

// ---------------------------------------------------------------- tunnel packets

TEST_F(Streams, TunnelPacketsGoThroughSendSlotsAnnouncedByIndexByte) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    extra_fds.push_back(pair[0]);
    extra_fds.push_back(pair[1]);
    set_nonblocking(pair[0]);
    set_nonblocking(pair[1]);
    s->tunnel_fd = pair[0];
    tunnel_available = 1;
    tun.sendbuf = send_slots;
    tunnel_send_slot = 254;

    deliver(tunnel_cmd(1500, 0xAB));
    deliver(tunnel_cmd(20, 0x01));
    deliver(tunnel_cmd(1501, 0xCD));  // too large for a slot: dropped
    deliver(tunnel_cmd(21, 0x02));    // after slot 255 comes slot 0
    uint8_t idx[8];
    ASSERT_EQ(3, recv(pair[1], idx, sizeof idx, 0));
    EXPECT_EQ(254, idx[0]);
    EXPECT_EQ(255, idx[1]);
    EXPECT_EQ(0, idx[2]);
    EXPECT_EQ(1500, send_slots[254].length);
    EXPECT_EQ(0xAB, send_slots[254].data[1499]);
    EXPECT_EQ(21, send_slots[0].length);
    EXPECT_EQ(1u, tunnel_send_slot);
    EXPECT_EQ(1500u + 20 + 21, s->local_out);

    // Slot 1 still holds a packet that the library has not written: the new
    // one is dropped without an index, and goes once the slot is free.
    send_slots[1].length = 99;
    deliver(tunnel_cmd(22, 0x05));
    EXPECT_EQ(-1, recv(pair[1], idx, sizeof idx, 0));
    EXPECT_EQ(99, send_slots[1].length);
    EXPECT_EQ(1u, tunnel_send_slot);
    send_slots[1].length = 0;
    deliver(tunnel_cmd(22, 0x05));
    ASSERT_EQ(1, recv(pair[1], idx, sizeof idx, 0));
    EXPECT_EQ(1, idx[0]);
    EXPECT_EQ(22, send_slots[1].length);
    EXPECT_EQ(1500u + 20 + 21 + 22, s->local_out);

    s->tunnel_fd = -1;
    deliver(tunnel_cmd(30, 0x03));
    EXPECT_NE(std::string::npos, log_text().find("No tunnel found. Failure!"));

    runtime.buflen = 1000;
    deliver_payload(packet(tunnel_cmd(1001, 0x04)));
    EXPECT_TRUE(s->close_mark);
    EXPECT_NE(std::string::npos, log_text().find("Invalid tunnel packet"));
    EXPECT_NE(std::string::npos, log_text().find("size 1001>1000"));
}

}  // namespace
