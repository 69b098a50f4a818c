#include "ui/core/settings_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include <functional>
#include <string>
#include <vector>

#include "ui/core/settings_transfer.h"

const char subscriptions_file[] = "Subscriptions.ini";
const char interface_file[] = "Interface.ini";
const char ui_lists_file[] = "UI settings.ini";
const char default_server_address[] = "203.0.113.10";

const char key_dial_connection[] = "DIAL/CONNECTION";
const char key_dial_hangup[] = "DIAL/HANGUP";
const char key_dvb_enabled[] = "DVB/Enabled";
const char key_dvb_satip[] = "DVB/SATIP";

const char key_ontop[] = "ONTOP";
const char key_pos[] = "POS";
const char key_opacity[] = "OPACITY";
const char key_update_timeout[] = "UPDATE_TIMEOUT";
const char key_update_balance[] = "UPDATE_BALANCE";
const char key_page_index[] = "PAGE_INDEX";

const char list_server[] = "server list";
const char list_speed_in[] = "speed_in list";
const char list_speed_out[] = "speed_out list";
const char list_port[] = "port list";

namespace {

// One Quorin/ key: how it is stored and loaded. Numbers are stored as int,
// the speeds as unsigned int, flags as bool.
struct subscription_key {
    std::string key;
    QVariant load_default;
    std::function<QVariant(const ConnectionSettings&)> get;
    std::function<void(ConnectionSettings&, const QVariant&)> set;
};

subscription_key field(const char* key, QVariant def, QString ConnectionSettings::*m) {
    return {key, def, [m](const ConnectionSettings& s) { return QVariant(s.*m); },
            [m](ConnectionSettings& s, const QVariant& v) { s.*m = v.toString(); }};
}

subscription_key field(const char* key, QVariant def, uint16_t ConnectionSettings::*m) {
    return {key, def, [m](const ConnectionSettings& s) { return QVariant(int(s.*m)); },
            [m](ConnectionSettings& s, const QVariant& v) { s.*m = uint16_t(v.toInt()); }};
}

subscription_key field(const char* key, QVariant def, uint32_t ConnectionSettings::*m) {
    return {key, def, [m](const ConnectionSettings& s) { return QVariant(uint(s.*m)); },
            [m](ConnectionSettings& s, const QVariant& v) { s.*m = v.toUInt(); }};
}

subscription_key field(const char* key, QVariant def, bool ConnectionSettings::*m) {
    return {key, def, [m](const ConnectionSettings& s) { return QVariant(s.*m); },
            [m](ConnectionSettings& s, const QVariant& v) { s.*m = v.toBool(); }};
}

void add_service(std::vector<subscription_key>& keys, const QString& name, LocalService ConnectionSettings::*m,
                 bool enabled, int port) {
    const std::string base = "Quorin/local/" + name.toStdString();
    keys.push_back({base, enabled, [m](const ConnectionSettings& s) { return QVariant((s.*m).enabled); },
                    [m](ConnectionSettings& s, const QVariant& v) { (s.*m).enabled = v.toBool(); }});
    keys.push_back({base + "_ip", QString("127.0.0.1"), [m](const ConnectionSettings& s) { return QVariant((s.*m).ip); },
                    [m](ConnectionSettings& s, const QVariant& v) { (s.*m).ip = v.toString(); }});
    keys.push_back({base + "_port", port, [m](const ConnectionSettings& s) { return QVariant(int((s.*m).port)); },
                    [m](ConnectionSettings& s, const QVariant& v) { (s.*m).port = uint16_t(v.toInt()); }});
}

using CS = ConnectionSettings;

// Every Quorin/ key of a subscription, in the order write_ini writes them.
const std::vector<subscription_key>& subscription_keys() {
    static const std::vector<subscription_key> keys = [] {
        std::vector<subscription_key> k = {
            field("Quorin/passwd", QString(""), &CS::passwd),
            field("Quorin/server/port", 2080, &CS::port),
            field("Quorin/server/debug", 0, &CS::debug),
            field("Quorin/server/port_addr", QString(""), &CS::port_addr),
            field("Quorin/server/datatimeout", 300, &CS::datatimeout),
            field("Quorin/server/log", QString("client.log"), &CS::log),
            field("Quorin/server/traffic", 60, &CS::traffic),
            field("Quorin/remote/speed_in_min", 500000u, &CS::speed_in_min),
            field("Quorin/remote/speed_in_max", 500000u, &CS::speed_in_max),
            field("Quorin/remote/speed_out_min", 2000u, &CS::speed_out_min),
            field("Quorin/remote/speed_out_max", 2000u, &CS::speed_out_max),
            field("Quorin/remote/server", QString(default_server_address), &CS::server),
            field("Quorin/remote/port", 25555, &CS::server_port),
            field("Quorin/remote/mtu", 500, &CS::mtu),
            field("Quorin/remote/mru", 1400, &CS::mru),
        };
        add_service(k, "http", &CS::http, true, 3128);
        add_service(k, "socks", &CS::socks, true, 1080);
        add_service(k, "int3", &CS::int3, false, 3129);
        add_service(k, "int4", &CS::int4, false, 3130);
        // tap's load default is tun_present; load_subscription handles it.
        k.push_back(field("Quorin/local/tap", false, &CS::tap));
        k.push_back(field("Quorin/local/tap_ip", QString("10.0.0.2"), &CS::tap_ip));
        k.push_back(field("Quorin/local/tap_config_dhcp", true, &CS::tap_config_dhcp));
        k.push_back(field("Quorin/local/tap_dns_server", true, &CS::tap_dns_server));
        k.push_back(field("Quorin/local/tap_route_replace", false, &CS::tap_route_replace));
        k.push_back(field("Quorin/local/tap_tun_timeout", 20, &CS::tap_tun_timeout));
        k.push_back(field("Quorin/local/tap_ptp_ip", QString("10.0.0.1"), &CS::tap_ptp_ip));
        return k;
    }();
    return keys;
}

}  // namespace

