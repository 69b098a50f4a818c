// The tunnel end to end, with the real libtun.so beside the engine. Three
// network namespaces: the user's machine (a LAN with its default route, and
// the TUN device that the engine takes over), the service (the reference
// server, reached over the LAN) and the service's network behind it (the
// reference server's own TUN device and a web server). The service does not
// forward, so the user's machine reaches the web server only through the
// session. Unmodified programs there (curl with no proxy, ping, a UDP
// socket) make the round trip; shutdown, a stop signal (headless or with the
// interface), or a fatal error after the routes were set, leaves the user's
// routing table as it was.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/engine/support/netns.h"
#include "tests/ui/support/xsession.h"

namespace {

using namespace e2e;
using test_support::named_netns;
using test_support::sh;
using test_support::sh_out;
using test_support::unique_name;

const char tunnel_ip[] = "10.0.0.2", lan_gateway[] = "192.168.77.1", server_ip[] = "198.51.100.1",
           web_ip[] = "203.0.113.80";
constexpr uint16_t web_port = 80, echo_port = 7;
constexpr uint64_t download_bytes = 3000000, download_seed = 77;

// The calling thread works in the named namespace while this lives: its
// sockets and the processes it starts belong there.
class inside {
public:
    explicit inside(const std::string& ns) {
        home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        entered_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
        EXPECT_TRUE(entered_) << "cannot enter namespace " << ns;
    }
    ~inside() {
        if (entered_ && setns(home_, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot go back to the test's namespace";
        if (home_ >= 0) close(home_);
    }
    inside(const inside&) = delete;
    inside& operator=(const inside&) = delete;

private:
    int home_ = -1;
    bool entered_ = false;
};

// The engine runs from a copy in its directory (so that the interface
// library next to the build's engine stays out); the tunnel library goes
// beside it.
bool beside_engine(const temp_dir& dir, const std::string& name) {
    std::error_code ec;
    std::filesystem::create_hard_link(bin_path(name), dir.file(name), ec);
    if (ec) std::filesystem::copy_file(bin_path(name), dir.file(name), ec);
    return !ec;
}

// The console's shutdown: a headless engine then ends with status -1.
void shut_down(engine_proc& engine) {
    console con;
    ASSERT_TRUE(con.open(30000));
    ASSERT_TRUE(send_str(con.fd(), "shutdown\n"));
    int status = -1;
    ASSERT_TRUE(engine.proc.wait_exit(20, &status));
    EXPECT_EQ(status, 255);
}

int udp_socket(const char* addr, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(port), {inet_addr(addr)}, {}};
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

struct road_case {
    const char* name;
    const char* route;         // the tunnel section's route= value
    bool default_kept_while_up;
};

class TunnelRoad : public ::testing::TestWithParam<road_case> {
protected:
    void SetUp() override {
        if (!user.ok() || !service.ok() || !net.ok())
            GTEST_SKIP() << "network namespaces are not available here (ip netns add needs root)";
        if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/net/tun is missing";
        for (const char* prog : {"quorin", "refserver", "libtun.so"})
            ASSERT_TRUE(bin_exists(prog)) << bin_path(prog) << " is not built";
        ASSERT_EQ(sh("{ command -v curl && command -v ping; }"), 0) << "curl and ping are needed";

        const std::string u = "ip -n " + user.name() + " ", s = "ip -n " + service.name() + " ",
                          n = "ip -n " + net.name() + " ";
        for (const std::string& cmd : {
                 // The user's LAN and the service behind its gateway.
                 "ip link add " + lan + " netns " + user.name() + " type veth peer name " + lan_peer + " netns " +
                     service.name(),
                 u + "addr add 192.168.77.2/24 dev " + lan, u + "link set " + lan + " up",
                 u + "route add default via " + lan_gateway,
                 s + "addr add " + lan_gateway + "/24 dev " + lan_peer, s + "link set " + lan_peer + " up",
                 s + "addr add " + std::string(server_ip) + "/32 dev lo",
                 "ip netns exec " + service.name() + " sysctl -qw net.ipv4.ip_forward=0",
                 // The service's own network, where the web server lives.
                 "ip link add " + back + " netns " + service.name() + " type veth peer name " + back_peer +
                     " netns " + net.name(),
                 s + "addr add 192.0.2.1/30 dev " + back, s + "link set " + back + " up",
                 n + "addr add 192.0.2.2/30 dev " + back_peer, n + "link set " + back_peer + " up",
                 s + "route add 203.0.113.0/24 via 192.0.2.2",
                 n + "addr add " + std::string(web_ip) + "/32 dev lo",
                 // The reference server's TUN device there, and the way back
                 // to the user's tunnel address through it.
                 n + "tuntap add " + service_tun + " mode tun", n + "link set " + service_tun + " up",
                 n + "route add " + std::string(tunnel_ip) + "/32 dev " + service_tun,
                 // The device that the engine takes over, made as an
                 // administrator would make it.
                 u + "tuntap add " + user_tun + " mode tun"})
            ASSERT_EQ(sh(cmd), 0) << cmd;

        {
            inside in(net.name());
            web = std::make_unique<data_server>(data_server::http, download_bytes, download_seed, web_ip, web_port);
            ASSERT_EQ(web->port(), web_port);
            echo = udp_socket(web_ip, echo_port);
            ASSERT_GE(echo, 0);
        }
        {
            inside in(service.name());
            ASSERT_TRUE(rs.start(dir, {"--user", "alice:secret", "--tun", service_tun, "--netns", net.name(), "-v"},
                                 server_ip));
            ASSERT_GE(rs.proc.wait_line("TUN " + service_tun, 10), 0);
        }
        inside in(user.name());
        // Without the tunnel the web server is out of reach.
        int direct = tcp_connect(web_ip, web_port, 1);
        EXPECT_LT(direct, 0) << "the user's machine reaches the web server without the tunnel";
        close_fd(direct);
        routes_before = routes();
    }
    void TearDown() override {
        if (echo >= 0) close(echo);
        if (HasFailure()) {
            inside in(user.name());
            st.keep_for_diagnosis();
        }
    }

    // The user's IPv4 routes, every table, with all they carry.
    std::string routes() const { return sh_out("ip -n " + user.name() + " -d -4 route show table all"); }

    // The configuration that the interface writes for a tunnel (tunnel
    // section, then the transparent listener on the tunnel's address),
    // with the device named.
    std::string conf(const std::string& extra_local = "") const {
        return "[server]\nport=0\ncontrol_socket=127.0.0.1:30000\nlog=quorin.log\ndebug=1\n"
               "[remote]\nname=quorin\nserver=" + std::string(server_ip) + ":" + std::to_string(rs.port) +
               "\nlogin=alice\npasswd=secret\nspeed_in=20000000\nspeed_out=20000000\n"
               "[local]\nremote=quorin\ntun_timeout=10\ntun_init=dhcp\nroute=" + GetParam().route +
               "\ntap_guid=" + user_tun + "\ntunnel=" + tunnel_ip + ":3001\n"
               "[local]\nremote=quorin\ntransparent\nport=" + tunnel_ip + ":3000\n" + extra_local;
    }

    named_netns user{unique_name("qx", "u")}, service{unique_name("qx", "s")}, net{unique_name("qx", "n")};
    std::string lan = unique_name("qx", "ul"), lan_peer = unique_name("qx", "sl");
    std::string back = unique_name("qx", "sn"), back_peer = unique_name("qx", "ns");
    std::string service_tun = unique_name("qx", "nt"), user_tun = unique_name("qx", "ut");
    std::unique_ptr<data_server> web;
    int echo = -1;
    stack st;
    temp_dir& dir = st.dir;
    refserver_proc& rs = st.rs;
    engine_proc& engine = st.engine;
    std::string routes_before;
};

TEST_P(TunnelRoad, CurlPingAndUdpThroughTheSessionThenRoutesAsBefore) {
    inside in(user.name());
    ASSERT_TRUE(beside_engine(dir, "libtun.so"));
    ASSERT_TRUE(engine.start(dir, conf(), 30000));
    ASSERT_TRUE(engine.wait_log("[local] 1 listening on 10.0.0.2:3000", 60)) << engine.log();

    const std::string up = sh_out("ip route");
    for (const std::string& line : {"0.0.0.0/1 via 10.0.0.1 dev " + user_tun, "128.0.0.0/1 via 10.0.0.1 dev " + user_tun,
                                    std::string(server_ip) + " via " + lan_gateway + " dev " + lan})
        EXPECT_NE(up.find(line), std::string::npos) << line << "\n" << up;
    EXPECT_EQ(up.find("default via " + std::string(lan_gateway)) != std::string::npos,
              GetParam().default_kept_while_up)
        << up;

    // TCP: redirected by the library to the transparent listener and
    // carried as a stream.
    const std::string got = dir.file("got.bin");
    EXPECT_EQ(sh("env -u http_proxy -u HTTP_PROXY -u all_proxy -u ALL_PROXY curl -q -sS --max-time 60 -o " + got +
                 " http://" + web_ip + "/file.bin"),
              0);
    EXPECT_EQ(md5_hex(dir.read("got.bin")), md5_hex_of_stream(download_seed, download_bytes));
    EXPECT_TRUE(engine.wait_log("New connection to: 203.0.113.80:80", 5)) << engine.log();

    // ICMP: whole packets (command 6) through the reference server's
    // device. As ping does, the request goes again while no answer came.
    bool answered = false;
    for (int i = 0; i < 5 && !answered; i++) answered = sh(std::string("ping -c 1 -W 2 ") + web_ip) == 0;
    EXPECT_TRUE(answered) << "ping through the session got no answer";
    EXPECT_GE(rs.proc.count_lines("TUNNEL out "), 1u) << "no packet came back as a tunnel command";

    // UDP, both ways: it reaches the service's network from the tunnel's
    // address, and the answer comes back to the sender.
    const int client = udp_socket("0.0.0.0", 0);
    ASSERT_GE(client, 0);
    const std::string datagram = "a datagram through the session";
    const sockaddr_in to{AF_INET, htons(echo_port), {inet_addr(web_ip)}, {}};
    char buf[256];
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = -1;
    for (int i = 0; i < 5 && n < 0; i++) {
        sendto(client, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        n = recvfrom(echo, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    }
    ASSERT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))), datagram);
    EXPECT_EQ(from.sin_addr.s_addr, inet_addr(tunnel_ip));
    ASSERT_EQ(sendto(echo, buf, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), from_len), n);
    n = recvfrom(client, buf, sizeof buf, 0, nullptr, nullptr);
    close(client);
    EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))), datagram) << "no answer came back";

    shut_down(engine);
    EXPECT_EQ(routes(), routes_before) << dir.read("route.log");
}

