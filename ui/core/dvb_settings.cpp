#include "ui/core/dvb_settings.h"

#include <arpa/inet.h>

#include <QFile>

#include <algorithm>
#include <climits>

#include "ui/core/settings_files.h"

const char sat_providers_file[] = "Satproviders.ini";

const char preset_freq[] = "FREQ";
const char preset_sr[] = "SR";
const char preset_pol[] = "POL";
const char preset_lnb[] = "LNB";

namespace {

constexpr char key_dvb_card[] = "DVB/CARD";
constexpr char key_dvb_freq[] = "DVB/FREQ";
constexpr char key_dvb_sr[] = "DVB/SR";
constexpr char key_dvb_pol[] = "DVB/POL";
constexpr char key_dvb_lnbtype[] = "DVB/LNBTYPE";

// One "DVB/" key and the member it fills: a number or a text.
struct dvb_key {
    const char* key;
    int DvbSettings::*number;
    QString DvbSettings::*text;
};

// In the order the window writes them.
const dvb_key dvb_keys[] = {
    {key_dvb_card, nullptr, &DvbSettings::card},
    {key_dvb_freq, &DvbSettings::freq, nullptr},
    {key_dvb_sr, &DvbSettings::sr, nullptr},
    {key_dvb_pol, &DvbSettings::pol, nullptr},
    {"DVB/PID", &DvbSettings::pid, nullptr},
    {key_dvb_satip, nullptr, &DvbSettings::satip},
    {key_dvb_lnbtype, &DvbSettings::lnbtype, nullptr},
    {"DVB/LOF1", &DvbSettings::lof1, nullptr},
    {"DVB/LOF2", &DvbSettings::lof2, nullptr},
    {"DVB/LOFSW", &DvbSettings::lofsw, nullptr},
    {"DVB/MOD", &DvbSettings::mod, nullptr},
    {"DVB/DISEQ_TYPE", &DvbSettings::diseq_type, nullptr},
    {"DVB/DISEQ_SAT", &DvbSettings::diseq_sat, nullptr},
};

const LnbPreset lnb_presets[] = {
    {9750000, 10600000, 11700000},   // "Universal"
    {10750000, 10750000, 0},         // "Circular"
    {5150000, 5150000, 0},           // "C band"
};

// A key or section name as QSettings reads it: %XX and %UXXXX escapes, and
// the backslash as the group separator.
QString ini_unescape(const QString& raw) {
    QString out;
    for (int i = 0; i < raw.size();) {
        const QChar c = raw.at(i);
        if (c == '\\') {
            out += '/';
            ++i;
            continue;
        }
        if (c != '%' || i + 1 >= raw.size()) {
            out += c;
            ++i;
            continue;
        }
        int first = i + 1, digits = 2;
        if (raw.at(first) == 'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const int code = first + digits <= raw.size() ? raw.mid(first, digits).toInt(&ok, 16) : 0;
        if (!ok) {
            out += '%';
            i = first;
            continue;
        }
        out += QChar(code);
        i = first + digits;
    }
    return out;
}

// Groups in the order of `order`; those the file scan did not see keep
// QSettings' order behind the others.
QStringList in_file_order(QStringList groups, const QString& prefix, const QStringList& order) {
    auto rank = [&](const QString& g) {
        const int at = order.indexOf(prefix + g);
        return at < 0 ? INT_MAX : at;
    };
    std::stable_sort(groups.begin(), groups.end(), [&](const QString& a, const QString& b) { return rank(a) < rank(b); });
    return groups;
}

}  // namespace

// ------------------------------------------------------------- subscription keys

DvbSettings load_dvb_settings_keys(QSettings& subscriptions) {
    DvbSettings d;
    const DvbSettings defaults;
    for (const dvb_key& k : dvb_keys) {
        if (k.number)
            d.*k.number = subscriptions.value(k.key, defaults.*k.number).toInt();
        else
            d.*k.text = subscriptions.value(k.key, defaults.*k.text).toString();
    }
    return d;
}

void store_dvb_settings_keys(QSettings& subscriptions, const DvbSettings& d, bool with_card) {
    DvbSettings stored = d;
    stored.diseq_type = diseqc_type_to_store(d.diseq_type);
    stored.diseq_sat = diseqc_sat_to_store(d.diseq_sat);
    for (const dvb_key& k : dvb_keys) {
        if (k.key == key_dvb_card && !with_card) continue;
        if (k.number)
            subscriptions.setValue(k.key, stored.*k.number);
        else
            subscriptions.setValue(k.key, stored.*k.text);
    }
}

bool dvb_card_is_stored(int card_count) { return card_count >= 2; }

// ------------------------------------------------------------- LNB and DiSEqC

std::optional<LnbPreset> lnb_preset(int lnb_type) {
    if (lnb_type < 0 || size_t(lnb_type) >= std::size(lnb_presets)) return std::nullopt;
    return lnb_presets[lnb_type];
}

std::array<bool, diseqc_positions> diseqc_positions_enabled(int type_id) {
    switch (type_id) {
    case diseqc_committed_id: return {true, true, true, true};
    case diseqc_simple_id: return {true, true, false, false};
    default: return {false, false, false, false};
    }
}

int diseqc_type_to_store(int type_id) { return type_id <= diseqc_committed_id ? type_id : 0; }

int diseqc_sat_to_store(int sat_id) { return sat_id <= diseqc_positions ? sat_id : 0; }

// ------------------------------------------------------------- presets

QStringList ini_groups_in_file_order(const QByteArray& text) {
    QStringList order;
    auto note = [&](const QString& path) {
        if (!path.isEmpty() && !order.contains(path)) order << path;
    };
    QString section;
    for (const QByteArray& raw_line : text.split('\n')) {
        const QString line = QString::fromUtf8(raw_line).trimmed();
        if (line.isEmpty() || line.startsWith(';')) continue;
        if (line.startsWith('[')) {
            const int end = line.indexOf(']');
            section = ini_unescape(line.mid(1, end < 0 ? -1 : end - 1).trimmed());
            if (section.compare("general", Qt::CaseInsensitive) == 0) section.clear();
            const QStringList parts = section.split('/', Qt::SkipEmptyParts);
            for (int i = 1; i <= parts.size(); ++i) note(parts.mid(0, i).join('/'));
            continue;
        }
        const int eq = line.indexOf('=');
        if (eq <= 0) continue;
        const QString key = ini_unescape(line.left(eq).trimmed());
        const QStringList parts = (section.isEmpty() ? key : section + "/" + key).split('/', Qt::SkipEmptyParts);
        // Every group above the key, the key itself left out.
        for (int i = 1; i < parts.size(); ++i) note(parts.mid(0, i).join('/'));
    }
    return order;
}

QList<SatPreset> read_sat_presets(QSettings& file, QStringList* providers) {
    QByteArray text;
    QFile raw(file.fileName());
    if (raw.open(QIODevice::ReadOnly)) text = raw.readAll();
    const QStringList order = ini_groups_in_file_order(text);

    QList<SatPreset> presets;
    const QStringList names = in_file_order(file.childGroups(), QString(), order);
    if (providers) *providers = names;
    for (const QString& provider : names) {
        file.beginGroup(provider);
        for (const QString& transponder : in_file_order(file.childGroups(), provider + "/", order)) {
            file.beginGroup(transponder);
            QVariantMap values;
            for (const char* key : {preset_freq, preset_sr, preset_pol, preset_lnb})
                values[key] = file.value(key, 0).toInt();
            presets.push_back({provider + "/" + transponder, values});
            file.endGroup();
        }
        file.endGroup();
    }
    return presets;
}

QVariantMap saved_sat_preset(QSettings& subscriptions) {
    QVariantMap values;
    values[preset_freq] = subscriptions.value(key_dvb_freq, 0).toInt();
    values[preset_sr] = subscriptions.value(key_dvb_sr, 0).toInt();
    values[preset_pol] = subscriptions.value(key_dvb_pol, 0).toInt();
    values[preset_lnb] = subscriptions.value(key_dvb_lnbtype, 0).toInt();
    return values;
}

int sat_preset_value(const QVariantMap& values, const char* key) { return values.value(key, 0).toInt(); }

// ------------------------------------------------------------- init and figures

DvbInitArgs dvb_init_args(const DvbWindowValues& v) {
    DvbInitArgs a;
    a.frequency = v.frequency;
    a.symbol_rate = v.symbol_rate;
    a.polarisation = v.polarisation;
    a.lof1 = v.lof1;
    a.lof2 = v.lof2;
    a.lof_switch = v.lof_switch;
    a.modulation = v.modulation;
    // The position travels as its low byte: no checked button (-1) is 0xFF.
    const uint8_t position = uint8_t(v.diseqc_sat_id);
    const bool position_valid = position <= diseqc_positions;
    a.diseqc_position = position_valid ? position : 0;
    const bool type_valid = v.diseqc_type_id >= diseqc_none_id && v.diseqc_type_id <= diseqc_committed_id;
    a.diseqc_type = type_valid && position_valid ? v.diseqc_type_id : 0;
    a.pid = uint16_t(v.pid);
    a.port_net = htons(v.udp_port);
    a.sat_ip_net = inet_addr(v.sat_ip.toLatin1().constData());
    a.verbose = v.verbose ? 1 : 0;
    return a;
}

DvbInitArgs dvb_probe_args() { return DvbInitArgs(); }

DvbStatFigures dvb_stat_figures(const DvbStatSample& s) {
    DvbStatFigures f;
    f.lvl = s.level;
    f.qua = s.quality;
    f.packets_recvd = s.filter_packets;
    f.bytes_recvd = s.filter_bytes;
    f.crc_errs = s.crc_errors;
    f.disc = s.discontinuities;
    f.pkt = s.packets;
    f.filt_traf = s.filter_bytes;
    return f;
}

// ------------------------------------------------------------- binding

int DvbFunctions::call_init(const DvbInitArgs& a) const {
    return init(a.frequency, a.symbol_rate, a.polarisation, a.fec, a.lof1, a.lof2, a.lof_switch, a.modulation,
                a.inversion, a.pilot, a.rolloff, a.diseqc_type, a.diseqc_position, a.pid, a.port_net, a.sat_ip_net,
                a.verbose, a.reader_name);
}

DvbStatSample DvbFunctions::poll() const {
    DvbStatSample s;
    GetStat(&s.level, &s.quality, &s.packets, &s.discontinuities, &s.spare);
    GetFilterStat(&s.filter_bytes, &s.filter_packets, &s.crc_errors);
    return s;
}

bool dvb_resolve(const std::function<void*(const char*)>& resolve, DvbFunctions* out, QStringList* missing) {
    DvbFunctions f;
#define DVB_RESOLVE(name) f.name = reinterpret_cast<decltype(f.name)>(resolve(#name));
    DVB_API_FUNCTIONS(DVB_RESOLVE)
#undef DVB_RESOLVE
    const struct {
        const char* name;
        bool present, needed;
    } needs[] = {
        {"DvbStop", f.DvbStop != nullptr, true},
        {"init", f.init != nullptr, true},
        {"GetStat", f.GetStat != nullptr, true},
        {"GetFilterStat", f.GetFilterStat != nullptr, true},
        {"StartCard", f.StartCard != nullptr, true},
        {"GetCardName", f.GetCardName != nullptr, f.GetCardCount != nullptr},
    };
    QStringList lacking;
    for (const auto& n : needs)
        if (n.needed && !n.present) lacking << n.name;
    if (missing) *missing = lacking;
    *out = lacking.isEmpty() ? f : DvbFunctions();
    return lacking.isEmpty();
}
