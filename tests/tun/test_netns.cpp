// The real libtun.so, bound through the engine's own binding table, on real
// TUN devices. Each case runs in a forked child inside network and mount
// namespaces of its own (with this namespace's sysfs over /sys): devices,
// routes and fixed ports are invisible to other runs and vanish with the
// child, whatever happens to it. The test plays the engine's part.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "engine/globals.h"
#include "engine/startup.h"
#include "platform/dynlib.h"
#include "tests/engine/support/child.h"
#include "tests/engine/support/netns.h"
#include "tests/tun/support/tun_testing.h"

using namespace tun_testing;
using test_support::child_result;
using test_support::read_file;

namespace {

const char device_ip[] = "10.7.0.2", peer_ip[] = "10.0.0.1", far_ip[] = "198.51.100.7";
constexpr uint16_t listen_port = 8118, control_port = 5555;
constexpr int wait_ms = 20000;

void sh(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

// A device name of this child's own: "qt<pid><suffix>".
std::string dev(char suffix) { return "qt" + std::to_string(getpid()) + suffix; }

class TunNetns : public ::testing::Test {
protected:
    void SetUp() override {
        static const int probe = test_support::run_child([] {
                                     if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) _exit(2);
                                     if (open("/dev/net/tun", O_RDWR) < 0) _exit(3);
                                     if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                         mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
                                         _exit(4);
                                 }).code;
        if (probe == 2) GTEST_SKIP() << "network namespaces are not available here (unshare needs root)";
        if (probe == 3) GTEST_SKIP() << "/dev/net/tun is missing";
        if (probe == 4) GTEST_SKIP() << "a namespace's own sysfs cannot be mounted here";
    }

    // body runs in a child inside fresh namespaces; its failures fail the test.
    static child_result in_namespace(const std::function<void()>& body) {
        child_result r = test_support::run_child([&] {
            alarm(120);  // a hung case ends as a failure
            enter_and_run(body);
            std::fflush(nullptr);
            _exit(HasFailure() ? 1 : 0);
        });
        EXPECT_TRUE(r.exited && r.code == 0) << r.out << r.err;
        return r;
    }
    static void enter_and_run(const std::function<void()>& body) {
        ASSERT_EQ(unshare(CLONE_NEWNET | CLONE_NEWNS), 0);
        // Nothing mounted here may reach the parent's mount namespace.
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(mount("sysfs", "/sys", "sysfs", 0, nullptr), 0);
        sh("ip link set lo up && echo '0 0' > /proc/sys/net/ipv4/ping_group_range");
        dynlib_set_search_dir(QUORIN_BIN_DIR);
        bind_tunnel_library();
        ASSERT_TRUE(tunnel_available && tun.end_work) << "libtun.so not loaded from " << QUORIN_BIN_DIR;
        body();
    }
};

int socket_to(int type, int protocol, const char* addr, uint16_t port, bool do_connect) {
    const int fd = socket(AF_INET, type, protocol);
    sockaddr_in sa{AF_INET, htons(port), {ipv4(addr)}, {}};
    auto* a = reinterpret_cast<sockaddr*>(&sa);
    if ((do_connect ? connect(fd, a, sizeof sa) : bind(fd, a, sizeof sa)) == 0) return fd;
    close(fd);
    return -1;
}

// Conditions on the device wait up to wait_ms.
template <typename Cond>
bool eventually_within(Cond cond) { return test_support::eventually(cond, wait_ms); }

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, wait_ms) == 1;
}

// The engine's side of the receive slots: an index, then the packet.
int next_index(int control) {
    uint8_t index = 0;
    return readable(control) && recv(control, &index, 1, 0) == 1 ? index : -1;
}

bytes slot_packet(int index) {
    PacketSlot& slot = tun.recvbuf[index];
    bytes packet(slot.data, slot.data + tun_slot_length(slot));
    tun_slot_free(slot);
    return packet;
}

bytes take_packet(int control, int expected_index) {
    EXPECT_EQ(next_index(control), expected_index);
    return slot_packet(expected_index);
}

std::string udp_payload(const bytes& p) { return p.size() < 28 ? "" : std::string(p.begin() + 28, p.end()); }

void send_udp(const std::string& text) {
    const int fd = socket_to(SOCK_DGRAM, 0, far_ip, 53, true);
    EXPECT_EQ(send(fd, text.data(), text.size(), 0), ssize_t(text.size()));
    close(fd);
}

