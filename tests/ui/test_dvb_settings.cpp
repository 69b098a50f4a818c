// The DVB window's widget-free rules: LNB presets, DiSEqC ids, init's
// values and byte orders, the library's results, the binding table and the
// presets file.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <set>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "ui/core/dvb_settings.h"

namespace {

TEST(UiDvbRules, LnbPresetsAndDiseqcIds) {
    const struct {
        int type;
        std::optional<LnbPreset> preset;
    } lnb[] = {{0, LnbPreset{9750000, 10600000, 11700000}}, {1, LnbPreset{10750000, 10750000, 0}},
               {2, LnbPreset{5150000, 5150000, 0}}, {3, std::nullopt}, {-1, std::nullopt}};
    for (const auto& c : lnb) {
        const auto p = lnb_preset(c.type);
        ASSERT_EQ(p.has_value(), c.preset.has_value()) << c.type;
        if (p) {
            EXPECT_EQ(std::vector<int>({p->lof1, p->lof2, p->lof_switch}),
                      std::vector<int>({c.preset->lof1, c.preset->lof2, c.preset->lof_switch}));
        }
    }
    using four = std::array<bool, diseqc_positions>;
    EXPECT_EQ(diseqc_positions_enabled(2), four({true, true, true, true}));
    EXPECT_EQ(diseqc_positions_enabled(1), four({true, true, false, false}));
    for (int id : {0, -1, 3}) EXPECT_EQ(diseqc_positions_enabled(id), four({false, false, false, false})) << id;
    // What the keys keep: up to the largest id, "none checked" (-1) included.
    const std::pair<int, int> types[] = {{-1, -1}, {0, 0}, {2, 2}, {3, 0}};
    for (const auto& [id, kept] : types) EXPECT_EQ(diseqc_type_to_store(id), kept) << id;
    const std::pair<int, int> sats[] = {{-1, -1}, {1, 1}, {4, 4}, {5, 0}};
    for (const auto& [id, kept] : sats) EXPECT_EQ(diseqc_sat_to_store(id), kept) << id;
}

TEST(UiDvbRules, InitValuesAndByteOrders) {
    DvbWindowValues base;
    base.frequency = 11595000;
    base.symbol_rate = 29270000;
    base.polarisation = 1;
    base.lof1 = 9750000;
    base.lof2 = 10600000;
    base.lof_switch = 11700000;
    base.modulation = 2;
    base.pid = 101;
    base.udp_port = 2080;
    base.sat_ip = "10.0.0.1";
    const DvbInitArgs a = dvb_init_args(base);
    EXPECT_EQ(std::vector<int32_t>({a.frequency, a.symbol_rate, a.polarisation, a.fec, a.lof1, a.lof2, a.lof_switch,
                                    a.modulation, a.inversion, a.pilot, a.rolloff, a.verbose}),
              std::vector<int32_t>({11595000, 29270000, 1, 0, 9750000, 10600000, 11700000, 2, 0, 0, 0, 0}));
    EXPECT_EQ(a.port_net, 8200u);  // 2080 in network order, widened
    EXPECT_EQ(a.sat_ip_net, 0x0100000Au);
    EXPECT_STREQ(a.reader_name, "Kestrix.dll");

    struct row {
        int type_id, sat_id, pid;
        const char* sat_ip;
        uint16_t port;
        bool verbose;
        int32_t type, position;
        uint32_t pid_arg, ip_arg, port_arg;
    } rows[] = {
        {0, -1, 101, "10.0.0.1", 2080, false, 0, 0, 101, 0x0100000A, 0x2008},  // no DiSEqC, nothing checked
        {1, 2, 101, "10.0.0.1", 2080, false, 1, 2, 101, 0x0100000A, 0x2008},   // simple switch, position 2
        {2, 4, 8192, "192.0.2.7", 1, true, 2, 4, 8192, 0x070200C0, 0x0100},
        {2, -1, 70000, "not an address", 0, false, 0, 0, 70000 & 0xFFFF, 0xFFFFFFFF, 0},
        {3, 1, 0, "", 65535, false, 0, 1, 0, 0xFFFFFFFF, 0xFFFF},  // an unknown type
        {2, 260, 5, "1.2.3.4", 2080, false, 2, 4, 5, 0x04030201, 0x2008},  // the position's low byte counts
        {1, 5, 5, "1.2.3.4", 2080, false, 0, 0, 5, 0x04030201, 0x2008},
    };
    for (const row& r : rows) {
        DvbWindowValues v = base;
        v.diseqc_type_id = r.type_id;
        v.diseqc_sat_id = r.sat_id;
        v.pid = r.pid;
        v.sat_ip = r.sat_ip;
        v.udp_port = r.port;
        v.verbose = r.verbose;
        const DvbInitArgs b = dvb_init_args(v);
        EXPECT_EQ(std::vector<uint32_t>({uint32_t(b.diseqc_type), uint32_t(b.diseqc_position), b.pid, b.sat_ip_net,
                                         b.port_net, uint32_t(b.verbose)}),
                  std::vector<uint32_t>({uint32_t(r.type), uint32_t(r.position), r.pid_arg, r.ip_arg, r.port_arg,
                                         r.verbose ? 1u : 0u}))
            << r.type_id << "/" << r.sat_id << " " << r.sat_ip;
    }
    const DvbInitArgs probe = dvb_probe_args();
    EXPECT_EQ(probe.frequency | probe.symbol_rate | probe.lof1 | probe.diseqc_type | probe.verbose, 0);
    EXPECT_EQ(probe.pid | probe.port_net | probe.sat_ip_net, 0u);
    EXPECT_STREQ(probe.reader_name, "Kestrix.dll");

    // Results are read by their low byte only.
    EXPECT_TRUE(dvb_init_tuned_result(0x100));
    EXPECT_FALSE(dvb_init_tuned_result(0x101));
    EXPECT_TRUE(dvb_card_started(1));
    EXPECT_FALSE(dvb_card_started(0x100));
}

TEST(UiDvbRules, BindingNeedsItsFunctions) {
    const std::vector<std::string> all = {"DvbStop", "GetStat", "GetFilterStat", "init",
                                          "GetCardCount", "GetCardName", "StartCard"};
    const struct {
        std::set<std::string> absent;
        QStringList missing;
    } rows[] = {
        {{}, {}},
        {{"GetCardCount"}, {}},
        {{"GetCardCount", "GetCardName"}, {}},  // the probe road
        {{"GetCardName"}, {"GetCardName"}},
        {{"GetFilterStat"}, {"GetFilterStat"}},
        {{"DvbStop", "init", "StartCard"}, {"DvbStop", "init", "StartCard"}},
    };
    static int dummy;
    for (const auto& r : rows) {
        std::vector<std::string> asked;
        DvbFunctions f;
        QStringList missing;
        const bool ok = dvb_resolve(
            [&](const char* name) -> void* {
                asked.push_back(name);
                return r.absent.count(name) ? nullptr : &dummy;
            },
            &f, &missing);
        EXPECT_EQ(asked, all);
        EXPECT_EQ(missing, r.missing);
        EXPECT_EQ(ok, r.missing.isEmpty());
        // A refused library leaves nothing to call.
        EXPECT_EQ(f.DvbStop && f.init && f.GetStat, ok);
        EXPECT_EQ(f.GetCardCount != nullptr, ok && !r.absent.count("GetCardCount"));
    }
}

TEST(UiDvbRules, PresetsInTheFilesOrder) {
    e2e::temp_dir dir;
    dir.write("Satproviders.ini",
              "; presets\n[Zeta]\n12073H\\FREQ=12073000\n12073H\\POL=0\n10719V\\FREQ=10719000\n10719V\\SR=27500000\n"
              "[Astra%2019.2E\\11023V]\nFREQ=11023000\nSR=22000000\nPOL=1\nLNB=1\n"
              "[Astra%2019.2E]\n11766H\\FREQ=11766000\nEmpty=1\n");
    EXPECT_EQ(ini_groups_in_file_order("[Zeta]\nb\\x=1\na\\y=2\n[General]\nc\\d=1\n[A%20B\\c]\n"),
              (QStringList{"Zeta", "Zeta/b", "Zeta/a", "c", "A B", "A B/c"}));
    QSettings file(QString::fromStdString(dir.file("Satproviders.ini")), QSettings::IniFormat);
    QStringList providers;
    const QList<SatPreset> presets = read_sat_presets(file, &providers);
    EXPECT_EQ(providers, (QStringList{"Zeta", "Astra 19.2E"}));
    std::vector<std::string> got;
    for (const SatPreset& p : presets) {
        QStringList v;
        for (const char* key : {preset_freq, preset_sr, preset_pol, preset_lnb})
            v << QString::number(sat_preset_value(p.values, key));
        got.push_back((p.text + " " + v.join(',')).toStdString());
    }
    EXPECT_EQ(got, std::vector<std::string>({"Zeta/12073H 12073000,0,0,0", "Zeta/10719V 10719000,27500000,0,0",
                                             "Astra 19.2E/11023V 11023000,22000000,1,1",
                                             "Astra 19.2E/11766H 11766000,0,0,0"}));
}

}  // namespace
