// The tuner reader's tables: ini words, the maker's tuning codes, the band
// choice, the log line, and the settings read from kestrix.ini.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdarg>
#include <string>

#include "tests/engine/support/child.h"
#include "tools/tevii/tevii_api.h"
#include "tuner/log.h"
#include "tuner/settings.h"
#include "tuner/state.h"
#include "tuner/tuning.h"

namespace {

struct word_case {
    tuning_key key;
    const char* word;
    int code;
};

TEST(TunerIniWords, EveryWordAndItsLine) {
    const word_case cases[] = {
        {tuning_key::modulation, "8PSK", 2},     {tuning_key::modulation, "s2", 2},
        {tuning_key::modulation, "DVBS2", 2},    {tuning_key::modulation, "dvb-s2", 2},
        {tuning_key::modulation, "2", 2},        {tuning_key::modulation, "16apsk", 3},
        {tuning_key::modulation, "3", 3},        {tuning_key::modulation, "32APSK", 4},
        {tuning_key::modulation, "4", 4},        {tuning_key::modulation, "QPSK", 1},
        {tuning_key::modulation, "S", 1},        {tuning_key::modulation, "DVBS", 1},
        {tuning_key::modulation, "DVB-S", 1},    {tuning_key::modulation, "1", 1},
        {tuning_key::modulation, "QPSK2", 5},    {tuning_key::modulation, "QPSK-S2", 5},
        {tuning_key::modulation, "5", 5},        {tuning_key::modulation, "QPSK-T", 6},
        {tuning_key::modulation, "qpsk_t", 6},   {tuning_key::modulation, "6", 6},
        {tuning_key::modulation, "8PSK-T", 7},   {tuning_key::modulation, "8PSK_T", 7},
        {tuning_key::modulation, "7", 7},        {tuning_key::modulation, "16PSK-T", 8},
        {tuning_key::modulation, "16PSK_T", 8},  {tuning_key::modulation, "8", 8},
        {tuning_key::modulation, "AUTO", 0},     {tuning_key::modulation, "8PSK-S2", 0},
        {tuning_key::modulation, "9", 0},        {tuning_key::modulation, "", 0},
        {tuning_key::modulation, " 8PSK", 0},    {tuning_key::inversion, "ON", 2},
        {tuning_key::inversion, "2", 2},         {tuning_key::inversion, "inverted", 2},
        {tuning_key::inversion, "OFF", 1},       {tuning_key::inversion, "1", 1},
        {tuning_key::inversion, "Normal", 1},    {tuning_key::inversion, "AUTO", 0},
        {tuning_key::inversion, "3", 0},         {tuning_key::pilot, "OFF", 1},
        {tuning_key::pilot, "1", 1},             {tuning_key::pilot, "on", 2},
        {tuning_key::pilot, "2", 2},             {tuning_key::pilot, "AUTO", 0},
        {tuning_key::rolloff, "20", 1},          {tuning_key::rolloff, "1", 1},
        {tuning_key::rolloff, "25", 2},          {tuning_key::rolloff, "2", 2},
        {tuning_key::rolloff, "35", 3},          {tuning_key::rolloff, "3", 3},
        {tuning_key::rolloff, "0.35", 0},        {tuning_key::rolloff, "AUTO", 0},
    };
    for (const word_case& c : cases)
        EXPECT_EQ(tuning_word_code(c.key, c.word), c.code) << int(c.key) << " " << c.word;

    const std::pair<tuning_key, std::vector<std::string>> lines[] = {
        {tuning_key::modulation,
         {"Default modulation: AUTO", "Default modulation: QPSK", "Default modulation: 8PSK",
          "Default modulation: 16APSK", "Default modulation: 32APSK", "Default modulation: QPSK-S2",
          "Default modulation: Turbo QPSK", "Default modulation: Turbo 8PSK", "Default modulation: Turbo 16PSK"}},
        {tuning_key::inversion,
         {"Default spectral inversion: AUTO", "Default spectral inversion: NORMAL",
          "Default spectral inversion: INVERTED"}},
        {tuning_key::pilot, {"Default pilot: AUTO", "Default pilot: OFF", "Default pilot: ON"}},
        {tuning_key::rolloff,
         {"Default rolloff: AUTO", "Default rolloff: 0.20", "Default rolloff: 0.25", "Default rolloff: 0.35"}},
    };
    for (const auto& [key, texts] : lines)
        for (size_t code = 0; code < texts.size(); ++code) EXPECT_EQ(tuning_code_line(key, int(code)), texts[code]);
}

TEST(TunerIniWords, DecimalValues) {
    const std::pair<const char*, int> cases[] = {{"12abc", 12}, {"abc", 0},     {"", 0},     {" -3", -3},
                                                 {"+7", 7},     {"0x10", 0},    {"007", 7}, {"4294967295", -1}};
    for (const auto& [text, value] : cases) EXPECT_EQ(leading_decimal(text), value) << text;
}

TEST(TunerTuningCodes, ModulationFecAndPolarisation) {
    const int modulation[] = {0, 1, 10, 11, 12, 9, 13, 14, 15, 0, 0};
    const int fec[] = {0, 1, 4, 6, 8, 9, 11, 12, 13, 14, 0, 0};
    for (uint32_t i = 0; i < 11; ++i) EXPECT_EQ(tevii_modulation_code(i), modulation[i]) << i;
    for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(tevii_fec_code(i), fec[i]) << i;
    EXPECT_EQ(tevii_modulation_code(0xFFFFFFFF), 0);
    EXPECT_EQ(tevii_fec_code(0xFFFFFFFF), 0);
    EXPECT_EQ(tevii_polarisation_code(0), tevii_pol_horizontal);
    for (uint32_t p : {1u, 2u, 3u, 0xFFFFFFFFu}) EXPECT_EQ(tevii_polarisation_code(p), tevii_pol_vertical) << p;
    EXPECT_EQ(tevii_pol_horizontal, 2);
    EXPECT_EQ(tevii_pol_vertical, 1);
}

TEST(TunerTuningCodes, BandChoiceAtTheSwitchFrequency) {
    struct {
        uint32_t frequency, lof_switch;
        uint32_t lof;
        int tone;
    } cases[] = {
        {11700000, 11700000, 9750000, 0}, {11700001, 11700000, 10600000, 1}, {11699999, 11700000, 9750000, 0},
        {10750000, 0, 10600000, 1},  // a circular LNB's switch of 0: always the high oscillator
        {0, 0, 9750000, 0},           {0xFFFFFFFF, 0xFFFFFFFE, 10600000, 1},
    };
    for (const auto& c : cases) {
        const band_choice b = choose_band(c.frequency, 9750000, 10600000, c.lof_switch);
        EXPECT_EQ(b.lof, c.lof) << c.frequency;
        EXPECT_EQ(b.tone, c.tone) << c.frequency;
    }
}

std::string line_of(const char* format, ...) {
    char line[log_line_bytes];
    va_list args;
    va_start(args, format);
    const size_t n = kx_format_line(line, 7, 5, 9, format, args);
    va_end(args);
    return std::string(line, n);
}

TEST(TunerLogLine, TimeTextAndCrLfWithinAThousandBytes) {
    EXPECT_EQ(line_of("Device %i", 3), "07:05:09 Device 3\r\n");
    EXPECT_EQ(line_of("%s", ""), "07:05:09 \r\n");
    const std::string long_text(5000, 'x');
    const std::string cut = line_of("\tName: %s", long_text.c_str());
    EXPECT_EQ(cut.size(), log_line_bytes);
    EXPECT_EQ(cut.substr(0, 16), "07:05:09 \tName: ");
    EXPECT_EQ(cut.substr(cut.size() - 3), "x\r\n");
    const std::string fits(log_line_bytes - 11, 'y');
    EXPECT_EQ(line_of("%s", fits.c_str()), "07:05:09 " + fits + "\r\n");
}

TEST(TunerLogLine, PointersAtFullWidth) {
    char text[64];
    std::snprintf(text, sizeof text, "0x" KX_PTR, kx_ptr(reinterpret_cast<void*>(uintptr_t(0xAB))));
    EXPECT_EQ(std::string(text), "0x" + std::string(sizeof(void*) * 2 - 2, '0') + "AB");
}

// The readers look in the current directory at each read.
struct TunerSettings : testing::Test {
    test_support::temp_dir dir;
    std::string saved;
    void SetUp() override {
        char* cwd = getcwd(nullptr, 0);
        saved = cwd;
        free(cwd);
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(saved.c_str()), 0); }
};

