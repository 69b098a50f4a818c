// libdvb.so loaded as the interface loads it, with the seven functions bound
// by name, over a fake tuner reader (libKestrixFake.so) that journals the
// calls it gets and hands transport-stream buffers to the filter callback on
// a thread of its caller's choosing: what reaches the reader, in which order
// and byte order, what reaches the engine's port, and the figures.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/dvb/fake_kestrix.h"
#include "tests/e2e/harness.h"
#include "tools/dvb/dvb_api.h"
#include "tools/dvb/mpe.h"
#include "tools/dvb/ts.h"

namespace {

using bytes = std::vector<uint8_t>;
using journal = std::vector<std::string>;

constexpr const char* reader = "KestrixFake.dll";
constexpr uint16_t pid = 0x101;
const uint32_t sat_ip = inet_addr("10.0.0.1");

struct dvb_functions {
#define DVB_TEST_POINTER(name) decltype(&::name) name = nullptr;
    DVB_API_FUNCTIONS(DVB_TEST_POINTER)
#undef DVB_TEST_POINTER
};

// A loopback UDP socket standing for the engine's port.
class engine_port {
public:
    engine_port() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t al = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &al);
        port_ = ntohs(a.sin_port);
    }
    ~engine_port() { close(fd_); }
    engine_port(const engine_port&) = delete;
    engine_port& operator=(const engine_port&) = delete;
    uint16_t port() const { return port_; }
    // One datagram's bytes, or "" after the time-out.
    std::string receive(double timeout_s) {
        timeval tv{long(timeout_s), long((timeout_s - long(timeout_s)) * 1e6)};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[65536];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, size_t(n)) : std::string();
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

bytes section_for(uint32_t dst, const std::string& payload) {
    uint8_t ip[section_max_bytes], section[section_max_bytes], mac[6] = {};
    const size_t n = ipv4_udp_build(inet_addr("192.0.2.1"), 2080, dst, 2080, 7,
                                    reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), ip, sizeof ip);
    const size_t s = mpe_build(mac, ip, n, section, sizeof section);
    return bytes(section, section + s);
}

bytes packetize(ts_packetizer& t, const std::vector<bytes>& sections) {
    std::vector<section_ref> refs;
    for (const bytes& s : sections) refs.push_back({s.data(), s.size()});
    bytes out;
    ts_packetize(t, refs.data(), refs.size(), out);
    return out;
}

class DvbLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(dir.path().c_str()), 0);  // the verbose log goes to the working directory
        // Held by the test as well, so that the fake keeps its state while
        // the library unloads and loads its reader.
        fake_lib = dlopen(e2e::bin_path("libKestrixFake.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(fake_lib, nullptr) << dlerror();
        fake = reinterpret_cast<fake_kestrix_state_fn*>(dlsym(fake_lib, "FakeKestrix"))();
        fake->reset();
        deliver_fn = reinterpret_cast<fake_kestrix_deliver_fn*>(dlsym(fake_lib, "FakeKestrixDeliver"));
        lib = dlopen(e2e::bin_path("libdvb.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
#define DVB_TEST_BIND(name)                                                   \
    dvb.name = reinterpret_cast<decltype(dvb.name)>(dlsym(lib, #name));       \
    ASSERT_NE(dvb.name, nullptr) << #name;
        DVB_API_FUNCTIONS(DVB_TEST_BIND)
#undef DVB_TEST_BIND
    }
    void TearDown() override {
        if (dvb.DvbStop) dvb.DvbStop();
        if (lib) dlclose(lib);
        if (fake_lib) dlclose(fake_lib);
    }

    journal take_journal() {
        std::lock_guard<std::mutex> lock(fake->mutex);
        journal j;
        j.swap(fake->journal);
        return j;
    }
    // As the reader's capture thread would.
    void deliver(const bytes& stream) {
        std::thread t([&] { deliver_fn(stream.data(), uint32_t(stream.size())); });
        t.join();
    }
    int tune(uint32_t on_pid, uint16_t port, int32_t diseqc_type = 0, int32_t diseqc_position = 0,
             int32_t polarisation = 1, int32_t frequency = 11595000, int32_t verbose = 0,
             const char* name = reader) {
        return dvb.init(frequency, 29270000, polarisation, 0, 9750000, 10600000, 11700000, 2, 0, 0, 0, diseqc_type,
                        diseqc_position, on_pid, htons(port), sat_ip, verbose, name);
    }

    e2e::temp_dir dir;
    void* fake_lib = nullptr;
    fake_kestrix* fake = nullptr;
    fake_kestrix_deliver_fn* deliver_fn = nullptr;
    void* lib = nullptr;
    dvb_functions dvb;
};

TEST_F(DvbLibrary, ListsTheReadersCardsOnceAndNamesThem) {
    fake->cards = {"First card", std::string(300, 'n')};
    EXPECT_EQ(dvb.GetCardCount(reader), 2);
    EXPECT_EQ(dvb.GetCardCount(reader), 2);
    EXPECT_EQ(take_journal(), journal({"CheckForDVBEx"}));
    char name[dvb_card_name_bytes];
    const std::pair<int, std::string> names[] = {
        {0, "First card"}, {1, std::string(255, 'n')}, {2, ""}, {-1, ""}};
    for (const auto& [index, expect] : names) {
        std::memset(name, 'x', sizeof name);
        dvb.GetCardName(index, name);
        EXPECT_EQ(std::string(name), expect) << index;
    }
    // A reader that is missing, or lacks one of the calls, is no tuner.
    EXPECT_EQ(dvb.GetCardCount("NoSuchReader.dll"), 0);
    EXPECT_EQ(dvb.GetCardCount("KestrixPartial.dll"), 0);
    EXPECT_EQ(tune(pid, 2080, 0, 0, 1, 11595000, 0, "KestrixPartial.dll") & 0xFF, dvb_init_no_reader);
}

TEST_F(DvbLibrary, InitHandsTheValuesToTheReaderInItsOrder) {
    engine_port engine;
    struct row {
        int32_t diseqc_type, diseqc_position, polarisation, frequency;
        journal expect;
    };
    const std::string filter = "SetFilter(257,4,188)";
    const row rows[] = {
        {0, 0, 1, 11595000,
         {"CheckForDVBEx", "StartDVBEx(0)", "SetChannelExEx(11595000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)",
          filter}},
        {1, 2, 1, 11595000,
         {"CheckForDVBEx", "StartDVBEx(0)", "SendDiSEqC(1,1)",
          "SetChannelExEx(11595000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)", filter}},
        {2, 1, 0, 11595000,
         {"CheckForDVBEx", "StartDVBEx(0)", "SendDiSEqC(2,242)",
          "SetChannelExEx(11595000,29270000,0,0,9750000,10600000,11700000,2,0,0,0)", filter}},
        {2, 4, 1, 12000000,
         {"CheckForDVBEx", "StartDVBEx(0)", "SendDiSEqC(2,253)",
          "SetChannelExEx(12000000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)", filter}},
        {2, 5, 1, 11595000,
         {"CheckForDVBEx", "StartDVBEx(0)", "SetChannelExEx(11595000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)",
          filter}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.diseqc_type) + "/" + std::to_string(r.diseqc_position));
        take_journal();
        // No card started yet: init starts the first one.
        EXPECT_EQ(tune(pid, engine.port(), r.diseqc_type, r.diseqc_position, r.polarisation, r.frequency), 0);
        EXPECT_EQ(take_journal(), r.expect);
        dvb.DvbStop();
        EXPECT_EQ(take_journal(), journal({"StopDVB"}));
    }
}

// The caller converts the port and the address; the library reads them back
// in network order.
TEST_F(DvbLibrary, PortAndAddressArriveInNetworkOrder) {
    EXPECT_EQ(htons(2080), 8200);
    EXPECT_EQ(sat_ip, 0x0100000Au);
    EXPECT_EQ(tune(pid, 2080, 0, 0, 1, 11595000, 1), 0);
    const std::string log = dir.read("dvb.log");
    EXPECT_NE(log.find(", 257, 2080, 10.0.0.1, 1, KestrixFake.dll)"), std::string::npos) << log;
    EXPECT_NE(log.find("init: 0"), std::string::npos) << log;
    // Without the verbose flag nothing more is written.
    const size_t before = dir.read("dvb.log").size();
    EXPECT_EQ(tune(pid, 2080), 0);
    EXPECT_EQ(dir.read("dvb.log").size(), before);
}

TEST_F(DvbLibrary, FailuresNameTheirStepInTheLowByte) {
    struct row {
        const char* name;
        std::function<void(fake_kestrix&)> setup;
        uint32_t pid;
        uint16_t port;
        int32_t diseqc_type;
        const char* reader_name;
        int result;
    };
    const row rows[] = {
        {"reader missing", [](fake_kestrix&) {}, pid, 2080, 0, "NoSuchReader.dll", dvb_init_no_reader},
        {"card refused", [](fake_kestrix& f) { f.start_result = 0; }, pid, 2080, 0, reader, dvb_init_no_card},
        {"whole-stream PID", [](fake_kestrix&) {}, 8192, 2080, 0, reader, dvb_init_bad_pid},
        {"port 0", [](fake_kestrix&) {}, pid, 0, 0, reader, dvb_init_bad_port},
        {"switch refused", [](fake_kestrix& f) { f.diseqc_result = 0; }, pid, 2080, 2, reader, dvb_init_diseqc_failed},
        {"transponder refused", [](fake_kestrix& f) { f.tune_result = 0; }, pid, 2080, 0, reader,
         dvb_init_tune_failed},
        {"filter refused", [](fake_kestrix& f) { f.filter_result = 0; }, pid, 2080, 0, reader, dvb_init_filter_failed},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fake->start_result = fake->tune_result = fake->diseqc_result = fake->filter_result = 1;
        r.setup(*fake);
        const int result = tune(r.pid, r.port, r.diseqc_type, 1, 1, 11595000, 0, r.reader_name);
        EXPECT_EQ(result & 0xFF, r.result);
        EXPECT_TRUE(fake->filters.empty());
        dvb.DvbStop();
    }
}

TEST_F(DvbLibrary, CardChoiceStartsStopsAndRestarts) {
    ASSERT_EQ(dvb.GetCardCount(reader), 2);
    struct step {
        int card;
        int result;
        journal expect;
    };
    const step steps[] = {
        {0, 1, {"StartDVBEx(0)"}},
        {0, 1, {}},  // the started card is left alone
        {1, 1, {"StopDVB", "StartDVBEx(1)"}},
        {7, 0, {"StopDVB", "StartDVBEx(7)"}},
        {-1, 0, {}},
        {0, 1, {"StartDVBEx(0)"}},
    };
    take_journal();
    for (const step& s : steps) {
        SCOPED_TRACE(s.card);
        EXPECT_EQ(dvb.StartCard(s.card) & 0xFF, s.result);
        EXPECT_EQ(take_journal(), s.expect);
    }
    dvb.DvbStop();
    dvb.DvbStop();
    EXPECT_EQ(take_journal(), journal({"StopDVB"}));
    // A stop unloads the reader; the cards are still known, and the next
    // start loads it again.
    char name[dvb_card_name_bytes];
    dvb.GetCardName(1, name);
    EXPECT_EQ(std::string(name), "Fake card 1");
    EXPECT_EQ(dvb.StartCard(1) & 0xFF, 1);
    EXPECT_EQ(take_journal(), journal({"CheckForDVBEx", "StartDVBEx(1)"}));
}

TEST_F(DvbLibrary, ForwardsThePayloadsForItsAddressAndCountsTheRest) {
    engine_port engine;
    ASSERT_EQ(dvb.GetCardCount(reader), 2);
    ASSERT_EQ(dvb.StartCard(0) & 0xFF, 1);
    ASSERT_EQ(tune(pid, engine.port()), 0);
    ts_packetizer t;
    t.pid = pid;
    bytes broken = section_for(sat_ip, "broken");
    broken[20] ^= 0x40;
    const bytes first = packetize(t, {section_for(sat_ip, "one"), section_for(inet_addr("10.0.0.2"), "other"),
                                      broken, section_for(sat_ip, std::string(600, 'l'))});
    // The long section runs from packet 0 to packet 4; packet 2 is lost.
    bytes stream(first.begin(), first.begin() + 2 * ts_packet_bytes);
    stream.insert(stream.end(), first.begin() + 3 * ts_packet_bytes, first.end());
    const bytes second = packetize(t, {section_for(sat_ip, "five")});
    stream.insert(stream.end(), second.begin(), second.end());
    ts_packetizer elsewhere;
    elsewhere.pid = pid + 1;
    const bytes other_pid = packetize(elsewhere, {section_for(sat_ip, "other pid")});
    stream.insert(stream.end(), other_pid.begin(), other_pid.end());
    deliver(stream);

    EXPECT_EQ(engine.receive(5), "one");
    EXPECT_EQ(engine.receive(5), "five");
    int level = -1, quality = -1, locked = -1;
    uint64_t packets = 0, discontinuities = 0, bytes_out = 0, datagrams = 0, crc = 0;
    dvb.GetStat(&level, &quality, &packets, &discontinuities, &locked);
    EXPECT_EQ(level, 55);  // -45 dBm
    EXPECT_EQ(quality, 80);
    EXPECT_EQ(locked, 1);
    EXPECT_EQ(packets, (stream.size() - other_pid.size()) / ts_packet_bytes);
    EXPECT_EQ(discontinuities, 1u);
    dvb.GetFilterStat(&bytes_out, &datagrams, &crc);
    EXPECT_EQ(bytes_out, 7u);
    EXPECT_EQ(datagrams, 2u);
    EXPECT_EQ(crc, 1u);
    dvb.GetStat(nullptr, nullptr, nullptr, nullptr, nullptr);
    dvb.GetFilterStat(nullptr, nullptr, nullptr);

    // The signal as the reader reports it now; the counters run on over a stop.
    fake->signal = SignalStatistic{0, 0, 1, -130};
    dvb.GetStat(&level, &quality, nullptr, nullptr, &locked);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(quality, 0);
    EXPECT_EQ(locked, 0);
    dvb.DvbStop();
    dvb.GetStat(&level, &quality, &packets, nullptr, &locked);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(packets, (stream.size() - other_pid.size()) / ts_packet_bytes);
}

TEST_F(DvbLibrary, RetuneKeepsTheFilterOfThePidAndMovesItToANewOne) {
    engine_port engine;
    ASSERT_EQ(tune(pid, engine.port()), 0);
    ASSERT_EQ(fake->filters.size(), 1u);
    const uint32_t first_number = fake->filters[0].number;
    take_journal();
    ASSERT_EQ(tune(pid, engine.port()), 0);
    EXPECT_EQ(take_journal(),
              journal({"SetChannelExEx(11595000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)"}));
    ASSERT_EQ(tune(pid + 1, engine.port()), 0);
    EXPECT_EQ(take_journal(),
              journal({"SetChannelExEx(11595000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)",
                       "DelFilter(" + std::to_string(first_number) + ")", "SetFilter(258,4,188)"}));
    ts_packetizer old_pid, new_pid;
    old_pid.pid = pid;
    new_pid.pid = pid + 1;
    bytes stream = packetize(old_pid, {section_for(sat_ip, "old")});
    const bytes now = packetize(new_pid, {section_for(sat_ip, "new")});
    stream.insert(stream.end(), now.begin(), now.end());
    deliver(stream);
    EXPECT_EQ(engine.receive(5), "new");
    EXPECT_EQ(engine.receive(0.2), "");
}

// A delivery that the reader had begun before the stop must not reach the
// engine, and must not touch freed state.
TEST_F(DvbLibrary, NothingReachesTheEngineAfterTheStop) {
    engine_port engine;
    ASSERT_EQ(tune(pid, engine.port()), 0);
    ASSERT_EQ(fake->filters.size(), 1u);
    kestrix_packet_fn* late = fake->filters[0].callback;
    ts_packetizer t;
    t.pid = pid;
    const bytes stream = packetize(t, {section_for(sat_ip, "late")});
    dvb.DvbStop();
    EXPECT_TRUE(fake->filters.empty());
    std::thread capture([&] { late(stream.data(), uint32_t(stream.size())); });
    capture.join();
    EXPECT_EQ(engine.receive(0.2), "");
    uint64_t packets = 1;
    dvb.GetStat(nullptr, nullptr, &packets, nullptr, nullptr);
    EXPECT_EQ(packets, 0u);
}

// The capture thread delivers while the caller re-tunes and reads figures.
TEST_F(DvbLibrary, CaptureAndCallsRunAtTheSameTime) {
    engine_port engine;
    ASSERT_EQ(tune(pid, engine.port()), 0);
    // Sixteen one-packet sections: repeated, the continuity counter runs on.
    ts_packetizer t;
    t.pid = pid;
    bytes stream;
    for (int i = 0; i < 16; i++) {
        const bytes one = packetize(t, {section_for(sat_ip, "x" + std::to_string(i))});
        stream.insert(stream.end(), one.begin(), one.end());
    }
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread capture([&] {
        while (!stop) {
            deliver_fn(stream.data(), uint32_t(stream.size()));
            rounds++;
        }
    });
    ASSERT_TRUE(e2e::wait_until([&] { return rounds > 0; }, 10));
    uint64_t last = 0;
    for (int i = 0; i < 200; i++) {
        EXPECT_EQ(tune(pid, engine.port(), 2, 1 + i % 4), 0);
        uint64_t packets = 0, datagrams = 0;
        dvb.GetStat(nullptr, nullptr, &packets, nullptr, nullptr);
        dvb.GetFilterStat(nullptr, &datagrams, nullptr);
        EXPECT_GE(packets, last);
        last = packets;
    }
    stop = true;
    capture.join();
    uint64_t packets = 0, discontinuities = 0, datagrams = 0;
    dvb.GetStat(nullptr, nullptr, &packets, &discontinuities, nullptr);
    dvb.GetFilterStat(nullptr, &datagrams, nullptr);
    EXPECT_EQ(packets, uint64_t(rounds) * 16);
    EXPECT_EQ(datagrams, packets);  // a re-tune on the same PID loses nothing
    EXPECT_EQ(discontinuities, 0u);
    EXPECT_EQ(engine.receive(5), "x0");
}

}  // namespace