// A fatal error after the routes were set (a later listener that cannot be
// bound) still gives the table back, the tunnel device's own route included.
TEST_P(TunnelRoad, FatalErrorAfterTheRoutesLeavesThemAsBefore) {
    inside in(user.name());
    // It never gets as far as its console.
    dir.write("quorin.conf", conf("[local]\nremote=quorin\nsocks5\nport=192.0.2.99:1080\n"));
    ASSERT_TRUE(beside_engine(dir, "libtun.so") && beside_engine(dir, "quorin"));
    ASSERT_TRUE(engine.proc.start({dir.file("quorin")}, dir.path(), dir.file("stdout.txt"), dir.file("stderr.txt")));
    int status = -1;
    ASSERT_TRUE(engine.proc.wait_exit(60, &status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(dir.read("route.log").find("Set default route 2 success"), std::string::npos) << dir.read("route.log");
    EXPECT_EQ(routes(), routes_before) << dir.read("route.log");
}

// SIGTERM and SIGINT take the console's shutdown road: the table comes back
// as it was, also when the signal comes while the tunnel is brought up.
TEST_P(TunnelRoad, StopSignalsGiveTheRoutesBack) {
    inside in(user.name());
    ASSERT_TRUE(beside_engine(dir, "libtun.so"));
    const struct {
        int signo;
        const char* after;  // the log line that the signal follows
    } cases[] = {{SIGTERM, "[local] 1 listening on 10.0.0.2:3000"},
                 {SIGINT, "[local] 1 listening on 10.0.0.2:3000"},
                 {SIGTERM, "Starting tunnel dll"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.signo) + " after " + c.after);
        const size_t seen = engine.log_count(c.after);
        ASSERT_TRUE(engine.start(dir, conf(), 30000));
        ASSERT_TRUE(engine.wait_log(c.after, 60, seen + 1)) << engine.log();
        engine.proc.signal(c.signo);
        int status = -1;
        ASSERT_TRUE(engine.proc.wait_exit(60, &status));
        EXPECT_EQ(status, 255);
        EXPECT_EQ(routes(), routes_before) << dir.read("route.log");
    }
    EXPECT_EQ(engine.log_count("Shutdown command recieved\n"), 3u) << engine.log();
}

// An old default route with its metrics, or with two next hops, is given
// back whole by the console's shutdown and by SIGTERM; in metric mode it
// stays behind the tunnel whole, only its metric raised. The host route to
// the server goes through its first next hop.
TEST_P(TunnelRoad, DefaultRouteWithAllItCarriesComesBackWhole) {
    inside in(user.name());
    ASSERT_TRUE(beside_engine(dir, "libtun.so"));
    // The device's address route above the old default's metric (100), so
    // that metric mode raises the old default (to 100 + 200).
    ASSERT_EQ(sh("ip addr add " + std::string(tunnel_ip) + " peer 10.0.0.1 dev " + user_tun + " metric 200"), 0);
    const std::string defaults[] = {
        "default via " + std::string(lan_gateway) + " metric 100 mtu 1400 advmss 1300 initcwnd 10",
        "default metric 100 nexthop via " + std::string(lan_gateway) + " dev " + lan +
            " nexthop via 192.168.77.3 dev " + lan + " weight 2"};
    for (const std::string& old_default : defaults) {
        ASSERT_EQ(sh("ip route del default && ip route add " + old_default), 0) << old_default;
        const std::string before = routes();
        std::string raised = sh_out("ip -d route show default");
        raised.replace(raised.find(" metric 100"), 11, " metric 300");
        for (const bool by_signal : {false, true}) {
            SCOPED_TRACE(old_default + (by_signal ? ", SIGTERM" : ", console shutdown"));
            const size_t seen = engine.log_count("[local] 1 listening on 10.0.0.2:3000");
            ASSERT_TRUE(engine.start(dir, conf(), 30000));
            ASSERT_TRUE(engine.wait_log("[local] 1 listening on 10.0.0.2:3000", 60, seen + 1)) << engine.log();
            EXPECT_EQ(sh_out("ip -d route show default"), GetParam().default_kept_while_up ? raised : "");
            const std::string server_route = sh_out("ip route show " + std::string(server_ip));
            EXPECT_NE(server_route.find(std::string("via ") + lan_gateway), std::string::npos) << server_route;
            EXPECT_EQ(server_route.find("nexthop"), std::string::npos) << server_route;
            if (by_signal) {
                engine.proc.signal(SIGTERM);
                int status = -1;
                ASSERT_TRUE(engine.proc.wait_exit(60, &status));
                EXPECT_EQ(status, 255);
            } else {
                shut_down(engine);
            }
            EXPECT_EQ(routes(), before) << dir.read("route.log");
        }
    }
}

// The same with the interface: the engine runs on the interface's thread
// (fast start, under a private X display with a tray) and the process ends
// with the interface's status. The configuration holds a listener that the
// dialog cannot show, so the interface starts the engine on it unchanged.
TEST_P(TunnelRoad, StopSignalsInTheInterfacesProcessGiveTheRoutesBack) {
    inside in(user.name());
    // Started in the user's namespace: the interface reaches its display
    // through that namespace's own abstract socket, never through a
    // /tmp/.X11-unix socket that an X server elsewhere may have taken over.
    ui_testing::x_session x;
    std::string why;
    ASSERT_TRUE(x.start(true, &why)) << why;
    for (const char* file : {"libtun.so", "libquorin_ui.so", "quorin"}) ASSERT_TRUE(beside_engine(dir, file)) << file;
    // Not 10.0.0.2: the interface asks before it starts a tunnel on that address.
    std::string text = conf("[local]\nremote=quorin\nsocks5\nport=127.0.0.1:1080\n");
    for (size_t at = text.find(tunnel_ip); at != std::string::npos; at = text.find(tunnel_ip))
        text.replace(at, std::strlen(tunnel_ip), "10.0.0.6");
    dir.write("quorin.conf", text);
    engine.dir = &dir;
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo);
        const size_t seen = engine.log_count("[local] 1 listening on 10.0.0.6:3000");
        ASSERT_TRUE(engine.proc.start({"/usr/bin/env", "QT_QPA_PLATFORM=xcb", x.display_env(), dir.file("quorin"),
                                       "faststart"},
                                      dir.path(), dir.file("stdout.txt"), dir.file("stderr.txt")));
        ASSERT_TRUE(engine.wait_log("[local] 1 listening on 10.0.0.6:3000", 60, seen + 1))
            << engine.log() << dir.read("stderr.txt");
        EXPECT_NE(sh_out("ip route").find("0.0.0.0/1 via 10.0.0.1 dev " + user_tun), std::string::npos);
        engine.proc.signal(signo);
        int status = -1;
        ASSERT_TRUE(engine.proc.wait_exit(60, &status)) << dir.read("stderr.txt");
        EXPECT_EQ(status, 1) << dir.read("stderr.txt");
        EXPECT_EQ(routes(), routes_before) << dir.read("route.log");
    }
    EXPECT_EQ(engine.log_count("Closing UI\n"), 2u) << engine.log();
    EXPECT_EQ(engine.log_count("Good bye. Have a nice day.\n"), 2u) << engine.log();
}

