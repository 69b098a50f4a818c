// Logging, fatal errors and the allocation wrappers.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/config.h"
#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "protocol/hooks.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"

#if defined(__SANITIZE_ADDRESS__)
// The exhaustion tests ask for impossible blocks; they must fail, not abort.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

using namespace test_support;

namespace {

const std::string pid_text = std::to_string(getpid());

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        globals_reset();
        file = std::tmpfile();
        runtime.log_file = file;
    }
    void TearDown() override {
        runtime.log_file = nullptr;
        std::fclose(file);
        runtime.udpdstlog_port = 0;
    }
    std::string file_text() { return engine_testing::read_all(file); }
    FILE* file = nullptr;
};

struct level_case {
    int debug;
    int level;
    bool written;
};

class LogLevelTest : public LogTest, public ::testing::WithParamInterface<level_case> {};

TEST_P(LogLevelTest, WrittenOnlyForLevelsZeroAndOneUpToDebug) {
    runtime.debug = GetParam().debug;
    log_msg(GetParam().level, "line %d\n", 42);
    EXPECT_EQ(file_text().find("line 42\n") != std::string::npos, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Levels, LogLevelTest,
                         ::testing::Values(level_case{0, 0, true}, level_case{0, 1, false}, level_case{1, 1, true},
                                           level_case{1, 0, true}, level_case{1, 2, false},
                                           level_case{1000, 2, false}, level_case{1000, 1000, false},
                                           level_case{-1, 0, false}, level_case{-5, 1, false}));

TEST_F(LogTest, FileLineIsTimeStampPidThenMessageWithoutPrefix) {
    log_msg(0, "hello %s %d\n", "world", 7);
    // "[dd/mm/yyyy hh:mm:ss]" with digits where the pattern has 9.
    const std::string stamp = "[99/99/9999 99:99:99]";
    std::string text = file_text();
    ASSERT_GT(text.size(), stamp.size());
    for (size_t i = 0; i < stamp.size(); ++i) {
        if (stamp[i] == '9')
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[i]))) << text;
        else
            EXPECT_EQ(text[i], stamp[i]) << text;
    }
    EXPECT_EQ(text.substr(stamp.size()), "[" + pid_text + "]hello world 7\n");
}

TEST_F(LogTest, SharedBufferHoldsThePrefixedLine) {
    std::snprintf(runtime.qrid, sizeof runtime.qrid, "%s", "edge-7");
    log_msg(0, "x=%d\n", 3);
    EXPECT_EQ(std::string(log_line), "[edge-7][" + pid_text + "]x=3\n");
}

TEST_F(LogTest, OverlongMessageIsCutToTheBuffer) {
    std::string big(5000, 'x');
    log_msg(0, "%s", big.c_str());
    std::string prefix = "[default][" + pid_text + "]";
    EXPECT_EQ(std::strlen(log_line), size_t(log_buffer_bytes - 1));
    std::string text = file_text();
    size_t body = text.find(']', text.find("][") + 2) + 1;  // behind the time stamp and pid
    EXPECT_EQ(text.size() - body, size_t(log_buffer_bytes - 1) - prefix.size());
}

TEST_F(LogTest, DatagramCopyCarriesThePrefix) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = loopback(0);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    at = local_address(rx);
    server_udp_fd = socket(AF_INET, SOCK_DGRAM, 0);
    runtime.udpdstlog_addr = at.sin_addr.s_addr;
    runtime.udpdstlog_port = at.sin_port;
    runtime.log_file = nullptr;

    log_msg(0, "copy %d\n", 5);
    log_msg(1, "not written\n");
    log_msg(0, "second\n");

    char buf[2048];
    ssize_t n = recv(rx, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, size_t(n)), "[default][" + pid_text + "]copy 5\n");
    n = recv(rx, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, size_t(n)), "[default][" + pid_text + "]second\n");
    close(server_udp_fd);
    server_udp_fd = -1;
    close(rx);
    runtime.log_file = file;
}

