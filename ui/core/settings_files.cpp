#include "ui/core/settings_files.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
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

void protect_subscriptions_file(const QString& path) { restrict_to_owner(QFile::encodeName(path).toStdString()); }

QString settings_location(const QString& path) {
    // exists() and isFile() stat the file, which never waits as an open does.
    const QFileInfo info(path);
    if (!info.exists() || info.isFile()) return path;
    static QTemporaryDir scratch;
    // Without a scratch folder, no file at all: QSettings then writes
    // nowhere.
    return scratch.isValid() ? scratch.filePath(info.fileName()) : QString();
}

namespace {

QString tr(const char* source) { return QCoreApplication::translate("QrConnectForm", source); }

int settings_key_count(QSettings& ini) {
    const QString group = ini.group();
    while (!ini.group().isEmpty()) ini.endGroup();
    const int keys = ini.allKeys().size();
    if (!group.isEmpty()) ini.beginGroup(group);
    return keys;
}

// The settings class writes one "key=value" line per key under "[section]"
// lines and counts a short write as done (Qt 5 on a full disk): a file
// that came out cut lacks lines.
bool holds_every_key(const std::string& file, int keys) {
    std::string text;
    if (!read_regular_file(file, &text)) return keys == 0;
    if (!text.empty() && text.back() != '\n') return false;
    int lines = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end > at && text[at] != '[') ++lines;
        at = end + 1;
    }
    return lines == keys;
}

}  // namespace

bool save_settings_file(QSettings& ini, const QString& path, bool owner_only, QString* why) {
    const std::string target = link_target(QFile::encodeName(path).toStdString());
    const QFileInfo info(QFile::decodeName(target.c_str()));
    if (ini.fileName() != QFileInfo(path).absoluteFilePath() || (info.exists() && !info.isFile())) {
        *why = info.isDir() ? QString::fromLocal8Bit(std::strerror(EISDIR)) : tr("not a regular file");
        return false;
    }
    const int keys = settings_key_count(ini);
    const bool existed = info.exists();
    if (!existed && owner_only && keys > 0 && !replace_file(target, "")) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // The file as it was, to put back when the write goes wrong.
    const std::string kept = existed ? second_name(target) : std::string();
    // The status stays what it first turned to: once it is an error, only
    // a new file in place of the old one shows that the write went through.
    const bool status_tells = ini.status() == QSettings::NoError;
    ini.sync();
    std::error_code ec;
    bool saved = status_tells    ? ini.status() == QSettings::NoError
                 : kept.empty() ? keys == 0 || QFileInfo(info.filePath()).size() > 0
                                : !std::filesystem::equivalent(kept, target, ec);
    if (!saved)
        *why = tr("the file or its folder cannot be written");
    else if (!(saved = holds_every_key(target, keys)))
        *why = tr("the disk is full");
    if (!saved) {
        if (!kept.empty())
            std::rename(kept.c_str(), target.c_str());
        else if (!existed)
            std::remove(target.c_str());
    }
    // Still there when the rename found both names on one file.
    if (!kept.empty()) std::remove(kept.c_str());
    return saved;
}

namespace {

class settings_write_guard : public QObject {
public:
    settings_write_guard(QSettings* ini, const QString& path, bool owner_only)
        : QObject(ini), ini_(ini), path_(path), owner_only_(owner_only) {}

    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() != QEvent::UpdateRequest) return false;
        QString why;
        if (!save_settings_file(*ini_, path_, owner_only_, &why))
            qWarning("%s: %s", qPrintable(path_), qPrintable(why));
        return true;
    }

private:
    QSettings* ini_;
    QString path_;
    bool owner_only_;
};

}  // namespace

void guard_settings_writes(QSettings* ini, const QString& path, bool owner_only) {
    ini->installEventFilter(new settings_write_guard(ini, path, owner_only));
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
