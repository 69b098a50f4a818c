// The real libtun.so, bound through the engine's own binding table, on real
// TUN devices. Each case runs in a forked child inside network and mount
// namespaces of its own: its devices, addresses, routes and fixed ports are
// invisible to every other test run and vanish with the child, whatever
// happens to it. The child mounts a sysfs of its namespace over /sys, so
// that discovery sees this namespace's devices.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/globals.h"
#include "engine/startup.h"
#include "platform/dynlib.h"
#include "tests/engine/support/child.h"
#include "tests/tun/support/tun_testing.h"

using namespace tun_testing;
using test_support::child_result;
using test_support::read_file;
using test_support::run_child;

namespace {

const char device_ip[] = "10.7.0.2";
const char peer_ip[] = "10.0.0.1";
const char far_ip[] = "198.51.100.7";  // "public": routed into the device
constexpr uint16_t listen_port = 8118;
constexpr uint16_t control_port = 5555;
constexpr int wait_ms = 20000;

// Why these tests cannot run here; empty when they can.
std::string missing_facility() {
    static const std::string why = [] {
        child_result r = run_child([] {
            if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) _exit(2);
            if (open("/dev/net/tun", O_RDWR) < 0) _exit(3);
        });
        if (r.code == 0) return std::string();
        if (r.code == 2) return std::string("network namespaces are not available here (unshare needs root)");
        if (r.code == 3) return std::string("/dev/net/tun is missing");
        return std::string("the namespace probe failed");
    }();
    return why;
}

void sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// A device name unique to this child: "qt<pid><suffix>".
std::string dev(char suffix) { return "qt" + std::to_string(getpid()) + suffix; }

class TunNetns : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string why = missing_facility();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    // body runs in a child inside fresh namespaces; its failures fail this test.
    static child_result in_namespace(const std::function<void()>& body) {
        child_result r = run_child([&] {
            alarm(120);  // a hung case ends as a failure, not as a stuck suite
            enter_namespace();
            if (!::testing::Test::HasFailure()) body();
            std::fflush(nullptr);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        });
        EXPECT_TRUE(r.exited && r.code == 0) << "child status " << r.code << "\n" << r.out << r.err;
        return r;
    }

    static void enter_namespace() {
        ASSERT_EQ(unshare(CLONE_NEWNET | CLONE_NEWNS), 0);
        // Nothing mounted here may reach the parent's mount namespace.
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(mount("sysfs", "/sys", "sysfs", 0, nullptr), 0);
        sh("ip link set lo up");
        dynlib_set_search_dir(QUORIN_BIN_DIR);
        bind_tunnel_library();
        ASSERT_EQ(tunnel_available, 1) << "libtun.so not loaded from " << QUORIN_BIN_DIR;
        ASSERT_NE(tun.end_work, nullptr);
    }
};

// --------------------------------------------------------------- helpers

int socket_to(int type, int protocol, const char* addr, uint16_t port, bool do_connect) {
    const int fd = socket(AF_INET, type, protocol);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ipv4(addr);
    sa.sin_port = htons(port);
    const int r = do_connect ? connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa)
                             : bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

