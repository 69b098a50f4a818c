// libKestrix.so through its exports, each scenario in a fresh process
// (kestrix_host) over the simulated card, in a folder of its own that holds
// kestrix.ini, kestrix.log and the card's call journal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/support/child.h"
#include "tuner/kestrix_api.h"

namespace {

using lines = std::vector<std::string>;
const std::string bin = QUORIN_BIN_DIR;

struct host_run {
    test_support::child_result process;
    lines out;      // what the host printed
    lines log;      // kestrix.log, time prefix removed
    lines journal;  // calls that reached the card
    bool log_exists = false;
    std::string raw_log;
};

lines split(const std::string& text, const std::string& eol = "\n") {
    lines out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(eol, pos);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + eol.size();
    }
    return out;
}

struct scenario {
    scenario(std::string i = "", std::string c = "") : ini(std::move(i)), card(std::move(c)) {}
    std::string ini;   // kestrix.ini; none when empty
    std::string card;  // the simulated card's ini after its [Card] line
    std::string lib_dir = bin;
    std::string host = bin + "/kestrix_host";
};

host_run run_host(const scenario& s, const lines& commands, const std::string& keep_log = "") {
    test_support::temp_dir dir;
    if (!s.ini.empty()) dir.write("kestrix.ini", s.ini);
    dir.write("sim.ini", "[Card]\nJournal=journal.txt\n" + s.card);
    if (!keep_log.empty()) dir.write("kestrix.log", keep_log);
    std::vector<std::string> args = {s.lib_dir + "/libKestrix.so"};
    args.insert(args.end(), commands.begin(), commands.end());
    host_run r;
    r.process = test_support::run_program(s.host, args, dir.path, {"TEVII_SIMULATOR=" + dir.file("sim.ini")});
    r.out = split(r.process.out);
    r.log_exists = access(dir.file("kestrix.log").c_str(), F_OK) == 0;
    r.raw_log = test_support::read_file(dir.file("kestrix.log"));
    static const std::regex stamp(R"(^\d\d:\d\d:\d\d )");
    std::string written = r.raw_log;
    if (!keep_log.empty() && written.compare(0, keep_log.size(), keep_log) == 0) {
        r.log = split(keep_log, "\r\n");
        written.erase(0, keep_log.size());
    }
    for (const std::string& line : split(written, "\r\n")) {
        EXPECT_TRUE(std::regex_search(line, stamp)) << "no time prefix: " << line;
        r.log.push_back(line.substr(std::min<size_t>(9, line.size())));
    }
    r.journal = split(test_support::read_file(dir.file("journal.txt")));
    EXPECT_TRUE(r.process.exited && r.process.code == 0) << r.process.err;
    return r;
}

bool contains(const lines& l, const std::string& s) { return std::find(l.begin(), l.end(), s) != l.end(); }

// The lines of `l` from the first that equals `first` on.
lines from(const lines& l, const std::string& first) {
    auto it = std::find(l.begin(), l.end(), first);
    return lines(it, l.end());
}

const std::string log1 = "[Kestrix]\nLog=1\n";
const std::string log2 = "[Kestrix]\nLog=2\n";
const std::string hex16 = "[0-9A-F]{16}";

TEST(TunerKestrixExports, OnlyTheNineteenAreVisible) {
    test_support::temp_dir dir;
    const auto r = test_support::run_program("/bin/sh", {"-c", "nm -D --defined-only " + bin + "/libKestrix.so"},
                                             dir.path);
    ASSERT_EQ(r.code, 0) << r.err;
    std::set<std::string> seen;
    for (const std::string& line : split(r.out)) seen.insert(line.substr(line.rfind(' ') + 1));
    std::set<std::string> expected;
#define NAME(n) expected.insert(#n);
    KESTRIX_EXPORTS(NAME)
#undef NAME
    EXPECT_EQ(seen, expected);
}

