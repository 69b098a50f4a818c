// Local listeners: accepting by mode, stream ids, the mux and SOCKS
// handshakes against real client sockets on loopback, the read rules of an
// accepted connection and the tunnel control connection's slot indexes. The
// open commands are checked by inflating the session's output as the server
// would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/console.h"
#include "engine/globals.h"
#include "engine/listeners.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "protocol/commands.h"
#include "tests/engine/support/engine_testing.h"

using namespace engine_testing;

namespace {

PacketSlot recv_slots[tun_slot_count];

uint32_t redirect_addr = 0;
uint32_t fake_redir_ip(int) { return redirect_addr; }
uint32_t fake_redir_port(int) { return htons(8080); }
int released_port = 0;
void fake_release(int port) { released_port = port; }

std::string str(const bytes& b) { return std::string(b.begin(), b.end()); }

class Listeners : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        start_fake_server();
    }

    // A [local] listener on 127.0.0.1; returns its descriptor index.
    int listen_as(int mode, int service = -1) {
        const int local = local_count++;
        locals[local].remotes = {0};
        locals[local].mode = mode;
        locals[local].service_number = service;
        const int l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(l, 64);
        socklen_t len = sizeof a;
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
        set_nonblocking(l);
        const int index = fd_append(l, ev_read, fd_listener, nullptr, nullptr, local);
        listen_addr[index] = a;
        return index;
    }

    int connect_client(int listener) {
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        connect(c, reinterpret_cast<const sockaddr*>(&listen_addr[listener]), sizeof(sockaddr_in));
        extra_fds.push_back(c);
        return c;
    }

    // A client connects and the listener's event is served. Returns the
    // stream made for it (null when none was).
    s_stream* accept_client(int listener, int* client) {
        *client = connect_client(listener);
        EXPECT_TRUE(wait_readable(fd_poll.entries[listener].fd));
        const int before = fd_poll.count;
        cur_index = listener;
        tcp_accept();
        s = fd_poll.comp[listener].session;
        if (fd_poll.count == before) return nullptr;
        return fd_poll.comp[fd_poll.count - 1].stream;
    }

    // The client sends bytes; the stream's read event is served.
    void client_says(s_stream* st, int client, const bytes& b) {
        if (!b.empty()) send(client, b.data(), b.size(), 0);
        serve_read(st);
    }
    void serve_read(s_stream* st) {
        const int i = st->fd_index;
        ASSERT_TRUE(wait_readable(fd_poll.entries[i].fd));
        cur_index = i;
        cur_session = fd_poll.comp[i].session;
        cur_stream = st;
        fd_poll.entries[i].revents = ev_read;
        process_case_2();
    }

    bytes client_gets(int client, size_t n) {
        bytes out;
        while (out.size() < n && wait_readable(client)) {
            uint8_t buf[1024];
            const ssize_t got = recv(client, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    bool client_sees_close(int client) {
        if (!wait_readable(client)) return false;
        uint8_t c;
        return recv(client, &c, 1, 0) <= 0;
    }

    std::vector<rec> sent() {
        if (!s) return {};
        return server.take_commands(s);
    }

    // Marked entries leave; the client then sees its connection closed.
    void compact() { fd_poll.count = poll_compact(fd_poll.count); }
    uint8_t flags(const s_stream* st) { return fd_poll.comp[st->fd_index].close_flags; }

    stx_session* s = nullptr;
    std::map<int, sockaddr_in> listen_addr;
    server_codec server;
};

// ---------------------------------------------------------------- accepting

TEST_F(Listeners, EachModeAnnouncesItsConnection) {
    const int svc = listen_as(mode_service_int, 5);
    const int ext = listen_as(mode_service_ext);
    locals[1].ext_addr = inet_addr("10.9.8.7");
    locals[1].ext_port = htons(4444);
    const int http = listen_as(mode_http);
    int c;

    s_stream* a = accept_client(svc, &c);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(conn_established, a->conn_state);
    EXPECT_EQ(ev_read, fd_poll.entries[a->fd_index].events);
    EXPECT_EQ(fd_stream, fd_poll.comp[a->fd_index].type);
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(1, out[0].code);
    EXPECT_EQ(5, out[0].service);
    EXPECT_EQ(a->id, out[0].id);
    // A new connection counts 120 bytes in and 60 out.
    EXPECT_EQ(120u, s->local_in);
    EXPECT_EQ(60u, s->local_out);

    s_stream* b = accept_client(ext, &c);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(a->id + 1, b->id);
    out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0, out[0].code);
    EXPECT_EQ(inet_addr("10.9.8.7"), out[0].addr);
    EXPECT_EQ(htons(4444), out[0].port);
    EXPECT_EQ("", out[0].name);

    // The HTTP listener is the service's HTTP proxy: internal service 0.
    s_stream* h = accept_client(http, &c);
    ASSERT_NE(nullptr, h);
    out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(1, out[0].code);
    EXPECT_EQ(0, out[0].service);
    EXPECT_EQ(h->id, out[0].id);
}

TEST_F(Listeners, SeveralWaitingConnectionsAreAcceptedInOneBatch) {
    const int li = listen_as(mode_service_int, 1);
    for (int i = 0; i < 40; i++) connect_client(li);
    usleep(20000);
    cur_index = li;
    tcp_accept();
    s = fd_poll.comp[li].session;
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(40u, s->stream_count);
    for (int i = fd_poll.count - 40; i < fd_poll.count; i++) EXPECT_EQ(i, fd_poll.comp[i].stream->fd_index);
    EXPECT_EQ(40u, sent().size());
}

TEST_F(Listeners, TransparentConnectionGoesToTheRedirectedDestination) {
    tunnel_available = 1;
    tun.GetTcpRedirDstIP = fake_redir_ip;
    tun.GetTcpRedirDstPort = fake_redir_port;
    tun.SetTcpRedirPortFordel = fake_release;
    redirect_addr = inet_addr("10.1.1.1");
    const int li = listen_as(mode_transparent);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(c, reinterpret_cast<sockaddr*>(&me), &len);
    EXPECT_EQ(ntohs(me.sin_port), st->redir_port);
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0, out[0].code);
    EXPECT_EQ(redirect_addr, out[0].addr);
    EXPECT_EQ(htons(8080), out[0].port);
    EXPECT_NE(std::string::npos, log_text().find("New connection to: 10.1.1.1:8080"));
}

