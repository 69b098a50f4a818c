// libdvb.so bound by name as the interface binds it, over a fake tuner reader
// that journals its calls and hands buffers to the filter callback on a
// thread of the test's choosing: what reaches the reader, in which order and
// byte order, what reaches the engine's port, and the figures.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/dvb/dvb_testing.h"

namespace {

using namespace dvb_testing;
using journal = std::vector<std::string>;

constexpr const char* reader = "KestrixFake.dll";
constexpr uint16_t pid = 0x101;
const uint32_t sat_ip = inet_addr("10.0.0.1");
const std::string tune_call = "SetChannelExEx(11595000,29270000,1,0,9750000,10600000,11700000,2,0,0,0)";

class DvbLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(dir.path().c_str()), 0);  // the verbose log goes to the working directory
        ASSERT_TRUE(dvb.load());
        t.pid = pid;
    }
    journal take_journal() {
        std::lock_guard<std::mutex> lock(dvb.fake->mutex);
        journal j;
        j.swap(dvb.fake->journal);
        return j;
    }
    // As the reader's capture thread would.
    void deliver(const bytes& stream) {
        std::thread capture([&] { dvb.deliver(stream.data(), uint32_t(stream.size())); });
        capture.join();
    }
    int tune(uint32_t on_pid, uint16_t port, int32_t diseqc_type = 0, int32_t diseqc_position = 0,
             int32_t polarisation = 1, int32_t frequency = 11595000, int32_t verbose = 0, const char* name = reader) {
        return dvb.init(frequency, 29270000, polarisation, 0, 9750000, 10600000, 11700000, 2, 0, 0, 0, diseqc_type,
                        diseqc_position, on_pid, htons(port), sat_ip, verbose, name);
    }

    e2e::temp_dir dir;
    loaded_dvb dvb;
    udp_socket engine;
    ts_packetizer t;
};

TEST_F(DvbLibrary, ListsTheReadersCardsOnceAndNamesThem) {
    dvb.fake->cards = {"First card", std::string(300, 'n')};
    EXPECT_EQ(dvb.GetCardCount(reader), 2);
    EXPECT_EQ(dvb.GetCardCount(reader), 2);
    EXPECT_EQ(take_journal(), journal({"CheckForDVBEx"}));
    char name[dvb_card_name_bytes];
    const std::pair<int, std::string> names[] = {{0, "First card"}, {1, std::string(255, 'n')}, {2, ""}, {-1, ""}};
    for (const auto& [index, expect] : names) {
        std::memset(name, 'x', sizeof name);
        dvb.GetCardName(index, name);
        EXPECT_EQ(std::string(name), expect) << index;
    }
    // A reader that is missing, or lacks one of the calls, is no tuner.
    EXPECT_EQ(dvb.GetCardCount("NoSuchReader.dll"), 0);
    EXPECT_EQ(dvb.GetCardCount("KestrixPartial.dll"), 0);
}

