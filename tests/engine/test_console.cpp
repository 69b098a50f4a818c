// The control console, driven over loopback connections with a small
// dispatcher of its own and fake sessions in the ring.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pthread.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/config.h"
#include "engine/console.h"
#include "engine/globals.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "platform/net.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"

using namespace test_support;

namespace {

const std::string prefix = "[default][" + std::to_string(getpid()) + "]";
const char prompt[] = "Quorin>";

class ConsoleTest : public engine_testing::ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at = loopback(0);
        bind(rx, reinterpret_cast<sockaddr*>(&at), sizeof at);
        rx_port = ntohs(local_address(rx).sin_port);
        port = free_port(SOCK_STREAM);
        load("[server]\nport=127.0.0.1:0\ncontrol_socket=" + std::to_string(port) +
             "\n[remote]\nname=srv\nlogin=user\npasswd=pw\nserver=127.0.0.1:" + std::to_string(rx_port) +
             "\n[remote]\nname=two\nserver=127.0.0.1:" + std::to_string(rx_port) + "\n[local]\nremote=srv\nsocks5\n");
        base_count = fd_poll.count;
    }
    void TearDown() override {
        for (int c : clients) close(c);
        for (stx_session* s : sessions) delete s;
        session_head = nullptr;
        close(rx);
        ConfigFileTest::TearDown();
    }

    // One pass over the console entries, as the event loop dispatches them.
    // Downwards, so that an entry moved into a closed slot was already served.
    int pump(int wait_ms = 2000) {
        std::vector<pollfd> p(size_t(fd_poll.count));
        for (int i = 0; i < fd_poll.count; ++i) {
            const bool console = fd_poll.comp[i].type == fd_console_listener || fd_poll.comp[i].type == fd_console;
            p[size_t(i)] = {console ? fd_poll.entries[i].fd : -1, POLLIN, 0};
        }
        int ready = poll(p.data(), p.size(), wait_ms);
        for (int i = int(p.size()) - 1; i >= 0; --i) {
            if (!p[size_t(i)].revents) continue;
            cur_index = i;
            if (fd_poll.comp[i].type == fd_console_listener) control_accept();
            if (fd_poll.comp[i].type == fd_console) control_command();
        }
        return ready;
    }
    int open_client() {
        int c = tcp_connect(port);
        clients.push_back(c);
        pump();
        EXPECT_EQ(read_until(c, prompt), prompt);
        return c;
    }
    std::string command(int c, const std::string& text) {
        send(c, text.data(), text.size(), MSG_NOSIGNAL);
        pump();
        return read_until(c, prompt);
    }
    stx_session* add_session(uint32_t id, const char* name) {
        auto* s = new stx_session();
        s->session_id = id;
        std::snprintf(s->name, sizeof s->name, "%s", name);
        s->local_index = 0;
        s->server_addr = remote_table[0].server_addr;
        s->server_port = remote_table[0].server_port;
        s->tunnel_fd = -1;
        if (!session_head) {
            session_head = s;
            s->next = s->prev = s;
        } else {
            stx_session* last = session_head->prev;
            last->next = s;
            s->prev = last;
            s->next = session_head;
            session_head->prev = s;
        }
        sessions.push_back(s);
        return s;
    }
    // Datagrams that reached the fake server, without waiting for more.
    std::vector<std::string> server_datagrams() {
        std::vector<std::string> got;
        char buf[2048];
        pollfd p{rx, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            ssize_t n = recv(rx, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.emplace_back(buf, size_t(n));
        }
        return got;
    }

    int port = 0, rx = -1, rx_port = 0, base_count = 0;
    std::vector<int> clients;
    std::vector<stx_session*> sessions;
};

uint32_t le32(const std::string& s, size_t off) {
    uint32_t v;
    std::memcpy(&v, s.data() + off, 4);
    return v;
}

TEST_F(ConsoleTest, NewConnectionGetsPromptAndJoinsTheTable) {
    open_client();
    ASSERT_EQ(fd_poll.count, base_count + 1);
    const int i = fd_poll.count - 1;
    EXPECT_EQ(fd_poll.comp[i].type, fd_console);
    EXPECT_EQ(fd_poll.entries[i].events, ev_read);
    EXPECT_EQ(fd_poll.comp[i].session, nullptr);
    EXPECT_EQ(fd_poll.comp[i].local_delayed & local_index_mask, 0);
    EXPECT_TRUE(fcntl(fd_poll.entries[i].fd, F_GETFL) & O_NONBLOCK);
}