TEST_F(Listeners, TransparentSelfConnectionIsClosedWithoutAnyCommand) {
    tunnel_available = 1;
    tun.GetTcpRedirDstIP = fake_redir_ip;
    tun.GetTcpRedirDstPort = fake_redir_port;
    tun.SetTcpRedirPortFordel = fake_release;
    redirect_addr = htonl(INADDR_LOOPBACK);  // the client's own address
    released_port = 0;
    const int li = listen_as(mode_transparent);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    EXPECT_TRUE(st->ended);
    EXPECT_EQ(close_requested | close_peer_informed, flags(st));
    EXPECT_NE(std::string::npos, log_text().find("ERROR! TRANSPARENT getsockopt error! name == name2 s_addr "));
    const int port = st->redir_port;
    compact();
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(client_sees_close(c));
    EXPECT_EQ(port, released_port);
}

TEST_F(Listeners, TproxyOpensTheAddressTheClientDialled) {
    const int li = listen_as(mode_tproxy);
    // From 127.0.0.1 to 127.0.0.1 is a loop through ourselves...
    int c;
    s_stream* self = accept_client(li, &c);
    ASSERT_NE(nullptr, self);
    EXPECT_TRUE(self->ended);
    EXPECT_TRUE(sent().empty());
    // ...from another loopback address it is not.
    const int c2 = socket(AF_INET, SOCK_STREAM, 0);
    extra_fds.push_back(c2);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr("127.0.0.2");
    bind(c2, reinterpret_cast<sockaddr*>(&from), sizeof from);
    connect(c2, reinterpret_cast<const sockaddr*>(&listen_addr[li]), sizeof(sockaddr_in));
    ASSERT_TRUE(wait_readable(fd_poll.entries[li].fd));
    cur_index = li;
    tcp_accept();
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0, out[0].code);
    EXPECT_EQ(listen_addr[li].sin_addr.s_addr, out[0].addr);
    EXPECT_EQ(listen_addr[li].sin_port, out[0].port);
}

