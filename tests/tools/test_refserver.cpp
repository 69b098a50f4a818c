// The reference server as a process, driven by a minimal client built on the
// same protocol core as the engine: login checks, resets, streams, flow
// control, resends and the control listener. Its pacing bucket is tested on
// simulated time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/commands.h"
#include "protocol/packet.h"
#include "protocol/session_core.h"
#include "protocol/wire.h"
#include "tests/e2e/harness.h"
#include "tests/engine/support/netns.h"
#include "tools/refserver/pacing.h"

namespace {

using e2e::mono_now;

// The engine's side of a session, reduced to what these tests need: no
// pacing, acknowledgement by keepalive after every delivery.
class mini_client {
public:
    explicit mini_client(uint16_t server_port, uint32_t sid = 0x1234ABCD) {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        server_ = a;
        server_.sin_port = htons(server_port);
        core.session_id = sid;
        session_core_zinit(core, 6);
    }
    ~mini_client() {
        session_core_release(core);
        close(fd_);
    }
    mini_client(const mini_client&) = delete;
    mini_client& operator=(const mini_client&) = delete;

    void send_login(const char* login, const char* password, uint32_t a = 1000, uint32_t b = 8000) {
        const uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        uint8_t pkt[login_packet_bytes];
        build_login_packet(pkt, login_fields{core.session_id, login, nonce, password, a, b, 1444, 0, 0});
        send_raw(pkt, sizeof pkt);
    }

    void send_raw(const void* data, size_t n) {
        sendto(fd_, data, n, 0, reinterpret_cast<const sockaddr*>(&server_), sizeof server_);
    }

    // One datagram as it arrived, or empty on time-out.
    std::vector<uint8_t> recv_raw(double timeout_s) {
        std::vector<uint8_t> d(2048);
        timeval tv{long(timeout_s), long((timeout_s - long(timeout_s)) * 1e6)};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const ssize_t n = recv(fd_, d.data(), d.size(), 0);
        d.resize(n > 0 ? size_t(n) : 0);
        return d;
    }

    // Deflates one command, sync-flushed, into the outgoing stream.
    void cmd(const uint8_t* c, size_t n) { fifo_write_deflate(&core.out_deflated, c, uint32_t(n), &core.deflater, true); }
    void cmd_stream(cmd_code code, uint16_t id) {
        uint8_t c[3];
        cmd(c, cmd_put_stream(c, code, id));
    }
    void cmd_open(const char* ip, uint16_t port, uint16_t id, const char* name = nullptr) {
        uint8_t c[300];
        in_addr a{};
        inet_pton(AF_INET, ip, &a);
        cmd(c, cmd_put_open(c, htons(port), a.s_addr, id, name, uint8_t(name ? std::strlen(name) : 0)));
    }
    void cmd_tunnel(const std::vector<uint8_t>& pkt) {
        std::vector<uint8_t> c(3 + pkt.size());
        cmd_put_tunnel_header(c.data(), uint16_t(pkt.size()));
        std::copy(pkt.begin(), pkt.end(), c.begin() + 3);
        cmd(c.data(), c.size());
    }
    void cmd_data(uint16_t id, const std::string& data) {
        for (size_t at = 0; at < data.size(); at += cmd_data_max) {
            const size_t k = std::min<size_t>(cmd_data_max, data.size() - at);
            uint8_t c[4 + cmd_data_max];
            cmd_put_data_header(c, uint16_t(k), id);
            std::memcpy(c + 4, data.data() + at, k);
            cmd(c, 4 + k);
        }
    }

    // Sends what waits: resends first, then new data packets.
    void flush() {
        const double now = mono_now();
        while (stx_packet* p = packet_queue_pop(core.resend_q)) {
            session_core_prepare_resend(core, p, now);
            send_raw(p->data, p->len);
        }
        while (core.out_deflated.len > 0 || resend_req_size(core.reqs, now) > 0) {
            stx_packet* p = session_core_build_packet(core, 1472, now);
            if (p->len <= header_bytes) {
                packet_free(p);
                break;
            }
            send_raw(p->data, p->len);
            session_core_commit_data(core, p, now);
        }
    }

    void keepalive() {
        stx_packet* p = session_core_build_packet(core, header_bytes, mono_now());
        send_raw(p->data, p->len);
        packet_free(p);
    }

    // Receives and executes for up to timeout_s, until done() holds.
    bool pump(double timeout_s, const std::function<bool()>& done = [] { return false; }) {
        const double end = mono_now() + timeout_s;
        for (;;) {
            flush();
            if (done()) return true;
            const double left = end - mono_now();
            if (left <= 0) return false;
            std::vector<uint8_t> d = recv_raw(std::min(left, 0.02));
            if (d.empty()) continue;
            handle(d);
        }
    }

