// The Linux DVB back end of libTeVii.so against a fake kernel: what it asks
// of the frontend, the demultiplexer and the DVR, and how it reads them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/sleep.h"
#include "tests/engine/support/child.h"
#include "tools/tevii/backend.h"
#include "tools/tevii/dvb_kernel.h"

namespace {

using bytes = std::vector<uint8_t>;
using lines = std::vector<std::string>;

// ---------------------------------------------------------------- fake kernel
struct fake_kernel {
    std::mutex mutex;
    std::string root;                                // the dvb root, stripped from recorded paths
    std::map<std::string, std::string> frontends;    // frontend0 path -> name
    std::set<std::string> nodes;                     // other paths that open
    std::map<int, std::string> open_fds;             // fd -> path
    lines calls;
    int dvr_writer = -1, input_writer = -1;
    // The card's input device: the read end of a pipe whose write end the
    // test holds, or (a device that fails) the write end, whose poll
    // reports an error once the test closes the read end.
    bool input_fails = false;
    bool input_reads_zero = false;
    int input_fd = -1;
    // The device thread's polls, and those that had the input device in the set.
    int polls = 0, polls_with_input = 0;
    int overflows_pending = 0;
    fe_status_t status = fe_status_t(0);
    bool stats_supported = true;
    bool sec_refused = false;  // a frontend without voltage and tone control
    dtv_stats strength{}, cnr{};
    uint16_t legacy_strength = 0, legacy_snr = 0;

    void record(const std::string& s) { calls.push_back(s); }
    std::string rel(const std::string& path) const {
        return path.compare(0, root.size(), root) == 0 ? path.substr(root.size()) : path;
    }
};

fake_kernel* fk = nullptr;

const std::map<uint32_t, const char*> property_names = {
    {DTV_CLEAR, "CLEAR"},           {DTV_DELIVERY_SYSTEM, "DELIVERY_SYSTEM"}, {DTV_FREQUENCY, "FREQUENCY"},
    {DTV_SYMBOL_RATE, "SYMBOL_RATE"}, {DTV_INNER_FEC, "INNER_FEC"},          {DTV_MODULATION, "MODULATION"},
    {DTV_INVERSION, "INVERSION"},   {DTV_PILOT, "PILOT"},                     {DTV_ROLLOFF, "ROLLOFF"},
    {DTV_TUNE, "TUNE"},
};

int fake_open(const char* path, int flags) {
    std::lock_guard<std::mutex> lock(fk->mutex);
    const std::string p = path;
    const bool is_frontend = fk->frontends.count(p) > 0;
    if (!is_frontend && !fk->nodes.count(p)) {
        errno = ENOENT;
        return -1;
    }
    int fd = -1;
    if (p.find("/dvr0") != std::string::npos) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        fcntl(pair[0], F_SETFL, O_NONBLOCK);
        fd = pair[0];
        fk->dvr_writer = pair[1];
    } else if (p.find("event") != std::string::npos) {
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
        fd = pipe_fds[fk->input_fails ? 1 : 0];
        fk->input_writer = pipe_fds[fk->input_fails ? 0 : 1];
        fk->input_fd = fd;
    } else {
        fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    }
    fk->open_fds[fd] = p;
    fk->record("open " + fk->rel(p) + ((flags & O_ACCMODE) == O_RDONLY ? " ro" : " rw"));
    return fd;
}

int fake_close(int fd) {
    std::lock_guard<std::mutex> lock(fk->mutex);
    fk->record("close " + fk->rel(fk->open_fds[fd]));
    fk->open_fds.erase(fd);
    return ::close(fd);
}