TEST(TunerKestrixBeforeStart, EveryExportRefusesWithoutALine) {
    const auto r = run_host({log2}, {"channel 1 2 3 4 5 6 7", "channelex 1 2 3 4 5 6 7 8",
                                     "channelexex 1 2 3 4 5 6 7 8 9 10 11", "filter 256 4", "filter-null 256",
                                     "filterex 1 1 1", "bitfilter 1 1 1", "del 0", "rc 0", "rc-null", "signal",
                                     "strength", "stat", "signal-null", "diseqc 2 0", "cmd E0 10 38 F0",
                                     "cmdex E0 10 38 F0", "cmd-null", "stop"});
    for (const std::string& line : r.out) {
        if (line.rfind("StopDVB", 0) == 0)
            EXPECT_EQ(line, "StopDVB = 1");
        else
            EXPECT_NE(line.find(" = 0"), std::string::npos) << line;
    }
    EXPECT_EQ(r.out.size(), 25u);
    // Only the load and unload lines: no call was logged, the card's library
    // was never loaded.
    ASSERT_EQ(r.log.size(), 4u) << r.raw_log;
    EXPECT_TRUE(std::regex_match(r.log[0], std::regex(R"(KestrixEx TeVii Ver:1\.0\.3\.1 \([A-Z][a-z]{2} [ 123]\d \d{4}, \d\d:\d\d:\d\d\))")))
        << r.log[0];
    EXPECT_EQ(r.log[1], "Log level = 2");
    EXPECT_TRUE(std::regex_match(r.log[2], std::regex("DLL_PROCESS_ATTACH hModule = " + hex16))) << r.log[2];
    EXPECT_TRUE(std::regex_match(r.log[3], std::regex("DLL_PROCESS_DETACH hModule = " + hex16))) << r.log[3];
    EXPECT_TRUE(r.journal.empty());
}

TEST(TunerKestrixLog, WithoutIniNothingIsWrittenAndDeviceZeroOpens) {
    const auto r = run_host({"", "Devices=2\n"}, {"startdvb", "stop"});
    EXPECT_EQ(r.out, (lines{"StartDVB = 1", "StopDVB = 1"}));
    EXPECT_FALSE(r.log_exists);
    EXPECT_TRUE(contains(r.journal, "OpenDevice(0) = 1"));
}

TEST(TunerKestrixLog, LinesAreAppendedWithTimeAndCrLf) {
    const auto r = run_host({log1}, {"check"}, "earlier line\r\n");
    ASSERT_EQ(r.raw_log.compare(0, 14, "earlier line\r\n"), 0);
    EXPECT_EQ(r.raw_log.substr(r.raw_log.size() - 2), "\r\n");
    EXPECT_EQ(r.log[0], "earlier line");
    EXPECT_EQ(r.log[1].rfind("KestrixEx TeVii Ver:1.0.3.1 (", 0), 0u);
    EXPECT_EQ(r.log[3].rfind("DLL_PROCESS_ATTACH", 0), 0u);
    EXPECT_TRUE(std::regex_match(r.log[4], std::regex("CheckForDVBEx\\(0x0{16}\\)"))) << r.log[4];
}

TEST(TunerKestrixLog, LongNamesAreCutToTheLine) {
    const std::string name(5000, 'n');
    const auto r = run_host({log1, "[Device0]\nName=" + name + "\nPath=/p\n"}, {"check"});
    size_t longest = 0;
    for (const std::string& line : split(r.raw_log, "\n")) longest = std::max(longest, line.size() + 1);
    EXPECT_EQ(longest, 1000u) << "a whole line, CR LF included";
    EXPECT_TRUE(contains(r.log, "\tName: " + std::string(1000 - 9 - 2 - 7, 'n')));
    EXPECT_TRUE(contains(r.log, "\tPath: /p"));
}

