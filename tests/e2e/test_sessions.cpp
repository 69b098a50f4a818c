// Sessions end to end: a refused login, a server that dies mid-transfer, a
// lossy and slow link, and streams that the server opens itself.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

// How a connection ends, after whatever data comes first: "end of file",
// "reset", "error N" or "time-out".
std::string how_it_ends(int fd, double timeout_s) {
    static char buf[65536];
    const double end = mono_now() + timeout_s;
    for (;;) {
        const long r = recv_some(fd, buf, sizeof buf, std::max(0.0, end - mono_now()));
        if (r == 0) return "end of file";
        if (r == -1) return "time-out";
        if (r == -2) return errno == ECONNRESET ? "reset" : "error " + std::to_string(errno);
    }
}

class Sessions : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bin_exists("quorin") && bin_exists("refserver")) << "engine or refserver not built";
    }
    void TearDown() override {
        if (HasFailure()) st.keep_for_diagnosis();
    }
    stack st;
};

TEST_F(Sessions, WrongPasswordClosesTheListener) {
    ASSERT_TRUE(st.start_refserver());
    st.remote.passwd = "wrong";
    ASSERT_TRUE(st.start_engine({{"socks5=1"}}));
    data_server echo(data_server::echo);
    // The first connection makes the session; the login is refused. The
    // engine resets that connection, on a busy machine before this side has
    // seen its connect done, so only the server's line tells it arrived.
    int first = tcp_connect("127.0.0.1", st.port(0));
    EXPECT_GE(st.rs.proc.wait_line("LOGIN refused alice", 10), 0);
    EXPECT_TRUE(st.engine.wait_log("Invalid username or password!!", 10));
    close_fd(first);
    // The next connection closes the listener: soon nobody accepts.
    EXPECT_TRUE(wait_until(
        [&] {
            int fd = tcp_connect("127.0.0.1", st.port(0), 1);
            const bool refused = fd < 0;
            close_fd(fd);
            return refused;
        },
        10, 0.1));
    EXPECT_TRUE(st.engine.wait_log("Please check login/password/balance", 5));
    EXPECT_EQ(st.rs.proc.count_lines("LOGIN ok"), 0u);
    EXPECT_TRUE(st.engine.proc.running());
}

TEST_F(Sessions, ServerRestartMidTransferResetsAndRecovers) {
    ASSERT_TRUE(st.start_refserver());
    ASSERT_TRUE(st.start_engine({{"socks5=1"}}));
    data_server echo(data_server::echo);
    int fd = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    ASSERT_GE(fd, 0);
    std::string login;
    ASSERT_GE(st.rs.proc.wait_line("LOGIN ok", 10, &login), 0);
    const uint32_t sid = refserver_proc::session_of(login);
    char buf[65536];
    ASSERT_TRUE(write_stream(fd, 1, 100000));
    ASSERT_TRUE(recv_exact(fd, buf, 100000 > sizeof buf ? sizeof buf : 100000, 10));

    // The traffic comes from a second stream of the session: a reset is
    // reported once, to whichever call meets it first, so nothing but the
    // reader below may touch the stream whose end is checked.
    int other = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    ASSERT_GE(other, 0);
    ASSERT_TRUE(write_stream(other, 2, 1000));
    ASSERT_TRUE(recv_exact(other, buf, 1000, 10));

    // The server dies without a word and comes back on the same port.
    const uint16_t port = st.rs.port;
    st.rs.proc.kill_hard();
    ASSERT_TRUE(st.rs.start(st.dir, {"--user", "alice:secret"}, "127.0.0.1", port));
    // Our traffic on the old session meets a server that does not know it.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop && write_stream(other, 2, 4096)) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", sid);
    EXPECT_GE(st.rs.proc.wait_line(std::string("UNKNOWN ") + hex, 20), 0);
    EXPECT_TRUE(st.engine.wait_log(std::string("reset session ") + hex, 10));
    // The transfer was cut: the application must not take it as complete.
    EXPECT_EQ("reset", how_it_ends(fd, 10));
    stop = true;
    writer.join();
    close_fd(fd);
    close_fd(other);

    // A new connection makes a new session with the new server.
    int again = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    ASSERT_GE(again, 0);
    ASSERT_TRUE(write_stream(again, 3, 50000));
    shutdown(again, SHUT_WR);
    std::string why;
    EXPECT_TRUE(check_stream(again, 3, 50000, 20, &why)) << why;
    EXPECT_GE(st.rs.proc.wait_line("LOGIN ok", 1, &login), 0);
    EXPECT_NE(refserver_proc::session_of(login), sid);
    close_fd(again);
}

