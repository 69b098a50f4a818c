// Start-up: the program's exit roads, the user-interface and tunnel library
// bindings, and the tunnel bring-up calls.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/config.h"
#include "engine/globals.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/startup.h"
#include "engine/tunnel.h"
#include "platform/adapters_fake.h"
#include "platform/dynlib.h"
#include "platform/net.h"
#include "platform/routes_fake.h"
#include "platform/sleep.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/engine_testing.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

const std::string libs = QUORIN_TEST_LIBS;

// A copy of the engine in a folder of its own, so that the libraries next to
// it are the ones a test puts there.
struct engine_copy {
    temp_dir dir;
    std::string binary;
    engine_copy() {
        binary = dir.file("quorin");
        fs::copy_file(std::string(QUORIN_BIN_DIR) + "/quorin", binary);
        chmod(binary.c_str(), 0755);
    }
    void add_library(const std::string& variant, const std::string& file) {
        fs::create_symlink(libs + "/" + variant + "/" + file, dir.file(file));
    }
};

const char banner[] = "QuorIn(tm) 5.0.16-RC, Build Jul 16 2010 16:51:55\n";

TEST(Program, MissingConfigEndsWithStatusOne) {
    engine_copy e;
    child_result r = run_program(e.binary, {}, e.dir.path);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out.rfind("Buffer size fifo 4096\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(banner), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Error: Config file open error2\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("error opening config file\n"), std::string::npos) << r.err;
}

// Ended (a zombie not yet waited for counts), without reaping it.
bool ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// A quorin.conf that is no regular file is a missing one, at once: a FIFO
// would hold the engine until some writer came, and a directory opens and
// reads as an empty file.
TEST(Program, ConfigThatIsNoRegularFileIsMissing) {
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "directory");
        engine_copy e;
        const std::string conf = e.dir.file("quorin.conf");
        ASSERT_EQ(fifo ? mkfifo(conf.c_str(), 0600) : mkdir(conf.c_str(), 0700), 0);
        program p = start_program(e.binary, {}, e.dir.path);
        const bool in_time = eventually([&] { return ended(p.pid); }, 1000);
        if (!in_time) kill(p.pid, SIGKILL);
        const child_result r = p.wait();
        EXPECT_TRUE(in_time) << "still running after 1 s";
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("Error: Config file open error2\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("error opening config file\n"), std::string::npos) << r.err;
    }
}

TEST(Program, MissingConfigMakesNoSocket) {
    temp_dir dir;
    std::string path = dir.file("quorin.conf");
    child_result r = run_child([&] {
        globals_reset();
        spare_socket = -1;
        config_file_name = path.c_str();
        // The spare socket is the first socket the reader makes.
        std::atexit([] { std::printf(spare_socket < 0 && fd_poll.count == 0 ? "no socket\n" : "socket made\n"); });
        engine_main(nullptr);
    });
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "no socket\n");
    EXPECT_EQ(r.err.find("Critical Error"), std::string::npos);
}

struct ui_case {
    std::vector<std::string> args;
    const char* result;
    const char* flag;  // as recorded; null: any non-zero flag
    int status;
};

class UiFlagTest : public ::testing::TestWithParam<ui_case> {};

TEST_P(UiFlagTest, FastStartFlagAndExitStatus) {
    engine_copy e;
    e.add_library("ui_full", "libquorin_ui.so");
    std::string record = e.dir.file("ui.record");
    child_result r = run_program(e.binary, GetParam().args, e.dir.path,
                                 {"QUORIN_TEST_UI_RECORD=" + record,
                                  std::string("QUORIN_TEST_UI_RESULT=") + GetParam().result});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, GetParam().status);
    std::string recorded = read_file(record);
    if (GetParam().flag)
        EXPECT_EQ(recorded, std::string("flag ") + GetParam().flag + "\n");
    else
        EXPECT_TRUE(recorded.rfind("flag ", 0) == 0 && recorded != "flag 0\n") << recorded;
}