int fake_ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(fk->mutex);
    const std::string path = fk->open_fds.count(fd) ? fk->open_fds[fd] : "?";
    switch (request) {
    case FE_GET_INFO: {
        auto* info = static_cast<dvb_frontend_info*>(arg);
        std::snprintf(info->name, sizeof info->name, "%s", fk->frontends[path].c_str());
        return 0;
    }
    case FE_SET_VOLTAGE:
    case FE_SET_TONE: {
        const auto v = reinterpret_cast<uintptr_t>(arg);
        if (request == FE_SET_VOLTAGE)
            fk->record(std::string("voltage ") + (v == SEC_VOLTAGE_13 ? "13" : v == SEC_VOLTAGE_18 ? "18" : "off") +
                       (fk->sec_refused ? " refused" : ""));
        else
            fk->record(std::string("tone ") + (v == SEC_TONE_ON ? "on" : "off") + (fk->sec_refused ? " refused" : ""));
        if (!fk->sec_refused) return 0;
        errno = EOPNOTSUPP;
        return -1;
    }
    case FE_SET_PROPERTY: {
        auto* props = static_cast<dtv_properties*>(arg);
        std::string s = "properties";
        for (uint32_t i = 0; i < props->num; ++i)
            s += std::string(" ") + property_names.at(props->props[i].cmd) + "=" +
                 std::to_string(props->props[i].u.data);
        fk->record(s);
        return 0;
    }
    case FE_DISEQC_SEND_MASTER_CMD: {
        auto* cmd = static_cast<dvb_diseqc_master_cmd*>(arg);
        std::string s = "diseqc";
        char b[4];
        for (int i = 0; i < cmd->msg_len; ++i) {
            std::snprintf(b, sizeof b, " %02X", cmd->msg[i]);
            s += b;
        }
        fk->record(s);
        return 0;
    }
    case FE_READ_STATUS:
        *static_cast<fe_status_t*>(arg) = fk->status;
        return 0;
    case FE_GET_PROPERTY: {
        if (!fk->stats_supported) {
            errno = ENOTSUP;
            return -1;
        }
        auto* props = static_cast<dtv_properties*>(arg);
        for (uint32_t i = 0; i < props->num; ++i) {
            dtv_property& p = props->props[i];
            p.u.st.len = 1;
            p.u.st.stat[0] = p.cmd == DTV_STAT_SIGNAL_STRENGTH ? fk->strength : fk->cnr;
        }
        return 0;
    }
    case FE_READ_SIGNAL_STRENGTH:
        *static_cast<uint16_t*>(arg) = fk->legacy_strength;
        return 0;
    case FE_READ_SNR:
        *static_cast<uint16_t*>(arg) = fk->legacy_snr;
        return 0;
    case DMX_SET_PES_FILTER: {
        auto* f = static_cast<dmx_pes_filter_params*>(arg);
        char s[160];
        std::snprintf(s, sizeof s, "pes filter pid=0x%X input=%s output=%s type=%d start=%d", f->pid,
                      f->input == DMX_IN_FRONTEND ? "frontend" : "dvr",
                      f->output == DMX_OUT_TS_TAP ? "ts_tap" : "other", int(f->pes_type),
                      (f->flags & DMX_IMMEDIATE_START) ? 1 : 0);
        fk->record(s);
        return 0;
    }
    case DMX_SET_BUFFER_SIZE:
        fk->record("buffer " + std::to_string(reinterpret_cast<uintptr_t>(arg)));
        return 0;
    case DMX_STOP:
        fk->record("demux stop");
        return 0;
    default:
        errno = ENOTTY;
        return -1;
    }
}

ssize_t fake_read(int fd, void* buffer, size_t length) {
    {
        std::lock_guard<std::mutex> lock(fk->mutex);
        if (fk->open_fds[fd].find("/dvr0") != std::string::npos && fk->overflows_pending > 0) {
            --fk->overflows_pending;
            fk->record("read overflow");
            errno = EOVERFLOW;
            return -1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(fk->mutex);
        if (fd == fk->input_fd && fk->input_reads_zero) return 0;
    }
    return ::read(fd, buffer, length);
}

int fake_poll(pollfd* fds, nfds_t count, int timeout_ms) {
    {
        std::lock_guard<std::mutex> lock(fk->mutex);
        fk->polls++;
        if (std::any_of(fds, fds + count, [](const pollfd& p) { return p.fd >= 0 && p.fd == fk->input_fd; }))
            fk->polls_with_input++;
    }
    return ::poll(fds, count, timeout_ms);
}

const dvb_kernel_ops fake_ops = {fake_open, fake_close, fake_ioctl, fake_read, fake_poll};

// ---------------------------------------------------------------- fixture
struct captured {
    std::mutex mutex;
    std::vector<bytes> buffers;
    std::vector<uint32_t> keys;
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return buffers.size();
    }
};