    void handle(const std::vector<uint8_t>& d) {
        if (d.size() < size_t(header_bytes)) return;
        const pkt_header h = header_get(d.data());
        if (d.size() > size_t(header_bytes) && h.data_id == drop_data_id && dropped.empty()) {
            dropped.push_back(d);
            return;
        }
        datagrams.push_back(d);
        if ((h.flags & flags_kind_mask) == flags_reset) {
            resets++;
            return;
        }
        stx_packet* p = packet_alloc();
        std::memcpy(p->data, d.data(), d.size());
        p->len = uint16_t(d.size());
        uint32_t asked = 0, resent = 0;
        if (session_core_receive(core, p, mono_now(), 0.005, rx_counters{&asked, &resent}) != 0) return;
        process_rx_core(core, fifo_node_data_bytes, 2u << 20);
        static const cmd_handlers h_table = {
            [](void* c, const cmd_open_req& r) { static_cast<mini_client*>(c)->opens.push_back(r); },
            [](void* c, uint8_t svc, uint16_t id) {
                static_cast<mini_client*>(c)->internal_opens.push_back({svc, id});
            },
            [](void* c, uint16_t id) { static_cast<mini_client*>(c)->note(cmd_end, id); },
            [](void* c, uint16_t id, const uint8_t* b, uint32_t n) {
                static_cast<mini_client*>(c)->data[id].append(reinterpret_cast<const char*>(b), n);
            },
            [](void* c, uint16_t id) { static_cast<mini_client*>(c)->note(cmd_stop, id); },
            [](void* c, uint16_t id) { static_cast<mini_client*>(c)->note(cmd_continue, id); },
            [](void* c, uint16_t id) { static_cast<mini_client*>(c)->note(cmd_shutdown, id); },
            [](void* c, const uint8_t* pkt, uint16_t n) { static_cast<mini_client*>(c)->tunnel.emplace_back(pkt, pkt + n); },
            [](void*, uint16_t) { return true; },
        };
        process_commands_core(core.parser, core.in_cmds, h_table, this);
        const uint32_t g = core.peer_last_good;
        if (core.array_d.used && !id_after(core.array_d.first, g) && g - core.array_d.first < core.array_d.used)
            clean_acked(core, g, mono_now());
        keepalive();
    }

    void note(cmd_code code, uint16_t id) { stream_cmds.push_back({code, id}); }
    bool saw(cmd_code code, uint16_t id) const {
        for (auto& c : stream_cmds)
            if (c.first == code && c.second == id) return true;
        return false;
    }

    session_core core;
    std::vector<std::vector<uint8_t>> datagrams;
    std::vector<cmd_open_req> opens;
    std::vector<std::pair<uint8_t, uint16_t>> internal_opens;
    std::map<uint16_t, std::string> data;
    std::vector<std::pair<cmd_code, uint16_t>> stream_cmds;
    std::vector<std::vector<uint8_t>> tunnel;  // tunnel packets received
    int resets = 0;
    uint32_t drop_data_id = 0;  // the first data packet with this id is dropped
    std::vector<std::vector<uint8_t>> dropped;

private:
    int fd_ = -1;
    sockaddr_in server_{};
};

// Accepts within the time-out; -1 otherwise.
int accept_within(int listener, double timeout_s) {
    const double end = mono_now() + timeout_s;
    while (mono_now() < end) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd >= 0) {
            const int flags = fcntl(fd, F_GETFL, 0);
            fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            return fd;
        }
        usleep(5000);
    }
    return -1;
}

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

class Refserver : public ::testing::Test {
protected:
    void start(std::vector<std::string> args = {}, bool control = false) {
        args.push_back("--user");
        args.push_back("alice:secret");
        ASSERT_TRUE(rs.start(dir, args, "127.0.0.1", 0, control)) << "refserver did not start";
    }
    // Logs in and waits for the server's first keepalive.
    void login(mini_client& c) {
        c.send_login("alice", "secret", 10000000, 10000000);
        ASSERT_GE(rs.proc.wait_line("LOGIN ok alice session " + hex(c.core.session_id), 5), 0);
        ASSERT_TRUE(c.pump(5, [&] { return c.core.working; }));
    }

    e2e::temp_dir dir;
    e2e::refserver_proc rs;
};

TEST(RefserverOptions, BadArgumentsExitWithUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--listen", "127.0.0.1"},
        {"--listen", "127.0.0.1:70000"},
        {"--listen", "127.0.0.1:0", "--user", "nopassword"},
        {"--listen", "127.0.0.1:0", "--user", "averyveryverylonglogin:x"},
        {"--listen", "127.0.0.1:0", "--internal", "32=127.0.0.1:80"},
        {"--listen", "127.0.0.1:0", "--map", "127.0.0.1:1"},
        {"--listen", "127.0.0.1:0", "--loss", "150"},
        {"--listen", "127.0.0.1:0", "--bogus"},
        {"--listen"},
    };
    e2e::temp_dir dir;
    for (const auto& c : cases) {
        std::vector<std::string> argv = {e2e::bin_path("refserver")};
        argv.insert(argv.end(), c.begin(), c.end());
        e2e::process p;
        ASSERT_TRUE(p.start(argv, dir.path(), "", dir.file("err")));
        int status = -1;
        ASSERT_TRUE(p.wait_exit(5, &status));
        EXPECT_EQ(status, 2) << argv.size();
    }
    e2e::process help;
    ASSERT_TRUE(help.start({e2e::bin_path("refserver"), "--help"}, dir.path()));
    int status = -1;
    ASSERT_TRUE(help.wait_exit(5, &status));
    EXPECT_EQ(status, 0);
    EXPECT_GE(help.wait_line("--listen", 1), 0);
}

