// The real engine with the real interface library, in a scratch directory,
// under a private Xvfb with trayer and in a network namespace of its own
// (the interface puts the console on the fixed port 30000): log in through
// the dialog, connect, and end through the console's "shutdown".
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/ui/support/netns.h"
#include "tests/ui/support/xsession.h"

namespace {

constexpr double step_timeout_s = 60;

class UiEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { private_network = ui_testing::enter_private_network(&reason); }
    void SetUp() override {
        if (!private_network) GTEST_SKIP() << reason;
        for (const char* prog : {"quorin", "refserver", "libquorin_ui.so"})
            ASSERT_TRUE(std::filesystem::exists(e2e::bin_path(prog))) << prog << " was not built";
    }
    // The engine and its interface side by side, as they are shipped.
    void install() {
        for (const char* file : {"quorin", "libquorin_ui.so"}) {
            std::error_code ec;
            std::filesystem::create_hard_link(e2e::bin_path(file), dir.file(file), ec);
            if (ec) std::filesystem::copy_file(e2e::bin_path(file), dir.file(file), ec);
            ASSERT_FALSE(ec) << file << ": " << ec.message();
        }
    }
    bool key(const std::string& what) { return x.xdotool({"key", "--clearmodifiers", what}); }
    bool type(const std::string& text) { return x.xdotool({"type", "--delay", "20", text}); }

    static bool private_network;
    static std::string reason;
    e2e::temp_dir dir;
    ui_testing::x_session x;
    e2e::refserver_proc rs;
    e2e::process engine;
};
bool UiEndToEnd::private_network = false;
std::string UiEndToEnd::reason;

TEST_F(UiEndToEnd, LogInConnectAndShutDown) {
    std::string x_why;
    ASSERT_TRUE(x.start(true, &x_why)) << x_why;
    // The engine's SOCKS 5 listener reaches an echo server through the
    // session; the reference server opens it for a documentation address.
    e2e::data_server echo(e2e::data_server::echo);
    ASSERT_TRUE(rs.start(dir, {"--user", "alice:secret", "--map", "192.0.2.10:7=127.0.0.1:" + std::to_string(echo.port())}));
    install();
    // A configuration this interface wrote for another login, and alice's
    // subscription, which names the reference server but keeps no password.
    dir.write("quorin.conf",
              "[server]\ntraffic=60\nport=0\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n"
              "[remote]\nname=quorin\nserver=127.0.0.1:1\nlogin=bob\npasswd=bobs\nmtu=500\nmru=1400\n"
              "speed_in=500000\nspeed_out=2000\n");
    dir.write("Subscriptions.ini", "[alice]\nQuorin\\remote\\server=127.0.0.1\nQuorin\\remote\\port=" +
                                       std::to_string(rs.port) +
                                       "\nQuorin\\server\\port=0\nQuorin\\remote\\speed_out_min=20000000\n"
                                       "Quorin\\remote\\speed_out_max=20000000\n");

    ASSERT_TRUE(engine.start({"/usr/bin/env", "QT_QPA_PLATFORM=xcb", x.display_env(), dir.file("quorin")},
                             dir.path(), dir.file("stdout.txt"), dir.file("stderr.txt")));
    std::string window;
    ASSERT_TRUE(x.xdotool({"search", "--sync", "--onlyvisible", "--name", "^Quorin v. 5.0$"}, &window))
        << dir.read("stderr.txt");
    window = window.substr(0, window.find('\n'));
    ASSERT_TRUE(x.xdotool({"windowfocus", "--sync", window}));
    ASSERT_TRUE(key("ctrl+a"));
    ASSERT_TRUE(type("alice"));
    ASSERT_TRUE(key("Tab"));
    ASSERT_TRUE(type("secret"));
    ASSERT_TRUE(key("Return"));

    // The configuration is written for alice; the engine comes up with it
    // and the interface switches to its tray icon.
    EXPECT_TRUE(e2e::wait_until([&] { return dir.read("quorin.conf").find("login=alice\npasswd=secret\n") !=
                                             std::string::npos; },
                                step_timeout_s))
        << dir.read("quorin.conf");
    e2e::console console;
    ASSERT_TRUE(console.open(30000, step_timeout_s)) << "the engine's console" << dir.read("stderr.txt");
    EXPECT_TRUE(e2e::wait_until([&] { return x.docked_icons() >= 1; }, step_timeout_s)) << "no tray icon";

    // A connection through the SOCKS 5 listener the interface configured
    // opens a session with the server, logged in as alice.
    int fd = e2e::socks5_connect_ip(1080, "192.0.2.10", 7);
    ASSERT_GE(fd, 0);
    std::string why;
    EXPECT_TRUE(e2e::echo_roundtrip(fd, 7, 100000, step_timeout_s, &why)) << why;
    e2e::close_fd(fd);
    EXPECT_GE(rs.proc.wait_line("LOGIN ok alice", step_timeout_s), 0);
    EXPECT_NE(dir.read("client.log").find("Quorin started"), std::string::npos);

    std::string reply;
    console.command("shutdown\n", &reply, 2);
    int status = -1;
    ASSERT_TRUE(engine.wait_exit(step_timeout_s, &status)) << "the console's shutdown did not end the process";
    EXPECT_EQ(status, 1) << dir.read("stderr.txt");
    EXPECT_NE(dir.read("Subscriptions.ini").find("passwd=secret"), std::string::npos);
}

}  // namespace