TEST_F(ConsoleTest, HelpIsLiteralWithoutPrefix) {
    int c = open_client();
    std::string dashes(88, '-');
    std::string expected = dashes +
                           "\n****                \t\tQuorin cli help\t\t\t\t\t   \t\t \t****\n"
                           "show sessions\t\t\t\tShow current active session\t\t\t\t\t\t\n"
                           "show session N\t\t\t\tShow session details\t\t\t\t\t\t\t\n"
                           "show stat\t\t\t\t\tShow process statistics\t\t\t\t\t\t\t\n"
                           "shutdown\t\t\t\t\tShutdown process (it will restart by watchdog)\t\n"
                           "quit \t\t\t\t\t\tQuit from here\t\t\t\t\t\t\t\t\t\n" +
                           dashes + "\n" + prompt;
    EXPECT_EQ(command(c, "help\n"), expected);
}

TEST_F(ConsoleTest, StatisticsLine) {
    int c = open_client();
    EXPECT_EQ(command(c, "show stat\n"), prefix + "/0/0/0/0/0/0/0.00/0/0/0.00\n" + prompt);
    stats.udp_in = 5000000000ULL;
    stats.udp_out = 2;
    stats.local_in = 3;
    stats.local_out = 4;
    stats.datagrams_received = 5;
    stats.resends_asked = 6;
    stats.datagrams_sent = 8;
    stats.resent = 9;
    EXPECT_EQ(command(c, "show stat\n"), prefix + "/5000000000/2/3/4/5/6/120.00/8/9/112.50\n" + prompt);
}

TEST_F(ConsoleTest, OnlyTheFirstWordsOfABlockCount) {
    int c = open_client();
    const std::string stat_line = prefix + "/0/0/0/0/0/0/0.00/0/0/0.00\n" + prompt;
    EXPECT_EQ(command(c, "show\r\nstat\r\n"), stat_line);
    EXPECT_EQ(command(c, "show stat show stat\n"), stat_line);
    EXPECT_EQ(command(c, "\tshow\x01stat\xff"), stat_line);
}

TEST_F(ConsoleTest, InputThatIsNoCommandGetsOnlyThePrompt) {
    int c = open_client();
    const char* inputs[] = {"x\n", "ab", "hello\n", "show\n", "show sessionz\n", "reset session 5\n",
                            "set session 1\n", "set speed_in\n", "set server\n", "SHOW STAT\n"};
    for (const char* in : inputs) {
        EXPECT_EQ(command(c, in), prompt) << in;
        EXPECT_EQ(remote_table[0].speed_in_min, 1000u) << in;
    }
    EXPECT_EQ(fd_poll.count, base_count + 1);
}

TEST_F(ConsoleTest, ShowSessions) {
    int c = open_client();
    EXPECT_EQ(command(c, "show sessions\n"), prefix + "No active sessions\n" + prompt);
    add_session(1234, "srv");
    add_session(0xFFFFFFFEu, "two");
    EXPECT_EQ(command(c, "show sessions\n"),
              prefix + "Active sessions:\n" + prefix + "ID: 1234, Name: 'srv'\n" + prefix + "ID: -2, Name: 'two'\n" +
                  prompt);
}

TEST_F(ConsoleTest, ShowSessionReplies) {
    int c = open_client();
    EXPECT_EQ(command(c, "show session 5\n"), prefix + "Error: No active sessions\n" + prompt);
    EXPECT_EQ(command(c, "show session 0\n"), prefix + "Error: Invalid session id\n" + prompt);
    stx_session* s = add_session(77, "srv");
    s->speed = 1500;
    s->speed_max = 3000;
    s->speed_min = 500;
    s->stream_count = 4;
    add_session(0xFFFFFFFEu, "two");

    struct reply_case {
        const char* in;
        std::string out;
    } cases[] = {
        {"show session 0\n", prefix + "Error: Invalid session id\n"},
        {"show session abc\n", prefix + "Error: Invalid session id\n"},
        {"show session\n", prefix + "Error: Invalid session id\n"},
        {"show session 78\n", ""},
        {"show session 1 2 77\n",
         prefix + "Session 77 information:\n" + prefix + "  Username\tsrv\n" + prefix +
             "  TX Speed\tCurrent 1500 Max 3000 Min 500 bps\n" + prefix + "  Sockets\t4\n" + prefix +
             "  Last RX packet\t0 (CONNECTING)\n"},
        {"show session -2\n", prefix + "Session -2 information:\n" + prefix + "  Username\ttwo\n" + prefix +
                                  "  TX Speed\tCurrent 0 Max 0 Min 0 bps\n" + prefix + "  Sockets\t0\n" + prefix +
                                  "  Last RX packet\t0 (CONNECTING)\n"},
        {"show session 4294967294\n", prefix + "Session -2 information:\n"},
    };
    for (const reply_case& rc : cases) {
        std::string got = command(c, rc.in);
        EXPECT_EQ(got.substr(0, rc.out.size()), rc.out) << rc.in;
        EXPECT_EQ(got.substr(got.size() - 7), prompt) << rc.in;
    }
    s->last_rx_pid = 12;
    EXPECT_NE(command(c, "show session 77\n").find(prefix + "  Last RX packet\t12 (WORKING)\n"), std::string::npos);
}