TEST_F(Refserver, RefusedLoginGetsBareMarkedReset) {
    start();
    struct refusal {
        const char* login;
        const char* password;
    };
    const refusal cases[] = {{"alice", "wrong"}, {"mallory", "secret"}, {"", ""}};
    uint32_t sid = 0x1000;
    for (const refusal& r : cases) {
        mini_client c(rs.port, ++sid);
        c.send_login(r.login, r.password);
        const std::vector<uint8_t> d = c.recv_raw(5);
        ASSERT_EQ(d.size(), size_t(header_bytes)) << r.login;
        const pkt_header h = header_get(d.data());
        EXPECT_EQ(h.session_id, sid);
        EXPECT_EQ(h.packet_id, reset_marker);
        EXPECT_EQ(h.data_id, reset_marker);
        EXPECT_EQ(h.last_good, 0u);
        EXPECT_EQ(h.flags, flags_reset);
        EXPECT_GE(rs.proc.wait_line(std::string("LOGIN refused ") + (*r.login ? r.login : "-"), 5), 0);
    }
    EXPECT_EQ(rs.proc.count_lines("LOGIN ok"), 0u);
}

TEST_F(Refserver, AcceptedLoginIsAnsweredAtOnceWithKeepalive) {
    start();
    mini_client c(rs.port, 0xCAFE0001);
    c.send_login("alice", "secret", 1000, 8000);
    const std::vector<uint8_t> d = c.recv_raw(5);
    ASSERT_EQ(d.size(), size_t(header_bytes));
    const pkt_header h = header_get(d.data());
    EXPECT_EQ(h.session_id, 0xCAFE0001u);
    EXPECT_EQ(h.packet_id, 1u);
    EXPECT_EQ(h.data_id, 1u);
    EXPECT_EQ(h.last_good, 0u);
    EXPECT_EQ(h.flags, flags_data);
    EXPECT_GE(rs.proc.wait_line("LOGIN ok alice session cafe0001 speed_in 1000:8000 mru 1444", 5), 0);

    // The engine sends its login again with new speeds: same session.
    c.send_login("alice", "secret", 1000, 1000);
    EXPECT_GE(rs.proc.wait_line("LOGIN repeat alice session cafe0001 speed_in 1000:1000", 5), 0);
    EXPECT_EQ(rs.proc.count_lines("LOGIN ok"), 1u);
}

TEST_F(Refserver, LossDropsSessionTrafficButNotResets) {
    start({"--loss", "100"}, true);
    mini_client c(rs.port, 0x99);
    c.send_login("alice", "secret");
    ASSERT_GE(rs.proc.wait_line("LOGIN ok alice session 99", 5), 0);
    EXPECT_TRUE(c.recv_raw(0.3).empty());  // the keepalive answer was dropped
    mini_client refused(rs.port, 0x98);
    refused.send_login("alice", "wrong");
    EXPECT_EQ(refused.recv_raw(5).size(), size_t(header_bytes));
    std::string stats;
    ASSERT_TRUE(rs.stats(&stats));
    EXPECT_NE(stats.find(" dropped 1 "), std::string::npos) << stats;
}

TEST_F(Refserver, UnknownSessionIsReset) {
    start();
    mini_client c(rs.port, 0x77);
    c.keepalive();
    std::vector<uint8_t> d = c.recv_raw(5);
    ASSERT_EQ(d.size(), size_t(header_bytes));
    const uint8_t expect[header_bytes] = {0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0};
    EXPECT_EQ(0, std::memcmp(d.data(), expect, sizeof expect));
    EXPECT_GE(rs.proc.wait_line("UNKNOWN 77", 5), 0);
}

TEST_F(Refserver, ClientResetEndsSession) {
    start();
    mini_client c(rs.port, 0xABC);
    login(c);
    uint8_t reset[header_bytes];
    build_reset_packet(reset, 0xABC);
    c.send_raw(reset, sizeof reset);
    EXPECT_GE(rs.proc.wait_line("RESET abc", 5), 0);
    EXPECT_GE(rs.proc.wait_line("SESSION closed abc reset", 5), 0);
    c.keepalive();
    EXPECT_TRUE(c.pump(5, [&] { return c.resets > 0; }));
}