TEST(TunerKestrixLog, CallsAndTheirLinesInOrder) {
    const auto r = run_host({log1 + "Modulation=dvb-s2\nInversion=normal\nPilot=on\nRolloff=0.35\n"},
                            {"checkex", "start 0", "filter 256 4", "filter 256 4", "filter 8192 4", "filter 8192 2",
                             "filter 8193 4", "filter-null 5", "del 99", "rc 1", "rc 0", "rc 0", "rc-null",
                             "filterex 5 1 1", "filterex 5 0 1", "bitfilter 5 1 1", "bitfilter 5 1 0",
                             "diseqc 1 7", "diseqc 3 0xff", "cmd", "cmd 1 2 3 4 5 6 7", "cmdex", "start 0", "stop"});
    const lines expected = {
        "Using TeVii API DLL version 1",
        "Default modulation: 8PSK",
        "Default spectral inversion: NORMAL",
        "Default pilot: ON",
        "Default rolloff: AUTO",
        "Available TeVii-devices:",
        "Device 0",
        "\tName: Simulated TeVii card 0",
        "\tPath: simulated/adapter0",
        "StartDVBEx(0)",
        "Device_ID: 0",
        "\tName: Simulated TeVii card 0",
        "\tPath: simulated/adapter0",
        "SetFilter(256, 0x*, 4, 0, 0x*)",
        "filter_num=0",
        "SetFilter(256, 0x*, 4, 0, 0x*)",
        "Filter for PID 256 exists !",
        "SetFilter(8192, 0x*, 4, 0, 0x*)",
        "filter_num=1",
        "SetFilter(8192, 0x*, 2, 0, 0x*)",
        "FullTS filter exists !",
        "SetFilter(8193, 0x*, 4, 0, 0x*)",
        "PID > 8192 !",
        "SetFilter(5, 0x*, 4, 0, 0x*)",
        "Invalid pointers !",
        "SetFilter(5, 0x*, 4, 0, 0x*)",
        "Invalid pointers !",
        "DelFilter(99)",
        "Filter with ID 99 not exists !",
        "SetRemoteControl(1, 77, 0x*, 0x*)",
        "Only RC_RAW supported for TeVii!",
        "SetRemoteControl(0, 77, 0x*, 0x*)",
        "filter_num=2",
        "SetRemoteControl(0, 77, 0x*, 0x*)",
        "Filter for RC_RAW exists !",
        "SetRemoteControl(0, 0, 0x*, 0x*)",
        "Invalid pointers !",
        "SetRemoteControl(0, 0, 0x*, 0x*)",
        "Invalid pointers !",
        "SetFilterEx(5, 0x*, 1, 2, 0x*)",
        "SetFilterEx not implemented !",
        "SetFilterEx(5, 0x*, 1, 2, 0x*)",
        "Invalid pointers !",
        "SetBitFilter(5, 0x*, 0x*, 3, 0x*, 0x*)",
        "SetBitFilter not implemented !",
        "SetBitFilter(5, 0x*, 0x*, 3, 0x*, 0x*)",
        "Invalid pointers !",
        "SendDiSEqC (1, 07)",
        "Warning: ToneBurst not supported !",
        "SendDiSEqC (3, ff)",
        "Warning: unsupported DiSEqCType=3 !",
        "SendDiseqCmd(0x*, 0)",
        "Length = 0, but must be 1-6",
        "SendDiseqCmd() - failed !",
        "SendDiseqCmd(0x*, 7)",
        "Length = 7, but must be 1-6",
        "SendDiseqCmd() - failed !",
        "SendDiseqCmdEx(0x*, 0, 0x*, 0x* )",
        "Length = 0, must be 1-6",
        "SendDiseqCmd() - failed !",
        "StartDVBEx(0)",
        "Already started !",
        "StopDVB()",
    };
    const lines got = from(r.log, "Using TeVii API DLL version 1");
    ASSERT_GE(got.size(), expected.size()) << r.raw_log;
    for (size_t i = 0; i < expected.size(); ++i) {
        std::string pattern = std::regex_replace(expected[i], std::regex(R"([()\\.])"), "\\$&");
        pattern = std::regex_replace(pattern, std::regex(R"(0x\*)"), "0x" + hex16);
        EXPECT_TRUE(std::regex_match(got[i], std::regex(pattern))) << i << ": " << got[i] << " vs " << expected[i];
    }
    EXPECT_EQ(got.size(), expected.size() + 1) << "then the detach line";
    EXPECT_EQ(r.out[r.out.size() - 2], "StartDVBEx = 0");
}

struct start_case {
    const char* name;
    std::string ini;
    std::string card;
    lines commands;
    lines out;
    lines log;      // lines the log must hold
    lines journal;  // calls the card must have seen
};

void PrintTo(const start_case& c, std::ostream* os) { *os << c.name; }

class TunerKestrixStart : public testing::TestWithParam<start_case> {};