void on_capture(void* context, const uint8_t* data, uint32_t length) {
    auto* c = static_cast<captured*>(context);
    std::lock_guard<std::mutex> lock(c->mutex);
    c->buffers.emplace_back(data, data + length);
}

void on_key(void* context, uint32_t key) {
    auto* c = static_cast<captured*>(context);
    std::lock_guard<std::mutex> lock(c->mutex);
    c->keys.push_back(key);
}

using test_support::eventually;

std::vector<uint32_t> slept;
void record_sleep(uint32_t ms) { slept.push_back(ms); }

struct TeviiDvb : testing::Test {
    test_support::temp_dir dir;
    fake_kernel kernel;
    linux_dvb_paths paths;
    captured got;
    std::unique_ptr<tevii_backend> dvb;

    void SetUp() override {
        paths.dvb_root = dir.file("dvb");
        paths.sysfs_root = dir.file("sys");
        paths.input_root = dir.file("input");
        kernel.root = paths.dvb_root;
        for (const char* a : {"adapter0", "adapter1", "adapter10", "adapterX", "frontend0"})
            std::filesystem::create_directories(paths.dvb_root + "/" + a);
        add_adapter(0, "STV0903 DVB-S/S2");
        add_adapter(10, "Montage M88DS3103");
        kernel.nodes.insert(paths.dvb_root + "/adapter1/demux0");  // an adapter without a frontend
        fk = &kernel;
        dvb_kernel_set_impl(&fake_ops);
        sleep_set_impl(record_sleep);
        slept.clear();
        dvb = make_linux_dvb(paths);
    }
    void TearDown() override {
        dvb.reset();
        dvb_kernel_set_impl(nullptr);
        sleep_set_impl(nullptr);
        EXPECT_TRUE(kernel.open_fds.empty()) << "descriptors left open";
        if (kernel.dvr_writer >= 0) close(kernel.dvr_writer);
        if (kernel.input_writer >= 0) close(kernel.input_writer);
        fk = nullptr;
    }
    void add_adapter(int n, const std::string& name) {
        const std::string a = paths.dvb_root + "/adapter" + std::to_string(n);
        kernel.frontends[a + "/frontend0"] = name;
        kernel.nodes.insert(a + "/demux0");
        kernel.nodes.insert(a + "/dvr0");
    }
    lines calls() {
        std::lock_guard<std::mutex> lock(kernel.mutex);
        return kernel.calls;
    }
    void clear_calls() {
        std::lock_guard<std::mutex> lock(kernel.mutex);
        kernel.calls.clear();
    }
    void open0() {
        ASSERT_EQ(dvb->find_devices(), 2);
        ASSERT_EQ(dvb->open_device(0, on_capture, &got), 1);
        clear_calls();
    }
    void write_dvr(const bytes& b) {
        ASSERT_EQ(write(kernel.dvr_writer, b.data(), b.size()), ssize_t(b.size()));
    }
};

TEST_F(TeviiDvb, DevicesAreAdaptersWithAFrontend) {
    EXPECT_EQ(dvb->find_devices(), 2);
    EXPECT_STREQ(dvb->device_name(0), "STV0903 DVB-S/S2");
    EXPECT_EQ(std::string(dvb->device_path(0)), paths.dvb_root + "/adapter0");
    EXPECT_STREQ(dvb->device_name(1), "Montage M88DS3103");
    EXPECT_EQ(std::string(dvb->device_path(1)), paths.dvb_root + "/adapter10");
    EXPECT_EQ(dvb->device_name(2), nullptr);
    EXPECT_EQ(dvb->device_path(-1), nullptr);
    EXPECT_EQ(calls(), (lines{"open /adapter0/frontend0 ro", "close /adapter0/frontend0",
                              "open /adapter10/frontend0 ro", "close /adapter10/frontend0"}));
    EXPECT_EQ(dvb->api_version(), tevii_api_version);
    // A folder whose number no int holds is no adapter of the kernel's.
    for (const char* big : {"adapter99999999999", "adapter2147483648"}) {
        std::filesystem::create_directories(paths.dvb_root + "/" + big);
        kernel.frontends[paths.dvb_root + "/" + big + "/frontend0"] = "too far";
    }
    clear_calls();
    EXPECT_EQ(dvb->find_devices(), 2);
    EXPECT_EQ(calls().size(), 4u);
    auto none = make_linux_dvb(linux_dvb_paths{dir.file("nothing"), dir.file("sys"), dir.file("input")});
    EXPECT_EQ(none->find_devices(), 0);
}