void protect_subscriptions_file(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 077)) fchmod(fd, st.st_mode & 0700);
    close(fd);
}

void write_subscription(QSettings& ini, const ConnectionSettings& s, const QString& dial_connection,
                        bool dial_hangup) {
    ini.setValue(key_dial_connection, dial_connection);
    ini.setValue(key_dial_hangup, dial_hangup);
    for (const subscription_key& k : subscription_keys()) ini.setValue(QString::fromStdString(k.key), k.get(s));
}

void load_subscription(QSettings& ini, ConnectionSettings& s) {
    for (const subscription_key& k : subscription_keys()) {
        const bool is_tap = k.key == "Quorin/local/tap";
        k.set(s, ini.value(QString::fromStdString(k.key), is_tap ? QVariant(s.tun_present) : k.load_default));
    }
    s.tap = s.tap && s.tun_present;
}

QString stored_password(QSettings& ini) { return ini.value("Quorin/passwd", QString("")).toString(); }

bool subscription_stored(QSettings& ini) { return ini.childGroups().contains("Quorin"); }

QVector<UiListEntry> read_ui_list(QSettings& lists, const QString& group) {
    // The tray menus and the settings dialog list the same file alike.
    return ui_list_entries(lists, group, true);
}

QString ui_list_item_text(const UiListEntry& e) { return e.label + " ( " + e.value.toString() + " )"; }

QString speed_text(uint32_t min, uint32_t max) {
    return min == max ? QString::number(max) : speed_pair_text(min, max);
}

QString speed_pair_text(uint32_t min, uint32_t max) { return QString::number(min) + ":" + QString::number(max); }

bool speed_matches(const QString& data, uint32_t min, uint32_t max) {
    return data == speed_pair_text(min, max) || (min == max && data == QString::number(max));
}

void split_speed(const QString& value, uint32_t* min, uint32_t* max) {
    const int p = value.indexOf(':');
    if (p > 0) {
        *min = uint32_t(value.left(p).toInt());
        *max = uint32_t(value.mid(p + 1).toInt());
    } else {
        *min = *max = uint32_t(value.toInt());
    }
}
