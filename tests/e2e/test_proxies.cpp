// The engine's listeners end to end: curl through SOCKS 5, 5h, 4 and 4a, our
// own SOCKS clients for the corners curl does not take, and the service_ext,
// mux and tproxy listeners, each carried to the reference server and on to
// a local data server.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

constexpr uint64_t body_bytes = 300000;
constexpr uint64_t body_seed = 42;

// Runs curl through the given proxy URL and checks the downloaded body.
void curl_through(stack& st, const std::string& proxy, const std::string& url) {
    ASSERT_EQ(0, access("/usr/bin/curl", X_OK)) << "no /usr/bin/curl (./run installs it)";
    const std::string out = st.dir.file("body.bin");
    process curl;
    ASSERT_TRUE(curl.start({"/usr/bin/curl", "--silent", "--show-error", "--max-time", "30", "--proxy", proxy,
                            "--noproxy", "", "--output", out, url},
                           st.dir.path(), st.dir.file("curl.out"), st.dir.file("curl.err")));
    int status = -1;
    ASSERT_TRUE(curl.wait_exit(40, &status));
    ASSERT_EQ(status, 0) << st.dir.read("curl.err");
    const std::string body = st.dir.read("body.bin");
    EXPECT_EQ(body.size(), body_bytes);
    EXPECT_EQ(md5_hex(body), md5_hex_of_stream(body_seed, body_bytes));
}

class Proxies : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bin_exists("quorin") && bin_exists("refserver")) << "engine or refserver not built";
        ASSERT_TRUE(st.start_refserver());
    }
    void TearDown() override {
        if (HasFailure()) st.keep_for_diagnosis();
    }
    stack st;
    data_server web{data_server::http, body_bytes, body_seed};
    data_server echo{data_server::echo};
};

TEST_F(Proxies, CurlThroughSocks5Variants) {
    ASSERT_TRUE(st.start_engine({{"socks5=1"}, {"service_int=2"}}));
    const std::string web_port = std::to_string(web.port());
    struct curl_case {
        const char* scheme;
        size_t listener;
        const char* host;
        bool name_sent;  // the engine hands the name on to the server
    };
    const curl_case cases[] = {
        {"socks5", 0, "127.0.0.1", false},
        {"socks5h", 0, "localhost", true},
        {"socks5", 1, "127.0.0.1", false},  // service_int 2 is SOCKS 5 too
    };
    for (const curl_case& c : cases) {
        SCOPED_TRACE(c.scheme);
        const size_t lines = st.rs.proc.line_count();
        curl_through(st, std::string(c.scheme) + "://127.0.0.1:" + std::to_string(st.port(c.listener)),
                     std::string("http://") + c.host + ":" + web_port + "/file");
        // The server was asked for the name itself, or for the address.
        std::string open;
        EXPECT_GE(st.rs.proc.wait_line("OPEN ", 1, &open, lines), 0);
        EXPECT_NE(open.find(std::string(" ") + (c.name_sent ? c.host : "127.0.0.1") + ":" + web_port),
                  std::string::npos)
            << open;
    }
    EXPECT_TRUE(st.engine.wait_log("Socks5: Domain name", 1));
    EXPECT_TRUE(st.engine.wait_log("Socks5: IPv4 address", 1));
}

TEST_F(Proxies, CurlThroughSocks4And4a) {
    ASSERT_TRUE(st.start_engine({{"socks4=1"}}));
    const std::string proxy_port = std::to_string(st.port(0));
    const std::string web_port = std::to_string(web.port());
    curl_through(st, "socks4://127.0.0.1:" + proxy_port, "http://127.0.0.1:" + web_port + "/a");
    curl_through(st, "socks4a://127.0.0.1:" + proxy_port, "http://localhost:" + web_port + "/b");
    EXPECT_EQ(st.rs.proc.count_lines(" localhost:" + web_port), 1u);
    EXPECT_TRUE(st.engine.wait_log("Socks4a detected, hostname: localhost", 1));
}

TEST_F(Proxies, SocksRepliesAndCrossVersions) {
    ASSERT_TRUE(st.start_engine({{"socks4=1"}, {"socks5=1"}}));
    struct socks_case {
        const char* what;
        std::function<int(std::string*)> open;
        std::string reply;
    };
    const uint16_t ep = echo.port();
    const std::string port_be = {char(ep >> 8), char(ep & 0xFF)};
    const std::string lo = {127, 0, 0, 1};
    const std::vector<socks_case> cases = {
        // A SOCKS 5 greeting on the SOCKS 4 listener is served as SOCKS 5.
        {"socks5 on socks4 listener", [&](std::string* r) { return socks5_connect_ip(st.port(0), "127.0.0.1", ep, r); },
         std::string("\x05\x00\x00\x01", 4) + lo + port_be},
        {"socks4 on socks5 listener", [&](std::string* r) { return socks4_connect(st.port(1), "127.0.0.1", ep, "bob", r); },
         std::string("\x00\x5A", 2) + port_be + lo},
        {"socks4a with user id", [&](std::string* r) { return socks4a_connect(st.port(0), "localhost", ep, "u", r); },
         std::string("\x00\x5A", 2) + port_be + std::string("\x00\x00\x00\x01", 4)},
        {"socks5 by name", [&](std::string* r) { return socks5_connect_name(st.port(1), "localhost", ep, r); },
         std::string("\x05\x00\x00\x03\x09", 5) + "localhost" + port_be},
    };
    for (const socks_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string reply;
        int fd = c.open(&reply);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(reply, c.reply);
        const std::string msg = std::string("ping through ") + c.what;
        ASSERT_TRUE(send_str(fd, msg));
        std::string back(msg.size(), '\0');
        EXPECT_TRUE(recv_exact(fd, &back[0], back.size(), 10));
        EXPECT_EQ(back, msg);
        close_fd(fd);
    }
}