bool readable(int fd, int ms = wait_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// The engine's side of the slot exchange.
int read_index(int control) {
    uint8_t b;
    if (!readable(control) || recv(control, &b, 1, 0) != 1) return -1;
    return b;
}

bytes take_slot(int index) {
    PacketSlot& slot = tun.recvbuf[index];
    const uint16_t n = tun_slot_length(slot);
    bytes packet(slot.data, slot.data + n);
    tun_slot_free(slot);
    return packet;
}

void put_slot(int control, uint8_t index, const bytes& packet) {
    std::memcpy(tun.sendbuf[index].data, packet.data(), packet.size());
    tun_slot_fill(tun.sendbuf[index], uint16_t(packet.size()));
    ASSERT_EQ(send(control, &index, 1, 0), 1);
}

template <typename Cond>
bool eventually(Cond cond) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The local addresses ("0100007F:15B3") of this namespace's listening TCP
// sockets.
std::vector<std::string> listeners() {
    std::istringstream table(read_file("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);
    std::vector<std::string> found;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (fields >> slot >> local >> remote >> state && state == "0A") found.push_back(local);
    }
    return found;
}

bool listening(uint16_t port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    for (const std::string& l : listeners())
        if (l == local) return true;
    return false;
}

std::string carrier(const std::string& name) {
    std::string text = read_file("/sys/class/net/" + name + "/carrier");
    return text.empty() ? "" : text.substr(0, 1);
}

// The device configured as the engine configures it, its route, the
// transparent listener and the engine's control connection.
struct bring_up {
    std::string name = dev('a');
    int listener = -1;
    int control = -1;

    explicit bring_up(bool connect_engine = true) {
        sh("ip tuntap add dev " + name + " mode tun");
        tun.SetTapGuid(name.c_str());
        tun.SetTunTcpListenPort(htons(listen_port));
        char out[256] = {};
        EXPECT_GE(tun.InitTun(out), 3);
        EXPECT_EQ(name, out);
        EXPECT_EQ(tun.SetTunPtP(ipv4(device_ip), ipv4(peer_ip)), 1);
        EXPECT_EQ(tun.SetTunDHCP(ipv4(device_ip), ipv4(peer_ip), 360000), 1);
        EXPECT_EQ(tun.SetTunDNS(ipv4(peer_ip)), 1);
        tun.SetTunRedirIP(ipv4(device_ip));
        tun.SetTunControlPort(htons(control_port));
        EXPECT_EQ(tun.SetTunMediaStatus(), 1);
        sh("ip route add 198.51.100.0/24 dev " + name);
        listener = socket_to(SOCK_STREAM, 0, device_ip, listen_port, false);
        EXPECT_EQ(listen(listener, 16), 0);
        const uintptr_t thread = tun.StartTunThread();
        EXPECT_NE(thread, 0u);
        EXPECT_NE(thread, uintptr_t(-1));
        EXPECT_EQ(tun.StartTunThread(), thread);
        if (!connect_engine) return;
        EXPECT_TRUE(eventually([&] {
            if (control >= 0) close(control);
            control = socket_to(SOCK_STREAM, 0, "127.0.0.1", control_port, true);
            return control >= 0;
        })) << "the packet thread never listened on its control port";
    }
    ~bring_up() {
        tun.end_work();
        close(listener);
        if (control >= 0) close(control);
    }
};

// Sends `out` on a and `back` on b at once, reading both ends until each
// side has everything the other sent.
void exchange(int a, int b, const bytes& out, const bytes& back, bytes* got_a, bytes* got_b) {
    size_t sent_a = 0, sent_b = 0;
    uint8_t buf[65536];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms * 3);
    while (got_a->size() < back.size() || got_b->size() < out.size()) {
        ASSERT_LT(std::chrono::steady_clock::now(), end) << "transfer stalled at " << got_a->size() << "/"
                                                         << got_b->size();
        pollfd p[2] = {{a, short(POLLIN | (sent_a < out.size() ? POLLOUT : 0)), 0},
                       {b, short(POLLIN | (sent_b < back.size() ? POLLOUT : 0)), 0}};
        poll(p, 2, 1000);
        if (p[0].revents & POLLOUT) {
            const ssize_t n = send(a, out.data() + sent_a, out.size() - sent_a, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent_a += size_t(n);
        }
        if (p[1].revents & POLLOUT) {
            const ssize_t n = send(b, back.data() + sent_b, back.size() - sent_b, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent_b += size_t(n);
        }
        if (p[0].revents & POLLIN) {
            const ssize_t n = recv(a, buf, sizeof buf, MSG_DONTWAIT);
            ASSERT_NE(n, 0) << "connection closed early";
            if (n > 0) got_a->insert(got_a->end(), buf, buf + n);
        }
        if (p[1].revents & POLLIN) {
            const ssize_t n = recv(b, buf, sizeof buf, MSG_DONTWAIT);
            ASSERT_NE(n, 0) << "connection closed early";
            if (n > 0) got_b->insert(got_b->end(), buf, buf + n);
        }
    }
}

bytes random_bytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    bytes b(n);
    for (uint8_t& x : b) x = uint8_t(rng());
    return b;
}

sockaddr_in peer_of(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return sa;
}

int accept_within(int listener) {
    if (!readable(listener)) return -1;
    return accept(listener, nullptr, nullptr);
}

void send_udp(const char* to, uint16_t port, const std::string& text) {
    const int fd = socket_to(SOCK_DGRAM, 0, to, port, true);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, text.data(), text.size(), 0), ssize_t(text.size()));
    close(fd);
}