TEST_P(TunerKestrixStart, Case) {
    const start_case& c = GetParam();
    const auto r = run_host({c.ini, c.card}, c.commands);
    EXPECT_EQ(r.out, c.out);
    for (const std::string& l : c.log) EXPECT_TRUE(contains(r.log, l)) << l << "\n" << r.raw_log;
    for (const std::string& j : c.journal)
        EXPECT_TRUE(contains(r.journal, j)) << j << "\n" << testing::PrintToString(r.journal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TunerKestrixStart,
    testing::Values(
        start_case{"DeviceEqualToCountIsNotFound", log1, "Devices=2\n", {"start 2"}, {"StartDVBEx = 0"},
                   {"StartDVBEx(2)", "Device_ID: 2", "Device 2 not found !"}, {}},
        start_case{"NegativeCountIsNoDevice", log1, "Devices=-1\n", {"checkex", "start 0"},
                   {"CheckForDVBEx = 1", "StartDVBEx = 0"}, {"Device 0 not found !"}, {"FindDevices() = -1"}},
        start_case{"DeviceIdFromIni", log1 + "Device_ID=1\n", "Devices=2\n", {"startdvb"}, {"StartDVB = 1"},
                   {"StartDVBEx(-1)", "Device_ID: 1"}, {"OpenDevice(1) = 1"}},
        start_case{"OpenFailure", log1, "[Device0]\nOpenDevice=0\n", {"start 0", "filter 1 4"},
                   {"StartDVBEx = 0", "SetFilter F0 = 0"}, {"Can't open device 0"}, {"OpenDevice(0) = 0"}},
        start_case{"SecondCheckDoesNotCallBack", log1, "Devices=1\n", {"checkex", "checkex"},
                   {"device 0 \"Simulated TeVii card 0\"", "CheckForDVBEx = 1", "CheckForDVBEx = 1"}, {}, {}},
        start_case{"NullNamesPrintEmpty", log1, "[Device0]\nNullName=1\nNullPath=1\n",
                   {"checkex", "start 0"}, {"device 0 \"\"", "CheckForDVBEx = 1", "StartDVBEx = 1"},
                   {"\tName: ", "\tPath: "}, {"GetDeviceName(0) = null"}},
        start_case{"StopReturnsTheCardsResult", log1, "[Device0]\nCloseDevice=7\n", {"start 0", "stop", "stop"},
                   {"StartDVBEx = 1", "StopDVB = 7", "StopDVB = 1"}, {"StopDVB()"}, {"CloseDevice(0) = 7"}}),
    [](const testing::TestParamInfo<start_case>& i) { return std::string(i.param.name); });

TEST(TunerKestrixLoad, MissingOrIncompleteMakersLibraryIsRetried) {
    const std::string libs = QUORIN_TEST_LIBS;
    for (const char* variant : {"", "tevii_incomplete"}) {
        test_support::temp_dir lib_dir;
        ASSERT_EQ(symlink((bin + "/libKestrix.so").c_str(), lib_dir.file("libKestrix.so").c_str()), 0);
        if (*variant) {
            const std::string tevii = libs + "/" + variant + "/libTeVii.so";
            ASSERT_EQ(symlink(tevii.c_str(), lib_dir.file("libTeVii.so").c_str()), 0);
        }
        scenario s{log1};
        s.lib_dir = lib_dir.path;
        const auto r = run_host(s, {"check", "startdvb", "stop"});
        EXPECT_EQ(r.out, (lines{"CheckForDVB = 0", "StartDVB = 0", "StopDVB = 1"})) << variant;
        lines got = from(r.log, "CheckForDVBEx(0x0000000000000000)");
        ASSERT_EQ(got.size(), 5u) << r.raw_log;
        got.pop_back();  // the detach line
        EXPECT_EQ(got, (lines{"CheckForDVBEx(0x0000000000000000)", "Can't load TeVii.dll !",
                              "CheckForDVBEx(0x0000000000000000)", "Can't load TeVii.dll !"}))
            << variant;
    }
}

struct tune_case {
    const char* name;
    std::string ini;
    std::string card;
    std::string command;
    std::string result;
    std::string journal;  // the TuneTransponder line
    lines log;
};

void PrintTo(const tune_case& c, std::ostream* os) { *os << c.name; }

class TunerKestrixTune : public testing::TestWithParam<tune_case> {};

TEST_P(TunerKestrixTune, Case) {
    const tune_case& c = GetParam();
    const auto r = run_host({log1 + c.ini, c.card}, {"start 0", c.command});
    ASSERT_EQ(r.out.size(), 2u);
    EXPECT_EQ(r.out[1], c.result);
    EXPECT_TRUE(contains(r.journal, c.journal)) << testing::PrintToString(r.journal);
    for (const std::string& l : c.log) EXPECT_TRUE(contains(r.log, l)) << l << "\n" << r.raw_log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TunerKestrixTune,
    testing::Values(
        // At the switch frequency: low band; one above: high band with the tone.
        tune_case{"AtSwitchLowBand", "", "", "channelexex 11700000 27500000 1 1 9750000 10600000 11700000 1 0 0 0",
                  "SetChannelExEx = 1", "TuneTransponder(0, 11700000, 27500000, 9750000, 1, 0, 1, 1) = 1", {}},
        tune_case{"AboveSwitchHighBand", "", "", "channelexex 11700001 27500000 0 2 9750000 10600000 11700000 2 0 0 0",
                  "SetChannelExEx = 1", "TuneTransponder(0, 11700001, 27500000, 10600000, 2, 1, 10, 4) = 1",
                  {"SetChannelExEx(11700001, 27500000, 0, 2, 9750000, 10600000, 11700000, 2, 0, 0, 0)",
                   "Signal\tLocked=1  Strength=-45dBm  Quality=80%"}},
        tune_case{"OutOfTableCodesAreZero", "", "", "channelexex 1 2 5 10 0 0 0 9 1 2 3", "SetChannelExEx = 1",
                  "TuneTransponder(0, 1, 2, 0, 1, 1, 0, 0) = 1", {}},
        tune_case{"EveryModulationAndFec", "", "", "channelex 10000000 1000 0 9 5 6 20000000 8", "SetChannelEx = 1",
                  "TuneTransponder(0, 10000000, 1000, 5, 2, 0, 15, 14) = 1",
                  {"SetChannelExEx(10000000, 1000, 0, 9, 5, 6, 20000000, 8, 0, 0, 0)"}},
        tune_case{"SetChannelTakesIniDefaults", "Modulation=16apsk\nInversion=ON\nPilot=1\nRolloff=25\n", "",
                  "channel 12000000 22000000 1 6 9750000 10600000 11700000", "SetChannel = 1",
                  "TuneTransponder(0, 12000000, 22000000, 10600000, 1, 1, 11, 11) = 1",
                  {"SetChannelExEx(12000000, 22000000, 1, 6, 9750000, 10600000, 11700000, 3, 2, 1, 2)"}},
        tune_case{"TuneFailure", "", "[Device0]\nTuneTransponder=0\n", "channelex 1 2 3 4 5 6 7 5",
                  "SetChannelEx = 0", "TuneTransponder(0, 1, 2, 5, 1, 0, 9, 8) = 0",
                  {"TeVii_TuneTransponder() failed !"}},
        tune_case{"StatusFailureAfterTuneIsOnlyLogged", "", "[Device0]\nGetSignalStatus=0\n",
                  "channelex 1 2 3 4 5 6 7 7", "SetChannelEx = 1", "TuneTransponder(0, 1, 2, 5, 1, 0, 14, 8) = 1",
                  {"TeVii_GetSignalStatus() failed !"}}),
    [](const testing::TestParamInfo<tune_case>& i) { return std::string(i.param.name); });

TEST(TunerKestrixDiseqc, MessagesReachTheCardAsSent) {
    const auto r = run_host({log1, "[Device0]\nSendDiSEqC=5\n"},
                            {"start 0", "diseqc 2 0xF4", "diseqc 2 0", "diseqc 1 1", "diseqc 0 1", "cmd E0 10 38 F0",
                             "cmd E0 31 6B 12 34 56", "cmdex E1 10 39 F3", "cmd-null"});
    EXPECT_EQ(r.out, (lines{"StartDVBEx = 1", "SendDiSEqC = 5", "SendDiSEqC = 5", "SendDiSEqC = 1", "SendDiSEqC = 1",
                            "SendDiseqCmd = 5", "SendDiseqCmd = 5", "SendDiseqCmdEx = 5 reply 0", "SendDiseqCmd = 0",
                            "SendDiseqCmdEx = 0", "SendDiseqCmdEx = 0"}));
    const lines sent = from(r.journal, "SendDiSEqC(0, E0 10 38 F4, 2, 1) = 5");
    EXPECT_EQ(lines(sent.begin(), sent.begin() + std::min<size_t>(sent.size(), 5)),
              (lines{"SendDiSEqC(0, E0 10 38 F4, 2, 1) = 5", "SendDiSEqC(0, E0 10 38 00, 2, 1) = 5",
                     "SendDiSEqC(0, E0 10 38 F0, 0, 0) = 5", "SendDiSEqC(0, E0 31 6B 12 34 56, 0, 0) = 5",
                     "SendDiSEqC(0, E1 10 39 F3, 0, 0) = 5"}));
    EXPECT_EQ(sent.size(), 5u) << "tone burst, other types and refusals send nothing";
    EXPECT_TRUE(contains(r.log, "SendDiSEqC (2, f4)"));
    EXPECT_TRUE(contains(r.log, "Warning: unsupported DiSEqCType=0 !"));
}

TEST(TunerKestrixSignal, FiguresAndLines) {
    const std::string card = "[Device0]\nLocked=1\nStrength=-60\nQuality=70\n";
    const auto r = run_host({log2, card}, {"start 0", "signal", "strength", "stat", "signal-null"});
    EXPECT_EQ(r.out, (lines{"StartDVBEx = 1", "GetSignal = 1 -60 70", "GetSignalStrength = 1 -60.0 70",
                            "Statistic = 1 1 70 1 -60", "GetSignal = 0", "GetSignalStrength = 0", "Statistic = 0"}));
    lines got = from(r.log, "GetSignal()");
    ASSERT_FALSE(got.empty());
    got.pop_back();  // the detach line
    EXPECT_EQ(got, (lines{"GetSignal()", "Signal\tStrength = -60dBm\tQuality = 70%", "GetSignalStrength()",
                          "Signal\tStrength = -60.0dBm\tQuality = 70%", "Statistic()",
                          "Signal\tPresent = 1\tLocked = 1", "\tLevel = -60dBm\tQuality = 70%", "GetSignal()",
                          "Invalid pointers !", "GetSignalStrength()", "Invalid pointers !", "Statistic()",
                          "Invalid pointer !"}));

    // Level 1: no signal lines; a failed read is logged and fails the call.
    const auto f = run_host({log1, "[Device0]\nGetSignalStatus=0\n"}, {"start 0", "signal", "stat"});
    EXPECT_EQ(f.out, (lines{"StartDVBEx = 1", "GetSignal = 0 0 0", "Statistic = 0 9 9 9 9"}));
    EXPECT_EQ(from(f.log, "Device_ID: 0").size(), 6u) << "then name, path, two failures, detach\n" << f.raw_log;
    EXPECT_TRUE(contains(f.log, "TeVii_GetSignalStatus() failed !"));
    EXPECT_FALSE(contains(f.log, "GetSignal()"));
}

TEST(TunerKestrixFilters, NumbersRunOnAcrossStopAndStart) {
    const auto r = run_host({log1}, {"start 0", "filter 256 4", "filter 8192 4", "rc 0", "del 2", "rc 0", "stop",
                                     "start 0", "del 0", "del 3", "filter 256 4", "rc 0", "del 4", "del 5", "del 5",
                                     "key 1", "inject 256:1"});
    EXPECT_EQ(r.out, (lines{"StartDVBEx = 1", "SetFilter F0 = 1 number 0", "SetFilter F1 = 1 number 1",
                            "SetRemoteControl = 1 number 2", "DelFilter = 1", "SetRemoteControl = 1 number 3",
                            "StopDVB = 1", "StartDVBEx = 1", "DelFilter = 0", "DelFilter = 0",
                            "SetFilter F2 = 1 number 4", "SetRemoteControl = 1 number 5", "DelFilter = 1",
                            "DelFilter = 1", "DelFilter = 0", "key = 1", "inject = 1"}));
    // The hook is installed once per start.
    EXPECT_EQ(std::count(r.journal.begin(), r.journal.end(), "SetRemoteControl(0) = 1"), 2);
    EXPECT_TRUE(contains(r.log, "Filter with ID 0 not exists !"));
}

struct delivery_case {
    const char* name;
    std::string ini;
    lines commands;
    lines out;  // after "StartDVBEx = 1"
};

void PrintTo(const delivery_case& c, std::ostream* os) { *os << c.name; }

class TunerKestrixDelivery : public testing::TestWithParam<delivery_case> {};

TEST_P(TunerKestrixDelivery, Case) {
    const delivery_case& c = GetParam();
    lines commands = {"start 0"};
    commands.insert(commands.end(), c.commands.begin(), c.commands.end());
    const auto r = run_host({c.ini}, commands);
    EXPECT_EQ(from(r.out, "StartDVBEx = 1"), [&] {
        lines e = {"StartDVBEx = 1"};
        e.insert(e.end(), c.out.begin(), c.out.end());
        return e;
    }()) << r.raw_log;
}

std::string zero_bytes(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += " 00";
    return s;
}
const std::string head_100 = "47 01 00 10" + zero_bytes(96);
const std::string zeros_88 = zero_bytes(88);

INSTANTIATE_TEST_SUITE_P(
    Cases, TunerKestrixDelivery,
    testing::Values(
        delivery_case{"WholeStreamAndPidFilters",
                      log1,
                      {"filter 8192 4", "filter 256 2", "filter 8191 1", "inject 256:1,8191:1,300:1"},
                      {"SetFilter F0 = 1 number 0", "SetFilter F1 = 1 number 1", "SetFilter F2 = 1 number 2",
                       "F0 pid=256 cc=0 len=188", "F1 pid=256 cc=0 len=188", "F0 pid=8191 cc=0 len=188",
                       "F2 pid=8191 cc=0 len=188", "F0 pid=300 cc=0 len=188", "inject = 1"}},
        delivery_case{"NoPidFilterHandsWholeBuffers",
                      log1 + "NoPidFilter=1\n",
                      {"filter 8192 4", "filter 256 4", "inject 256:5,1:1", "inject-hex 01 02 03"},
                      {"SetFilter F0 = 1 number 0", "SetFilter F1 = 1 number 1", "F0 pid=256 cc=0 len=1128",
                       "inject = 1", "F0 len=3", "inject = 1"}},
        delivery_case{"UnknownTypeSkipsOnlyThatSlot",
                      log1,
                      {"filter 8192 3", "filter 256 4", "inject 256:1"},
                      {"SetFilter F0 = 1 number 0", "SetFilter F1 = 1 number 1", "F1 pid=256 cc=0 len=188",
                       "inject = 1"}},
        delivery_case{"DeletedFilterGetsNothing",
                      log1,
                      {"filter 256 4", "filter 257 4", "del 0", "inject 256:1,257:1"},
                      {"SetFilter F0 = 1 number 0", "SetFilter F1 = 1 number 1", "DelFilter = 1",
                       "F1 pid=257 cc=0 len=188", "inject = 1"}},
        // A partial packet kept at a stop is not glued onto the next stream.
        delivery_case{"CarryIsDroppedAtStart",
                      log1,
                      {"inject-hex " + head_100, "stop", "start 0", "filter 8192 4", "inject 2:1"},
                      {"inject = 1", "StopDVB = 1", "StartDVBEx = 1", "SetFilter F0 = 1 number 0",
                       "F0 pid=2 cc=0 len=188", "inject = 1"}},
        delivery_case{"CarryCompletesWithinAStart",
                      log1,
                      {"filter 8192 4", "inject-hex " + head_100, "inject-hex" + zeros_88, "inject 2:1"},
                      {"SetFilter F0 = 1 number 0", "inject = 1", "F0 pid=256 cc=0 len=188", "inject = 1",
                       "F0 pid=2 cc=0 len=188", "inject = 1"}},
        // From inside a delivery: removing itself, adding a filter that the
        // same packet then reaches, stopping the device.
        delivery_case{"CallbackDeletesItself",
                      log1,
                      {"filter 8192 4 del-self", "inject 7:2"},
                      {"SetFilter F0 = 1 number 0", "F0 pid=7 cc=0 len=188", "F0 DelFilter(self) = 1",
                       "inject = 1"}},
        delivery_case{"CallbackAddsAFilter",
                      log1,
                      {"filter 8192 4 add:7", "inject 7:2"},
                      {"SetFilter F0 = 1 number 0", "F0 pid=7 cc=0 len=188", "F0 SetFilter(F1) = 1",
                       "F1 pid=7 cc=0 len=188", "F0 pid=7 cc=1 len=188", "F1 pid=7 cc=1 len=188", "inject = 1"}},
        delivery_case{"CallbackStopsTheDevice",
                      log1,
                      {"filter 8192 4 stop", "filter 7 4", "inject 7:3", "inject 7:1", "start 0", "filter 7 4",
                       "inject 7:1"},
                      {"SetFilter F0 = 1 number 0", "SetFilter F1 = 1 number 1", "F0 pid=7 cc=0 len=188",
                       "F0 StopDVB = 1", "inject = 1", "inject = 0", "StartDVBEx = 1", "SetFilter F2 = 1 number 2",
                       "F2 pid=7 cc=4 len=188", "inject = 1"}},
        delivery_case{"RemoteCallbackDeletesItself",
                      log1,
                      {"rc 0 del-self", "key 42", "key 43"},
                      {"SetRemoteControl = 1 number 0", "RC key=42 len=4", "RC DelFilter(self) = 1", "key = 1",
                       "key = 1"}}),
    [](const testing::TestParamInfo<delivery_case>& i) { return std::string(i.param.name); });

// A callback stops the device while the feeder's buffer ends in a partial
// packet, and the card's thread splits that rest only once the next start
// has called OpenDevice: the partial packet still belongs to the old
// stream, and the new stream's first packet arrives whole.
TEST(TunerKestrixDelivery, CarryOfAStopInsideACallbackIsDroppedAtTheNextStart) {
    const std::string card = "[Device0]\nFeed=generate\nPids=7\nPackets=2\nChunk=200\nIntervalMs=0\nStart=call\n";
    const auto r = run_host({log1, card}, {"start 0", "filter 7 4 stop-wait", "start-feed", "wait-stop", "start 0",
                                           "filter 8192 4", "inject 2:1"});
    EXPECT_TRUE(contains(r.out, "F0 StopDVB = 1")) << r.process.out;
    EXPECT_TRUE(contains(r.out, "stopped")) << r.process.out;
    EXPECT_EQ(from(r.out, "SetFilter F1 = 1 number 1"),
              (lines{"SetFilter F1 = 1 number 1", "F1 pid=2 cc=0 len=188", "inject = 1"}))
        << r.process.out;
}

TEST(TunerKestrixDelivery, TheHostRefusesAFilterBeyondItsLabels) {
    lines commands = {"start 0"};
    lines expected = {"StartDVBEx = 1"};
    for (int k = 0; k < 17; ++k) {
        commands.push_back("filter " + std::to_string(100 + k) + " 4");
        if (k < 16) expected.push_back("SetFilter F" + std::to_string(k) + " = 1 number " + std::to_string(k));
    }
    expected.push_back("filter: no label for a filter beyond F15");
    commands.push_back("inject 115:1,116:1");
    expected.push_back("F15 pid=115 cc=0 len=188");
    expected.push_back("inject = 1");
    EXPECT_EQ(run_host({log1}, commands).out, expected);
}

TEST(TunerKestrixDelivery, RemoteHookRefusedByTheCard) {
    const auto r = run_host({log1, "[Device0]\nSetRemoteControl=0\n"}, {"start 0", "rc 0", "rc 0"});
    EXPECT_EQ(r.out, (lines{"StartDVBEx = 1", "SetRemoteControl = 0", "SetRemoteControl = 0"}));
    EXPECT_EQ(std::count(r.log.begin(), r.log.end(), "Can't set TeVii RC callback !"), 2);
}

TEST(TunerKestrixDelivery, FeederPacketsArriveInOrderAcrossBuffers) {
    // 1000-byte buffers cut packets anywhere; every packet must arrive whole,
    // in order, with its continuity counter running on.
    const std::string card = "[Device0]\nFeed=generate\nPids=0x100,0x1FFF\nPackets=400\nChunk=1000\n"
                             "IntervalMs=0\nStart=call\n";
    const auto r = run_host({log1, card}, {"filter 8192 4", "filter 8191 2", "start 0", "filter 8192 4",
                                           "filter 8191 2", "start-feed", "wait-feed 60000", "stop"});
    std::map<std::string, int> next_cc;
    std::map<std::string, int> count;
    const std::regex delivery(R"(^(F\d) pid=(\d+) cc=(\d+) len=188$)");
    for (const std::string& line : r.out) {
        std::smatch m;
        if (!std::regex_match(line, m, delivery)) continue;
        const std::string key = m[1].str() + "/" + m[2].str();
        if (next_cc.count(key)) {
            EXPECT_EQ(std::stoi(m[3].str()), next_cc[key]) << line;
        }
        next_cc[key] = (std::stoi(m[3].str()) + 1) % 16;
        ++count[m[1].str()];
    }
    EXPECT_EQ(count["F2"], 400);
    EXPECT_EQ(count["F3"], 200);
    EXPECT_TRUE(contains(r.out, "feed done = 1"));
    EXPECT_FALSE(contains(r.log, "Sample not contain enought data !"));
}

TEST(TunerKestrixStress, FeederAgainstFilterChanges) {
    const std::string card = "[Device0]\nFeed=generate\nPids=0x100,0x101,0x102\nChunk=1000\nIntervalMs=0\n";
    const auto r = run_host({"", card}, {"stress 500"});
    EXPECT_TRUE(contains(r.out, "stress ok")) << r.process.out;
}

#ifdef QUORIN_TSAN_DIR
TEST(TunerKestrixStress, FeederAgainstFilterChangesUnderThreadSanitizer) {
    scenario s{"", "[Device0]\nFeed=generate\nPids=0x100,0x101,0x102\nChunk=1000\nIntervalMs=0\n"};
    s.lib_dir = QUORIN_TSAN_DIR;
    s.host = std::string(QUORIN_TSAN_DIR) + "/kestrix_host";
    setenv("TSAN_OPTIONS", "halt_on_error=1:exitcode=66", 1);
    const auto r = run_host(s, {"stress 1000"});
    if (r.process.err.find("unexpected memory mapping") != std::string::npos)
        GTEST_SKIP() << "this kernel's address-space randomisation leaves ThreadSanitizer no room";
    EXPECT_TRUE(contains(r.out, "stress ok")) << r.process.out << r.process.err;
    EXPECT_EQ(r.process.err.find("ThreadSanitizer"), std::string::npos) << r.process.err;
}
#endif

}  // namespace
