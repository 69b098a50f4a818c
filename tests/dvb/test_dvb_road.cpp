// The satellite road without a card: the reference server's --sat output
// decoded back into the session's datagrams, and a download through the
// engine whose whole downstream goes reference server -> transport stream ->
// (a UDP feed read here in place of the card and the tuner reader) ->
// libdvb.so -> the engine, while the link emulator drops every datagram the
// server sends the ordinary way.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/wire.h"
#include "tests/dvb/fake_kestrix.h"
#include "tests/e2e/harness.h"
#include "tools/dvb/dvb_api.h"
#include "tools/dvb/mpe.h"

namespace {

using namespace e2e;

constexpr uint16_t sat_pid = 0x123;
constexpr const char* sat_ip_text = "10.0.0.1";
constexpr const char* reader = "KestrixFake.dll";

// A loopback UDP socket: the card's feed, or the engine's side of a session.
struct udp_socket {
    int fd = -1;
    uint16_t port = 0;
    udp_socket() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int buf = 8 << 20;
        // Room for a burst while the pump is descheduled (beyond rmem_max as root).
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t al = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &al);
        port = ntohs(a.sin_port);
    }
    ~udp_socket() { close(fd); }
    udp_socket(const udp_socket&) = delete;
    udp_socket& operator=(const udp_socket&) = delete;
    // One datagram, or empty after the time-out.
    std::vector<uint8_t> receive(double timeout_s) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(timeout_s * 1000)) <= 0) return {};
        std::vector<uint8_t> d(65536);
        const ssize_t n = recv(fd, d.data(), d.size(), 0);
        d.resize(n > 0 ? size_t(n) : 0);
        return d;
    }
    void send_to(uint16_t to_port, const void* data, size_t n) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(to_port);
        sendto(fd, data, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

std::string sat_arg(uint16_t feed_port) {
    return "127.0.0.1:" + std::to_string(feed_port) + "," + std::to_string(sat_pid) + "," + sat_ip_text;
}

std::vector<uint8_t> login_packet(uint32_t sid, const char* password) {
    const uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> p(login_packet_bytes);
    build_login_packet(p.data(), login_fields{sid, "alice", nonce, password, 100000, 100000, 1444, 0, 0});
    return p;
}

TEST(DvbSat, BadSatOptionsAreRefused) {
    const char* bad[] = {"127.0.0.1:0,1,10.0.0.1",    "127.0.0.1:9,8192,10.0.0.1", "127.0.0.1:9,1",
                         "127.0.0.1:9,1,10.0.0",      "127.0.0.1:9,x,10.0.0.1",    "127.0.0.1:9,1,10.0.0.1,5",
                         "127.0.0.1:9,-1,10.0.0.1",   ",1,10.0.0.1"};
    temp_dir dir;
    for (const char* value : bad) {
        process p;
        ASSERT_TRUE(p.start({bin_path("refserver"), "--listen", "127.0.0.1:0", "--sat", value}, dir.path(), "",
                            dir.file("err")));
        int status = -1;
        ASSERT_TRUE(p.wait_exit(5, &status)) << value;
        EXPECT_EQ(status, 2) << value;
    }
}

// The server's first keepalive after a login travels as a section; a refused
// login is answered on the ordinary socket.
TEST(DvbSat, SessionDatagramsLeaveThroughTheFeed) {
    temp_dir dir;
    udp_socket feed, client;
    refserver_proc rs;
    ASSERT_TRUE(rs.start(dir, {"--user", "alice:secret", "--sat", sat_arg(feed.port)}));
    const uint32_t sid = 0x5A7E1117;
    const std::vector<uint8_t> login = login_packet(sid, "secret");
    client.send_to(rs.port, login.data(), login.size());

    mpe_decap decap;
    mpe_decap_reset(decap, sat_pid, inet_addr(sat_ip_text));
    std::vector<udp_datagram> got;
    std::vector<std::vector<uint8_t>> payloads;
    struct sink_ctx {
        std::vector<udp_datagram>* got;
        std::vector<std::vector<uint8_t>>* payloads;
    } ctx{&got, &payloads};
    const double end = mono_now() + 10;
    while (got.empty() && mono_now() < end) {
        const std::vector<uint8_t> d = feed.receive(0.5);
        ASSERT_EQ(d.size() % ts_packet_bytes, 0u);
        for (size_t at = 0; at < d.size(); at += ts_packet_bytes)
            mpe_decap_packet(decap, d.data() + at, ts_packet_bytes,
                             [](void* c, const udp_datagram& u) {
                                 auto* x = static_cast<sink_ctx*>(c);
                                 x->got->push_back(u);
                                 x->payloads->emplace_back(u.payload, u.payload + u.payload_len);
                             },
                             &ctx);
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].dst_port, client.port);
    EXPECT_EQ(got[0].src_port, rs.port);
    EXPECT_EQ(got[0].dst_net, inet_addr(sat_ip_text));
    ASSERT_EQ(payloads[0].size(), size_t(header_bytes));  // a keepalive
    const pkt_header h = header_get(payloads[0].data());
    EXPECT_EQ(h.session_id, sid);
    EXPECT_EQ(h.flags, flags_data);
    EXPECT_EQ(decap.counters.crc_errors + decap.counters.discontinuities + decap.counters.sections_lost, 0u);
    EXPECT_TRUE(client.receive(0.2).empty());  // nothing the ordinary way

    const std::vector<uint8_t> refused = login_packet(sid + 1, "wrong");
    client.send_to(rs.port, refused.data(), refused.size());
    const std::vector<uint8_t> reset = client.receive(10);
    ASSERT_GE(reset.size(), size_t(header_bytes));
    EXPECT_EQ(header_get(reset.data()).session_id, sid + 1);
    EXPECT_EQ(header_get(reset.data()).flags & flags_kind_mask, flags_reset);
}