TEST_F(Listeners, StreamIdsSkipThoseInUseAndAConnectionFindingNoneIsClosed) {
    const int li = listen_as(mode_service_int, 1);
    int c;
    s_stream* first = accept_client(li, &c);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(0, first->id);

    // Ids wrap, and skip those in use.
    s->next_stream_id = 65535;
    s_stream* stand_in = s->streams[0];
    s_stream* last = accept_client(li, &c);
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(65535, last->id);
    s_stream* wrapped = accept_client(li, &c);
    ASSERT_NE(nullptr, wrapped);
    EXPECT_EQ(1, wrapped->id);
    EXPECT_EQ(2, s->next_stream_id);

    // Every id taken.
    std::vector<s_stream*> saved(s->streams, s->streams + stream_table_size);
    for (int id = 0; id < stream_table_size; id++)
        if (!s->streams[id]) s->streams[id] = stand_in;
    const int count = fd_poll.count;
    EXPECT_EQ(nullptr, accept_client(li, &c));
    EXPECT_EQ(count, fd_poll.count);
    EXPECT_NE(std::string::npos, log_text().find("Stream conflict close socket"));
    EXPECT_TRUE(client_sees_close(c));
    std::copy(saved.begin(), saved.end(), s->streams);
}

// ---------------------------------------------------------------- reading

TEST_F(Listeners, ReadsFollowStreambufAndPauseWhenTheInputIsFull) {
    runtime.mintcpread = 64;
    const int li = listen_as(mode_service_int, 1);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    s->streambuf = 8192;
    const std::string big(9000, 'q');
    send(c, big.data(), big.size(), 0);
    usleep(20000);
    serve_read(st);
    // A read takes at most 4076 bytes.
    EXPECT_EQ(4076u, st->input.len);
    EXPECT_TRUE(st->in_ready);
    EXPECT_EQ(4076u, s->queued_input);
    EXPECT_EQ(4076u, st->bytes_read);
    serve_read(st);
    // The second read is streambuf - 4076 = 4116, cut to 4076; then the
    // input stands within 256 bytes of streambuf and reading pauses.
    EXPECT_EQ(8152u, st->input.len);
    EXPECT_EQ(0, fd_poll.entries[st->fd_index].events & ev_read);
    EXPECT_EQ(1u, s->streambuf_delay_count);

    // Packing gives reading back.
    pack_streams(s, 1 << 20);
    EXPECT_EQ(0u, st->input.len);
    EXPECT_TRUE(fd_poll.entries[st->fd_index].events & ev_read);
    serve_read(st);
    EXPECT_EQ(9000u - 8152u, st->input.len);
}

TEST_F(Listeners, LocalEndAfterThePeersShutdownStillDeliversWhatIsBuffered) {
    const int li = listen_as(mode_service_int, 1);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    buf_out_write(st, "reply", 5);
    st->remote_end = 1;
    shutdown(c, SHUT_WR);
    serve_read(st);
    EXPECT_TRUE(st->local_end);
    EXPECT_TRUE(st->ended);
    EXPECT_EQ(close_requested, flags(st));
    EXPECT_EQ(ev_write, fd_poll.entries[st->fd_index].events);
    compact();  // waits for buf_out
    ASSERT_EQ(st, s->streams[st->id]);
    cur_index = st->fd_index;
    cur_stream = st;
    fd_poll.entries[st->fd_index].revents = ev_write;
    process_case_2();
    EXPECT_EQ("reply", str(client_gets(c, 5)));
    compact();
    EXPECT_TRUE(client_sees_close(c));
}

TEST_F(Listeners, SocketErrorClosesTheEntryAtOnce) {
    const int li = listen_as(mode_service_int, 1);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    const int i = st->fd_index;
    cur_index = i;
    cur_stream = st;
    fd_poll.entries[i].revents = ev_error;
    process_case_2();
    EXPECT_EQ(spare_socket, fd_poll.entries[i].fd);
    EXPECT_EQ(0, fd_poll.entries[i].events);
    EXPECT_TRUE(st->ended);
    EXPECT_EQ(close_requested, flags(st));
    EXPECT_TRUE(client_sees_close(c));
    compact();
    std::vector<rec> out = sent();
    ASSERT_EQ(2u, out.size());  // the open, then the end
    EXPECT_EQ(2, out[1].code);
}

// ---------------------------------------------------------------- mux