std::string udp_payload(const bytes& packet) {
    if (packet.size() < 28) return "";
    return std::string(packet.begin() + 28, packet.end());
}

// ---------------------------------------------------------------- discovery and open

TEST_F(TunNetns, DiscoveryTakesTheLowestIfindexAndOpensOnlyExistingTunDevices) {
    struct open_case {
        const char* what;
        std::vector<std::string> tuntap;  // "tun <suffix>" / "tap <suffix>", created in this order
        char guid;                        // 0: discovery; else the device named by suffix
        int handle;                       // 1: open, 0: none, -1: invalid
        char expected_name;               // suffix, or 0 for an untouched buffer
    } cases[] = {
        {"lowest index, not name order", {"tap t", "tun z", "tun a"}, 0, 1, 'z'},
        {"a named device", {"tun z", "tun a"}, 'a', 1, 'a'},
        {"a name that names nothing", {"tun z"}, 'n', -1, 'n'},
        {"a TAP device by name", {"tap t"}, 't', -1, 't'},
        {"only TAP devices", {"tap t"}, 0, 0, 0},
    };
    for (const open_case& c : cases) {
        SCOPED_TRACE(c.what);
        in_namespace([&] {
            for (const std::string& d : c.tuntap) sh("ip tuntap add dev " + dev(d[4]) + " mode " + d.substr(0, 3));
            if (c.guid) tun.SetTapGuid(dev(c.guid).c_str());
            char out[256] = "untouched";
            const intptr_t h = tun.InitTun(out);
            const std::string expected = c.expected_name ? dev(c.expected_name) : "untouched";
            EXPECT_EQ(std::string(out), expected);
            if (c.handle == 1) {
                EXPECT_GE(h, 3);
            } else {
                EXPECT_EQ(h, c.handle == 0 ? tun_handle_none : tun_handle_invalid);
            }
            // Opening never makes a device.
            EXPECT_EQ(if_nametoindex(dev('n').c_str()), 0u);
            // A second call neither reopens nor retries.
            char again[256] = "untouched";
            EXPECT_EQ(tun.InitTun(again), h);
            EXPECT_EQ(std::string(again), "untouched");
            // Configuration needs an open device.
            const int ok = c.handle == 1 ? 1 : 0;
            EXPECT_EQ(tun.SetTunMediaStatus(), ok);
            EXPECT_EQ(tun.SetTunPtP(ipv4(device_ip), ipv4(peer_ip)), ok);
            EXPECT_EQ(tun.SetTunDNS(ipv4(peer_ip)), ok);
            if (ok) {
                sh("ip -4 addr show dev " + std::string(out) + " | grep -q 'inet 10.7.0.2 peer 10.0.0.1/32'");
                EXPECT_EQ(carrier(out), "1");
            }
        });
    }
}

// ---------------------------------------------------------------- redirected TCP

TEST_F(TunNetns, RedirectedConnectionsReachTheListenerAndCarryDataBothWays) {
    in_namespace([] {
        bring_up up;
        struct dialled {
            const char* addr;
            uint16_t port;
            uint16_t mapped;
        } conns[] = {{far_ip, 80, 30000}, {"198.51.100.8", 8080, 30001}};
        for (const dialled& d : conns) {
            const int app = socket_to(SOCK_STREAM, 0, d.addr, d.port, true);
            ASSERT_GE(app, 0);
            const int srv = accept_within(up.listener);
            ASSERT_GE(srv, 0) << "no redirected connection arrived";
            const sockaddr_in peer = peer_of(srv);
            EXPECT_EQ(peer.sin_addr.s_addr, ipv4(peer_ip));
            EXPECT_EQ(ntohs(peer.sin_port), d.mapped);
            EXPECT_EQ(tun.GetTcpRedirDstIP(d.mapped), ipv4(d.addr));
            EXPECT_EQ(tun.GetTcpRedirDstPort(d.mapped), htons(d.port));
            ASSERT_TRUE(eventually([&] { return peer_of(app).sin_port == htons(d.port); }));

            const bytes out = random_bytes(300000, d.mapped), back = random_bytes(200000, d.mapped + 1);
            bytes got_app, got_srv;
            exchange(app, srv, out, back, &got_app, &got_srv);
            EXPECT_TRUE(got_srv == out) << "application to listener";
            EXPECT_TRUE(got_app == back) << "listener to application";
            tun.SetTcpRedirPortFordel(d.mapped);
            close(app);
            close(srv);
        }
        // Redirected traffic never passes through the engine's slots.
        uint8_t b;
        EXPECT_EQ(recv(up.control, &b, 1, MSG_DONTWAIT), -1);
    });
}