std::string attribute(const std::string& name, const char* attr) {
    return read_file("/sys/class/net/" + name + "/" + attr);
}

bool admin_up(const std::string& name) { return std::stoul(attribute(name, "flags"), nullptr, 16) & IFF_UP; }

// Listening TCP sockets of this namespace.
int listeners() {
    std::istringstream table(read_file("/proc/net/tcp"));
    std::string line, slot, local, remote, state;
    int found = 0;
    while (std::getline(table, line)) found += std::istringstream(line) >> slot >> local >> remote >> state && state == "0A";
    return found;
}

// The device set up as the engine sets it up, its route, the transparent
// listener and (unless told otherwise) the engine's control connection.
struct bring_up {
    std::string name = dev('a');
    int listener = -1, control = -1;

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
        sh("ip route add 198.51.100.0/24 dev " + name + " && ip -4 addr show dev " + name +
           " | grep -q 'inet 10.7.0.2 peer 10.0.0.1/32'");
        listener = socket_to(SOCK_STREAM, 0, device_ip, listen_port, false);
        EXPECT_EQ(listen(listener, 16), 0);
        const uintptr_t thread = tun.StartTunThread();
        EXPECT_TRUE(thread != 0 && thread != uintptr_t(-1));
        EXPECT_EQ(tun.StartTunThread(), thread);
        if (!connect_engine) return;
        EXPECT_TRUE(eventually_within([&] {
            return (control = socket_to(SOCK_STREAM, 0, "127.0.0.1", control_port, true)) >= 0;
        })) << "the packet thread never listened";
    }
    ~bring_up() {
        tun.end_work();
        close(listener);
        close(control);
    }
    // A connection dialled to addr:port and the listener's end of it.
    std::pair<int, int> dial(const char* addr, uint16_t port) const {
        const int app = socket_to(SOCK_STREAM, 0, addr, port, true);
        EXPECT_GE(app, 0);
        return {app, readable(listener) ? accept(listener, nullptr, nullptr) : -1};
    }
};

sockaddr_in peer_of(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return sa;
}

// What arrives on fd until n bytes or the end.
bytes receive(int fd, size_t n) {
    bytes got(n);
    size_t have = 0;
    while (have < n && readable(fd)) {
        const ssize_t r = recv(fd, got.data() + have, n - have, 0);
        if (r <= 0) break;
        have += size_t(r);
    }
    got.resize(have);
    return got;
}

TEST_F(TunNetns, DiscoveryTakesTheLowestIfindexAndOpensOnlyExistingTunDevices) {
    struct open_case {
        std::vector<std::string> made;  // "tun z": made in this order
        char named;                     // 0: discovery
        intptr_t handle;                // 1 stands for an open device
        char found;                     // 0: out untouched
    } cases[] = {
        {{"tap t", "tun z", "tun a"}, 0, 1, 'z'},  // index order, not name order
        {{"tun z", "tun a"}, 'a', 1, 'a'},
        {{"tun z"}, 'n', tun_handle_invalid, 'n'},  // names nothing: not made either
        {{"tap t"}, 't', tun_handle_invalid, 't'},
        {{"tap t"}, 0, tun_handle_none, 0},
    };
    for (const open_case& c : cases) {
        in_namespace([&] {
            for (const std::string& d : c.made) sh("ip tuntap add dev " + dev(d[4]) + " mode " + d.substr(0, 3));
            if (c.named) tun.SetTapGuid(dev(c.named).c_str());
            char out[256] = "untouched", again[256] = "untouched";
            const intptr_t h = tun.InitTun(out);
            EXPECT_EQ(std::string(out), c.found ? dev(c.found) : "untouched");
            EXPECT_EQ(c.handle == 1 ? h >= 3 : h == c.handle, true) << h;
            EXPECT_EQ(tun.InitTun(again), h);  // neither reopened nor retried
            EXPECT_STREQ(again, "untouched");
            EXPECT_EQ(if_nametoindex(dev('n').c_str()), 0u);
            EXPECT_EQ(tun.SetTunMediaStatus(), c.handle == 1);
            EXPECT_EQ(tun.SetTunPtP(ipv4(device_ip), ipv4(peer_ip)), c.handle == 1);
            EXPECT_EQ(tun.SetTunDNS(ipv4(peer_ip)), c.handle == 1);
        });
    }
}

