// The satellite road: the reference server's --sat output decoded back into
// the session's datagrams, and a download through the engine whose whole
// downstream goes reference server -> transport stream -> card -> tuner
// reader -> libdvb.so -> the engine, while the link emulator drops every
// datagram the server sends the ordinary way. The card and the reader are
// played by a UDP feed read here and a fake reader, then are the real ones:
// libKestrix.so over libTeVii.so's simulated card fed by UDP.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dynlib.h"
#include "protocol/wire.h"
#include "tests/dvb/dvb_testing.h"
#include "tools/tevii/tevii_sim.h"

namespace {

using namespace e2e;
using namespace dvb_testing;

constexpr uint16_t sat_pid = 0x123;
constexpr const char* sat_ip_text = "10.0.0.1";
constexpr const char* reader = "KestrixFake.dll";

std::string sat_arg(uint16_t feed_port) {
    return "127.0.0.1:" + std::to_string(feed_port) + "," + std::to_string(sat_pid) + "," + sat_ip_text;
}

bytes login_packet(uint32_t sid, const char* password) {
    const uint8_t nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bytes p(login_packet_bytes);
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
    const bytes login = login_packet(sid, "secret");
    client.send_to(rs.port, login.data(), login.size());

    mpe_decap decap;
    mpe_decap_reset(decap, sat_pid, inet_addr(sat_ip_text));
    struct seen {
        udp_datagram d;  // its payload pointer is not kept valid
        bytes payload;
    };
    std::vector<seen> got;
    const double end = mono_now() + 10;
    while (got.empty() && mono_now() < end) {
        const bytes d = feed.receive(0.5);
        ASSERT_EQ(d.size() % ts_packet_bytes, 0u);
        for (size_t at = 0; at < d.size(); at += ts_packet_bytes)
            mpe_decap_packet(decap, d.data() + at, ts_packet_bytes,
                             [](void* c, const udp_datagram& u) {
                                 static_cast<std::vector<seen>*>(c)->push_back(
                                     {u, bytes(u.payload, u.payload + u.payload_len)});
                             },
                             &got);
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].d.dst_port, client.port);
    EXPECT_EQ(got[0].d.src_port, rs.port);
    EXPECT_EQ(got[0].d.dst_net, inet_addr(sat_ip_text));
    ASSERT_EQ(got[0].payload.size(), size_t(header_bytes));  // a keepalive
    const pkt_header h = header_get(got[0].payload.data());
    EXPECT_EQ(h.session_id, sid);
    EXPECT_EQ(h.flags, flags_data);
    EXPECT_EQ(decap.counters.crc_errors + decap.counters.discontinuities + decap.counters.sections_lost, 0u);
    EXPECT_TRUE(client.receive(0.2).empty());  // nothing the ordinary way

    const bytes refused = login_packet(sid + 1, "wrong");
    client.send_to(rs.port, refused.data(), refused.size());
    const bytes reset = client.receive(10);
    ASSERT_GE(reset.size(), size_t(header_bytes));
    EXPECT_EQ(header_get(reset.data()).session_id, sid + 1);
    EXPECT_EQ(header_get(reset.data()).flags & flags_kind_mask, flags_reset);
}