// An engine with the library beside it but no tunnel section: the console's
// shutdown stops the library and touches no route.
TEST(TunnelLibraryBeside, ShutdownWithoutATunnelTouchesNoRoute) {
    test_support::private_netns ns;
    if (!ns.ok()) GTEST_SKIP() << ns.why();
    temp_dir dir;
    ASSERT_TRUE(beside_engine(dir, "libtun.so"));
    const std::string before = sh_out("ip -4 route show table all; ip -4 addr");
    engine_proc engine;
    ASSERT_TRUE(engine.start(dir, "[server]\nport=0\ncontrol_socket=127.0.0.1:30000\nlog=quorin.log\ndebug=1\n", 30000));
    shut_down(engine);
    EXPECT_EQ(engine.log_count("Stopping TAP\n"), 1u) << engine.log();
    EXPECT_FALSE(std::filesystem::exists(dir.file("route.log")));
    EXPECT_EQ(sh_out("ip -4 route show table all; ip -4 addr"), before);
}

// A device that is not there: the bring-up waits for its address, up to
// 30 s. A stop signal half a second into that wait ends the engine within
// 2 s, through the shutdown road, with nothing on the machine changed.
TEST(TunnelLibraryBeside, StopSignalInTheAdapterWaitEndsTheEngine) {
    test_support::private_netns ns;
    if (!ns.ok()) GTEST_SKIP() << ns.why();
    temp_dir dir;
    ASSERT_TRUE(beside_engine(dir, "libtun.so") && beside_engine(dir, "quorin"));
    const std::string machine = "ip -4 route show table all; ip -4 addr; ip link";
    const std::string before = sh_out(machine);
    dir.write("quorin.conf", "[server]\nport=0\nlog=quorin.log\ndebug=1\n"
                             "[local]\ntun_timeout=10\ntun_init=dhcp\ntap_guid=" + unique_name("qx", "gone") +
                                 "\ntunnel=10.0.0.2:3001\n[local]\ntransparent\nport=10.0.0.2:3000\n");
    engine_proc engine;
    engine.dir = &dir;
    ASSERT_TRUE(engine.proc.start({dir.file("quorin")}, dir.path(), dir.file("stdout.txt"), dir.file("stderr.txt")));
    ASSERT_TRUE(engine.wait_log("TAP guid", 10)) << engine.log();
    usleep(500000);
    engine.proc.signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(engine.proc.wait_exit(2, &status)) << "still running 2 s after the signal\n" << engine.log();
    EXPECT_EQ(status, 255) << dir.read("stderr.txt");
    EXPECT_EQ(engine.log_count("Signal 15 received\n"), 1u) << engine.log();
    EXPECT_EQ(engine.log_count("Shutdown command recieved\n"), 1u) << engine.log();
    EXPECT_EQ(sh_out(machine), before);
}

INSTANTIATE_TEST_SUITE_P(Modes, TunnelRoad,
                         ::testing::Values(road_case{"MetricMode", "keep", true},
                                           road_case{"ReplaceMode", "replace", false}),
                         [](const ::testing::TestParamInfo<road_case>& i) { return std::string(i.param.name); });

}  // namespace
