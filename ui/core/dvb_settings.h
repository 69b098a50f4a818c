// The DVB window's rules that need no widget: the subscription's "DVB/"
// keys, the LNB presets, the DiSEqC button rules, the transponder presets of
// "Satproviders.ini", the eighteen values handed to the DVB library's init
// and the figures read back from it, and the binding table of its seven
// functions.
#pragma once

#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/dynlib.h"
#include "tools/dvb/dvb_api.h"

extern const char sat_providers_file[];  // "Satproviders.ini"

// ------------------------------------------------------------- subscription keys

// The "DVB/" keys of a subscription, as the window shows them. The
// "DVB/Enabled" and "DVB/SATIP" names are those of settings_files.h.
struct DvbSettings {
    QString card;
    int freq = 11145000;
    int sr = 22222000;
    int pol = 1;
    int pid = 101;
    QString satip;
    int lnbtype = 0;
    int lof1 = 9750000;
    int lof2 = 10600000;
    int lofsw = 11700000;
    int mod = 0;
    int diseq_type = 0;
    int diseq_sat = 1;
};

// Every key read with its load default (the member initialisers above).
DvbSettings load_dvb_settings_keys(QSettings& subscriptions);
// Written in the window's order: "DVB/CARD" (only with_card), "DVB/FREQ",
// "DVB/SR", "DVB/POL", "DVB/PID", "DVB/SATIP", "DVB/LNBTYPE", "DVB/LOF1",
// "DVB/LOF2", "DVB/LOFSW", "DVB/MOD", "DVB/DISEQ_TYPE", "DVB/DISEQ_SAT".
// The two DiSEqC ids are stored through the rules below.
void store_dvb_settings_keys(QSettings& subscriptions, const DvbSettings& d, bool with_card);

// The card name is kept only when the user can choose among cards.
bool dvb_card_is_stored(int card_count);

// ------------------------------------------------------------- LNB and DiSEqC

struct LnbPreset {
    int lof1, lof2, lof_switch;  // kHz
};
// The lnbtype combo's presets: "Universal", "Circular", "C band". Any other
// index leaves the LOF values as they are.
std::optional<LnbPreset> lnb_preset(int lnb_type);

// Ids of the "diseqtype" and "diseqsat" button groups; -1: none checked.
enum DiseqcTypeId : int { diseqc_none_id = 0, diseqc_simple_id = 1, diseqc_committed_id = 2 };
constexpr int diseqc_positions = 4;
// The position buttons (ids 1 to 4) enabled for a checked type id.
std::array<bool, diseqc_positions> diseqc_positions_enabled(int type_id);
// What "DVB/DISEQ_TYPE" and "DVB/DISEQ_SAT" keep of a checked id: the id
// when it is 2 (4) or less, -1 included, else 0.
int diseqc_type_to_store(int type_id);
int diseqc_sat_to_store(int sat_id);

// ------------------------------------------------------------- presets

// One prov_combo entry: "provider/transponder", and its values FREQ, SR,
// POL and LNB.
struct SatPreset {
    QString text;
    QVariantMap values;
};
extern const char preset_freq[];  // "FREQ"
extern const char preset_sr[];    // "SR"
extern const char preset_pol[];   // "POL"
extern const char preset_lnb[];   // "LNB"

// The transponders of "Satproviders.ini": each top-level group a provider,
// each of its child groups a transponder, in the order the file lists them
// (QSettings itself sorts the groups). *providers gets the provider names.
QList<SatPreset> read_sat_presets(QSettings& file, QStringList* providers);
// Group paths ("provider", "provider/transponder") in the order the file
// names them first, sections and keys alike, unescaped as QSettings reads
// them.
QStringList ini_groups_in_file_order(const QByteArray& text);
// The "Saved settings" entry: FREQ, SR, POL and LNB from the subscription's
// "DVB/FREQ", "DVB/SR", "DVB/POL" and "DVB/LNBTYPE", each 0 when absent.
QVariantMap saved_sat_preset(QSettings& subscriptions);
// A preset's value; 0 when absent.
int sat_preset_value(const QVariantMap& values, const char* key);

// ------------------------------------------------------------- init and figures

// What the window shows, as init takes it.
struct DvbWindowValues {
    int frequency = 0, symbol_rate = 0, polarisation = 0;
    int lof1 = 0, lof2 = 0, lof_switch = 0, modulation = 0;
    int diseqc_type_id = diseqc_none_id, diseqc_sat_id = -1;
    int pid = 0;
    uint16_t udp_port = 0;  // host order
    QString sat_ip;
    bool verbose = false;
};

// init's eighteen values, in its order and widths.
struct DvbInitArgs {
    int32_t frequency = 0, symbol_rate = 0, polarisation = 0, fec = 0, lof1 = 0, lof2 = 0, lof_switch = 0,
            modulation = 0, inversion = 0, pilot = 0, rolloff = 0, diseqc_type = 0, diseqc_position = 0;
    uint32_t pid = 0, port_net = 0, sat_ip_net = 0;
    int32_t verbose = 0;
    const char* reader_name = KESTRIX_DLL;  // the reader the interface names to the library
};

// Only the port and the address are in network byte order; the DiSEqC type
// is 0 outside 0-2 or with an invalid position, the position 0 when its low
// byte is above 4 (no button checked included).
DvbInitArgs dvb_init_args(const DvbWindowValues& v);
// The probe of a library without GetCardCount: seventeen zeros and the
// reader's name.
DvbInitArgs dvb_probe_args();
// The library's results are read by their low byte only.
inline bool dvb_init_tuned_result(int result) { return (result & 0xFF) == 0; }
inline bool dvb_card_started(int result) { return (result & 0xFF) != 0; }

// One poll of GetStat and GetFilterStat.
struct DvbStatSample {
    int level = 0, quality = 0, spare = 0;
    uint64_t packets = 0, discontinuities = 0;
    uint64_t filter_bytes = 0, filter_packets = 0, crc_errors = 0;
};
// The values of DVBStatChanged, in its order.
struct DvbStatFigures {
    int lvl = 0, qua = 0;
    uint64_t packets_recvd = 0, bytes_recvd = 0, crc_errs = 0, disc = 0, pkt = 0, filt_traf = 0;
};
DvbStatFigures dvb_stat_figures(const DvbStatSample& s);

// ------------------------------------------------------------- binding

// The seven functions, typed by the library's own header.
struct DvbFunctions {
#define DVB_FUNCTION_POINTER(name) decltype(&::name) name = nullptr;
    DVB_API_FUNCTIONS(DVB_FUNCTION_POINTER)
#undef DVB_FUNCTION_POINTER

    int call_init(const DvbInitArgs& a) const;
    DvbStatSample poll() const;
};

// Resolves the seven by name. False when one the interface needs is
// missing: DvbStop, init, GetStat, GetFilterStat and StartCard always,
// GetCardName when GetCardCount is there; *missing names them.
bool dvb_resolve(const std::function<void*(const char*)>& resolve, DvbFunctions* out, QStringList* missing);