TEST_F(Refserver, SurvivesMalformedDatagrams) {
    start();
    mini_client c(rs.port, 0x5150);
    login(c);
    std::vector<std::vector<uint8_t>> junk = {
        {},
        std::vector<uint8_t>(16, 0xFF),
        // A header that claims two resend requests in a 20-byte datagram.
        {0x50, 0x51, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0x42, 1, 2, 3},
        std::vector<uint8_t>(50, 0),                            // a short login
        {0x50, 0x51, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x80},  // kind 10
    };
    e2e::byte_stream noise(7);
    for (int i = 0; i < 3000; i++) {
        uint8_t len_byte;
        noise.fill(&len_byte, 1);
        std::vector<uint8_t> d(size_t(len_byte) * 6 % 1520);
        noise.fill(d.data(), d.size());
        if (d.size() >= 4 && i % 2) put_u32(d.data(), 0x5150);  // aim at the live session
        junk.push_back(d);
    }
    for (const auto& d : junk) c.send_raw(d.data(), d.size());
    // Whatever the junk did to that session, the server still serves logins.
    mini_client fresh(rs.port, 0x6160);
    fresh.send_login("alice", "secret");
    EXPECT_GE(rs.proc.wait_line("LOGIN ok alice session 6160", 10), 0);
    EXPECT_TRUE(rs.proc.running());
}

TEST_F(Refserver, OpenByAddressCarriesDataBothWaysAndHalfCloses) {
    start();
    e2e::data_server echo(e2e::data_server::echo);
    mini_client c(rs.port);
    login(c);
    const std::string payload(100000, 'q');
    c.cmd_open("127.0.0.1", echo.port(), 5);
    c.cmd_data(5, payload);
    c.cmd_stream(cmd_shutdown, 5);
    ASSERT_TRUE(c.pump(10, [&] { return c.saw(cmd_shutdown, 5); }));
    EXPECT_EQ(c.data[5], payload);
    EXPECT_FALSE(c.saw(cmd_end, 5));
    EXPECT_GE(rs.proc.wait_line("OPEN 1234abcd 5 127.0.0.1:" + std::to_string(echo.port()), 1), 0);
}

TEST_F(Refserver, EndAfterDataStillDeliversTheData) {
    start();
    e2e::data_server sink(e2e::data_server::sink);
    mini_client c(rs.port);
    login(c);
    std::string payload(3u << 20, '\0');
    e2e::byte_stream(3).fill(reinterpret_cast<uint8_t*>(&payload[0]), payload.size());
    c.cmd_open("127.0.0.1", sink.port(), 2);
    c.cmd_data(2, payload);
    c.cmd_stream(cmd_end, 2);
    std::vector<e2e::data_server::sink_result> got;
    c.pump(20, [&] { return sink.wait_sinks(1, 0.001, &got); });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, payload.size());
    EXPECT_EQ(got[0].md5, e2e::md5_hex(payload));
    EXPECT_FALSE(c.saw(cmd_end, 2));
}

// Open, data and end in one packet reach the server before its outgoing
// connect (or name lookup) can have completed: the data still goes out.
TEST_F(Refserver, EndBeforeTheConnectCompletesKeepsTheData) {
    start();
    e2e::data_server sink(e2e::data_server::sink);
    mini_client c(rs.port);
    login(c);
    const std::string payload = "sent before the connection was up";
    c.cmd_open("127.0.0.1", sink.port(), 4);
    c.cmd_data(4, payload);
    c.cmd_stream(cmd_end, 4);
    c.cmd_open("0.0.0.1", sink.port(), 5, "localhost");
    c.cmd_data(5, payload);
    c.cmd_stream(cmd_end, 5);
    std::vector<e2e::data_server::sink_result> got;
    c.pump(20, [&] { return sink.wait_sinks(2, 0.001, &got); });
    ASSERT_EQ(got.size(), 2u);
    for (const auto& r : got) {
        EXPECT_EQ(r.bytes, payload.size());
        EXPECT_EQ(r.md5, e2e::md5_hex(payload));
    }
}

TEST_F(Refserver, FailedOpensAreEnded) {
    start({"--internal", "3=127.0.0.1:1"});
    mini_client c(rs.port);
    login(c);
    const uint16_t closed_port = e2e::free_tcp_port();
    c.cmd_open("127.0.0.1", closed_port, 9);
    c.cmd_open("0.0.0.1", 80, 10, "no-such-host.invalid");
    uint8_t cmd[3];
    c.cmd(cmd, cmd_put_open_internal(cmd, 4, 11));  // not mapped
    c.cmd(cmd, cmd_put_open_internal(cmd, 3, 12));  // mapped to a closed port
    EXPECT_TRUE(c.pump(10, [&] { return c.saw(cmd_end, 9) && c.saw(cmd_end, 10) && c.saw(cmd_end, 11) &&
                                        c.saw(cmd_end, 12); }));
    EXPECT_GE(rs.proc.wait_line("CONNECT failed 1234abcd 10 no-such-host.invalid:80 unresolved", 1), 0);
}