TEST_F(ConsoleTest, SetSpeedOutChangesRecordsAndSessionsAtOnce) {
    int c = open_client();
    stx_session* s = add_session(5, "srv");
    struct speed_case {
        const char* in;
        uint32_t lo, hi;
    } cases[] = {{"set speed_out 8000:1000\n", 1000, 1000},
                 {"set speed_out 500\n", 500, 500},
                 {"set speed_out 100 200:300\n", 200, 300}};
    for (const speed_case& sc : cases) {
        EXPECT_EQ(command(c, sc.in), prompt) << sc.in;
        for (int i = 0; i < remote_count; ++i) {
            EXPECT_EQ(remote_table[i].speed_out_min, sc.lo) << sc.in;
            EXPECT_EQ(remote_table[i].speed_out_max, sc.hi) << sc.in;
        }
        EXPECT_EQ(s->speed_min, sc.lo);
        EXPECT_EQ(s->speed, sc.lo);
        EXPECT_EQ(s->speed_max, sc.hi);
    }
}

TEST_F(ConsoleTest, SetSpeedInSendsLoginOfLiveSessions) {
    int c = open_client();
    add_session(5, "srv");
    stx_session* closing = add_session(6, "srv");
    closing->close_mark = 1;
    EXPECT_EQ(command(c, "set speed_in 8000:1000\n"), prompt);
    EXPECT_EQ(remote_table[0].speed_in_min, 1000u);
    EXPECT_EQ(remote_table[1].speed_in_max, 1000u);
    std::vector<std::string> got = server_datagrams();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), 121u);
    EXPECT_EQ(le32(got[0], 0), 5u);
    EXPECT_EQ(le32(got[0], 17 + 88), 1000u);
    EXPECT_EQ(le32(got[0], 17 + 92), 1000u);
    EXPECT_EQ(cur_session, nullptr);
}

TEST_F(ConsoleTest, SpeedsThatAreNoPositiveNumberAreRefusedAndChangeNothing) {
    int c = open_client();
    stx_session* s = add_session(77, "srv");
    s->speed = s->speed_max = 3000;
    s->speed_min = 500;
    for (const char* sub : {"speed_in ", "speed_out "}) {
        for (const char* arg : {"abc", "0", "0:100", "100:0", "-5", "12x", "1:", ":5", "1:2:3", "2147483648"}) {
            const std::string in = std::string("set ") + sub + arg + "\n";
            EXPECT_EQ(command(c, in), prefix + "Error: Invalid speed '" + arg +
                                          "': A or A:B expected, positive numbers of bytes per second\n" + prompt);
            EXPECT_NE(command(c, "show session 77\n").find("Current 3000 Max 3000 Min 500 bps"), std::string::npos)
                << in;
            EXPECT_EQ(remote_table[1].speed_in_min + remote_table[1].speed_in_max, 9000u) << in;
        }
    }
    EXPECT_TRUE(server_datagrams().empty());  // no login carried a refused speed
    EXPECT_EQ(command(c, "set speed_out 9:2147483647\n"), prompt);
    EXPECT_NE(command(c, "show session 77\n").find("Current 9 Max 2147483647 Min 9 bps"), std::string::npos);
}