// ---------------------------------------------------------------- slots

bytes icmp_echo(uint16_t seq, const std::string& text) {
    bytes b(8 + text.size(), 0);
    b[0] = ICMP_ECHO;
    be16_put(&b[4], 0x5151);
    be16_put(&b[6], seq);
    std::memcpy(&b[8], text.data(), text.size());
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < b.size(); i += 2) sum += be16_get(&b[i]);
    if (b.size() & 1) sum += uint32_t(b.back()) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    be16_put(&b[2], uint16_t(~sum));
    return b;
}

TEST_F(TunNetns, PacketsCrossTheSlotsBothWaysAndIndexesWrap) {
    in_namespace([] {
        bring_up up;
        // UDP from the device's address arrives whole behind index 0.
        send_udp(far_ip, 53, "query-0");
        ASSERT_EQ(read_index(up.control), 0);
        bytes p = take_slot(0);
        ASSERT_EQ(p.size(), 20u + 8 + 7);
        EXPECT_EQ(p[0], 0x45);
        EXPECT_EQ(p[9], ip_proto_udp);
        EXPECT_EQ(std::memcmp(&p[12], "\x0a\x07\x00\x02", 4), 0);
        EXPECT_EQ(std::memcmp(&p[16], "\xc6\x33\x64\x07", 4), 0);
        EXPECT_EQ(be16_get(&p[22]), 53);
        EXPECT_EQ(udp_payload(p), "query-0");
        EXPECT_EQ(tun_slot_length(tun.recvbuf[0]), 0);

        // An ICMP echo behind index 1.
        const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        ASSERT_GE(raw, 0);
        sockaddr_in far{};
        far.sin_family = AF_INET;
        far.sin_addr.s_addr = ipv4(far_ip);
        const bytes echo = icmp_echo(1, "ping-payload");
        ASSERT_EQ(sendto(raw, echo.data(), echo.size(), 0, reinterpret_cast<sockaddr*>(&far), sizeof far),
                  ssize_t(echo.size()));
        close(raw);
        ASSERT_EQ(read_index(up.control), 1);
        p = take_slot(1);
        ASSERT_EQ(p.size(), 20 + echo.size());
        EXPECT_EQ(p[9], ip_proto_icmp);
        EXPECT_EQ(bytes(p.begin() + 20, p.end()), echo);

        // A packet put in a send slot reaches a socket of this namespace.
        const int udp = socket_to(SOCK_DGRAM, 0, device_ip, 6000, false);
        ASSERT_GE(udp, 0);
        packet_spec reply{ipv4(far_ip), ipv4(device_ip), ip_proto_udp};
        reply.src_port = 53;
        reply.dst_port = 6000;
        reply.payload_bytes = 11;
        reply.fill = 'a';
        put_slot(up.control, 0, make_packet(reply));
        ASSERT_TRUE(readable(udp)) << "the send slot's packet never arrived";
        char got[64];
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        ASSERT_EQ(recvfrom(udp, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &from_len), 11);
        EXPECT_EQ(std::string(got, 11), "abcdefghijk");
        EXPECT_EQ(from.sin_addr.s_addr, ipv4(far_ip));
        EXPECT_EQ(ntohs(from.sin_port), 53);
        EXPECT_TRUE(eventually([] { return tun_slot_length(tun.sendbuf[0]) == 0; })) << "send slot not freed";
        close(udp);

        // Packets 3 to 256 take slots 2 to 255; the 257th wraps to slot 0.
        for (int k = 2; k <= 256; k++) send_udp(far_ip, 53, "query-" + std::to_string(k));
        for (int k = 2; k <= 256; k++) {
            const int index = read_index(up.control);
            ASSERT_EQ(index, k % 256) << "packet " << k + 1;
            ASSERT_EQ(udp_payload(take_slot(index)), "query-" + std::to_string(k));
        }

        // A slot that the engine has not copied out yet is never written
        // over: the packet that would take it is dropped with no index.
        send_udp(far_ip, 53, "held");
        ASSERT_EQ(read_index(up.control), 1);  // left in its slot
        for (int k = 2; k <= 256; k++) send_udp(far_ip, 53, "fill-" + std::to_string(k));
        for (int k = 2; k <= 256; k++) {
            const int index = read_index(up.control);
            ASSERT_EQ(index, k % 256);
            ASSERT_EQ(udp_payload(take_slot(index)), "fill-" + std::to_string(k));
        }
        send_udp(far_ip, 53, "dropped");
        // The device's packets are handled in order: once a redirected SYN
        // sent after it reaches the listener, "dropped" has been handled.
        const int app = socket_to(SOCK_STREAM, 0, far_ip, 81, true);
        const int srv = accept_within(up.listener);
        ASSERT_GE(srv, 0);
        uint8_t b;
        EXPECT_EQ(recv(up.control, &b, 1, MSG_DONTWAIT), -1) << "an index for a slot still taken";
        EXPECT_EQ(udp_payload(take_slot(1)), "held");
        send_udp(far_ip, 53, "after");
        ASSERT_EQ(read_index(up.control), 1);
        EXPECT_EQ(udp_payload(take_slot(1)), "after");
        close(app);
        close(srv);
    });
}