TEST_F(Refserver, OpenByNameAndInternalServiceConnect) {
    e2e::data_server echo(e2e::data_server::echo);
    start({"--internal", "3=127.0.0.1:" + std::to_string(echo.port())});
    mini_client c(rs.port);
    login(c);
    c.cmd_open("0.0.0.1", echo.port(), 1, "localhost");
    c.cmd_data(1, "by name");
    uint8_t cmd[3];
    c.cmd(cmd, cmd_put_open_internal(cmd, 3, 2));
    c.cmd_data(2, "internal");
    EXPECT_TRUE(c.pump(10, [&] { return c.data[1] == "by name" && c.data[2] == "internal"; }));
    EXPECT_EQ(echo.accepted(), 2);
}

TEST_F(Refserver, LaggingDestinationIsStoppedThenContinued) {
    start({"--stream-limit", "65536"});
    uint16_t port = 0;
    int listener = e2e::tcp_listen("127.0.0.1", 0, &port);
    ASSERT_GE(listener, 0);
    mini_client c(rs.port);
    login(c);
    c.cmd_open("127.0.0.1", port, 7);
    c.flush();
    const int dest = accept_within(listener, 5);
    ASSERT_GE(dest, 0);
    // Zeros deflate to almost nothing: the server's queue fills without
    // the datagrams doing so.
    const std::string chunk(256 * 1024, '\0');
    size_t sent = 0;
    while (!c.saw(cmd_stop, 7) && sent < (64u << 20)) {
        c.cmd_data(7, chunk);
        sent += chunk.size();
        c.pump(0.05);
    }
    ASSERT_TRUE(c.saw(cmd_stop, 7));
    // Draining the destination brings the continue (the kernel's buffers may
    // already have taken enough of the queue for it).
    size_t drained = 0;
    char buf[65536];
    while (!c.saw(cmd_continue, 7) && drained < sent) {
        const long r = e2e::recv_some(dest, buf, sizeof buf, 1);
        if (r <= 0) break;
        drained += size_t(r);
        c.pump(0.001);
    }
    EXPECT_TRUE(c.pump(5, [&] { return c.saw(cmd_continue, 7); }));
    EXPECT_FALSE(c.saw(cmd_end, 7));
    close(dest);
    close(listener);
}

TEST_F(Refserver, ClientIgnoringStopLosesTheStream) {
    start({"--stream-limit", "65536"});
    uint16_t port = 0;
    int listener = e2e::tcp_listen("127.0.0.1", 0, &port);
    mini_client c(rs.port);
    login(c);
    ASSERT_GE(listener, 0);
    c.cmd_open("127.0.0.1", port, 8);
    c.flush();
    const int dest = accept_within(listener, 5);
    ASSERT_GE(dest, 0);
    const std::string chunk(256 * 1024, '\0');
    for (size_t sent = 0; !c.saw(cmd_end, 8) && sent < (256u << 20); sent += chunk.size()) {
        c.cmd_data(8, chunk);
        c.pump(0.02);
    }
    EXPECT_TRUE(c.saw(cmd_stop, 8));
    EXPECT_TRUE(c.saw(cmd_end, 8));
    close(dest);
    close(listener);
}

TEST_F(Refserver, HonoursClientStopAndContinue) {
    start();
    e2e::data_server source(e2e::data_server::source, 1ull << 32);
    mini_client c(rs.port);
    login(c);
    c.cmd_open("127.0.0.1", source.port(), 4);
    ASSERT_TRUE(c.pump(10, [&] { return c.data[4].size() > 100000; }));
    c.cmd_stream(cmd_stop, 4);
    // What was on its way still arrives; then the stream goes quiet.
    size_t last = 0;
    double quiet_since = 0;
    c.pump(10, [&] {
        if (c.data[4].size() != last || quiet_since == 0) {
            last = c.data[4].size();
            quiet_since = mono_now();
        }
        return mono_now() - quiet_since > 0.3;
    });
    const size_t stopped_at = c.data[4].size();
    c.pump(0.3);
    EXPECT_EQ(c.data[4].size(), stopped_at);
    c.cmd_stream(cmd_continue, 4);
    EXPECT_TRUE(c.pump(10, [&] { return c.data[4].size() > stopped_at + 100000; }));
}