class DvbRoad : public ::testing::Test {
protected:
    void SetUp() override {
        fake_lib = dlopen(bin_path("libKestrixFake.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(fake_lib, nullptr) << dlerror();
        reinterpret_cast<fake_kestrix_state_fn*>(dlsym(fake_lib, "FakeKestrix"))()->reset();
        deliver = reinterpret_cast<fake_kestrix_deliver_fn*>(dlsym(fake_lib, "FakeKestrixDeliver"));
        lib = dlopen(bin_path("libdvb.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        get_card_count = reinterpret_cast<decltype(&GetCardCount)>(dlsym(lib, "GetCardCount"));
        start_card = reinterpret_cast<decltype(&StartCard)>(dlsym(lib, "StartCard"));
        dvb_init = reinterpret_cast<decltype(&init)>(dlsym(lib, "init"));
        get_filter_stat = reinterpret_cast<decltype(&GetFilterStat)>(dlsym(lib, "GetFilterStat"));
        get_stat = reinterpret_cast<decltype(&GetStat)>(dlsym(lib, "GetStat"));
        dvb_stop = reinterpret_cast<decltype(&DvbStop)>(dlsym(lib, "DvbStop"));
        ASSERT_TRUE(get_card_count && start_card && dvb_init && get_filter_stat && get_stat && dvb_stop);
    }
    void TearDown() override {
        stop = true;
        if (pump.joinable()) pump.join();
        if (HasFailure()) st.keep_for_diagnosis();
        if (dvb_stop) dvb_stop();
        if (lib) dlclose(lib);
        if (fake_lib) dlclose(fake_lib);
    }
    // Stands in for the card and the tuner reader: each feed datagram is one
    // capture buffer, delivered on this thread.
    void start_pump() {
        pump = std::thread([this] {
            while (!stop) {
                const std::vector<uint8_t> d = feed.receive(0.05);
                if (!d.empty()) deliver(d.data(), uint32_t(d.size()));
            }
        });
    }

    stack st;
    udp_socket feed;
    process link;
    void* fake_lib = nullptr;
    void* lib = nullptr;
    fake_kestrix_deliver_fn* deliver = nullptr;
    decltype(&GetCardCount) get_card_count = nullptr;
    decltype(&StartCard) start_card = nullptr;
    decltype(&init) dvb_init = nullptr;
    decltype(&GetFilterStat) get_filter_stat = nullptr;
    decltype(&GetStat) get_stat = nullptr;
    decltype(&DvbStop) dvb_stop = nullptr;
    std::atomic<bool> stop{false};
    std::thread pump;
};

TEST_F(DvbRoad, DownloadArrivesOnlyBySatellite) {
    ASSERT_TRUE(st.start_refserver({"--sat", sat_arg(feed.port)}, true));
    ASSERT_TRUE(link.start({bin_path("linkem"), "--listen", "127.0.0.1:0", "--server",
                            "127.0.0.1:" + std::to_string(st.rs.port), "--down-loss", "100"},
                           st.dir.path(), "", st.dir.file("linkem.err")));
    std::string line;
    ASSERT_GE(link.wait_line("LISTEN ", 10, &line), 0);
    st.remote.port = uint16_t(std::atoi(line.c_str() + 7));

    ASSERT_EQ(get_card_count(reader), 2);
    ASSERT_EQ(start_card(0) & 0xFF, 1);
    start_pump();
    // The engine's UDP port as the interface writes it for DVB: a loopback
    // line, last, so that the engine also sends from it. Chosen again should
    // another process take it first.
    bool up = false;
    for (int attempt = 0; attempt < 4 && !up; attempt++) {
        const uint16_t port = free_udp_port();
        ASSERT_EQ(dvb_init(11595000, 29270000, 1, 0, 9750000, 10600000, 11700000, 0, 0, 0, 0, 0, 0, sat_pid,
                           htons(port), inet_addr(sat_ip_text), 0, reader) &
                      0xFF,
                  0);
        up = st.start_engine({{"socks5=1"}}, "port=127.0.0.1:" + std::to_string(port) + "\n");
    }
    ASSERT_TRUE(up) << "the engine did not start";

    constexpr uint64_t download_bytes = 1u << 20;
    data_server source(data_server::source, download_bytes, 31);
    int down = socks5_connect_ip(st.port(0), "127.0.0.1", source.port());
    ASSERT_GE(down, 0);
    std::string why;
    EXPECT_TRUE(check_stream(down, 31, download_bytes, 60, &why)) << why;
    close_fd(down);

    uint64_t bytes = 0, datagrams = 0, crc = 0, packets = 0;
    get_filter_stat(&bytes, &datagrams, &crc);
    get_stat(nullptr, nullptr, &packets, nullptr, nullptr);
    EXPECT_GE(bytes, download_bytes);  // random bytes do not deflate
    EXPECT_GT(datagrams, download_bytes / 1500);
    EXPECT_EQ(crc, 0u);
    EXPECT_GT(packets, bytes / ts_payload_max_bytes);
}

}  // namespace