TEST_F(ConsoleTest, ResetSessionsMarksAndResetsEach) {
    int c = open_client();
    stx_session* a = add_session(5, "srv");
    stx_session* b = add_session(6, "two");
    EXPECT_EQ(command(c, "reset sessions\n"), prompt);
    EXPECT_EQ(a->close_mark, 1);
    EXPECT_EQ(b->close_mark, 1);
    EXPECT_EQ(server_datagrams().size(), 2u);
}

TEST_F(ConsoleTest, SetServerMovesEveryRecordAndResets) {
    int c = open_client();
    stx_session* s = add_session(5, "srv");
    const uint16_t port_before = remote_table[0].server_port;
    resolve_set_impl(engine_testing::hosts_only);
    EXPECT_EQ(command(c, "set server no-such-host.invalid:1\n"), prompt);
    resolve_set_impl(nullptr);
    EXPECT_EQ(remote_table[0].server_addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(s->close_mark, 0);

    // An empty host is the local host.
    uint32_t local = 0;
    ASSERT_TRUE(resolve_ipv4("", &local));
    remote_table[0].server_addr = inet_addr("127.0.0.7");
    EXPECT_EQ(command(c, "set server :1\n"), prompt);
    EXPECT_EQ(remote_table[0].server_addr, local);
    EXPECT_EQ(s->close_mark, 1);
    s->close_mark = 0;

    EXPECT_EQ(command(c, "set server 127.0.0.9 127.0.0.5:9\n"), prompt);
    for (int i = 0; i < remote_count; ++i) EXPECT_EQ(remote_table[i].server_addr, inet_addr("127.0.0.5"));
    EXPECT_EQ(remote_table[0].server_port, port_before);
    EXPECT_EQ(s->close_mark, 1);
}

TEST_F(ConsoleTest, QuitLeavesTheTableAtOnceAndOthersWork) {
    int a = open_client();
    int b = open_client();
    int c = open_client();
    ASSERT_EQ(fd_poll.count, base_count + 3);
    const int slot_a = base_count;
    const int fd_c = fd_poll.entries[base_count + 2].fd;

    send(a, "quit\n", 5, MSG_NOSIGNAL);
    pump();
    char byte;
    EXPECT_EQ(recv(a, &byte, 1, 0), 0);  // closed, no prompt
    ASSERT_EQ(fd_poll.count, base_count + 2);
    EXPECT_EQ(fd_poll.entries[slot_a].fd, fd_c);  // the last entry took the slot
    EXPECT_EQ(fd_poll.comp[slot_a].type, fd_console);

    const std::string stat_line = prefix + "/0/0/0/0/0/0/0.00/0/0/0.00\n" + prompt;
    EXPECT_EQ(command(b, "show stat\n"), stat_line);
    EXPECT_EQ(command(c, "show stat\n"), stat_line);
}

TEST_F(ConsoleTest, ClosingUpdatesTheMovedStreamIndex) {
    int a = open_client();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    s_stream st{};
    int idx = fd_append(pair[0], ev_read, fd_stream, nullptr, &st, 0);
    st.fd_index = idx;
    const int slot_a = base_count;

    close(a);
    clients.clear();
    pump();
    ASSERT_EQ(fd_poll.count, idx);
    EXPECT_EQ(fd_poll.entries[slot_a].fd, pair[0]);
    EXPECT_EQ(fd_poll.comp[slot_a].stream, &st);
    EXPECT_EQ(st.fd_index, slot_a);
    close(pair[1]);
}

TEST_F(ConsoleTest, BinaryBytesAndLongLinesAreSurvived) {
    int c = open_client();
    std::string binary;
    for (int i = 0; i < 512; ++i) binary.push_back(char(i & 0xFF));
    send(c, binary.data(), binary.size(), MSG_NOSIGNAL);
    pump();
    EXPECT_EQ(read_until(c, prompt), prompt);

    // 64 KiB without a line end: read in blocks of rcvbuf, each block a command.
    std::string line(65536, 'A');
    size_t sent = 0;
    fcntl(c, F_SETFL, fcntl(c, F_GETFL) | O_NONBLOCK);
    std::string replies;
    char buf[65536];
    for (int rounds = 0; rounds < 10000 && (sent < line.size() || pump(0) > 0); ++rounds) {
        if (sent < line.size()) {
            ssize_t n = send(c, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n > 0) sent += size_t(n);
            pump(100);
        }
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n > 0) replies.append(buf, size_t(n));
    }
    EXPECT_EQ(sent, line.size());
    fcntl(c, F_SETFL, fcntl(c, F_GETFL) & ~O_NONBLOCK);
    // The line is used up; a command after it is its own block.
    const std::string stat_reply = prefix + "/0/0/0/0/0/0/0.00/0/0/0.00\n" + prompt;
    send(c, "show stat\n", 10, MSG_NOSIGNAL);
    pump();
    replies += read_until(c, stat_reply);
    ASSERT_GE(replies.size(), stat_reply.size());
    EXPECT_EQ(replies.substr(replies.size() - stat_reply.size()), stat_reply);
    size_t prompts = 0;
    for (size_t at = replies.find(prompt); at != std::string::npos; at = replies.find(prompt, at + 1)) ++prompts;
    EXPECT_GE(prompts, size_t(65536 / 4076 + 1) + 1);
    EXPECT_EQ(replies.find("[default]"), replies.size() - stat_reply.size());
    EXPECT_EQ(fd_poll.count, base_count + 1);
}