TEST_F(TeviiDvb, OpenPassesTheWholeStreamToTheDvrAndCloseUndoesIt) {
    ASSERT_EQ(dvb->find_devices(), 2);
    clear_calls();
    ASSERT_EQ(dvb->open_device(1, on_capture, &got), 1);
    EXPECT_EQ(dvb->open_device(1, on_capture, &got), 0) << "already open";
    EXPECT_EQ(calls(), (lines{"open /adapter10/frontend0 rw", "open /adapter10/demux0 rw", "open /adapter10/dvr0 ro",
                              "pes filter pid=0x2000 input=frontend output=ts_tap type=20 start=1",
                              "buffer 4194304"}));
    clear_calls();
    EXPECT_EQ(dvb->close_device(1), 1);
    EXPECT_EQ(calls(), (lines{"demux stop", "close /adapter10/dvr0", "close /adapter10/demux0",
                              "close /adapter10/frontend0"}));
    EXPECT_EQ(dvb->close_device(1), 0);
    // A device whose DVR does not open is not opened, and keeps nothing.
    kernel.nodes.erase(paths.dvb_root + "/adapter0/dvr0");
    EXPECT_EQ(dvb->open_device(0, on_capture, &got), 0);
    EXPECT_TRUE(kernel.open_fds.empty());
}

struct tune_case {
    const char* name;
    uint32_t frequency, symbol_rate, lof;
    int polarisation, tone, modulation, fec;
    lines calls;  // empty: refused before any call
};

void PrintTo(const tune_case& c, std::ostream* os) { *os << c.name; }

struct TeviiDvbTune : TeviiDvb, testing::WithParamInterface<tune_case> {};