INSTANTIATE_TEST_SUITE_P(Roads, UiFlagTest,
                         ::testing::Values(ui_case{{"faststart"}, "1", "0", 255},
                                           ui_case{{"faststartX"}, "1", "0", 255},
                                           ui_case{{"faststart", "again"}, "1", "1", 255},
                                           ui_case{{}, "1", "1", 255}, ui_case{{"fast"}, "1", nullptr, 255},
                                           ui_case{{"faststart"}, "0", "0", 1},
                                           ui_case{{}, "7", "1", 1}));

TEST(Program, UiWithoutLoginFormIsRefused) {
    engine_copy e;
    e.add_library("ui_no_show", "libquorin_ui.so");
    child_result r = run_program(e.binary, {}, e.dir.path);
    EXPECT_EQ(r.code, 255);
    EXPECT_NE(r.err.find("Error!: Invalid UI dll\n"), std::string::npos) << r.err;
}

int connect_with_retries(int port) {
    for (int i = 0; i < 500; ++i) {
        int fd = tcp_connect(port);
        if (fd >= 0) return fd;
        usleep(10000);
    }
    return -1;
}

struct stopped_run {
    child_result result;
    std::string log, record;
};

// A copy of the engine with a console and a log (and the stand-in interface,
// which runs it on a thread of its own, when asked), ended by `stop` once
// its console has answered.
stopped_run run_until_stopped(bool with_interface, const std::function<void(pid_t pid, int console)>& stop) {
    engine_copy e;
    if (with_interface) e.add_library("ui_full", "libquorin_ui.so");
    int port = free_port(SOCK_STREAM);
    e.dir.write("quorin.conf",
                "[server]\nport=127.0.0.1:0\nlog=quorin.log\ndebug=1\ncontrol_socket=" + std::to_string(port) + "\n");
    std::string record = e.dir.file("ui.record");
    program p = start_program(e.binary, {"faststart"}, e.dir.path,
                              {"QUORIN_TEST_UI_RECORD=" + record, "QUORIN_TEST_UI_RUN=1", "QUORIN_TEST_UI_RESULT=0"});
    int c = connect_with_retries(port);
    EXPECT_GE(c, 0);
    EXPECT_EQ(read_until(c, "Quorin>"), "Quorin>");
    if (c >= 0)
        stop(p.pid, c);
    else
        kill(p.pid, SIGKILL);
    stopped_run out{p.wait(), read_file(e.dir.file("quorin.log")), read_file(record)};
    if (c >= 0) close(c);
    return out;
}

void console_shutdown(pid_t, int console) { send(console, "shutdown\r\n", 10, MSG_NOSIGNAL); }

const char engine_thread_road[] = "flag 0\nprogress 1\nprogress 8\nstart stat 0\nquit 0\nengine thread ended 0\n";

TEST(Program, HeadlessEngineServesConsoleAndShutsDown) {
    const stopped_run run = run_until_stopped(false, console_shutdown);
    EXPECT_TRUE(run.result.exited);
    EXPECT_EQ(run.result.code, 255);
    EXPECT_NE(run.result.out.find(banner), std::string::npos);
}

TEST(Program, InterfaceRunsEngineOnItsThreadAndEndsWithIt) {
    const stopped_run run = run_until_stopped(true, console_shutdown);
    EXPECT_EQ(run.result.code, 1);
    EXPECT_EQ(run.record, engine_thread_road);
}

// SIGTERM, SIGINT and SIGHUP take the console's shutdown road, headless
// and with the interface running the engine on its thread.
TEST(Program, StopSignalsTakeTheShutdownRoad) {
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        for (bool with_interface : {false, true}) {
            SCOPED_TRACE(std::to_string(signo) + (with_interface ? " with the interface" : " headless"));
            const stopped_run run = run_until_stopped(with_interface, [signo](pid_t pid, int) { kill(pid, signo); });
            EXPECT_TRUE(run.result.exited);
            EXPECT_EQ(run.result.code, with_interface ? 1 : 255);
            EXPECT_NE(run.log.find("Signal " + std::to_string(signo) + " received\n"), std::string::npos) << run.log;
            EXPECT_NE(run.log.find("Shutdown command recieved\n"), std::string::npos) << run.log;
            if (with_interface) {
                EXPECT_EQ(run.record, engine_thread_road);
            }
        }
    }
}

