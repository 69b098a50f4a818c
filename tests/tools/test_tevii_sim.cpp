// The simulated card behind libTeVii.so, driven in process.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/engine/support/child.h"
#include "tools/tevii/backend.h"

namespace {

using bytes = std::vector<uint8_t>;

struct capture_log {
    std::mutex mutex;
    std::vector<bytes> buffers;
    std::vector<uint32_t> keys;
    std::atomic<int> calls{0};
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return buffers.size();
    }
    bytes joined() {
        std::lock_guard<std::mutex> lock(mutex);
        bytes all;
        for (const bytes& b : buffers) all.insert(all.end(), b.begin(), b.end());
        return all;
    }
};

void on_capture(void* context, const uint8_t* data, uint32_t length) {
    auto* log = static_cast<capture_log*>(context);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->buffers.emplace_back(data, data + length);
    log->calls++;
}

void on_key(void* context, uint32_t key) {
    auto* log = static_cast<capture_log*>(context);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->keys.push_back(key);
}

using test_support::eventually;

struct TeviiSim : testing::Test {
    test_support::temp_dir dir;
    capture_log log;
    std::unique_ptr<tevii_backend> card(const std::string& ini) {
        dir.write("sim.ini", "[Card]\nJournal=journal.txt\n" + ini);
        return make_simulated_card(dir.file("sim.ini"));
    }
    std::vector<std::string> journal() {
        std::vector<std::string> lines;
        std::istringstream in(test_support::read_file(dir.file("journal.txt")));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
};

TEST_F(TeviiSim, ConfiguredAnswersAndTheirJournal) {
    auto c = card("ApiVersion=7\nDevices=2\n[Device1]\nName=Second\nNullPath=1\nTuneTransponder=0\nStrength=-61\n"
                  "Quality=33\nLocked=0\nSendDiSEqC=4\n");
    EXPECT_EQ(c->api_version(), 7);
    EXPECT_EQ(c->find_devices(), 2);
    EXPECT_STREQ(c->device_name(0), "Simulated TeVii card 0");
    EXPECT_STREQ(c->device_name(1), "Second");
    EXPECT_EQ(c->device_path(1), nullptr);
    EXPECT_EQ(c->device_name(2), nullptr);
    EXPECT_EQ(c->tune(1, 11000000, 22000000, 9750000, 1, 0, 10, 6), 0);
    int locked = 9, strength = 9, quality = 9;
    EXPECT_EQ(c->signal_status(1, &locked, &strength, &quality), 1);
    EXPECT_EQ(locked, 0);
    EXPECT_EQ(strength, -61);
    EXPECT_EQ(quality, 33);
    const uint8_t m[] = {0xE0, 0x10, 0x38, 0xF1};
    EXPECT_EQ(c->send_diseqc(1, m, 4, 2, 1), 4);
    EXPECT_EQ(c->close_device(1), 0) << "not open";
    EXPECT_EQ(journal(), (std::vector<std::string>{
                             "GetAPIVersion() = 7", "FindDevices() = 2",
                             "GetDeviceName(0) = \"Simulated TeVii card 0\"", "GetDeviceName(1) = \"Second\"",
                             "GetDevicePath(1) = null", "GetDeviceName(2) = null",
                             "TuneTransponder(1, 11000000, 22000000, 9750000, 1, 0, 10, 6) = 0",
                             "GetSignalStatus(1) = 1", "SendDiSEqC(1, E0 10 38 F1, 2, 1) = 4", "CloseDevice(1) = 0"}));
    auto none = card("Devices=-3\n");
    EXPECT_EQ(none->find_devices(), -3);
    EXPECT_EQ(none->open_device(0, on_capture, &log), 0);
}

TEST_F(TeviiSim, GeneratedPacketsCarryCountersAcrossCutBuffers) {
    auto c = card("[Device0]\nFeed=generate\nPids=0x100, 0x1FFF,7\nPackets=50\nChunk=500\nIntervalMs=0\n");
    ASSERT_EQ(c->open_device(0, on_capture, &log), 1);
    ASSERT_EQ(c->wait_feed_done(0, 30000), 1);
    ASSERT_EQ(c->close_device(0), 1);
    const bytes all = log.joined();
    ASSERT_EQ(all.size(), 50u * 188);
    for (size_t i = 0; i + 1 < log.buffers.size(); ++i) EXPECT_EQ(log.buffers[i].size(), 500u);
    const uint16_t pids[] = {0x100, 0x1FFF, 7};
    for (size_t n = 0; n < 50; ++n) {
        const uint8_t* p = &all[n * 188];
        ASSERT_EQ(p[0], 0x47);
        EXPECT_EQ(((p[1] << 8) | p[2]) & 0x1FFF, pids[n % 3]) << n;
        EXPECT_EQ(p[3], 0x10 | ((n / 3) & 0x0F)) << n;
        EXPECT_EQ(uint32_t(p[4] << 24 | p[5] << 16 | p[6] << 8 | p[7]), n / 3) << n;
    }
}

TEST_F(TeviiSim, ReplaysAFileAndWaitsForTheStartCall) {
    bytes ts(188 * 10 + 17);
    for (size_t i = 0; i < ts.size(); ++i) ts[i] = uint8_t(i * 7);
    dir.write("stream.ts", std::string(ts.begin(), ts.end()));
    auto c = card("[Device0]\nFeed=file\nFile=stream.ts\nChunk=564\nIntervalMs=0\nStart=call\n");
    ASSERT_EQ(c->open_device(0, on_capture, &log), 1);
    EXPECT_EQ(c->wait_feed_done(0, 20), 0);
    EXPECT_EQ(log.count(), 0u) << "nothing before the start call";
    EXPECT_EQ(c->start_feed(0), 1);
    EXPECT_EQ(c->start_feed(0), 0);
    ASSERT_EQ(c->wait_feed_done(0, 30000), 1);
    EXPECT_EQ(log.joined(), ts);
    EXPECT_EQ(c->close_device(0), 1);

    auto missing = card("[Device0]\nFeed=file\nFile=none.ts\n");
    EXPECT_EQ(missing->open_device(0, on_capture, &log), 0);
    EXPECT_EQ(journal().back().rfind("OpenDevice(0) (cannot read " + dir.file("none.ts"), 0), 0u);
}

TEST_F(TeviiSim, UdpDatagramsAreCaptureBuffers) {
    const int port = test_support::free_port(SOCK_DGRAM);
    auto c = card("[Device0]\nFeed=udp\nUdpPort=" + std::to_string(port) + "\n");
    ASSERT_EQ(c->open_device(0, on_capture, &log), 1);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = test_support::loopback(port);
    std::vector<bytes> sent;
    for (size_t n : {188u * 7, 188u, 188u * 100}) {
        bytes d(n, uint8_t(n));
        d[0] = 0x47;
        sent.push_back(d);
        ASSERT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  ssize_t(d.size()));
        ASSERT_TRUE(eventually([&] { return log.count() == sent.size(); }));
    }
    close(fd);
    EXPECT_EQ(log.buffers, sent);
    EXPECT_EQ(c->close_device(0), 1);
    // The port is free again once closed.
    auto again = card("[Device0]\nFeed=udp\nUdpPort=" + std::to_string(port) + "\n");
    EXPECT_EQ(again->open_device(0, on_capture, &log), 1);
    EXPECT_EQ(again->close_device(0), 1);
}