TEST_F(Refserver, ResendsWhatTheClientAsksFor) {
    start();
    e2e::data_server source(e2e::data_server::source, 200000);
    mini_client c(rs.port);
    login(c);
    c.drop_data_id = 3;  // "lost" on its way: the client asks for it again
    c.cmd_open("127.0.0.1", source.port(), 3);
    ASSERT_TRUE(c.pump(10, [&] { return c.saw(cmd_shutdown, 3); }));
    EXPECT_EQ(c.data[3].size(), 200000u);
    ASSERT_EQ(c.dropped.size(), 1u);
    const std::vector<uint8_t>& original = c.dropped[0];
    const uint32_t original_pid = header_get(original.data()).packet_id;
    bool resent = false;
    for (const auto& d : c.datagrams) {
        if (d.size() != original.size()) continue;
        const pkt_header h = header_get(d.data());
        resent = resent || (h.data_id == 3 && h.packet_id > original_pid &&
                            std::equal(d.begin() + header_bytes, d.end(), original.begin() + header_bytes));
    }
    EXPECT_TRUE(resent);
}

TEST_F(Refserver, AsksForAPacketThatDidNotArrive) {
    start();
    e2e::data_server echo(e2e::data_server::echo);
    mini_client c(rs.port);
    login(c);
    const double now = mono_now();
    stx_packet* held[3];
    c.cmd_open("127.0.0.1", echo.port(), 6);
    c.cmd_data(6, "one ");
    for (int i = 0; i < 3; i++) {
        if (i) c.cmd_data(6, i == 1 ? "two " : "three");
        held[i] = session_core_build_packet(c.core, 1472, now);
        session_core_commit_data(c.core, held[i], now);
    }
    const uint32_t lost_pid = held[1]->packet_id;
    c.send_raw(held[0]->data, held[0]->len);
    c.send_raw(held[2]->data, held[2]->len);  // the middle one is "lost"
    bool asked = false;
    c.pump(5, [&] {
        for (const auto& d : c.datagrams) {
            const pkt_header h = header_get(d.data());
            if (d.size() >= size_t(header_bytes + resend_req_bytes) && (h.flags & flags_reqs_mask) >= 1) {
                const resend_req_wire r = resend_req_get(d.data() + header_bytes);
                asked = asked || (r.first == lost_pid && r.count == 1);
            }
        }
        return asked;
    });
    EXPECT_TRUE(asked);
    // The resend served from our queue completes the stream in order.
    EXPECT_TRUE(c.pump(5, [&] { return c.data[6] == "one two three"; })) << c.data[6];
}

TEST_F(Refserver, IdleSessionTimesOutWithReset) {
    start({"--timeout", "0.5"});
    mini_client c(rs.port, 0xD1);
    login(c);
    EXPECT_GE(rs.proc.wait_line("SESSION closed d1 timeout", 5), 0);
    EXPECT_TRUE(c.pump(5, [&] { return c.resets > 0; }));
}

TEST_F(Refserver, ControlOpensStreamsOnTheNewestSession) {
    start({}, true);
    std::string reply;
    int ctl = e2e::tcp_connect("127.0.0.1", rs.control_port);
    ASSERT_TRUE(e2e::send_str(ctl, "OPENINT 3\n") && e2e::recv_to_eof(ctl, &reply, 5));
    EXPECT_EQ(reply, "ERR no session\n");
    e2e::close_fd(ctl);

    mini_client old_one(rs.port, 0x01);
    login(old_one);
    mini_client c(rs.port, 0x02);
    login(c);
    ctl = e2e::tcp_connect("127.0.0.1", rs.control_port);
    ASSERT_TRUE(e2e::send_str(ctl, "OPENINT 3\nhello"));
    ASSERT_TRUE(c.pump(5, [&] { return c.data[0xFFFF] == "hello"; }));
    ASSERT_EQ(c.internal_opens.size(), 1u);
    EXPECT_EQ(c.internal_opens[0], std::make_pair(uint8_t(3), uint16_t(0xFFFF)));
    EXPECT_TRUE(old_one.internal_opens.empty());
    c.cmd_data(0xFFFF, "world");
    c.flush();
    char buf[5];
    ASSERT_TRUE(e2e::recv_exact(ctl, buf, 5, 5));
    EXPECT_EQ(std::string(buf, 5), "world");
    c.cmd_stream(cmd_end, 0xFFFF);
    c.flush();
    EXPECT_TRUE(e2e::wait_closed(ctl, 5));
    e2e::close_fd(ctl);

    const uint8_t name_marker[4] = {1, 0, 0, 0};
    int by_addr = e2e::tcp_connect("127.0.0.1", rs.control_port);
    int by_name = e2e::tcp_connect("127.0.0.1", rs.control_port);
    ASSERT_TRUE(e2e::send_str(by_addr, "OPEN 127.0.0.1 80\n"));
    ASSERT_TRUE(c.pump(5, [&] { return c.opens.size() == 1; }));
    ASSERT_TRUE(e2e::send_str(by_name, "OPENNAME localhost 8080\n"));
    ASSERT_TRUE(c.pump(5, [&] { return c.opens.size() == 2; }));
    EXPECT_EQ(c.opens[0].addr_net, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(c.opens[0].port_net), 80);
    EXPECT_EQ(c.opens[0].name_len, 0);
    EXPECT_NE(c.opens[0].stream_id, c.opens[1].stream_id);
    EXPECT_EQ(std::string(c.opens[1].name), "localhost");
    EXPECT_EQ(0, std::memcmp(&c.opens[1].addr_net, name_marker, 4));
    e2e::close_fd(by_addr);
    e2e::close_fd(by_name);

    std::string stats;
    ASSERT_TRUE(rs.stats(&stats));
    EXPECT_NE(stats.find(" sessions 2 "), std::string::npos) << stats;

    // Flow control on demand, for the newest session's stream of our choice.
    ASSERT_TRUE(rs.control("STOP 42", &reply));
    EXPECT_EQ(reply, "OK\n");
    ASSERT_TRUE(rs.control("CONTINUE 42", &reply));
    EXPECT_TRUE(c.pump(5, [&] { return c.saw(cmd_stop, 42) && c.saw(cmd_continue, 42); }));
    ASSERT_TRUE(rs.control("STOP 70000", &reply));
    EXPECT_EQ(reply.rfind("ERR", 0), 0u);
}