TEST_F(Listeners, MuxHeaderSplitAcrossReadsIsCollectedAndDataBehindItKept) {
    const int li = listen_as(mode_mux);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    EXPECT_EQ(hs_mux, st->handshake);
    client_says(st, c, {10, 0, 0});
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(hs_mux, st->handshake);
    client_says(st, c, {5, 0x1F, 0x90, 0, 'G', 'E', 'T'});
    EXPECT_EQ(hs_none, st->handshake);
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0, out[0].code);
    EXPECT_EQ(inet_addr("10.0.0.5"), out[0].addr);
    EXPECT_EQ(htons(8080), out[0].port);
    EXPECT_EQ(0u, s->queued_input);
    serve_read(st);
    pack_streams(s, 1 << 20);
    out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ("GET", out[0].data);
}

TEST_F(Listeners, MuxConnectionClosedBeforeItsHeaderSendsNothing) {
    const int li = listen_as(mode_mux);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    const uint16_t id = st->id;
    client_says(st, c, {1, 2});
    shutdown(c, SHUT_WR);
    serve_read(st);
    EXPECT_NE(std::string::npos, log_text().find("MUX ERROR! 0"));
    EXPECT_EQ(close_requested | close_peer_informed, flags(st));
    EXPECT_EQ(0u, st->input.len);
    compact();
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(nullptr, s->streams[id]);
}

// ---------------------------------------------------------------- SOCKS

TEST_F(Listeners, Socks5GreetingOnASocks4ListenerIsServedAsSocks5) {
    const int li = listen_as(mode_socks4);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    EXPECT_EQ(hs_socks4_listener, st->handshake);
    client_says(st, c, {5, 1, 0});
    EXPECT_EQ((bytes{5, 0}), client_gets(c, 2));
    EXPECT_EQ(hs_socks5_request, st->handshake);
    const bytes req = {5, 1, 0, 1, 10, 1, 2, 3, 0, 80};
    client_says(st, c, req);
    EXPECT_EQ((bytes{5, 0, 0, 1, 10, 1, 2, 3, 0, 80}), client_gets(c, 10));
    EXPECT_EQ(hs_none, st->handshake);
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0, out[0].code);
    EXPECT_EQ(inet_addr("10.1.2.3"), out[0].addr);
    EXPECT_EQ(htons(80), out[0].port);
    EXPECT_EQ("", out[0].name);
    EXPECT_NE(std::string::npos, log_text().find("Socks5: IPv4 address"));
}

TEST_F(Listeners, Socks4aRequestCarriesTheHostNameAndTheAddressAsSent) {
    const int li = listen_as(mode_socks5);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    bytes req = {4, 1, 0x01, 0xBB, 0, 0, 0, 7, 'u', 0};
    const std::string host = "example";
    req.insert(req.end(), host.begin(), host.end());
    req.push_back(0);
    client_says(st, c, req);
    EXPECT_EQ((bytes{0, 0x5A, 0x01, 0xBB, 0, 0, 0, 7}), client_gets(c, 8));
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0, out[0].code);
    EXPECT_EQ("example", out[0].name);
    EXPECT_EQ(htonl(7), out[0].addr);
    EXPECT_EQ(htons(443), out[0].port);
    const std::string text = log_text();
    EXPECT_NE(std::string::npos, text.find("Socks username: u"));
    EXPECT_NE(std::string::npos, text.find("Socks4a detected, hostname: example"));
    EXPECT_NE(std::string::npos, text.find("Received dst 0.0.0.7:443 "));
}

TEST_F(Listeners, Socks5DomainRequestAndTheDataBehindItInOneRead) {
    const int li = listen_as(mode_socks5);
    int c;
    s_stream* st = accept_client(li, &c);
    ASSERT_NE(nullptr, st);
    client_says(st, c, {5, 2, 0, 2});
    EXPECT_EQ((bytes{5, 0}), client_gets(c, 2));
    bytes req = {5, 1, 0, 3, 11};
    const std::string name = "example.org";
    req.insert(req.end(), name.begin(), name.end());
    req.push_back(0);
    req.push_back(80);
    bytes with_data = req;
    const std::string first = "GET / HTTP/1.0\r\n\r\n";
    with_data.insert(with_data.end(), first.begin(), first.end());
    client_says(st, c, with_data);
    bytes reply = req;
    reply[1] = 0;
    EXPECT_EQ(reply, client_gets(c, reply.size()));
    std::vector<rec> out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ("example.org", out[0].name);
    const auto* a = reinterpret_cast<const uint8_t*>(&out[0].addr);
    EXPECT_EQ((bytes{1, 0, 0, 0}), bytes(a, a + 4));
    EXPECT_EQ(htons(80), out[0].port);
    // The request's trailing bytes are the application's first data.
    serve_read(st);
    pack_streams(s, 1 << 20);
    out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(first, out[0].data);
}

