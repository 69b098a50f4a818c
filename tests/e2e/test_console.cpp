// The engine's control console against a running engine and reference
// server: exact texts, the statistics line against the server's own counts,
// and the commands that act on sessions.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

const char* const help_text =
    "----------------------------------------------------------------------------------------\n"
    "****                \t\tQuorin cli help\t\t\t\t\t   \t\t \t****\n"
    "show sessions\t\t\t\tShow current active session\t\t\t\t\t\t\n"
    "show session N\t\t\t\tShow session details\t\t\t\t\t\t\t\n"
    "show stat\t\t\t\t\tShow process statistics\t\t\t\t\t\t\t\n"
    "shutdown\t\t\t\t\tShutdown process (it will restart by watchdog)\t\n"
    "quit \t\t\t\t\t\tQuit from here\t\t\t\t\t\t\t\t\t\n"
    "----------------------------------------------------------------------------------------\n";

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%x", v);
    return b;
}

class Console : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bin_exists("quorin") && bin_exists("refserver")) << "engine or refserver not built";
        // One name for the [remote] record and the login, so that either
        // reading of the console's user name shows it.
        st.remote.name = "alice";
        ASSERT_TRUE(st.start_refserver({}, true));
        local_conf socks("socks5=1");
        socks.remote = "alice";
        ASSERT_TRUE(st.start_engine({socks}));
        ASSERT_TRUE(con.open(st.engine.console_port));
        prefix = "[default][" + std::to_string(st.engine.proc.pid()) + "]";
    }

    // Opens a connection through the engine (making the session) and
    // returns the server's session id.
    uint32_t connect_session(size_t nth = 1) {
        conn = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
        EXPECT_GE(conn, 0);
        long at = -1;
        std::string line;
        for (size_t i = 0; i < nth; i++) {
            at = st.rs.proc.wait_line("LOGIN ok", 10, &line, size_t(at + 1));
            if (at < 0) return 0;
        }
        return refserver_proc::session_of(line);
    }

    std::string cmd(const std::string& text) {
        std::string reply;
        EXPECT_TRUE(con.command(text, &reply)) << text;
        return reply;
    }

    void TearDown() override {
        close_fd(conn);
        if (HasFailure()) st.keep_for_diagnosis();
    }

    stack st;
    console con;
    data_server echo{data_server::echo};
    std::string prefix;
    int conn = -1;
};

TEST_F(Console, PromptAndHelpAreExact) {
    int raw = tcp_connect("127.0.0.1", st.engine.console_port);
    ASSERT_GE(raw, 0);
    char first[7];
    ASSERT_TRUE(recv_exact(raw, first, 7, 5));
    EXPECT_EQ(std::string(first, 7), "Quorin>");
    ASSERT_TRUE(send_str(raw, "help\n"));
    const std::string want = std::string(help_text) + "Quorin>";
    std::string got(want.size(), '\0');
    ASSERT_TRUE(recv_exact(raw, &got[0], got.size(), 5));
    EXPECT_EQ(got, want);
    close_fd(raw);
}

TEST_F(Console, ShowStatWordsInOneBlockWithLineEnds) {
    const std::string reply = cmd("show\r\nstat\r\n");
    EXPECT_EQ(reply.rfind(prefix + "/", 0), 0u) << reply;
    stat_line s;
    EXPECT_TRUE(parse_stat_line(reply, &s)) << reply;
    EXPECT_EQ(s.received, 0u);
    EXPECT_EQ(s.asked_pct, 0.0);
    EXPECT_EQ(s.resent_pct, 0.0);
}

TEST_F(Console, StatisticsFollowATransferAndCountUdpHeaders) {
    stat_line before;
    ASSERT_TRUE(parse_stat_line(cmd("show stat\n"), &before));
    connect_session();
    std::string why;
    ASSERT_TRUE(echo_roundtrip(conn, 8, 500000, 30, &why)) << why;
    stat_line after;
    ASSERT_TRUE(parse_stat_line(cmd("show stat\n"), &after));
    EXPECT_GT(after.udp_in, before.udp_in + 500000);
    EXPECT_GT(after.udp_out, before.udp_out + 500000);
    EXPECT_GT(after.local_in, before.local_in + 500000);
    EXPECT_GT(after.local_out, before.local_out + 500000);
    EXPECT_GT(after.received, before.received);
    EXPECT_GT(after.sent, before.sent);

    // Against the server's own counts, once nothing is on its way: every
    // datagram counts 28 bytes of IP and UDP headers on top.
    bool matched = false;
    for (int attempt = 0; attempt < 50 && !matched; attempt++) {
        stat_line a, b;
        std::string rs_line;
        ASSERT_TRUE(parse_stat_line(cmd("show stat\n"), &a));
        ASSERT_TRUE(st.rs.stats(&rs_line));
        ASSERT_TRUE(parse_stat_line(cmd("show stat\n"), &b));
        unsigned long long sent_d, sent_b, recv_d, recv_b;
        ASSERT_EQ(std::sscanf(rs_line.c_str(), "STATS sent %llu %llu recv %llu %llu", &sent_d, &sent_b, &recv_d, &recv_b),
                  4)
            << rs_line;
        if (a.udp_in != b.udp_in || a.udp_out != b.udp_out) continue;  // something moved meanwhile
        matched = b.received == sent_d && b.udp_in == sent_b + 28 * sent_d && b.sent == recv_d &&
                  b.udp_out == recv_b + 28 * recv_d;
        if (!matched) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (attempt == 49) {
            ADD_FAILURE() << "engine " << b.received << " datagrams " << b.udp_in << " bytes in, " << b.sent
                          << " datagrams " << b.udp_out << " bytes out; server: " << rs_line;
        }
    }
    EXPECT_TRUE(matched);
}