TEST_F(LogTest, ConfiguredCollectorGetsLinesWithoutALogFile) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = loopback(0);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    int port = ntohs(local_address(rx).sin_port);
    temp_dir dir;
    dir.write("quorin.conf", "[server]\nport=127.0.0.1:0\nudpdstlog=127.0.0.1:" + std::to_string(port) + "\n");
    runtime.log_file = nullptr;
    std::string path = dir.file("quorin.conf");
    config_file_name = path.c_str();
    poll_reset();
    read_config();
    EXPECT_EQ(runtime.log_file, nullptr);
    log_msg(0, "through the collector\n");
    char buf[2048];
    ssize_t n = recv(rx, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, size_t(n)), "[default][" + pid_text + "]through the collector\n");
    for (int i = 0; i < fd_poll.count; ++i) close(fd_poll.entries[i].fd);
    fd_poll.count = 0;
    server_udp_fd = -1;
    close(rx);
    config_file_name = "quorin.conf";
    runtime.log_file = file;
}

TEST_F(LogTest, WireCoreLogsThroughTheEngine) {
    log_install_protocol_hooks();
    proto_log(0, "from the core %d\n", 9);
    proto_log(1, "hidden\n");
    std::string text = file_text();
    EXPECT_NE(text.find("from the core 9\n"), std::string::npos);
    EXPECT_EQ(text.find("hidden"), std::string::npos);
}

TEST(FatalError, BoxTwoStdoutLinesAndStatusOne) {
    child_result r = run_child([] { fatal_error(42, "boom"); });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "CRITICAL ERROR: boom LINE 42\nCRITICAL ERROR: boom LINE 42\n");
    EXPECT_NE(r.err.find("Critical Error: boom"), std::string::npos) << r.err;
}

TEST_F(LogTest, FatalErrorReachesTheLogWhateverTheDebugLevel) {
    for (int debug : {0, 1}) {
        runtime.debug = debug;
        EXPECT_EQ(run_child([] { fatal_error(42, "boom"); }).code, 1);
    }
    const std::string text = file_text();
    size_t lines = 0;
    for (size_t at = text.find("]CRITICAL ERROR: boom LINE 42\n"); at != std::string::npos;
         at = text.find("]CRITICAL ERROR: boom LINE 42\n", at + 1))
        lines++;
    EXPECT_EQ(lines, 2u) << "one line per fatal error\n" << text;
}

TEST(FatalError, WireCoreFatalEndsTheProcess) {
    child_result r = run_child([] {
        log_install_protocol_hooks();
        proto_fatal(7, "core gave up");
    });
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("CRITICAL ERROR: core gave up LINE 7\n"), std::string::npos);
}

TEST(CrashMe, ReturnsWithDebugZeroAndIsFatalAboveIt) {
    child_result quiet = run_child([] {
        globals_reset();
        crash_me();
        std::printf("went on\n");
    });
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.out, "Crash me\nwent on\n");

    child_result loud = run_child([] {
        globals_reset();
        runtime.debug = 1;
        crash_me();
        std::printf("went on\n");
    });
    EXPECT_EQ(loud.code, 1);
    EXPECT_NE(loud.out.find("CRITICAL ERROR: Crash required\n"), std::string::npos);
    EXPECT_EQ(loud.out.find("went on"), std::string::npos);
}

TEST(Memory, MymallocZeroFillsOnRequest) {
    auto* p = static_cast<uint8_t*>(mymalloc(4096, 1));
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
    p = static_cast<uint8_t*>(myrealloc(p, 8192));
    p[8191] = 1;
    mem_free(p);
    mem_free(mymalloc(0, 1));
}

struct exhaustion_case {
    const char* name;
    void (*call)(size_t);
    const char* message;
};

volatile size_t impossible_bytes = SIZE_MAX / 2;

TEST(Memory, ExhaustionIsFatal) {
    const exhaustion_case cases[] = {
        {"mymalloc", [](size_t n) { mymalloc(n, 0); }, "virtual memory exhausted\n"},
        {"xmalloc", [](size_t n) { xmalloc(n); }, "virtual memory exhausted in xmalloc\n"},
        {"myrealloc", [](size_t n) { myrealloc(mymalloc(16, 0), n); }, "virtual memory exhausted\n"},
    };
    for (const exhaustion_case& c : cases) {
        child_result r = run_child([&c] {
            c.call(impossible_bytes);
            std::printf("survived\n");
        });
        EXPECT_EQ(r.code, 1) << c.name;
        EXPECT_NE(r.out.find(std::string("CRITICAL ERROR: ") + c.message), std::string::npos) << c.name << r.out;
        EXPECT_EQ(r.out.find("survived"), std::string::npos) << c.name;
    }
}

}  // namespace