struct bad_request {
    const char* what;
    int handshake;
    bytes sent;
    const char* log;
    bytes reply;  // what the client gets before the close
};

TEST_F(Listeners, BrokenHandshakesCloseTheConnectionAndOpenNothing) {
    const bad_request cases[] = {
        {"domain name longer than the read", hs_socks5_request,
         {5, 1, 0, 3, 10, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 0}, "Too short packet\n", {}},
        {"IPv6 address type", hs_socks5_request, {5, 1, 0, 4, 0, 0, 0, 0, 0, 0}, "Invalid socks address type: 4",
         {5, 8, 0, 1, 0, 0, 0, 0, 0, 0}},
        {"short request", hs_socks5_request, {5, 1, 0, 1, 1}, "Socks packet too short: 5", {}},
        {"IPv4 request without port", hs_socks5_request, {5, 1, 0, 1, 1, 2, 3, 4, 0}, "Socks packet too short: 9",
         {}},
        {"bind command", hs_socks5_request, {5, 2, 0, 1, 1, 2, 3, 4, 0, 80}, "Invalid socks command: 2", {}},
        {"reserved byte", hs_socks5_request, {5, 1, 7, 1, 1, 2, 3, 4, 0, 80}, "Invalid socks reserved: 7", {}},
        {"version in request", hs_socks5_request, {6, 1, 0, 1, 1, 2, 3, 4, 0, 80}, "Invalid socks version: 6", {}},
        {"unknown version", hs_socks5_listener, {9, 9}, "Invalid socks version: 9", {}},
        {"one byte greeting", hs_socks5_listener, {5}, "Socks packet too short: 1", {}},
        {"socks4 user id without end", hs_socks4_listener, {4, 1, 0, 80, 1, 2, 3, 4, 'a', 'b'},
         "Socks packet too short: 10", {}},
        {"socks4a host without end", hs_socks4_listener, {4, 1, 0, 80, 0, 0, 0, 1, 0, 'h', 'o'},
         "Socks packet too short: 11", {}},
        {"socks4 bind", hs_socks4_listener, {4, 2, 0, 80, 1, 2, 3, 4, 0}, "Invalid socks command: 2", {}},
    };
    const int li = listen_as(mode_socks5);
    for (const bad_request& b : cases) {
        SCOPED_TRACE(b.what);
        int c;
        s_stream* st = accept_client(li, &c);
        ASSERT_NE(nullptr, st);
        st->handshake = uint16_t(b.handshake);
        client_says(st, c, b.sent);
        EXPECT_NE(std::string::npos, log_text().find(b.log));
        EXPECT_TRUE(st->ended);
        EXPECT_EQ(close_requested | close_peer_informed, flags(st));
        compact();
        if (!b.reply.empty()) {
            EXPECT_EQ(b.reply, client_gets(c, b.reply.size()));
        }
        EXPECT_TRUE(client_sees_close(c));
        EXPECT_TRUE(sent().empty());
    }
}

// ---------------------------------------------------------------- tunnel control connection