TEST_F(TeviiSim, KeysAndBytesOnDemandOnTheCardsThread) {
    auto c = card("");
    EXPECT_EQ(c->press_key(0, 1), 0) << "not open";
    ASSERT_EQ(c->open_device(0, on_capture, &log), 1);
    EXPECT_EQ(c->press_key(0, 1), 0) << "no key callback";
    ASSERT_EQ(c->set_remote_control(0, on_key, &log), 1);
    EXPECT_EQ(c->press_key(0, 0x1234), 1);
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(c->inject(0, data, 3), 1);
    EXPECT_EQ(log.keys, (std::vector<uint32_t>{0x1234}));
    EXPECT_EQ(log.buffers, (std::vector<bytes>{{1, 2, 3}}));
    EXPECT_EQ(c->close_device(0), 1);
    EXPECT_EQ(c->inject(0, data, 3), 0);
}

TEST_F(TeviiSim, CloseJoinsTheFeeder) {
    auto c = card("[Device0]\nFeed=generate\nChunk=188\nIntervalMs=0\n");
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(c->open_device(0, on_capture, &log), 1);
        ASSERT_TRUE(eventually([&] { return log.calls.load() > 10 * (round + 1); }));
        ASSERT_EQ(c->close_device(0), 1);
        const int after = log.calls.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(log.calls.load(), after) << "no delivery after CloseDevice returned";
    }
}

// A callback that closes its own device: the close returns at once, and the
// device opens again from another thread.
tevii_backend* closing_card = nullptr;
std::atomic<int> closed_result{-1};
void close_from_inside(void*, const uint8_t*, uint32_t) {
    if (closed_result.load() == -1) closed_result = closing_card->close_device(0);
}

TEST_F(TeviiSim, CloseFromInsideACallback) {
    auto c = card("[Device0]\nFeed=generate\nChunk=188\nIntervalMs=0\n");
    closing_card = c.get();
    closed_result = -1;
    ASSERT_EQ(c->open_device(0, close_from_inside, nullptr), 1);
    ASSERT_TRUE(eventually([] { return closed_result.load() != -1; }));
    EXPECT_EQ(closed_result.load(), 1);
    ASSERT_EQ(c->open_device(0, on_capture, &log), 1);
    ASSERT_TRUE(eventually([&] { return log.count() > 0; }));
    EXPECT_EQ(c->close_device(0), 1);
}

}  // namespace