// Before the interface started the engine, a stop signal ends the interface.
TEST(Program, StopSignalBeforeTheEngineEndsTheInterface) {
    engine_copy e;
    e.add_library("ui_full", "libquorin_ui.so");
    std::string record = e.dir.file("ui.record");
    program p = start_program(e.binary, {}, e.dir.path,
                              {"QUORIN_TEST_UI_RECORD=" + record, "QUORIN_TEST_UI_WAIT_QUIT=1", "QUORIN_TEST_UI_RESULT=0"});
    ASSERT_TRUE(eventually([&] { return read_file(record) == "flag 1\n"; }));
    kill(p.pid, SIGTERM);
    child_result r = p.wait();
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file(record), "flag 1\nquit 0\n");
}

// A name lookup of the configuration that a stop signal comes in: it holds
// the engine thread up to 10 s, until the interface was told to quit.
bool held_lookup(const char*, uint32_t* addr) {
    kill(getpid(), SIGTERM);
    const std::string record = std::getenv("QUORIN_TEST_UI_RECORD");
    eventually([&] { return read_file(record).find("quit") != std::string::npos; }, 10000);
    *addr = htonl(INADDR_LOOPBACK);
    return true;
}

// A stop signal while the engine prepares and has changed nothing on the
// machine ends the process at once, whatever holds the engine thread:
// status 255 headless, the interface's quit road with it. Nothing more of
// the file is acted on.
TEST(Program, StopSignalWhileTheEnginePreparesEndsAtOnce) {
    for (const bool with_interface : {false, true}) {
        SCOPED_TRACE(with_interface ? "with the interface" : "headless");
        temp_dir dir;
        const std::string conf = dir.file("quorin.conf"), log = dir.file("quorin.log"), record = dir.file("ui.record");
        dir.write("quorin.conf", "[server]\nlog=" + log + "\ndebug=1\n[remote]\nname=a\nserver=slow.example:5000\n"
                                 "[local]\nremote=a\nsocks5\nport=127.0.0.1:0\n");
        const auto start = std::chrono::steady_clock::now();
        const child_result r = run_child([&] {
            config_file_name = conf.c_str();
            // Headless: no library in that folder.
            dynlib_set_search_dir(with_interface ? libs + "/ui_full" : dir.path);
            setenv("QUORIN_TEST_UI_RECORD", record.c_str(), 1);
            setenv("QUORIN_TEST_UI_RUN", "1", 1);
            setenv("QUORIN_TEST_UI_RESULT", "0", 1);
            resolve_set_impl(held_lookup);
            char name[] = "quorin", faststart[] = "faststart";
            char* argv[] = {name, faststart, nullptr};
            quorin_main(2, argv);
        });
        const auto took_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string text = read_file(log);
        EXPECT_TRUE(r.exited);
        EXPECT_NE(text.find("Signal 15 received\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("Shutdown command recieved"), std::string::npos) << text;
        EXPECT_EQ(text.find("listening"), std::string::npos) << text;
        if (with_interface) {
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(read_file(record), "flag 0\nprogress 1\nquit 0\nengine thread ended 0\n");
        } else {
            EXPECT_EQ(r.code, 255);
            EXPECT_LT(took_s, 5) << "the lookup held the stop";
        }
    }
}

// Under nohup the hang-up stays ignored; a later SIGTERM still stops.
TEST(Program, IgnoredHangUpStaysIgnored) {
    engine_copy e;
    int port = free_port(SOCK_STREAM);
    e.dir.write("quorin.conf",
                "[server]\nport=127.0.0.1:0\nlog=quorin.log\ndebug=1\ncontrol_socket=" + std::to_string(port) + "\n");
    program p = start_program("/usr/bin/nohup", {e.binary}, e.dir.path);
    int c = connect_with_retries(port);
    ASSERT_GE(c, 0);
    close(c);
    // Were both taken, the lower number would be seen first.
    kill(p.pid, SIGHUP);
    kill(p.pid, SIGTERM);
    child_result r = p.wait();
    EXPECT_EQ(r.code, 255);
    const std::string log = read_file(e.dir.file("quorin.log"));
    EXPECT_NE(log.find("Signal 15 received\n"), std::string::npos) << log;
}

// The real interface library beside an engine that has no display: one
// line says so and the engine runs as without the library.
TEST(Program, NoDisplayRunsTheEngineWithoutTheInterface) {
    for (const char* display : {"DISPLAY=", "DISPLAY=:4093"}) {
        SCOPED_TRACE(display);
        engine_copy e;
        fs::create_symlink(std::string(QUORIN_BIN_DIR) + "/libquorin_ui.so", e.dir.file("libquorin_ui.so"));
        int port = free_port(SOCK_STREAM);
        e.dir.write("quorin.conf", "[server]\nport=127.0.0.1:0\ncontrol_socket=" + std::to_string(port) + "\n");
        program p = start_program(e.binary, {"faststart"}, e.dir.path, {display, "QT_QPA_PLATFORM=xcb"});
        int c = connect_with_retries(port);
        EXPECT_GE(c, 0);
        EXPECT_EQ(read_until(c, "Quorin>"), "Quorin>");
        send(c, "shutdown\n", 9, MSG_NOSIGNAL);
        child_result r = p.wait();
        close(c);
        EXPECT_TRUE(r.exited) << r.err;
        EXPECT_EQ(r.code, 255) << r.err;
        EXPECT_NE(r.err.find("Cannot open display \"" + std::string(display + 8) +
                             "\": running without the interface\n"),
                  std::string::npos)
            << r.err;
    }
}

// A fatal error of the engine while the interface runs ends the process
// through the interface's quit, with status 1 whatever the interface returns.
TEST(Program, FatalErrorWithTheInterfaceEndsThroughIt) {
    engine_copy e;
    e.add_library("ui_full", "libquorin_ui.so");
    int taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = loopback(0);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    e.dir.write("quorin.conf", "[server]\nport=127.0.0.1:" + std::to_string(ntohs(local_address(taken).sin_port)) + "\n");
    std::string record = e.dir.file("ui.record");
    child_result r = run_program(e.binary, {"faststart"}, e.dir.path,
                                 {"QUORIN_TEST_UI_RECORD=" + record, "QUORIN_TEST_UI_RUN=1", "QUORIN_TEST_UI_RESULT=1"});
    close(taken);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Critical Error: cannot bind server udp port\n"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(record), "flag 0\nprogress 1\nquit 0\nengine thread ended 0\n");
}

// ------------------------------------------------------------- bindings

TEST(Bindings, ProgressWithoutInterfaceIsMinusOne) {
    globals_reset();
    EXPECT_EQ(ui_progress(1), -1);
    ui.UIProgress = [](int stage) { return stage * 10; };
    EXPECT_EQ(ui_progress(3), 30);
    globals_reset();
}

struct tun_case {
    const char* variant;
    int available;
    int bound;  // of the sixteen names
    bool end_work;
};

class TunBindingTest : public ::testing::TestWithParam<tun_case> {};

int bound_names() {
    const void* names[] = {
        reinterpret_cast<void*>(tun.InitTun),          reinterpret_cast<void*>(tun.SetTunMediaStatus),
        reinterpret_cast<void*>(tun.SetTunPtP),        reinterpret_cast<void*>(tun.SetTunDHCP),
        reinterpret_cast<void*>(tun.SetTunDNS),        reinterpret_cast<void*>(tun.SetTunRedirIP),
        reinterpret_cast<void*>(tun.SetTunTcpListenPort), reinterpret_cast<void*>(tun.GetTcpRedirDstIP),
        reinterpret_cast<void*>(tun.GetTcpRedirDstPort), reinterpret_cast<void*>(tun.StartTunThread),
        reinterpret_cast<void*>(tun.SetTcpRedirPortFordel), reinterpret_cast<void*>(tun.SetTunControlPort),
        reinterpret_cast<void*>(tun.SetTapGuid),       reinterpret_cast<void*>(tun.end_work),
        tun.recvbuf,                                   tun.sendbuf,
    };
    int n = 0;
    for (const void* p : names) n += p != nullptr;
    return n;
}

TEST_P(TunBindingTest, RequiredNamesDecideAvailability) {
    globals_reset();
    // "real" is the library that the build makes, next to the engine.
    const std::string variant = GetParam().variant;
    dynlib_set_search_dir(variant == "real" ? std::string(QUORIN_BIN_DIR) : libs + "/" + variant);
    bind_tunnel_library();
    EXPECT_EQ(tunnel_available, GetParam().available);
    EXPECT_EQ(bound_names(), GetParam().bound);
    EXPECT_EQ(tun.end_work != nullptr, GetParam().end_work);
    dynlib_set_search_dir(QUORIN_BIN_DIR);
    globals_reset();
}

INSTANTIATE_TEST_SUITE_P(Variants, TunBindingTest,
                         ::testing::Values(tun_case{"real", 1, 16, true}, tun_case{"tun_no_guid", 0, 15, true},
                                           tun_case{"tun_no_end_work", 1, 15, false},
                                           tun_case{"ui_full", 0, 0, false}));

// ------------------------------------------------------------- tunnel bring-up

using engine_testing::sleeps;

std::vector<int> stages;

class TunnelTest : public engine_testing::ConfigFileTest {
protected:
    void SetUp() override {
        ConfigFileTest::SetUp();
        dynlib_set_search_dir(libs + "/tun_full");
        bind_tunnel_library();
        ASSERT_EQ(tunnel_available, 1);
        void* lib = dynlib_load(TUN_DLL);
        calls = reinterpret_cast<const char* (*)()>(dynlib_symbol(lib, "test_tun_calls"));
        reset = reinterpret_cast<void (*)()>(dynlib_symbol(lib, "test_tun_reset"));
        reset();
        stages.clear();
        sleeps.clear();
        ui.UIProgress = [](int stage) {
            stages.push_back(stage);
            return 0;
        };
        sleep_set_impl(engine_testing::record_sleep);
        // No address changes and no routes of this machine: the bring-up
        // sees an empty table and an adapter list without the device.
        adapters_fake::install({}, {});
        routes_fake::install({});
        route_log_name = route_log.c_str();
    }
    void TearDown() override {
        routes_reset();
        routes_fake::uninstall();
        adapters_fake::uninstall();
        route_log_name = "route.log";
        reset();
        sleep_set_impl(nullptr);
        dynlib_set_search_dir(QUORIN_BIN_DIR);
        ConfigFileTest::TearDown();
    }
    const char* (*calls)() = nullptr;
    void (*reset)() = nullptr;
    std::string route_log = dir.file("route.log");
};

struct bringup_case {
    int dhcp, dns_local;
    const char* calls;
    std::vector<int> stages;
    std::vector<uint32_t> sleeps;
};

class BringUpTest : public TunnelTest, public ::testing::WithParamInterface<bringup_case> {};

TEST_P(BringUpTest, LibraryCallsStagesAndWaitsInOrder) {
    int port = free_port(SOCK_STREAM);
    EXPECT_EQ(start_tun(inet_addr("10.7.0.2"), inet_addr("10.0.0.1"), inet_addr("127.0.0.1"), htons(uint16_t(port)),
                        3000, GetParam().dhcp, 0, GetParam().dns_local),
              1);
    std::string expected = GetParam().calls;
    expected.replace(expected.find("PORT"), 4, std::to_string(port));
    EXPECT_EQ(std::string(calls()), expected);
    EXPECT_EQ(stages, GetParam().stages);
    EXPECT_EQ(sleeps, engine_testing::in_slices(GetParam().sleeps));
}

INSTANTIATE_TEST_SUITE_P(
    Choices, BringUpTest,
    ::testing::Values(
        bringup_case{1, 0,
                     "InitTun;SetTunPtP(0a070002,0a000001);SetTunDHCP(0a070002,0a000001,360000);SetTunDNS(0a000001);"
                     "SetTunRedirIP(0a070002);SetTunControlPort(PORT);SetTunMediaStatus;StartTunThread;",
                     {2, 3, 4, 6},
                     {3000, 500, 500}},
        bringup_case{1, 1,
                     "InitTun;SetTunPtP(0a070002,0a000001);SetTunDHCP(0a070002,0a000001,360000);"
                     "SetTunRedirIP(0a070002);SetTunControlPort(PORT);SetTunMediaStatus;StartTunThread;",
                     {2, 3, 4, 6},
                     {3000, 500, 500}},
        bringup_case{0, 0,
                     "InitTun;SetTunPtP(0a070002,0a000001);SetTunRedirIP(0a070002);SetTunControlPort(PORT);"
                     "SetTunMediaStatus;StartTunThread;",
                     {2, 3, 6},
                     {500, 500}}));

TEST_F(TunnelTest, TunnelSectionConnectsControlConnection) {
    int port = free_port(SOCK_STREAM);
    int listen_port = free_port(SOCK_STREAM);
    std::string log_path = dir.file("engine.log");
    load("[server]\nlog=" + log_path +
         "\n[remote]\nname=srv\nserver=127.0.0.1:5000\n"
         "[local]\nremote=srv\ntap_guid={abc}\ntun_init=manual\nptp_ip=10.0.0.9\n"
         "tunnel=10.7.0.2:" +
         std::to_string(port) + "\n[local]\nremote=srv\ntransparent\nport=127.0.0.1:" + std::to_string(listen_port) +
         "\n");

    EXPECT_EQ(std::string(calls()),
              "SetTapGuid({abc});InitTun;SetTunPtP(0a070002,0a000009);SetTunRedirIP(0a070002);SetTunControlPort(" +
                  std::to_string(port) + ");SetTunMediaStatus;StartTunThread;SetTunTcpListenPort(" +
                  std::to_string(listen_port) + ");");
    ASSERT_EQ(fd_poll.count, 2);
    EXPECT_EQ(fd_poll.comp[0].type, fd_listener);
    EXPECT_EQ(fd_poll.comp[0].local_delayed & local_index_mask, 0);
    EXPECT_EQ(fd_poll.comp[1].type, fd_listener);
    EXPECT_EQ(fd_poll.comp[1].local_delayed & local_index_mask, 1);
    EXPECT_EQ(remote_table[0].tunnel_fd, fd_poll.entries[0].fd);
    EXPECT_EQ(local_table[0].mode, mode_tunnel);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    getpeername(fd_poll.entries[0].fd, reinterpret_cast<sockaddr*>(&peer), &len);
    EXPECT_EQ(ntohs(peer.sin_port), port);
    std::string log = read_file(log_path);
    EXPECT_NE(log.find("Starting tunnel dll.IP: 200070a port:" + [&] {
        char b[16];
        std::snprintf(b, sizeof b, "%x", htons(uint16_t(port)));
        return std::string(b);
    }() + " Timeout 0 seconds\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Tunnel start OK\n"), std::string::npos);
}

TEST_F(TunnelTest, IncompleteLibraryMakesTunnelSectionFatal) {
    dynlib_set_search_dir(libs + "/tun_no_guid");
    bind_tunnel_library();
    child_result r = run_child([&] { load("[local]\ntunnel=10.7.0.2:4000\n"); });
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Critical Error: TUN section present in config, but tun.dll not found or not up to date"),
              std::string::npos)
        << r.err;
}

TEST_F(TunnelTest, UnreachableControlPortIsFatal) {
    // The real library's packet thread binds the port it was told; another
    // socket bound there makes that fail, so nothing accepts the engine. The
    // device is named and does not exist: nothing on this machine is opened.
    dynlib_set_search_dir(QUORIN_BIN_DIR);
    bind_tunnel_library();
    ASSERT_EQ(tunnel_available, 1);
    int port = free_port(SOCK_STREAM);
    child_result r = run_child([&] {
        int blocker = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at = loopback(port);
        bind(blocker, reinterpret_cast<sockaddr*>(&at), sizeof at);  // bound, not listening: refuses
        load("[local]\ntap_guid=qtnone" + std::to_string(getpid()) + "\ntun_init=manual\ntunnel=10.7.0.2:" +
             std::to_string(port) + "\n");
    });
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Critical Error: Can't connect to tunnel control socket."), std::string::npos) << r.err;
}

}  // namespace