TEST_P(TeviiDvbTune, Case) {
    const tune_case& c = GetParam();
    open0();
    EXPECT_EQ(dvb->tune(0, c.frequency, c.symbol_rate, c.lof, c.polarisation, c.tone, c.modulation, c.fec),
              c.calls.empty() ? 0 : 1);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_EQ(dvb->close_device(0), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TeviiDvbTune,
    testing::Values(
        tune_case{"DvbS2EightPsk", 11766000, 27500000, 10600000, tevii_pol_horizontal, tevii_tone_on,
                  tevii_mod_dvbs2_8psk, tevii_fec_3_4,
                  {"voltage 18", "tone on",
                   "properties CLEAR=0 DELIVERY_SYSTEM=6 FREQUENCY=1166000 SYMBOL_RATE=27500000 INNER_FEC=3 "
                   "MODULATION=9 INVERSION=2 PILOT=2 ROLLOFF=3 TUNE=0"}},
        tune_case{"DvbSQpskLowBand", 10800000, 22000000, 9750000, tevii_pol_vertical, tevii_tone_off,
                  tevii_mod_dvbs_qpsk, tevii_fec_5_6,
                  {"voltage 13", "tone off",
                   "properties CLEAR=0 DELIVERY_SYSTEM=5 FREQUENCY=1050000 SYMBOL_RATE=22000000 INNER_FEC=5 "
                   "MODULATION=0 INVERSION=2 TUNE=0"}},
        tune_case{"AutoIsDvbSAndCBandBelowTheOscillator", 3900000, 4000000, 5150000, 0, tevii_tone_off,
                  tevii_mod_auto, tevii_fec_auto,
                  {"voltage off", "tone off",
                   "properties CLEAR=0 DELIVERY_SYSTEM=5 FREQUENCY=1250000 SYMBOL_RATE=4000000 INNER_FEC=9 "
                   "MODULATION=0 INVERSION=2 TUNE=0"}},
        tune_case{"Apsk32AndRatesTheKernelCannotName", 12000000, 30000000, 10600000, tevii_pol_vertical,
                  tevii_tone_on, tevii_mod_dvbs2_32apsk, tevii_fec_1_4,
                  {"voltage 13", "tone on",
                   "properties CLEAR=0 DELIVERY_SYSTEM=6 FREQUENCY=1400000 SYMBOL_RATE=30000000 INNER_FEC=9 "
                   "MODULATION=11 INVERSION=2 PILOT=2 ROLLOFF=3 TUNE=0"}},
        tune_case{"TurboEightPsk", 12000000, 20000000, 10600000, tevii_pol_vertical, tevii_tone_on,
                  tevii_mod_turbo_8psk, tevii_fec_2_3,
                  {"voltage 13", "tone on",
                   "properties CLEAR=0 DELIVERY_SYSTEM=17 FREQUENCY=1400000 SYMBOL_RATE=20000000 INNER_FEC=2 "
                   "MODULATION=9 INVERSION=2 TUNE=0"}},
        tune_case{"TurboSixteenPskIsRefused", 12000000, 20000000, 10600000, 1, 1, tevii_mod_turbo_16psk, 0, {}},
        tune_case{"UnknownModulationIsRefused", 12000000, 20000000, 10600000, 1, 1, 2, 0, {}}),
    [](const testing::TestParamInfo<tune_case>& i) { return std::string(i.param.name); });

TEST_F(TeviiDvb, NothingButEnumerationBeforeOpen) {
    ASSERT_EQ(dvb->find_devices(), 2);
    clear_calls();
    int l, s, q;
    const uint8_t m[] = {0xE0};
    EXPECT_EQ(dvb->tune(0, 1, 2, 3, 1, 0, 1, 1), 0);
    EXPECT_EQ(dvb->signal_status(0, &l, &s, &q), 0);
    EXPECT_EQ(dvb->send_diseqc(0, m, 1, 0, 0), 0);
    EXPECT_TRUE(calls().empty());
}

TEST_F(TeviiDvb, DiseqcBytesWithTheToneOffAroundThem) {
    open0();
    ASSERT_EQ(dvb->tune(0, 11766000, 27500000, 10600000, tevii_pol_horizontal, tevii_tone_on, 10, 6), 1);
    clear_calls();
    const uint8_t committed[] = {0xE0, 0x10, 0x38, 0xF4};
    EXPECT_EQ(dvb->send_diseqc(0, committed, 4, 2, 1), 1);
    EXPECT_EQ(calls(), (lines{"tone off", "diseqc E0 10 38 F4", "diseqc E0 10 38 F4", "tone on"}));
    EXPECT_EQ(slept, (std::vector<uint32_t>{15, 100, 15}));
    clear_calls();
    slept.clear();
    const uint8_t raw[] = {0xE0, 0x31, 0x6B, 0x12, 0x34, 0x56};
    EXPECT_EQ(dvb->send_diseqc(0, raw, 6, 0, 0), 1);
    EXPECT_EQ(dvb->send_diseqc(0, raw, 7, 0, 0), 0);
    EXPECT_EQ(dvb->send_diseqc(0, raw, 0, 0, 0), 0);
    EXPECT_EQ(calls(), (lines{"diseqc E0 31 6B 12 34 56"}));
    EXPECT_TRUE(slept.empty());
    EXPECT_EQ(dvb->close_device(0), 1);
}

TEST_F(TeviiDvb, DiseqcPowersTheLnbFirst) {
    const uint8_t committed[] = {0xE0, 0x10, 0x38, 0xF4};
    for (int open = 0; open < 2; ++open) {
        open0();
        slept.clear();
        EXPECT_EQ(dvb->send_diseqc(0, committed, 4, 2, 1), 1);
        EXPECT_EQ(calls(), (lines{"voltage 13", "tone off", "diseqc E0 10 38 F4", "diseqc E0 10 38 F4", "tone off"}))
            << "open " << open;
        EXPECT_EQ(slept, (std::vector<uint32_t>{100, 15, 100, 15}));
        // Powered: the supply stays what the tune chose.
        ASSERT_EQ(dvb->tune(0, 11766000, 27500000, 10600000, tevii_pol_horizontal, tevii_tone_off, 1, 0), 1);
        clear_calls();
        EXPECT_EQ(dvb->send_diseqc(0, committed, 4, 0, 0), 1);
        EXPECT_EQ(calls(), (lines{"diseqc E0 10 38 F4"}));
        EXPECT_EQ(dvb->close_device(0), 1);
    }
}

TEST_F(TeviiDvb, FrontendWithoutVoltageOrToneStillTunes) {
    kernel.sec_refused = true;
    open0();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(dvb->tune(0, 10800000, 22000000, 9750000, tevii_pol_vertical, tevii_tone_on, 1, 0), 1);
    const uint8_t committed[] = {0xE0, 0x10, 0x38, 0xF0};
    EXPECT_EQ(dvb->send_diseqc(0, committed, 4, 1, 1), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    const lines all = calls();
    EXPECT_EQ(std::count(all.begin(), all.end(), "properties CLEAR=0 DELIVERY_SYSTEM=5 FREQUENCY=1050000 "
                                                 "SYMBOL_RATE=22000000 INNER_FEC=9 MODULATION=0 INVERSION=2 TUNE=0"),
              2);
    EXPECT_EQ(lines(all.end() - 3, all.end()), (lines{"tone off refused", "diseqc E0 10 38 F0", "tone on refused"}));
    // Told once per open, each.
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
    EXPECT_NE(err.find("frontend0: FE_SET_VOLTAGE failed"), std::string::npos) << err;
    EXPECT_NE(err.find("frontend0: FE_SET_TONE failed"), std::string::npos) << err;
    EXPECT_EQ(dvb->close_device(0), 1);
}

TEST_F(TeviiDvb, DvrReadLoopGoesOnAfterAnOverflow) {
    open0();
    const bytes first(188 * 3, 0x47), second(188, 0x11), third(188 * 2, 0x22);
    write_dvr(first);
    ASSERT_TRUE(eventually([&] { return got.count() == 1; }));
    {
        std::lock_guard<std::mutex> lock(kernel.mutex);
        kernel.overflows_pending = 2;
    }
    write_dvr(second);
    ASSERT_TRUE(eventually([&] { return got.count() == 2; }));
    write_dvr(third);
    ASSERT_TRUE(eventually([&] { return got.count() == 3; }));
    EXPECT_EQ(got.buffers, (std::vector<bytes>{first, second, third}));
    const lines all = calls();
    EXPECT_EQ(std::count(all.begin(), all.end(), "read overflow"), 2);
    EXPECT_EQ(dvb->close_device(0), 1);
}

TEST_F(TeviiDvb, SignalFromStatisticsOrLegacyReads) {
    open0();
    int locked = 9, strength = 9, quality = 9;
    kernel.status = fe_status_t(FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_LOCK);
    kernel.strength.scale = FE_SCALE_DECIBEL;
    kernel.strength.svalue = -52400;  // 0.001 dBm
    kernel.cnr.scale = FE_SCALE_DECIBEL;
    kernel.cnr.svalue = 7500;  // 0.001 dB
    ASSERT_EQ(dvb->signal_status(0, &locked, &strength, &quality), 1);
    EXPECT_EQ(std::vector<int>({locked, strength, quality}), std::vector<int>({1, -52, 50}));

    kernel.status = fe_status_t(FE_HAS_SIGNAL);
    kernel.strength.scale = FE_SCALE_RELATIVE;
    kernel.strength.uvalue = 0xFFFF;
    kernel.cnr.scale = FE_SCALE_RELATIVE;
    kernel.cnr.uvalue = 0x8000;
    ASSERT_EQ(dvb->signal_status(0, &locked, &strength, &quality), 1);
    EXPECT_EQ(std::vector<int>({locked, strength, quality}), std::vector<int>({0, -20, 50}));

    kernel.cnr.svalue = 40000;
    kernel.cnr.scale = FE_SCALE_DECIBEL;
    kernel.strength.scale = FE_SCALE_NOT_AVAILABLE;
    kernel.legacy_strength = 0;
    ASSERT_EQ(dvb->signal_status(0, &locked, &strength, &quality), 1);
    EXPECT_EQ(std::vector<int>({strength, quality}), std::vector<int>({-100, 100}));

    kernel.stats_supported = false;
    kernel.legacy_strength = 0x8000;
    kernel.legacy_snr = 0xFFFF;
    ASSERT_EQ(dvb->signal_status(0, &locked, &strength, &quality), 1);
    EXPECT_EQ(std::vector<int>({strength, quality}), std::vector<int>({-60, 100}));
    EXPECT_EQ(dvb->close_device(0), 1);
}

TEST_F(TeviiDvb, RemoteKeysFromTheCardsInputDevice) {
    open0();
    EXPECT_EQ(dvb->set_remote_control(0, on_key, &got), 0) << "no input device under the card";
    std::filesystem::create_directories(paths.sysfs_root + "/class/dvb/dvb0.frontend0/device/rc/rc0/input7/event5");
    kernel.nodes.insert(paths.input_root + "/event5");
    ASSERT_EQ(dvb->set_remote_control(0, on_key, &got), 1);
    std::vector<input_event> ev(7);
    ev[0].type = EV_MSC, ev[0].code = MSC_SCAN, ev[0].value = 0x1234;
    ev[1].type = EV_KEY, ev[1].code = KEY_OK, ev[1].value = 1;
    ev[2].type = EV_SYN;
    ev[3].type = EV_KEY, ev[3].code = KEY_OK, ev[3].value = 0;  // release
    ev[4].type = EV_SYN;
    ev[5].type = EV_KEY, ev[5].code = KEY_UP, ev[5].value = 1;  // no scan code: the key code
    ev[6].type = EV_SYN;
    ASSERT_EQ(write(kernel.input_writer, ev.data(), ev.size() * sizeof ev[0]), ssize_t(ev.size() * sizeof ev[0]));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(got.mutex);
        return got.keys.size() == 2;
    }));
    EXPECT_EQ(got.keys, (std::vector<uint32_t>{0x1234, KEY_UP}));
    EXPECT_EQ(dvb->close_device(0), 1);
    const lines all = calls();
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [this](const std::string& c) {
        return c == "close " + paths.input_root + "/event5";
    }));
}