class DvbRoad : public ::testing::Test {
protected:
    void TearDown() override {
        stop = true;
        if (pump.joinable()) pump.join();
        if (HasFailure()) st.keep_for_diagnosis();
    }
    // Stands in for the card and the tuner reader: each feed datagram is one
    // capture buffer, delivered on this thread.
    void start_pump() {
        pump = std::thread([this] {
            while (!stop) {
                const bytes d = feed.receive(0.05);
                if (!d.empty()) dvb.deliver(d.data(), uint32_t(d.size()));
            }
        });
    }
    // The reference server sends the session's downstream to the feed port
    // only; the link emulator drops whatever it sends the ordinary way. The
    // card must be started (its feed listening) before.
    void download_by_satellite(uint16_t feed_port, const char* reader_name) {
        ASSERT_TRUE(st.start_refserver({"--sat", sat_arg(feed_port)}, true));
        ASSERT_TRUE(link.start({bin_path("linkem"), "--listen", "127.0.0.1:0", "--server",
                                "127.0.0.1:" + std::to_string(st.rs.port), "--down-loss", "100"},
                               st.dir.path(), "", st.dir.file("linkem.err")));
        std::string line;
        ASSERT_GE(link.wait_line("LISTEN ", 10, &line), 0);
        st.remote.port = uint16_t(std::atoi(line.c_str() + 7));
        // The engine's UDP port as the interface writes it for DVB: a
        // loopback line, last, so that the engine also sends from it. Chosen
        // again should another process take it first.
        bool up = false;
        for (int attempt = 0; attempt < 4 && !up; attempt++) {
            const uint16_t port = free_udp_port();
            ASSERT_EQ(dvb.init(11595000, 29270000, 1, 0, 9750000, 10600000, 11700000, 0, 0, 0, 0, 0, 0, sat_pid,
                               htons(port), inet_addr(sat_ip_text), 0, reader_name) &
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

        uint64_t bytes = 0, datagrams = 0, crc = 0, packets = 0, gaps = 0;
        dvb.GetFilterStat(&bytes, &datagrams, &crc);
        dvb.GetStat(nullptr, nullptr, &packets, &gaps, nullptr);
        EXPECT_GE(bytes, download_bytes);  // random bytes do not deflate
        EXPECT_GT(datagrams, download_bytes / 1500);
        // A section is cut only where the feed lost packets, and a loss
        // whose counters happen to line up shows as a CRC error instead of
        // a gap; a feed that lost nothing has neither.
        if (gaps == 0) {
            EXPECT_EQ(crc, 0u);
        }
        EXPECT_GT(packets, bytes / ts_payload_max_bytes);
    }

    loaded_dvb dvb;
    stack st;
    udp_socket feed;
    process link;
    std::atomic<bool> stop{false};
    std::thread pump;
};

TEST_F(DvbRoad, DownloadArrivesOnlyBySatellite) {
    ASSERT_TRUE(dvb.load());
    ASSERT_EQ(dvb.GetCardCount(reader), 2);
    ASSERT_EQ(dvb.StartCard(0) & 0xFF, 1);
    start_pump();
    download_by_satellite(feed.port, reader);
}

// The same through the real tuner reader (libKestrix.so, found beside
// libdvb.so) and our maker's library with its simulated card, whose feed
// is the reference server's satellite output.
TEST_F(DvbRoad, DownloadThroughTheSimulatedCard) {
    const uint16_t feed_port = free_udp_port();
    st.dir.write("tevii-sim.ini", "[Card]\nDevices=1\n[Device0]\nName=Simulated card\nFeed=udp\n"
                                  "UdpAddress=127.0.0.1\nUdpPort=" + std::to_string(feed_port) + "\n");
    ASSERT_EQ(setenv(tevii_sim_env, st.dir.file("tevii-sim.ini").c_str(), 1), 0);
    ASSERT_EQ(chdir(st.dir.path().c_str()), 0);  // the reader reads kestrix.ini there
    ASSERT_TRUE(dvb.load(false));
    ASSERT_EQ(dvb.GetCardCount(KESTRIX_DLL), 1);
    char name[dvb_card_name_bytes];
    dvb.GetCardName(0, name);
    EXPECT_STREQ(name, "Simulated card");
    ASSERT_EQ(dvb.StartCard(0) & 0xFF, 1) << "the card's feed port was taken";
    download_by_satellite(feed_port, KESTRIX_DLL);
    int level = 0, quality = 0, locked = 0;
    dvb.GetStat(&level, &quality, nullptr, nullptr, &locked);
    EXPECT_EQ(std::vector<int>({level, quality, locked}), std::vector<int>({55, 80, 1}));  // the card's -45 dBm, 80 %
}

}  // namespace