TEST_F(ConsoleTest, ThousandConnectionsOpenedAndDropped) {
    for (int batch = 0; batch < 10; ++batch) {
        std::vector<int> batch_clients;
        for (int i = 0; i < 100; ++i) {
            int c = tcp_connect(port);
            ASSERT_GE(c, 0);
            batch_clients.push_back(c);
        }
        for (int i = 0; i < 100 && fd_poll.count < base_count + 100; ++i) pump();
        ASSERT_EQ(fd_poll.count, base_count + 100);
        for (int c : batch_clients) close(c);
        for (int i = 0; i < 1000 && fd_poll.count > base_count; ++i) pump();
        ASSERT_EQ(fd_poll.count, base_count);
    }
    int c = open_client();
    EXPECT_EQ(command(c, "show stat\n"), prefix + "/0/0/0/0/0/0/0.00/0/0/0.00\n" + prompt);
}

TEST_F(ConsoleTest, ShutdownWithoutInterfaceEndsTheProcess) {
    int c = open_client();
    add_session(5, "srv");
    child_result r = run_child([&] {
        send(c, "shutdown\n", 9, MSG_NOSIGNAL);
        pump();
        std::printf("still running\n");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.out.find("still running"), std::string::npos);
    EXPECT_EQ(server_datagrams().size(), 1u);  // the session's reset
}

std::function<void()> engine_pass;

void* run_engine_pass(void*) {
    engine_pass();
    return nullptr;
}

struct shutdown_case {
    bool end_work;
    std::vector<std::string> lines;
};

class ShutdownTest : public ConsoleTest, public ::testing::WithParamInterface<shutdown_case> {};

TEST_P(ShutdownTest, SequenceWithInterface) {
    int c = open_client();
    const bool end_work = GetParam().end_work;
    child_result r = run_child([&] {
        runtime.debug = 1;
        runtime.log_file = stdout;
        ui.UIStartStat = [](int) {};
        ui.UIQuit = [] { std::printf("UIQuit called\n"); };
        if (end_work) tun.end_work = [] { std::printf("end_work called\n"); };
        send(c, "shutdown\n", 9, MSG_NOSIGNAL);
        // The engine runs on a thread of the interface, and the shutdown ends that thread.
        engine_pass = [this] {
            pump();
            std::printf("still running\n");
        };
        pthread_t t;
        pthread_create(&t, nullptr, run_engine_pass, nullptr);
        pthread_join(t, nullptr);
        std::printf("engine thread ended\n");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.find("still running"), std::string::npos);
    EXPECT_NE(r.out.find("Good bye. Have a nice day.\nengine thread ended\n"), std::string::npos) << r.out;
    size_t at = 0;
    for (const std::string& line : GetParam().lines) {
        size_t found = r.out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << r.out;
        at = found + line.size();
    }
    EXPECT_EQ(r.out.find("Restoring routes") != std::string::npos, end_work);
}

INSTANTIATE_TEST_SUITE_P(
    Roads, ShutdownTest,
    ::testing::Values(shutdown_case{true,
                                    {"]Shutdown command recieved\n", "]Restoring routes\n", "]Stopping TAP\n",
                                     "end_work called\n", "]Closing UI\n", "UIQuit called\n",
                                     "]Good bye. Have a nice day.\n"}},
                      shutdown_case{false,
                                    {"]Shutdown command recieved\n", "]Closing UI\n", "UIQuit called\n",
                                     "]Good bye. Have a nice day.\n"}}));

}  // namespace