TEST_F(TunerSettings, DefaultsWithoutAFile) {
    kx.default_modulation = kx.default_inversion = kx.default_pilot = kx.default_rolloff = 9;
    kx.demux.no_pid_filter = true;
    EXPECT_EQ(read_log_level(), 0);
    read_tuning_defaults();
    EXPECT_FALSE(kx.demux.no_pid_filter);
    EXPECT_EQ(kx.default_modulation + kx.default_inversion + kx.default_pilot + kx.default_rolloff, 0);
    EXPECT_EQ(read_device_id(), 0u);
}

TEST_F(TunerSettings, ValuesAsTheReaderTakesThem) {
    dir.write("kestrix.ini",
              "[other]\nLog=5\n[KESTRIX]\n  log = 3 \nNoPidFilter=2x\nmodulation=\"dvb-s2\"\nInversion=INVERTED\n"
              "Pilot=off\nRolloff=20\nDevice_ID=-1\n[Kestrix]\nLog=9\n");
    EXPECT_EQ(read_log_level(), 3);
    read_tuning_defaults();
    EXPECT_TRUE(kx.demux.no_pid_filter);
    EXPECT_EQ(kx.default_modulation, 2);
    EXPECT_EQ(kx.default_inversion, 2);
    EXPECT_EQ(kx.default_pilot, 1);
    EXPECT_EQ(kx.default_rolloff, 1);
    EXPECT_EQ(read_device_id(), 0xFFFFFFFFu);
    // The level is read into 16 bytes: a longer value is cut first.
    dir.write("kestrix.ini", "[Kestrix]\nLog=0000000000000000002\nDevice_ID=7junk\n");
    EXPECT_EQ(read_log_level(), 0);
    EXPECT_EQ(read_device_id(), 7u);
    kx.demux.no_pid_filter = false;
}

}  // namespace