TEST_F(Refserver, TerminationResetsEverySession) {
    start();
    mini_client c(rs.port, 0xE1);
    login(c);
    rs.proc.signal(SIGTERM);
    EXPECT_TRUE(c.pump(5, [&] { return c.resets > 0; }));
    int status = -1;
    ASSERT_TRUE(rs.proc.wait_exit(5, &status));
    EXPECT_EQ(status, 0);
    EXPECT_GE(rs.proc.wait_line("SESSION closed e1 shutdown", 1), 0);
}

// ---------------------------------------------------------------- pacing

// ---------------------------------------------------------------- tunnel packets

uint16_t inet_checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i]) << 8 | p[i + 1];
    if (n & 1) sum += uint32_t(p[n - 1]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

// An IPv4 packet from 10.7.0.2 to 198.51.100.7 around the given transport bytes.
std::vector<uint8_t> ipv4_packet(uint8_t proto, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> p(20 + body.size());
    std::copy(body.begin(), body.end(), p.begin() + 20);
    p[0] = 0x45;
    p[2] = uint8_t((20 + body.size()) >> 8);
    p[3] = uint8_t(20 + body.size());
    p[8] = 64;
    p[9] = proto;
    const uint8_t src[4] = {10, 7, 0, 2}, dst[4] = {198, 51, 100, 7};
    std::copy(src, src + 4, p.begin() + 12);
    std::copy(dst, dst + 4, p.begin() + 16);
    const uint16_t sum = inet_checksum(p.data(), 20);
    p[10] = uint8_t(sum >> 8);
    p[11] = uint8_t(sum);
    return p;
}

std::vector<uint8_t> icmp_echo(uint8_t type, const std::string& payload) {
    std::vector<uint8_t> b = {type, 0, 0, 0, 0x12, 0x34, 0x00, 0x01};
    b.insert(b.end(), payload.begin(), payload.end());
    const uint16_t sum = inet_checksum(b.data(), b.size());
    b[2] = uint8_t(sum >> 8);
    b[3] = uint8_t(sum);
    return b;
}

// The service's side lives in a namespace of its own: the reference
// server's TUN device there, 198.51.100.7 on its loopback, and a route back
// to the clients' tunnel addresses.
class RefserverTun : public Refserver {
protected:
    void SetUp() override {
        if (!svc.ok()) GTEST_SKIP() << "no network namespaces here (needs root and ip netns)";
        const std::string in = "ip -n " + svc.name() + " ";
        ASSERT_EQ(test_support::sh(in + "tuntap add " + dev + " mode tun"), 0);
        ASSERT_EQ(test_support::sh(in + "addr add 198.51.100.7/32 dev lo"), 0);
        ASSERT_EQ(test_support::sh(in + "link set " + dev + " up"), 0);
        ASSERT_EQ(test_support::sh(in + "route add 10.7.0.0/24 dev " + dev), 0);
        start({"--tun", dev, "--netns", svc.name(), "-v"});
        ASSERT_GE(rs.proc.wait_line("TUN " + dev, 5), 0);
    }
    // A UDP socket of the service's namespace at 198.51.100.7:7777.
    int udp_in_service() {
        const int target = open(("/run/netns/" + svc.name()).c_str(), O_RDONLY | O_CLOEXEC);
        const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = -1;
        if (target >= 0 && home >= 0 && setns(target, CLONE_NEWNET) == 0) {
            fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(7777);
            inet_pton(AF_INET, "198.51.100.7", &a.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(fd);
                fd = -1;
            }
            (void)!setns(home, CLONE_NEWNET);
        }
        if (target >= 0) close(target);
        if (home >= 0) close(home);
        return fd;
    }
    test_support::named_netns svc{test_support::unique_name("qrs")};
    std::string dev = test_support::unique_name("qrv");
};

TEST_F(RefserverTun, IcmpAndUdpMakeTheRoundTrip) {
    mini_client c(rs.port);
    login(c);

    // As ping does, the request goes again while no reply came: this
    // client repairs no loss of its own packets.
    for (int i = 0; i < 5 && c.tunnel.empty(); i++) {
        c.cmd_tunnel(ipv4_packet(1, icmp_echo(8, "ping through the session")));
        c.pump(3, [&] { return !c.tunnel.empty(); });
    }
    ASSERT_FALSE(c.tunnel.empty()) << "no echo reply came back\n" << [&] {
        std::string all;
        for (const std::string& l : rs.proc.lines()) all += l + "\n";
        return all;
    }();
    const std::vector<uint8_t>& reply = c.tunnel[0];
    ASSERT_EQ(reply.size(), 20u + 8 + 24);
    EXPECT_EQ(reply[9], 1);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 12, reply.begin() + 20),
              (std::vector<uint8_t>{198, 51, 100, 7, 10, 7, 0, 2}));
    EXPECT_EQ(reply[20], 0) << "an echo reply";
    EXPECT_EQ(std::string(reply.begin() + 28, reply.end()), "ping through the session");

    const int echo = udp_in_service();
    ASSERT_GE(echo, 0);
    const std::string payload = "datagram through the session";
    std::vector<uint8_t> udp = {0x15, 0xB3, 0x1E, 0x61, 0, uint8_t(8 + payload.size()), 0, 0};  // 5555 -> 7777
    udp.insert(udp.end(), payload.begin(), payload.end());
    c.tunnel.clear();
    char buf[256];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    timeval tv{2, 0};
    setsockopt(echo, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssize_t n = -1;
    for (int i = 0; i < 5 && n < 0; i++) {
        c.cmd_tunnel(ipv4_packet(17, udp));
        c.flush();
        n = recvfrom(echo, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
    }
    ASSERT_EQ(n, ssize_t(payload.size()));
    EXPECT_EQ(std::string(buf, size_t(n)), payload);
    EXPECT_EQ(ntohs(from.sin_port), 5555);
    ASSERT_EQ(sendto(echo, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), fl), n);
    close(echo);
    ASSERT_TRUE(c.pump(10, [&] { return !c.tunnel.empty(); })) << "no UDP answer came back";
    const std::vector<uint8_t>& back = c.tunnel[0];
    ASSERT_EQ(back.size(), 20u + 8 + payload.size());
    EXPECT_EQ(back[9], 17);
    EXPECT_EQ(back[22], 0x15);  // to port 5555
    EXPECT_EQ(back[23], 0xB3);
    EXPECT_EQ(std::string(back.begin() + 28, back.end()), payload);
}

