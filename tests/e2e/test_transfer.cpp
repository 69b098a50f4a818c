// Bulk data through the engine's SOCKS 5 listener and the reference server:
// megabytes both ways at once, many parallel connections, and one large
// download checked byte for byte.
#include <sys/socket.h>

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace {

using namespace e2e;

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bin_exists("quorin") && bin_exists("refserver")) << "engine or refserver not built";
    }
    void start(const std::string& speed, const std::vector<std::string>& rs_args = {}) {
        st.remote.speed_in = speed;
        st.remote.speed_out = speed;
        std::vector<std::string> args = {"-v"};
        args.insert(args.end(), rs_args.begin(), rs_args.end());
        ASSERT_TRUE(st.start_refserver(args));
        ASSERT_TRUE(st.start_engine({{"socks5=1"}}));
    }
    void TearDown() override {
        if (HasFailure()) st.keep_for_diagnosis();
    }
    stack st;
};

TEST_F(Transfer, MegabytesBothWaysAtOnceArriveIntact) {
    start("20000000:20000000");
    data_server echo(data_server::echo);
    data_server sink(data_server::sink);
    data_server source(data_server::source, 6u << 20, 11);
    constexpr uint64_t echo_bytes = 6u << 20;
    constexpr uint64_t up_bytes = 6u << 20;

    int e = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
    int up = socks5_connect_ip(st.port(0), "127.0.0.1", sink.port());
    int down = socks5_connect_ip(st.port(0), "127.0.0.1", source.port());
    ASSERT_GE(e, 0);
    ASSERT_GE(up, 0);
    ASSERT_GE(down, 0);
    bool echo_written = false, up_written = false;
    std::thread writer([&] {
        echo_written = write_stream(e, 10, echo_bytes);
        shutdown(e, SHUT_WR);
        up_written = write_stream(up, 12, up_bytes);
        shutdown(up, SHUT_WR);
    });
    std::string why_echo, why_down;
    bool down_ok = false;
    std::thread reader([&] { down_ok = check_stream(down, 11, 6u << 20, 60, &why_down); });
    const bool echo_ok = check_stream(e, 10, echo_bytes, 60, &why_echo);
    writer.join();
    reader.join();
    EXPECT_TRUE(echo_written);
    EXPECT_TRUE(up_written);
    EXPECT_TRUE(echo_ok) << why_echo;
    EXPECT_TRUE(down_ok) << why_down;
    std::vector<data_server::sink_result> sinks;
    ASSERT_TRUE(sink.wait_sinks(1, 60, &sinks));
    EXPECT_EQ(sinks[0].bytes, up_bytes);
    EXPECT_EQ(sinks[0].md5, md5_hex_of_stream(12, up_bytes));
    close_fd(e);
    close_fd(up);
    close_fd(down);
}

TEST_F(Transfer, TwoHundredParallelConnections) {
    start("20000000:20000000");
    data_server echo(data_server::echo);
    constexpr int conns = 200;
    constexpr uint64_t each = 20000;
    std::vector<int> fds;
    for (int i = 0; i < conns; i++) {
        const int fd = socks5_connect_ip(st.port(0), "127.0.0.1", echo.port());
        ASSERT_GE(fd, 0) << "connection " << i;
        fds.push_back(fd);
    }
    ASSERT_TRUE(echo.wait_accepted(conns, 30));
    for (int i = 0; i < conns; i++) {
        ASSERT_TRUE(write_stream(fds[size_t(i)], uint64_t(100 + i), each));
        shutdown(fds[size_t(i)], SHUT_WR);
    }
    for (int i = 0; i < conns; i++) {
        std::string why;
        EXPECT_TRUE(check_stream(fds[size_t(i)], uint64_t(100 + i), each, 30, &why)) << "connection " << i << ": " << why;
        close_fd(fds[size_t(i)]);
    }
    EXPECT_EQ(st.rs.proc.count_lines("LOGIN ok"), 1u);  // one session carries them all
    EXPECT_EQ(st.rs.proc.count_lines("OPEN "), size_t(conns));
}

// Named Large: the sanitizer run leaves it out.
TEST_F(Transfer, LargeDownloadOfFiftyMegabytesIsByteExact) {
    ASSERT_EQ(0, access("/usr/bin/curl", X_OK)) << "no /usr/bin/curl (./run installs it)";
    start("100000000:100000000");
    constexpr uint64_t bytes = 50u << 20;
    data_server web(data_server::http, bytes, 99);
    const std::string out = st.dir.file("large.bin");
    process curl;
    ASSERT_TRUE(curl.start({"/usr/bin/curl", "--silent", "--show-error", "--max-time", "90", "--proxy",
                            "socks5h://127.0.0.1:" + std::to_string(st.port(0)), "--noproxy", "", "--output", out,
                            "http://localhost:" + std::to_string(web.port()) + "/large"},
                           st.dir.path(), st.dir.file("curl.out"), st.dir.file("curl.err")));
    int status = -1;
    ASSERT_TRUE(curl.wait_exit(100, &status));
    ASSERT_EQ(status, 0) << st.dir.read("curl.err");
    const std::string body = st.dir.read("large.bin");
    EXPECT_EQ(body.size(), bytes);
    EXPECT_EQ(md5_hex(body), md5_hex_of_stream(99, bytes));
}

}  // namespace