TEST_F(Sessions, LossyDelayedLinkCarriesDataIntact) {
    ASSERT_TRUE(bin_exists("linkem")) << "linkem not built";
    ASSERT_TRUE(st.start_refserver());
    process link;
    ASSERT_TRUE(link.start({bin_path("linkem"), "--listen", "127.0.0.1:0", "--server",
                            "127.0.0.1:" + std::to_string(st.rs.port), "--loss", "5", "--delay", "300", "--seed",
                            "7"},
                           st.dir.path(), "", st.dir.file("linkem.err")));
    std::string line;
    ASSERT_GE(link.wait_line("LISTEN ", 10, &line), 0);
    st.remote.port = uint16_t(std::atoi(line.c_str() + 7));
    st.remote.speed_in = "400000:400000";
    st.remote.speed_out = "400000:400000";
    // A lost login would cost the session: send it a few times.
    ASSERT_TRUE(st.start_engine({{"socks5=1"}}, "authretry=3\n"));
    data_server echo(data_server::echo);
    data_server source(data_server::source, 300000, 21);
    int e = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    int down = socks5_connect_ip(st.port(0), "127.0.0.1", source.port());
    ASSERT_GE(e, 0);
    ASSERT_GE(down, 0);
    std::thread writer([&] {
        write_stream(e, 20, 200000);
        shutdown(e, SHUT_WR);
    });
    std::string why_echo, why_down;
    EXPECT_TRUE(check_stream(down, 21, 300000, 50, &why_down)) << why_down;
    EXPECT_TRUE(check_stream(e, 20, 200000, 50, &why_echo)) << why_echo;
    writer.join();
    close_fd(e);
    close_fd(down);
    // The loss was met and mended both ways: the engine asked for packets
    // again and sent packets again when asked.
    stat_line s;
    ASSERT_TRUE(parse_stat_line(st.engine.console_command("show stat\n"), &s));
    EXPECT_GT(s.asked, 0u);
    EXPECT_GT(s.resent, 0u);
}