TEST(RefserverTunOptions, NetnsNeedsTun) {
    e2e::temp_dir dir;
    std::vector<std::string> argv = {e2e::bin_path("refserver"), "--listen", "127.0.0.1:0", "--netns", "x"};
    e2e::process p;
    ASSERT_TRUE(p.start(argv, dir.path()));
    int status = 0;
    ASSERT_TRUE(p.wait_exit(10, &status));
    EXPECT_EQ(status, 2);
}

TEST(RefserverPacing, BucketHoldsTheAnnouncedRate) {
    struct rate_case {
        double rate;
        double burst;
    };
    const rate_case cases[] = {{1000, bucket_min_bytes}, {100000, bucket_min_bytes}, {1e6, 20000}, {1e8, 131072}};
    for (const rate_case& rc : cases) {
        token_bucket b;
        double now = 100.0;
        bucket_set_rate(b, rc.rate, now);
        EXPECT_DOUBLE_EQ(b.burst, rc.burst) << rc.rate;
        double sent = 0;
        while (bucket_may_send(b)) {  // the full bucket goes out at once
            bucket_take(b, 1472);
            sent += 1500;
        }
        const double step = 0.001;
        for (int i = 0; i < 10000; i++) {  // ten simulated seconds
            now += step;
            bucket_refill(b, now);
            while (bucket_may_send(b)) {
                bucket_take(b, 1472);
                sent += 1500;
            }
        }
        // Everything sent is the burst plus ten seconds at the rate, within
        // one datagram.
        EXPECT_NEAR(sent, rc.burst + 10 * rc.rate, 1500) << rc.rate;
    }
}

TEST(RefserverPacing, WaitTellsWhenTheNextDatagramMayGo) {
    token_bucket b;
    bucket_set_rate(b, 10000, 1.0);
    EXPECT_EQ(bucket_wait_s(b), 0);
    b.allowance = -999;
    EXPECT_NEAR(bucket_wait_s(b), 0.1, 1e-9);
    bucket_refill(b, 1.05);
    EXPECT_NEAR(b.allowance, -499, 1e-6);
    bucket_refill(b, 1.0);  // time going backwards changes nothing
    EXPECT_NEAR(b.allowance, -499, 1e-6);
    bucket_refill(b, 100.0);
    EXPECT_DOUBLE_EQ(b.allowance, b.burst);
}

}  // namespace