TEST_F(Listeners, TunnelSlotIndexesBecomeTunnelPacketCommands) {
    const int li = listen_as(mode_service_int, 1);
    int c;
    accept_client(li, &c);  // makes the session
    ASSERT_NE(nullptr, s);
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    extra_fds.push_back(pair[1]);
    set_nonblocking(pair[0]);
    locals[1].mode = mode_tunnel;
    locals[1].remotes = {0};
    local_count = 2;
    const int ti = fd_append(pair[0], ev_read, fd_listener, s, nullptr, 1);
    tunnel_available = 1;
    tun.recvbuf = recv_slots;
    for (int k : {3, 4, 5}) {
        recv_slots[k].length = uint16_t(37 + k);
        std::memset(recv_slots[k].data, 0x40 + k, 37 + k);
    }
    recv_slots[9].length = 0;
    const uint8_t idx[] = {3, 4, 9, 5};
    send(pair[1], idx, sizeof idx, 0);
    sent();
    const uint32_t in_before = s->local_in;
    cur_index = ti;
    tcp_accept();
    std::vector<rec> out = sent();
    ASSERT_EQ(2u, out.size());  // the empty slot ends the pass
    EXPECT_EQ(6, out[0].code);
    EXPECT_EQ(std::string(40, 0x43), out[0].data);
    EXPECT_EQ(std::string(41, 0x44), out[1].data);
    EXPECT_EQ(in_before + 81, s->local_in);
    // Copied slots are free again for the library; the one not yet read is not.
    EXPECT_EQ(0, recv_slots[3].length);
    EXPECT_EQ(0, recv_slots[4].length);
    EXPECT_EQ(42, recv_slots[5].length);

    // Over speed x buffertun queued: the index stays unread.
    s->speed = 10;
    runtime.buffertun = 3;
    s->bytes_in_flight = 31;
    tcp_accept();
    EXPECT_EQ(1u, s->delay_count);
    EXPECT_TRUE(sent().empty());
    s->bytes_in_flight = 0;
    tcp_accept();
    out = sent();
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(std::string(42, 0x45), out[0].data);
    EXPECT_EQ(0, recv_slots[5].length);
    // The library's end closes: the descriptor stays but stops waking the loop.
    close(pair[1]);
    extra_fds.pop_back();
    tcp_accept();
    EXPECT_EQ(0, fd_poll.entries[ti].events & ev_read);
    EXPECT_TRUE(logged("Tunnel control connection closed\n"));
}

// ---------------------------------------------------------------- out of descriptors

// The number the next descriptor will get: the lowest free one.
int next_descriptor() {
    const int fd = dup(0);
    close(fd);
    return fd;
}
size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

// accept failing with EMFILE stops polling every listener and the console
// listener (not the tunnel control connection) for a short pause, so that
// the loop does not spin; one line per episode, however many fail in it.
TEST_F(Listeners, AcceptOutOfDescriptorsPausesTheListenersBriefly) {
    const int li = listen_as(mode_socks5);
    const int console = listen_as(mode_socks5);
    fd_poll.comp[console].type = fd_console_listener;
    locals[2].mode = mode_tunnel;
    local_count = 3;
    const int tunnel = fd_append(socket(AF_INET, SOCK_STREAM, 0), ev_read, fd_listener, nullptr, nullptr, 2);
    connect_client(li);
    connect_client(console);
    ASSERT_TRUE(wait_readable(fd_poll.entries[li].fd));
    ASSERT_TRUE(wait_readable(fd_poll.entries[console].fd));
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    auto starved = [&](void (*handler)(), int index) {
        rlimit low = saved;
        low.rlim_cur = rlim_t(next_descriptor());
        setrlimit(RLIMIT_NOFILE, &low);
        cur_index = index;
        handler();
        setrlimit(RLIMIT_NOFILE, &saved);
    };
    const int count = fd_poll.count;
    starved(tcp_accept, li);
    EXPECT_EQ(count, fd_poll.count);
    EXPECT_EQ(0, fd_poll.entries[li].events);
    EXPECT_EQ(0, fd_poll.entries[console].events);
    EXPECT_EQ(ev_read, fd_poll.entries[tunnel].events);
    accept_resume_due();
    EXPECT_EQ(0, fd_poll.entries[li].events);

    now += 0.3;
    accept_resume_due();
    EXPECT_EQ(ev_read, fd_poll.entries[li].events);
    EXPECT_EQ(ev_read, fd_poll.entries[console].events);
    starved(control_accept, console);
    EXPECT_EQ(count, fd_poll.count);
    EXPECT_EQ(0, fd_poll.entries[li].events);
    EXPECT_EQ(1u, count_of(log_text(), "Out of descriptors"));

    // Descriptors are back: the waiting connections are taken.
    now += 0.3;
    accept_resume_due();
    cur_index = li;
    tcp_accept();
    cur_index = console;
    control_accept();
    EXPECT_EQ(count + 2, fd_poll.count);
    // A shortage long after the last is a new episode.
    now += 30;
    connect_client(li);
    ASSERT_TRUE(wait_readable(fd_poll.entries[li].fd));
    starved(tcp_accept, li);
    EXPECT_EQ(2u, count_of(log_text(), "Out of descriptors"));
}

}  // namespace