TEST_F(Console, ShowSessionsAndOneSession) {
    EXPECT_EQ(cmd("show sessions\n"), prefix + "No active sessions\n");
    EXPECT_EQ(cmd("show session 5\n"), prefix + "Error: No active sessions\n");
    const uint32_t sid = connect_session();
    ASSERT_NE(sid, 0u);
    const std::string id = std::to_string(int32_t(sid));
    // Until the server's first data packet the session shows CONNECTING.
    std::string why;
    ASSERT_TRUE(echo_roundtrip(conn, 9, 1000, 10, &why)) << why;
    EXPECT_EQ(cmd("show sessions\n"), prefix + "Active sessions:\n" + prefix + "ID: " + id + ", Name: 'alice'\n");
    const std::string one = cmd("show session " + id + "\n");
    EXPECT_NE(one.find(prefix + "Session " + id + " information:\n"), std::string::npos) << one;
    EXPECT_NE(one.find(prefix + "  Username\talice\n"), std::string::npos) << one;
    EXPECT_NE(one.find(prefix + "  TX Speed\tCurrent 20000000 Max 20000000 Min 20000000 bps\n"), std::string::npos)
        << one;
    EXPECT_NE(one.find(prefix + "  Sockets\t1\n"), std::string::npos) << one;
    EXPECT_NE(one.find(" (WORKING)\n"), std::string::npos) << one;
    struct bad_id {
        const char* arg;
        std::string reply;
    };
    const bad_id cases[] = {
        {"0", prefix + "Error: Invalid session id\n"},
        {"abc", prefix + "Error: Invalid session id\n"},
        {"12345", ""},  // no such session: only the prompt
    };
    for (const bad_id& c : cases) EXPECT_EQ(cmd(std::string("show session ") + c.arg + "\n"), c.reply) << c.arg;
}

TEST_F(Console, SetSpeedsReachTheSessionAndTheServer) {
    const uint32_t sid = connect_session();
    ASSERT_NE(sid, 0u);
    EXPECT_EQ(cmd("set speed_in 8000:1000\n"), "");
    // The login goes out again carrying the new speeds, the larger one
    // lowered to the smaller.
    EXPECT_GE(st.rs.proc.wait_line("LOGIN repeat alice session " + hex(sid) + " speed_in 1000:1000", 10), 0);
    EXPECT_EQ(cmd("set speed_out 2000:5000\n"), "");
    const std::string one = cmd("show session " + std::to_string(int32_t(sid)) + "\n");
    EXPECT_NE(one.find("  TX Speed\tCurrent 2000 Max 5000 Min 2000 bps\n"), std::string::npos) << one;
}

TEST_F(Console, ResetSessionsStartsANewSession) {
    const uint32_t first = connect_session();
    ASSERT_NE(first, 0u);
    EXPECT_EQ(cmd("reset sessions\n"), "");
    EXPECT_GE(st.rs.proc.wait_line("RESET " + hex(first), 10), 0);
    EXPECT_TRUE(wait_closed(conn, 10));
    close_fd(conn);
    const uint32_t second = connect_session(2);
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
}

TEST_F(Console, SetServerMovesNewSessions) {
    // The console takes a host only: the second server listens on another
    // loopback address with the same port.
    refserver_proc other;
    ASSERT_TRUE(other.start(st.dir, {"--user", "alice:secret"}, "127.0.0.2", st.rs.port));
    const uint32_t first = connect_session();
    ASSERT_NE(first, 0u);
    EXPECT_EQ(cmd("set server 127.0.0.2\n"), "");
    EXPECT_GE(st.rs.proc.wait_line("RESET " + hex(first), 10), 0);
    close_fd(conn);
    conn = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    ASSERT_GE(conn, 0);
    EXPECT_GE(other.proc.wait_line("LOGIN ok alice", 10), 0);
    ASSERT_TRUE(send_str(conn, "moved"));
    char back[5];
    EXPECT_TRUE(recv_exact(conn, back, 5, 10));
    EXPECT_EQ(st.rs.proc.count_lines("LOGIN ok"), 1u);
}

TEST_F(Console, QuitClosesOnlyThatConnection) {
    console other;
    ASSERT_TRUE(other.open(st.engine.console_port));
    std::string reply;
    ASSERT_TRUE(send_str(con.fd(), "quit\n"));
    EXPECT_TRUE(wait_closed(con.fd(), 5));
    ASSERT_TRUE(other.command("show stat\n", &reply));
    stat_line s;
    EXPECT_TRUE(parse_stat_line(reply, &s)) << reply;
    EXPECT_TRUE(st.engine.proc.running());
}

TEST_F(Console, ShutdownResetsSessionsAndEndsTheEngine) {
    const uint32_t sid = connect_session();
    ASSERT_NE(sid, 0u);
    ASSERT_TRUE(send_str(con.fd(), "shutdown\n"));
    EXPECT_GE(st.rs.proc.wait_line("RESET " + hex(sid), 10), 0);
    int status = -1;
    ASSERT_TRUE(st.engine.proc.wait_exit(10, &status));
    EXPECT_EQ(status, 255);
}

}  // namespace
