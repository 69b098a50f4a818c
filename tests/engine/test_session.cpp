// Sessions: making one (values, login packet), receiving datagrams (drop
// rules, resets, unknown sessions), resetting and freeing. A bound UDP
// socket on loopback plays the server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
#include "protocol/md5.h"
#include "protocol/wire.h"
#include "tests/engine/support/engine_testing.h"

using namespace engine_testing;

namespace {

bytes header(uint32_t sid, uint32_t pid, uint32_t did, uint32_t good, uint8_t flags) {
    bytes b(header_bytes);
    header_put(b.data(), pkt_header{sid, pid, did, good, flags});
    return b;
}

class Session : public EngineTest {
protected:
    Session() : EngineTest(50000) {}
    void SetUp() override {
        EngineTest::SetUp();
        udp_index = start_fake_server();
        add_remote(0, "alpha");
        add_remote(1, "beta");
        remote_count = 2;
        locals[0].remotes = {0};
        locals[1].remotes = {0};
        locals[2].remotes = {1};
        locals[3].remotes = {};
        local_count = 4;
        for (int i = 0; i < 4; i++)
            listener[i] = fd_append(socket(AF_INET, SOCK_STREAM, 0), ev_read, fd_listener, nullptr, nullptr, i);
    }
    void add_remote(int i, const char* name) {
        remote_record& r = remotes[i];
        set_remote(r, name, fake_port);
        std::snprintf(r.login, sizeof r.login, "user%d", i);
        std::snprintf(r.passwd, sizeof r.passwd, "secret");
        r.mru = 1444;
        r.rdelay = 7;
        r.rmode = 2;
        r.tunnel_fd = -1;
    }
    stx_session* open_on(int local) {
        cur_index = listener[local];
        if (find_session() != 0) return nullptr;
        return cur_session;
    }
    // Everything the fake server has received, after a short settle.
    std::vector<bytes> server_got() { return drain_datagrams(fake_server); }
    void to_engine(const bytes& b) {
        send_datagram(fake_server, engine_port, b.data(), b.size());
        usleep(2000);
        cur_index = udp_index;
        udp_receive();
    }