TEST_F(TunNetns, RedirectedTcpAndWholePacketsCrossTheDevice) {
    in_namespace([] {
        bring_up up;
        // Connections to public addresses reach the listener from the peer's
        // mapped ports; the dialled address is known by that port.
        struct dialled {
            const char* addr;
            uint16_t port, mapped;
        } conns[] = {{far_ip, 80, 30000}, {"198.51.100.8", 8080, 30001}};
        for (const dialled& d : conns) {
            const auto [app, srv] = up.dial(d.addr, d.port);
            ASSERT_GE(srv, 0) << "no redirected connection arrived";
            EXPECT_EQ(peer_of(srv).sin_addr.s_addr, ipv4(peer_ip));
            EXPECT_EQ(ntohs(peer_of(srv).sin_port), d.mapped);
            EXPECT_EQ(tun.GetTcpRedirDstIP(d.mapped), ipv4(d.addr));
            EXPECT_EQ(tun.GetTcpRedirDstPort(d.mapped), htons(d.port));
            bytes out(300000), back(200000);
            std::mt19937 rng(d.mapped);
            for (bytes* b : {&out, &back})
                for (uint8_t& x : *b) x = uint8_t(rng());
            std::thread a([&, app = app] { send(app, out.data(), out.size(), MSG_NOSIGNAL); });
            std::thread b([&, srv = srv] { send(srv, back.data(), back.size(), MSG_NOSIGNAL); });
            EXPECT_TRUE(receive(srv, out.size()) == out) << "application to listener";
            EXPECT_TRUE(receive(app, back.size()) == back) << "listener to application";
            a.join();
            b.join();
            tun.SetTcpRedirPortFordel(d.mapped);
            close(app);
            close(srv);
        }

        // UDP and ICMP from the device's address reach the engine whole.
        send_udp("query-0");
        bytes p = take_packet(up.control, 0);
        EXPECT_EQ(p.size(), 20u + 8 + 7);
        EXPECT_EQ(bytes(p.begin(), p.begin() + 2), bytes({0x45, 0}));
        EXPECT_EQ(p[9], ip_proto_udp);
        EXPECT_EQ(bytes(p.begin() + 12, p.begin() + 20), bytes({10, 7, 0, 2, 198, 51, 100, 7}));
        EXPECT_EQ(be16_get(&p[22]), 53);
        EXPECT_EQ(udp_payload(p), "query-0");
        EXPECT_EQ(tun_slot_length(tun.recvbuf[0]), 0);
        const int ping = socket_to(SOCK_DGRAM, IPPROTO_ICMP, "0.0.0.0", 0, false);
        const uint8_t echo[12] = {8, 0, 0, 0, 0, 0, 0, 1, 'p', 'i', 'n', 'g'};
        sockaddr_in far{AF_INET, 0, {ipv4(far_ip)}, {}};
        EXPECT_EQ(sendto(ping, echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&far), sizeof far), 12);
        close(ping);
        p = take_packet(up.control, 1);
        EXPECT_EQ(p.size(), 32u);
        EXPECT_EQ(p[9], ip_proto_icmp);
        EXPECT_EQ(std::string(p.begin() + 28, p.end()), "ping");

        // A packet put in a send slot reaches a socket here.
        const int udp = socket_to(SOCK_DGRAM, 0, device_ip, 6000, false);
        packet_spec reply{ipv4(far_ip), ipv4(device_ip), ip_proto_udp, 53, 6000};
        reply.payload_bytes = 11;
        reply.fill = 'a';
        const bytes packet = make_packet(reply);
        std::memcpy(tun.sendbuf[7].data, packet.data(), packet.size());
        tun_slot_fill(tun.sendbuf[7], uint16_t(packet.size()));
        const uint8_t index = 7;
        EXPECT_EQ(send(up.control, &index, 1, 0), 1);
        char got[64];
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        EXPECT_TRUE(readable(udp)) << "the send slot's packet never arrived";
        EXPECT_EQ(recvfrom(udp, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &from_len), 11);
        EXPECT_EQ(std::string(got, 11), "abcdefghijk");
        EXPECT_EQ(from.sin_addr.s_addr, ipv4(far_ip));
        EXPECT_TRUE(eventually_within([] { return tun_slot_length(tun.sendbuf[7]) == 0; })) << "send slot not freed";

        // Packets 3 to 256 take slots 2 to 255; the 257th wraps to slot 0.
        for (int k = 2; k <= 256; k++) send_udp("query-" + std::to_string(k));
        for (int k = 2; k <= 256; k++) ASSERT_EQ(udp_payload(take_packet(up.control, k % 256)), "query-" + std::to_string(k));

        // A slot that the engine has not copied out yet is never written
        // over: the packet that would take it is dropped, with no index.
        send_udp("held");
        ASSERT_EQ(next_index(up.control), 1);
        for (int k = 2; k <= 256; k++) send_udp("fill-" + std::to_string(k));
        for (int k = 2; k <= 256; k++) ASSERT_EQ(udp_payload(take_packet(up.control, k % 256)), "fill-" + std::to_string(k));
        send_udp("dropped");
        // Packets are handled in order: once a later SYN reaches the
        // listener, "dropped" was handled.
        const auto [app, srv] = up.dial(far_ip, 81);
        ASSERT_GE(srv, 0);
        uint8_t b;
        EXPECT_EQ(recv(up.control, &b, 1, MSG_DONTWAIT), -1) << "an index for a slot still taken";
        EXPECT_EQ(udp_payload(slot_packet(1)), "held");
        send_udp("after");
        EXPECT_EQ(udp_payload(take_packet(up.control, 1)), "after");

        // end_work returns once the thread has ended: the device is closed,
        // so its link goes down, and it is not used again.
        EXPECT_EQ(attribute(up.name, "carrier"), "1\n");
        tun.end_work();
        EXPECT_FALSE(admin_up(up.name));
        tun.end_work();
        char out[256];
        EXPECT_EQ(tun.InitTun(out), tun_handle_invalid);
        EXPECT_EQ(tun.SetTunMediaStatus(), 0);
        EXPECT_EQ(recv(up.control, &b, 1, MSG_DONTWAIT), -1);  // still connected
        close(app);
        close(srv);
    });
}