TEST_F(Proxies, ServiceExtAndMuxCarryToTheirDestination) {
    ASSERT_TRUE(st.start_engine({{"service_ext=127.0.0.1:" + std::to_string(echo.port())}, {"mux=1"}}));
    int ext = tcp_connect("127.0.0.1", st.port(0));
    ASSERT_GE(ext, 0);
    ASSERT_TRUE(write_stream(ext, 5, 200000));
    shutdown(ext, SHUT_WR);
    std::string why;
    EXPECT_TRUE(check_stream(ext, 5, 200000, 20, &why)) << why;
    close_fd(ext);

    int mux = tcp_connect("127.0.0.1", st.port(1));
    ASSERT_GE(mux, 0);
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.1", &a);
    std::string header(reinterpret_cast<const char*>(&a), 4);
    header += char(echo.port() >> 8);
    header += char(echo.port() & 0xFF);
    header += '\0';
    ASSERT_TRUE(send_str(mux, header));
    // The header must be read on its own before the data follows.
    ASSERT_GE(st.rs.proc.wait_line("OPEN ", 10), 0);
    ASSERT_TRUE(write_stream(mux, 6, 100000));
    shutdown(mux, SHUT_WR);
    EXPECT_TRUE(check_stream(mux, 6, 100000, 20, &why)) << why;
    close_fd(mux);
    EXPECT_EQ(st.rs.proc.count_lines(" 127.0.0.1:" + std::to_string(echo.port())), 2u);
}

// A tproxy listener's destination is the address the client dialled. On
// loopback the engine listens on 0.0.0.0 and the client dials 127.0.0.2; the
// server must not dial 127.0.0.2 back (that is the engine's own listener),
// so it maps that one destination to the echo server and the test checks
// that the destination it was asked for is 127.0.0.2 and the listener port.
TEST_F(Proxies, TproxyOpensTheDialledAddress) {
    const uint16_t port = free_tcp_port();
    const std::string dialled = "127.0.0.2:" + std::to_string(port);
    st.rs.proc.kill_hard();
    ASSERT_TRUE(st.start_refserver({"--map", dialled + "=127.0.0.1:" + std::to_string(echo.port())}));
    ASSERT_TRUE(st.start_engine({local_conf("tproxy=1", "0.0.0.0", port)}));
    int fd = tcp_connect("127.0.0.2", port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_str(fd, "through tproxy"));
    std::string back(14, '\0');
    EXPECT_TRUE(recv_exact(fd, &back[0], back.size(), 10));
    EXPECT_EQ(back, "through tproxy");
    EXPECT_GE(st.rs.proc.wait_line(" " + dialled, 1), 0);
    close_fd(fd);
}

// The engine's CPU time so far, in seconds (user and system).
double cpu_seconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i < 14 && rest >> field; i++) {
    }
    unsigned long long utime = 0, stime = 0;
    rest >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Far more connections than descriptors: the engine neither spins nor loses
// its console. Listeners refuse what they may not take, the console answers
// on the descriptors kept for it (and an open console connection still
// answers once even those are gone), one line tells of the shortage, and
// connections are served again once the held ones close.
TEST_F(Proxies, RunningOutOfDescriptorsNeitherSpinsNorLosesTheConsole) {
    ASSERT_TRUE(st.start_engine({{"socks5=1"}}));
    const pid_t pid = st.engine.proc.pid();
    const rlimit low{64, 64};
    ASSERT_EQ(0, prlimit(pid, RLIMIT_NOFILE, &low, nullptr));
    std::vector<int> held;
    for (int i = 0; i < 100; i++) held.push_back(tcp_connect("127.0.0.1", st.port(0)));
    EXPECT_TRUE(st.engine.wait_log("Out of descriptors (limit 64)", 10));
    console first;
    std::string reply;
    ASSERT_TRUE(first.open(st.engine.console_port));
    EXPECT_TRUE(first.command("help\n", &reply));
    EXPECT_NE(std::string::npos, reply.find("Quorin cli help"));
    for (int i = 0; i < 30; i++) held.push_back(tcp_connect("127.0.0.1", st.engine.console_port));
    // Every descriptor below the limit is taken: the console listener meets
    // EMFILE too.
    auto open_fds = [&] {
        int n = 0;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
            n += std::atoi(e.path().filename().c_str()) < 64;
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return open_fds() == 64; }, 10)) << open_fds();

    const double before = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(cpu_seconds(pid) - before, 0.5);
    EXPECT_TRUE(first.command("help\n", &reply));
    EXPECT_NE(std::string::npos, reply.find("Quorin cli help"));

    for (int& fd : held) close_fd(fd);
    EXPECT_TRUE(wait_until(
        [&] {
            int fd = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
            const bool served = fd >= 0 && echo_roundtrip(fd, 9, 10000, 5);
            close_fd(fd);
            return served;
        },
        10, 0.1));
    EXPECT_EQ(1u, st.engine.log_count("Out of descriptors"));
}

}  // namespace