// Installed elsewhere than the program, the library finds its reader in its
// own folder.
TEST_F(DvbLibrary, FindsItsReaderBesideItself) {
    for (const auto& [from, to] : {std::pair("libdvb.so", "libdvb.so"), std::pair("libKestrixFake.so", "libBeside.so")}) {
        std::error_code ec;
        std::filesystem::copy_file(e2e::bin_path(from), dir.file(to), ec);
        ASSERT_FALSE(ec) << ec.message();
    }
    void* elsewhere = dlopen(dir.file("libdvb.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(elsewhere, nullptr);
    auto* count = reinterpret_cast<decltype(&GetCardCount)>(dlsym(elsewhere, "GetCardCount"));
    auto* stop = reinterpret_cast<decltype(&DvbStop)>(dlsym(elsewhere, "DvbStop"));
    EXPECT_EQ(count("Beside.dll"), 2);
    EXPECT_EQ(dvb.GetCardCount("Beside.dll"), 0) << "not beside the program";
    stop();
    dlclose(elsewhere);
}

TEST_F(DvbLibrary, InitHandsTheValuesToTheReaderInItsOrder) {
    struct row {
        int32_t diseqc_type, diseqc_position, polarisation, frequency;
        const char* diseqc;  // the expected switch call, or none
    };
    const row rows[] = {
        {0, 0, 1, 11595000, nullptr},
        {1, 2, 1, 11595000, "SendDiSEqC(1,1)"},
        {2, 1, 0, 11595000, "SendDiSEqC(2,242)"},
        {2, 4, 1, 12000000, "SendDiSEqC(2,253)"},
        {2, 5, 1, 11595000, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.diseqc_type) + "/" + std::to_string(r.diseqc_position));
        // No card started yet: init starts the first one.
        EXPECT_EQ(tune(pid, engine.port, r.diseqc_type, r.diseqc_position, r.polarisation, r.frequency), 0);
        journal expect = {"CheckForDVBEx", "StartDVBEx(0)"};
        if (r.diseqc) expect.push_back(r.diseqc);
        expect.push_back("SetChannelExEx(" + std::to_string(r.frequency) + ",29270000," +
                         std::to_string(r.polarisation) + ",0,9750000,10600000,11700000,2,0,0,0)");
        expect.push_back("SetFilter(257,4,188)");
        EXPECT_EQ(take_journal(), expect);
        dvb.DvbStop();
        EXPECT_EQ(take_journal(), journal({"StopDVB"}));
    }
    // The caller converts the port and the address; the library reads them
    // back in network order, as its verbose log shows.
    EXPECT_EQ(htons(2080), 8200);
    EXPECT_EQ(sat_ip, 0x0100000Au);
    EXPECT_EQ(tune(pid, 2080, 0, 0, 1, 11595000, 1), 0);
    const std::string log = dir.read("dvb.log");
    EXPECT_NE(log.find(", 257, 2080, 10.0.0.1, 1, KestrixFake.dll)"), std::string::npos) << log;
    EXPECT_NE(log.find("init: 0"), std::string::npos) << log;
    EXPECT_EQ(tune(pid, 2080), 0);
    EXPECT_EQ(dir.read("dvb.log"), log);  // nothing more without the flag
}

TEST_F(DvbLibrary, FailuresNameTheirStepInTheLowByte) {
    struct row {
        const char* name;
        int fake_kestrix::*refuse;  // the fake's result set to 0
        uint32_t pid;
        uint16_t port;
        const char* reader_name;
        int result;
    };
    const row rows[] = {
        {"reader missing", nullptr, pid, 2080, "NoSuchReader.dll", dvb_init_no_reader},
        {"reader incomplete", nullptr, pid, 2080, "KestrixPartial.dll", dvb_init_no_reader},
        {"card refused", &fake_kestrix::start_result, pid, 2080, reader, dvb_init_no_card},
        {"whole-stream PID", nullptr, 8192, 2080, reader, dvb_init_bad_pid},
        {"port 0", nullptr, pid, 0, reader, dvb_init_bad_port},
        {"switch refused", &fake_kestrix::diseqc_result, pid, 2080, reader, dvb_init_diseqc_failed},
        {"transponder refused", &fake_kestrix::tune_result, pid, 2080, reader, dvb_init_tune_failed},
        {"filter refused", &fake_kestrix::filter_result, pid, 2080, reader, dvb_init_filter_failed},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        dvb.fake->reset();
        if (r.refuse) dvb.fake->*r.refuse = 0;
        EXPECT_EQ(tune(r.pid, r.port, 2, 1, 1, 11595000, 0, r.reader_name) & 0xFF, r.result);
        EXPECT_TRUE(dvb.fake->filters.empty());
        dvb.DvbStop();
    }
}

TEST_F(DvbLibrary, CardChoiceStartsStopsAndRestarts) {
    ASSERT_EQ(dvb.GetCardCount(reader), 2);
    take_journal();
    const std::pair<int, journal> steps[] = {
        {0, {"StartDVBEx(0)"}},
        {0, {}},  // the started card is left alone
        {1, {"StopDVB", "StartDVBEx(1)"}},
        {7, {"StopDVB", "StartDVBEx(7)"}},  // refused
        {-1, {}},
        {0, {"StartDVBEx(0)"}},
    };
    for (const auto& [card, expect] : steps) {
        EXPECT_EQ(dvb.StartCard(card) & 0xFF, card >= 0 && card < 2 ? 1 : 0) << card;
        EXPECT_EQ(take_journal(), expect) << card;
    }
    dvb.DvbStop();
    dvb.DvbStop();
    EXPECT_EQ(take_journal(), journal({"StopDVB"}));
    // The stop unloaded the reader: the cards stay known, and the next start
    // loads it again.
    char name[dvb_card_name_bytes];
    dvb.GetCardName(1, name);
    EXPECT_EQ(std::string(name), "Fake card 1");
    EXPECT_EQ(dvb.StartCard(1) & 0xFF, 1);
    EXPECT_EQ(take_journal(), journal({"CheckForDVBEx", "StartDVBEx(1)"}));
}

TEST_F(DvbLibrary, ForwardsThePayloadsForItsAddressAndCountsTheRest) {
    ASSERT_EQ(dvb.GetCardCount(reader), 2);
    ASSERT_EQ(dvb.StartCard(0) & 0xFF, 1);
    auto open_files = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto files_before = open_files();
    ASSERT_EQ(tune(pid, engine.port), 0);
    bytes broken = section_for(sat_ip, "broken");
    broken[20] ^= 0x40;
    const bytes first = packetize(t, {section_for(sat_ip, "one"), section_for(inet_addr("10.0.0.2"), "other"),
                                      broken, section_for(sat_ip, std::string(600, 'l'))});
    // The long section runs from packet 0 to packet 4; packet 2 is lost.
    bytes stream(first.begin(), first.begin() + 2 * ts_packet_bytes);
    stream.insert(stream.end(), first.begin() + 3 * ts_packet_bytes, first.end());
    const bytes five = packetize(t, {section_for(sat_ip, "five")});
    stream.insert(stream.end(), five.begin(), five.end());
    const uint64_t on_pid = stream.size() / ts_packet_bytes;
    ts_packetizer elsewhere;
    elsewhere.pid = pid + 1;
    const bytes other_pid = packetize(elsewhere, {section_for(sat_ip, "other pid")});
    stream.insert(stream.end(), other_pid.begin(), other_pid.end());
    deliver(stream);

    EXPECT_EQ(engine.receive_text(5), "one");
    EXPECT_EQ(engine.receive_text(5), "five");
    int level = -1, quality = -1, locked = -1;
    uint64_t packets = 0, discontinuities = 0, bytes_out = 0, datagrams = 0, crc = 0;
    dvb.GetStat(&level, &quality, &packets, &discontinuities, &locked);
    dvb.GetFilterStat(&bytes_out, &datagrams, &crc);
    EXPECT_EQ(std::vector<uint64_t>({uint64_t(level), uint64_t(quality), uint64_t(locked), packets, discontinuities,
                                     bytes_out, datagrams, crc}),
              std::vector<uint64_t>({55, 80, 1, on_pid, 1, 7, 2, 1}));  // -45 dBm shows 55
    dvb.GetStat(nullptr, nullptr, nullptr, nullptr, nullptr);
    dvb.GetFilterStat(nullptr, nullptr, nullptr);
    dvb.fake->signal = SignalStatistic{0, 0, 1, -130};
    dvb.GetStat(&level, &quality, nullptr, nullptr, &locked);
    EXPECT_EQ(level + quality + locked, 0);

    // A delivery the reader had begun before the stop reaches nobody; the
    // counters run on over the stop.
    kestrix_packet_fn* late = dvb.fake->filters.at(0).callback;
    dvb.DvbStop();
    EXPECT_EQ(open_files(), files_before) << "the socket towards the engine is closed";
    EXPECT_TRUE(dvb.fake->filters.empty());
    std::thread capture([&] { late(five.data(), uint32_t(five.size())); });
    capture.join();
    EXPECT_EQ(engine.receive_text(0.2), "");
    dvb.GetStat(&level, nullptr, &packets, nullptr, nullptr);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(packets, on_pid);
}

TEST_F(DvbLibrary, RetuneKeepsTheFilterOfThePidAndMovesItToANewOne) {
    ASSERT_EQ(tune(pid, engine.port), 0);
    const uint32_t first_number = dvb.fake->filters.at(0).number;
    take_journal();
    ASSERT_EQ(tune(pid, engine.port), 0);
    EXPECT_EQ(take_journal(), journal({tune_call}));
    ASSERT_EQ(tune(pid + 1, engine.port), 0);
    EXPECT_EQ(take_journal(),
              journal({tune_call, "DelFilter(" + std::to_string(first_number) + ")", "SetFilter(258,4,188)"}));
    ts_packetizer now;
    now.pid = pid + 1;
    bytes stream = packetize(t, {section_for(sat_ip, "old")});
    const bytes fresh = packetize(now, {section_for(sat_ip, "new")});
    stream.insert(stream.end(), fresh.begin(), fresh.end());
    deliver(stream);
    EXPECT_EQ(engine.receive_text(5), "new");
    EXPECT_EQ(engine.receive_text(0.2), "");
}

// The capture thread delivers while the caller re-tunes and reads figures.
TEST_F(DvbLibrary, CaptureAndCallsRunAtTheSameTime) {
    ASSERT_EQ(tune(pid, engine.port), 0);
    bytes stream;  // sixteen one-packet sections: repeated, the counter runs on
    for (int i = 0; i < 16; i++) {
        const bytes one = packetize(t, {section_for(sat_ip, "x" + std::to_string(i))});
        stream.insert(stream.end(), one.begin(), one.end());
    }
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread capture([&] {
        for (; !stop; rounds++) dvb.deliver(stream.data(), uint32_t(stream.size()));
    });
    ASSERT_TRUE(e2e::wait_until([&] { return rounds > 0; }, 10));
    uint64_t last = 0, packets = 0, discontinuities = 0, datagrams = 0;
    for (int i = 0; i < 200; i++) {
        EXPECT_EQ(tune(pid, engine.port, 2, 1 + i % 4), 0);
        dvb.GetStat(nullptr, nullptr, &packets, nullptr, nullptr);
        EXPECT_GE(packets, last);
        last = packets;
    }
    stop = true;
    capture.join();
    dvb.GetStat(nullptr, nullptr, &packets, &discontinuities, nullptr);
    dvb.GetFilterStat(nullptr, &datagrams, nullptr);
    EXPECT_EQ(packets, uint64_t(rounds) * 16);
    EXPECT_EQ(datagrams, packets);  // a re-tune on the same PID loses nothing
    EXPECT_EQ(discontinuities, 0u);
    EXPECT_EQ(engine.receive_text(5), "x0");
}

}  // namespace