// A control port that cannot be bound is reported on stderr and nothing
// listens in its place; redirection goes on without the engine.
TEST_F(TunNetns, ControlPortTakenIsReportedAndRedirectionGoesOn) {
    const child_result r = in_namespace([] {
        const int blocker = socket_to(SOCK_STREAM, 0, "127.0.0.1", control_port, false);
        bring_up up(false);
        const auto [app, srv] = up.dial(far_ip, 443);
        ASSERT_GE(srv, 0) << "no redirected connection arrived";
        EXPECT_EQ(ntohs(peer_of(srv).sin_port), 30000);
        EXPECT_EQ(listeners(), 1);  // the test's own listener
        tun.end_work();
        close(app);
        close(srv);
        close(blocker);
    });
    EXPECT_EQ(r.err, "Error: Ires1 -1 err 98\n");
}

// end_work while the thread waits for the engine, and before it is started.
// Once the thread has closed the device, the device is as it was found: a
// link that the library raised is down again and an address that it gave
// is gone, so no route through the device is left behind; what was there
// before stays, the metric of the address's route included.
TEST_F(TunNetns, EndWorkStopsTheThreadWhateverItWaitsFor) {
    const struct {
        bool started, configured_before;
    } cases[] = {{true, false}, {false, false}, {true, true}};
    for (const auto& c : cases) {
        in_namespace([c] {
            const std::string name = dev('a');
            sh("ip tuntap add dev " + name + " mode tun");
            if (c.configured_before)
                sh("ip link set " + name + " up && ip addr add 10.7.0.2 peer 10.0.0.1 dev " + name + " metric 30");
            const std::string before = test_support::sh_out("ip -4 addr show dev " + name + "; ip route");
            char out[256];
            ASSERT_GE(tun.InitTun(out), 3);
            ASSERT_EQ(tun.SetTunMediaStatus(), 1);
            ASSERT_EQ(tun.SetTunPtP(ipv4(device_ip), ipv4(peer_ip)), 1);
            ASSERT_EQ(tun.SetTunDHCP(ipv4(device_ip), ipv4(peer_ip), 360000), 1);
            tun.SetTunControlPort(htons(control_port));
            if (c.started) {
                tun.StartTunThread();
                ASSERT_TRUE(eventually_within([] { return listeners() == 1; }));
            } else {
                tun.end_work();
                EXPECT_EQ(attribute(name, "carrier"), "1\n");
                tun.StartTunThread();  // meets the stop at once
            }
            tun.end_work();
            EXPECT_EQ(listeners(), 0);
            EXPECT_EQ(admin_up(name), c.configured_before);
            if (c.configured_before) {
                EXPECT_EQ(attribute(name, "carrier"), "0\n");
            }
            EXPECT_EQ(test_support::sh_out("ip -4 addr show dev " + name + "; ip route"), before);
        });
    }
}

}  // namespace