    int udp_index = -1;
    int listener[4];
};

// ---------------------------------------------------------------- making a session

TEST_F(Session, FirstConnectionMakesTheSessionAndSendsTheLogin) {
    runtime.authretry = 2;
    stx_session* s = open_on(0);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(s, session_head);
    EXPECT_EQ(s, fd_poll.comp[listener[0]].session);
    EXPECT_STREQ("alpha", s->name);
    EXPECT_EQ(1472, s->packet_size);
    EXPECT_EQ(3000u, s->speed);
    EXPECT_EQ(1472u, s->burst);  // 3000 / 8 is below one packet
    EXPECT_EQ(1472, s->allowance);
    EXPECT_EQ(now, s->last_rx_time);
    EXPECT_EQ(0.05, s->flush_interval_s);
    EXPECT_EQ(10.0, s->rtt);
    EXPECT_EQ(5.0, s->keepalive_s);
    EXPECT_EQ(200u, s->stream_limit);
    EXPECT_EQ(8192, s->streambuf);
    EXPECT_EQ(1u, s->next_pid);
    EXPECT_NE(nullptr, s->streams);

    const auto got = server_got();
    ASSERT_EQ(2u, got.size());
    const bytes& p = got[0];
    ASSERT_EQ(size_t(login_packet_bytes), p.size());
    const pkt_header h = header_get(p.data());
    EXPECT_EQ(s->session_id, h.session_id);
    EXPECT_EQ(0u, h.packet_id | h.data_id | h.last_good);
    EXPECT_EQ(flags_login, h.flags);
    EXPECT_STREQ("user0", reinterpret_cast<const char*>(p.data() + 17));
    uint8_t digest[16];
    login_digest(p.data() + 17 + 64, "secret", digest);
    EXPECT_EQ(0, std::memcmp(digest, p.data() + 17 + 72, 16));
    EXPECT_EQ(1000u, get_u32(p.data() + 17 + 88));
    EXPECT_EQ(8000u, get_u32(p.data() + 17 + 92));
    EXPECT_EQ(1444, get_u16(p.data() + 17 + 96));
    EXPECT_EQ(7, get_u16(p.data() + 17 + 98));
    EXPECT_EQ(2, get_u16(p.data() + 17 + 100));
    EXPECT_EQ(5, p[17 + 102]);
    EXPECT_EQ(16, p[17 + 103]);
    EXPECT_EQ(2u, stats.datagrams_sent);
    EXPECT_EQ(2u * (121 + 28), stats.udp_out);
    EXPECT_EQ(2u * (121 + 28), s->udp_out);
    EXPECT_TRUE(logged("connect to 'alpha' 127.0.0.1:" + std::to_string(ntohs(fake_port)) + "\n"));
}

// Whoever knows when the engine started must not be able to guess the
// session id (which resets the session from anywhere) or the login nonce:
// the same time seed gives different values.
TEST_F(Session, SessionIdAndNonceCannotBeDerivedFromTheStartTime) {
    std::vector<uint32_t> ids;
    std::vector<bytes> nonces;
    for (int i = 0; i < 2; i++) {
        std::srand(1234);
        stx_session* s = open_on(0);
        ASSERT_NE(nullptr, s);
        ids.push_back(s->session_id);
        const auto got = server_got();
        ASSERT_EQ(1u, got.size());
        nonces.emplace_back(got[0].begin() + 17 + 64, got[0].begin() + 17 + 72);
        close_session(s);
        fd_poll.comp[listener[0]].session = nullptr;
    }
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(nonces[0], nonces[1]);
}

TEST_F(Session, SizesAndBurstFollowTheRecord) {
    struct Case {
        int mtu;
        uint32_t speed_max;
        int maxburst;
        uint16_t packet;
        uint32_t burst;
    } cases[] = {
        {1472, 3000, 524288, 1472, 1472},        // burst raised to one packet
        {2000, 3000, 524288, 1472, 1472},        // packet size capped
        {50, 3000, 524288, 128, 375},            // packet size floored; 3000 / 8
        {1472, 8000000, 524288, 1472, 524288},   // burst capped by maxburst
        {1472, 80000, 524288, 1472, 10000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mtu);
        while (session_head) close_session(session_head);
        remotes[1].mtu = c.mtu;
        remotes[1].speed_out_max = c.speed_max;
        runtime.maxburst = c.maxburst;
        fd_poll.comp[listener[2]].session = nullptr;
        stx_session* s = open_on(2);
        ASSERT_NE(nullptr, s);
        EXPECT_EQ(c.packet, s->packet_size);
        EXPECT_EQ(c.burst, s->burst);
        EXPECT_EQ(int32_t(c.burst), s->allowance);
    }
    close_session(session_head);
    std::memset(remotes[1].name, 'n', 63);  // above 62 characters
    remotes[1].name[63] = 0;
    ASSERT_NE(nullptr, open_on(2));
    EXPECT_STREQ("TOOLONG", cur_session->name);
}

TEST_F(Session, ListenersOfOneServerShareItsSessionAndNewOnesGoBehindTheHead) {
    stx_session* a = open_on(0);
    stx_session* b = open_on(2);
    stx_session* c = open_on(1);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(a, b);
    EXPECT_EQ(a, c);
    EXPECT_EQ(a, session_head);
    EXPECT_EQ(b, a->next);
    EXPECT_EQ(a, b->next);
    EXPECT_EQ(a, session_by_id(a->session_id));
    EXPECT_EQ(b, session_by_id(b->session_id));
}

TEST_F(Session, ListenerWithoutServerOrWithRefusedLoginIsClosed) {
    EXPECT_EQ(nullptr, open_on(3));
    EXPECT_TRUE(logged("Please check \"name\" option (error #201)\n"));
    EXPECT_EQ(0, fd_poll.entries[listener[3]].events);
    EXPECT_TRUE(fd_poll.comp[listener[3]].close_flags & close_requested);

    remotes[1].login_refused = 1;
    EXPECT_EQ(nullptr, open_on(2));
    EXPECT_TRUE(logged("Please check login/password/balance\n"));
    EXPECT_EQ(nullptr, session_head);
    EXPECT_EQ(2, pending_removals);
}

TEST_F(Session, FailedLoginSendMarksTheSessionAndPauses) {
    sock_close(server_udp_fd);
    server_udp_fd = -1;
    fd_poll.entries[udp_index].fd = spare_socket;
    stx_session* s = open_on(0);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(1, s->close_mark);
    EXPECT_EQ(std::vector<uint32_t>{1000}, sleeps);
    EXPECT_TRUE(logged("error 9 on send, sending init packet\n"));

    s->close_mark = 0;
    cur_session = s;
    send_init_packet();  // logs and pauses but marks nothing
    EXPECT_EQ(0, s->close_mark);
    EXPECT_EQ(2u, sleeps.size());
}

// ---------------------------------------------------------------- receiving

TEST_F(Session, ShortAndMalformedDatagramsAreDropped) {
    stx_session* s = open_on(0);
    ASSERT_NE(nullptr, s);
    server_got();
    const double rx = s->last_rx_time;
    now += 1;

    bytes b = header(s->session_id, 5, 1, 0, flags_data);
    b.pop_back();  // 16 bytes
    to_engine(b);
    EXPECT_TRUE(logged("16 - Too short packet, 16 ? 17, dropped\n"));

    bytes two = header(s->session_id, 5, 1, 0, flags_data | 2);
    two.resize(20);
    to_engine(two);
    EXPECT_TRUE(logged("17+(resends)10 - Too short packet (Invalid data), received 20 header size 27\n"));

    EXPECT_EQ(rx, s->last_rx_time);
    EXPECT_EQ(0u, s->last_rx_pid);
    EXPECT_EQ(2u, stats.datagrams_received);
    EXPECT_EQ(uint64_t(16 + 28 + 20 + 28), stats.udp_in);
    EXPECT_TRUE(server_got().empty());
}

TEST_F(Session, KeepaliveOrFirstDataPacketMakesTheSessionWorking) {
    stx_session* s = open_on(0);
    ASSERT_NE(nullptr, s);
    now += 1;
    to_engine(header(s->session_id, 5, 3, 0, flags_data));  // keepalive: takes no packet id
    EXPECT_EQ(4u, s->last_rx_pid);
    EXPECT_EQ(1, s->working);
    EXPECT_EQ(now, s->last_rx_time);
    EXPECT_EQ(uint32_t(17 + 28), s->udp_in);

    s->working = 0;
    s->last_rx_pid = 0;
    bytes b = header(s->session_id, 1, 1, 0, flags_data);
    b.push_back(0);
    to_engine(b);
    EXPECT_EQ(1u, s->last_rx_pid);
    EXPECT_EQ(1, s->working);
    EXPECT_EQ(1, s->data_received);
    char line[128];
    std::snprintf(line, sizeof line, "session to 'alpha' %x working\n", s->session_id);
    EXPECT_TRUE(logged(line));
}

TEST_F(Session, UnknownSessionGetsAResetAndUnknownResetsOnlyALogLine) {
    to_engine(header(0xABCD1234, 3, 3, 0, flags_data));
    auto got = server_got();
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(size_t(header_bytes), got[0].size());
    const pkt_header h = header_get(got[0].data());
    EXPECT_EQ(0xABCD1234u, h.session_id);
    EXPECT_EQ(flags_reset, h.flags);
    EXPECT_EQ(0u, h.packet_id | h.data_id | h.last_good);
    EXPECT_TRUE(logged("Sending reset to server, unknown session abcd1234\n"));
    EXPECT_EQ(uint64_t(17 + 28), stats.udp_out);

    to_engine(header(0x5555, 0, 0, 0, flags_reset));
    EXPECT_TRUE(server_got().empty());

    // The magic id is logged, then handled as any other unknown id.
    to_engine(header(magic_session_id, 77, 0, 0, flags_data));
    EXPECT_TRUE(logged("magic packet command received 4d\n"));
    EXPECT_EQ(1u, server_got().size());
    EXPECT_TRUE(logged("reset unknown session 5555 from 127.0.0.1:" + std::to_string(ntohs(fake_port)) + "\n"));
}

TEST_F(Session, ResetsCloseTheSession) {
    const std::string from = " from 127.0.0.1:" + std::to_string(ntohs(fake_port));
    struct Case {
        uint32_t pid, did;
        std::string text;
        std::string line;
        int16_t refused;
    } cases[] = {
        {0, 0, "", from + "\n", 0},
        {reset_marker, reset_marker, "balance is zero", from + ". balance is zero\n", 0},
        {reset_marker, reset_marker, "", from + ". Invalid username or password!!\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        remotes[0].login_refused = 0;
        fd_poll.comp[listener[0]].session = nullptr;
        stx_session* s = open_on(0);
        ASSERT_NE(nullptr, s);
        const uint32_t id = s->session_id;
        bytes b = header(id, c.pid, c.did, 0, flags_reset);
        b.insert(b.end(), c.text.begin(), c.text.end());
        to_engine(b);
        char head[64];
        std::snprintf(head, sizeof head, "reset session %x", id);
        EXPECT_TRUE(logged(head + c.line)) << log_text();
        EXPECT_EQ(nullptr, session_head);
        EXPECT_EQ(nullptr, fd_poll.comp[listener[0]].session);
        EXPECT_EQ(c.refused, remotes[0].login_refused);
    }
    // The refusal stays: the next connection closes the listener.
    EXPECT_EQ(nullptr, open_on(1));
    EXPECT_TRUE(logged("Please check login/password/balance\n"));
}

TEST_F(Session, ResetReasonIsCutAtTheDatagramEnd) {
    stx_session* s = open_on(0);
    ASSERT_NE(nullptr, s);
    bytes b = header(s->session_id, reset_marker, reset_marker, 0, flags_reset);
    const std::string text(1520 - 17, 'r');  // fills the receive buffer, no terminator
    b.insert(b.end(), text.begin(), text.end());
    to_engine(b);
    EXPECT_EQ(nullptr, session_head);
    EXPECT_TRUE(logged(text.substr(0, 100)));
}

// ---------------------------------------------------------------- resetting and freeing

TEST_F(Session, ResetSessionsSendsAResetToEachAndMarksThem) {
    stx_session* a = open_on(0);
    stx_session* b = open_on(2);
    server_got();
    reset_sessions();
    EXPECT_EQ(1, a->close_mark);
    EXPECT_EQ(1, b->close_mark);
    auto got = server_got();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(a->session_id, header_get(got[0].data()).session_id);
    EXPECT_EQ(flags_reset, header_get(got[0].data()).flags);
    EXPECT_EQ(b->session_id, header_get(got[1].data()).session_id);
    char line[64];
    std::snprintf(line, sizeof line, "Reset session %x\n", a->session_id);
    EXPECT_TRUE(logged(line));
}

TEST_F(Session, CloseSessionEndsItsStreamsWithoutEndCommands) {
    stx_session* s = open_on(0);
    ASSERT_NE(nullptr, s);
    s->udp_in = 1, s->udp_out = 2, s->local_in = 3, s->local_out = 4;
    s_stream* st = stream_new(s, 4);
    const int i = fd_append(spare_socket, ev_read | ev_write, fd_stream, s, st, 0);
    buf_out_write(st, "data", 4);
    s->owed = 100;
    budget.total_demand = 150;
    budget.demanding = 2;
    const uint32_t id = s->session_id;
    close_session(s);

    EXPECT_EQ(nullptr, session_head);
    EXPECT_EQ(close_requested | close_peer_informed, fd_poll.comp[i].close_flags);
    EXPECT_EQ(nullptr, fd_poll.comp[i].session);
    EXPECT_EQ(nullptr, fd_poll.comp[i].stream);
    EXPECT_EQ(0, fd_poll.entries[i].events);
    EXPECT_EQ(nullptr, fd_poll.comp[listener[0]].session);
    EXPECT_EQ(1, pending_removals);
    EXPECT_EQ(50, budget.total_demand);
    EXPECT_EQ(1u, budget.demanding);
    char line[96];
    std::snprintf(line, sizeof line, "close session 'alpha' %x 1/2/3/4 (0 online)\n", id);
    EXPECT_TRUE(logged(line));

    // Compaction then drops the entry without touching the freed stream.
    fd_poll.count = poll_compact(fd_poll.count);
    EXPECT_EQ(0, pending_removals);
}

}  // namespace