// The application's end of file and the server's stop for the same stream
// met in one pass of the engine's loop: the end still reaches the server
// once the server says continue. The engine is held with SIGSTOP so that
// both wait for the same pass: the stop takes the stream off the ready list
// before its shutdown command is packed, and the continue must bring it back.
TEST_F(Sessions, EndOfFileMeetingAStopStillReachesTheServer) {
    ASSERT_TRUE(st.start_refserver({}, true));
    ASSERT_TRUE(st.start_engine({{"socks5=1"}}));
    data_server sink(data_server::sink);
    int fd = socks5_connect_ip(st.port(0), "127.0.0.1", sink.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_str(fd, "hello"));
    ASSERT_TRUE(sink.wait_accepted(1, 10));
    std::string open;
    ASSERT_GE(st.rs.proc.wait_line("OPEN ", 10, &open), 0);
    const std::string id = open.substr(open.find(' ', 5) + 1, open.rfind(' ') - open.find(' ', 5) - 1);

    st.engine.proc.signal(SIGSTOP);
    ASSERT_TRUE(st.engine.proc.wait_stopped(5));
    shutdown(fd, SHUT_WR);
    std::string reply;
    ASSERT_TRUE(st.rs.control("STOP " + id, &reply));
    EXPECT_EQ(reply, "OK\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the stop is on its way
    st.engine.proc.signal(SIGCONT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(st.rs.control("CONTINUE " + id, &reply));

    std::vector<data_server::sink_result> got;
    EXPECT_TRUE(sink.wait_sinks(1, 10, &got)) << "the end of file never reached the destination";
    if (!got.empty()) {
        EXPECT_EQ(got[0].bytes, 5u);
    }
    close_fd(fd);
}

// Junk for sessions nobody knows, on the socket of a live session: each
// datagram is still answered with a reset, the log stays small, and the
// session's transfer goes on byte-exact.
TEST_F(Sessions, JunkBurstLeavesTheLogSmallAndTheTransferByteExact) {
    ASSERT_TRUE(st.start_refserver());
    uint16_t udp_port = 0;  // the last port line is the session's socket
    for (int attempt = 0; attempt < 4 && !st.engine.proc.running(); attempt++)
        st.start_engine({{"socks5=1"}}, "port=127.0.0.1:" + std::to_string(udp_port = free_udp_port()) + "\n");
    ASSERT_TRUE(st.engine.proc.running());
    data_server echo(data_server::echo);
    int fd = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    ASSERT_GE(fd, 0);
    std::string login;
    ASSERT_GE(st.rs.proc.wait_line("LOGIN ok", 10, &login), 0);
    const uint32_t live = refserver_proc::session_of(login);
    std::atomic<bool> junk_done{false};
    bool transfer_ok = true;
    int rounds = 0;
    std::string why;
    std::thread transfer([&] {
        while (transfer_ok && (!junk_done || rounds < 2))
            transfer_ok = echo_roundtrip(fd, uint64_t(100 + rounds++), 256 << 10, 30, &why);
    });

    const size_t log_before = st.engine.log().size();
    const int junk = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(udp_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    constexpr int total = 10000;
    byte_stream noise(5);
    int resets = 0;
    // In batches, each answered before the next, so that no socket buffer drops any.
    for (int sent = 0; sent < total && resets == sent; sent += 100) {
        for (int i = 0; i < 100; i++) {
            uint8_t d[17 + 100];
            noise.fill(d, sizeof d);
            d[16] = 0x40;  // data, no resend requests, for a random session id
            if (std::memcmp(d, &live, 4) == 0) d[0] ^= 1;
            sendto(junk, d, 17 + d[17] % 100, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        }
        uint8_t r[64];
        while (resets < sent + 100 && recv_some(junk, r, sizeof r, 10) == 17 && r[16] == 0xC0) resets++;
    }
    close(junk);
    junk_done = true;
    transfer.join();
    EXPECT_EQ(resets, total);
    EXPECT_TRUE(transfer_ok) << why;

    // Every datagram is a line written or counted in a line of those left out.
    auto accounted = [&] {
        const std::string text = st.engine.log().substr(log_before), line = "unknown session ";
        long n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) n++;
        for (size_t at = text.find("session: "); at != std::string::npos; at = text.find("session: ", at + 1))
            n += std::atol(text.c_str() + at + 9);
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return accounted() == total; }, 10)) << accounted();
    EXPECT_LT(st.engine.log().size() - log_before, size_t(64 << 10));  // unbounded: about 750 KB
    close_fd(fd);
}

// A download cut by the loss of its session ends with a reset; one that the
// server's side finished before ends with its end of file, all bytes first.
TEST_F(Sessions, StreamsCutByTheSessionsEndAreReset) {
    const char* const commands[] = {"reset sessions\n", "shutdown\n"};
    for (const char* command : commands) {
        SCOPED_TRACE(command);
        stack one;
        ASSERT_TRUE(one.start_refserver());
        ASSERT_TRUE(one.start_engine({{"socks5=1"}}));
        data_server done(data_server::source, 300000, 7);
        data_server endless(data_server::source, uint64_t(1) << 40, 8);
        int finished = socks5_connect_ip(one.port(0), "127.0.0.1", done.port());
        ASSERT_GE(finished, 0);
        std::string why;
        EXPECT_TRUE(check_stream(finished, 7, 300000, 20, &why)) << why;
        int flowing = socks5_connect_ip(one.port(0), "127.0.0.1", endless.port());
        ASSERT_GE(flowing, 0);
        EXPECT_TRUE(check_stream(flowing, 8, 1 << 20, 20, &why, false)) << why;
        one.engine.console_command(command);
        EXPECT_EQ("reset", how_it_ends(flowing, 10));
        close_fd(finished);
        close_fd(flowing);
        if (HasFailure()) one.keep_for_diagnosis();
    }
}

class ServerOpens : public Sessions {
protected:
    // Logs in through one SOCKS connection, so that the server has a session
    // to open streams on.
    void start() {
        ASSERT_TRUE(st.start_refserver({}, true));
        ASSERT_TRUE(st.start_engine({{"socks5=1"}}));
        trigger_ = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
        ASSERT_GE(trigger_, 0);
        ASSERT_GE(st.rs.proc.wait_line("LOGIN ok", 10), 0);
    }
    void TearDown() override {
        close_fd(trigger_);
        Sessions::TearDown();
    }
    data_server echo{data_server::echo};
    int trigger_ = -1;
};

TEST_F(ServerOpens, InternalServiceOfTheEngineCarriesDataBothWays) {
    ASSERT_TRUE(st.start_refserver({}, true));
    const std::string services = "[services]\ninternal=3,127.0.0.1:" + std::to_string(echo.port()) + "\n";
    ASSERT_TRUE(st.start_engine({{"socks5=1"}}, services));
    trigger_ = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    ASSERT_GE(trigger_, 0);
    ASSERT_GE(st.rs.proc.wait_line("LOGIN ok", 10), 0);

    int ctl = tcp_connect("127.0.0.1", st.rs.control_port);
    ASSERT_GE(ctl, 0);
    ASSERT_TRUE(send_str(ctl, "OPENINT 3\n"));
    ASSERT_TRUE(write_stream(ctl, 30, 200000));
    shutdown(ctl, SHUT_WR);
    std::string why;
    EXPECT_TRUE(check_stream(ctl, 30, 200000, 20, &why)) << why;
    EXPECT_GE(st.rs.proc.wait_line("CONTROL open", 1), 0);
    close_fd(ctl);
}

TEST_F(ServerOpens, OpenToLocalhostIsRefusedAsAbuse) {
    start();
    const size_t before = st.engine.log_count("ABUSE: ext to localhost");
    int ctl = tcp_connect("127.0.0.1", st.rs.control_port);
    ASSERT_GE(ctl, 0);
    ASSERT_TRUE(send_str(ctl, "OPEN 127.0.0.1 " + std::to_string(echo.port()) + "\n"));
    // The engine answers with an end command: the bridge closes.
    EXPECT_TRUE(wait_closed(ctl, 10));
    EXPECT_TRUE(st.engine.wait_log("ABUSE: ext to localhost", 5, before + 1));
    // Only the trigger connection reached the echo server.
    EXPECT_TRUE(echo.wait_accepted(1, 5));
    EXPECT_EQ(echo.accepted(), 1);
    close_fd(ctl);
}

}  // namespace