// A control port that cannot be bound is shown as the error box's line and
// the thread goes on without listening anywhere: redirection still works.
TEST_F(TunNetns, ControlPortTakenIsReportedAndRedirectionGoesOn) {
    const child_result r = in_namespace([] {
        const int blocker = socket_to(SOCK_STREAM, 0, "127.0.0.1", control_port, false);
        ASSERT_GE(blocker, 0);
        bring_up up(false);
        const int app = socket_to(SOCK_STREAM, 0, far_ip, 443, true);
        const int srv = accept_within(up.listener);
        ASSERT_GE(srv, 0) << "no redirected connection arrived";
        EXPECT_EQ(ntohs(peer_of(srv).sin_port), 30000);
        // Only the test's own listener listens.
        EXPECT_EQ(listeners().size(), 1u);
        tun.end_work();  // the line is written before the thread ends
        close(app);
        close(srv);
        close(blocker);
    });
    EXPECT_EQ(r.err, "Error: Ires1 -1 err 98\n");
}

// ---------------------------------------------------------------- stop

TEST_F(TunNetns, EndWorkStopsTheThreadAndTheLinkGoesDown) {
    in_namespace([] {
        bring_up up;
        EXPECT_EQ(carrier(up.name), "1");
        tun.end_work();  // returns once the thread has ended
        EXPECT_EQ(carrier(up.name), "0");
        EXPECT_EQ(read_file("/sys/class/net/" + up.name + "/operstate"), "down\n");
        tun.end_work();
        // The closed device is not used again.
        char out[256];
        EXPECT_EQ(tun.InitTun(out), tun_handle_invalid);
        EXPECT_EQ(tun.SetTunMediaStatus(), 0);
        // The engine's end of the control connection stays connected.
        uint8_t b;
        EXPECT_EQ(recv(up.control, &b, 1, MSG_DONTWAIT), -1);
    });
    // Before the engine connects, and before the thread was ever started.
    for (bool start_first : {true, false}) {
        in_namespace([start_first] {
            const std::string name = dev('a');
            sh("ip tuntap add dev " + name + " mode tun");
            char out[256];
            ASSERT_GE(tun.InitTun(out), 3);
            ASSERT_EQ(tun.SetTunMediaStatus(), 1);
            tun.SetTunControlPort(htons(control_port));
            if (start_first) {
                tun.StartTunThread();
                ASSERT_TRUE(eventually([] { return listening(control_port); }));
                tun.end_work();
                EXPECT_FALSE(listening(control_port));
            } else {
                tun.end_work();
                EXPECT_EQ(carrier(name), "1");
                tun.StartTunThread();  // sees the stop at once
                tun.end_work();
            }
            EXPECT_EQ(carrier(name), "0");
        });
    }
}

}  // namespace