// A receiver that hangs up or fails leaves the poll set: the thread sleeps
// again, and the DVR is still read.
struct input_end_case {
    const char* name;
    bool fails, reads_zero;
};

void PrintTo(const input_end_case& c, std::ostream* os) { *os << c.name; }

struct TeviiDvbInputEnd : TeviiDvb, testing::WithParamInterface<input_end_case> {};

TEST_P(TeviiDvbInputEnd, Case) {
    const input_end_case& c = GetParam();
    kernel.input_fails = c.fails;
    open0();
    std::filesystem::create_directories(paths.sysfs_root + "/class/dvb/dvb0.frontend0/device/rc/rc0/input7/event5");
    kernel.nodes.insert(paths.input_root + "/event5");
    ASSERT_EQ(dvb->set_remote_control(0, on_key, &got), 1);
    auto polls = [this](bool with_input) {
        std::lock_guard<std::mutex> lock(kernel.mutex);
        return with_input ? kernel.polls_with_input : kernel.polls;
    };
    auto polls_without_input = [&] { return polls(false) - polls(true); };
    // From the first poll that has it, every poll has the input device until it goes.
    ASSERT_TRUE(eventually([&] { return polls(true) > 0; }));
    const int before = polls_without_input();
    {
        std::lock_guard<std::mutex> lock(kernel.mutex);
        kernel.input_reads_zero = c.reads_zero;
    }
    if (c.reads_zero) {
        const input_event ev{};
        ASSERT_EQ(write(kernel.input_writer, &ev, sizeof ev), ssize_t(sizeof ev));
    } else {
        close(kernel.input_writer);  // the hang-up, or the failure
        kernel.input_writer = -1;
    }
    ASSERT_TRUE(eventually([&] { return polls_without_input() > before; })) << "the input device is still polled";
    const int settled = polls(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(polls(false), settled) << "the thread spins";
    const bytes packet(188, 0x47);
    write_dvr(packet);
    ASSERT_TRUE(eventually([&] { return got.count() == 1; }));
    EXPECT_EQ(dvb->close_device(0), 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, TeviiDvbInputEnd,
                         testing::Values(input_end_case{"HangUp", false, false},
                                         input_end_case{"Error", true, false},
                                         input_end_case{"ReadOfZero", false, true}),
                         [](const testing::TestParamInfo<input_end_case>& i) { return std::string(i.param.name); });

}  // namespace
