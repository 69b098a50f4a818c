// The settings dialog's side of the connection settings, without widgets:
// the "UI settings.ini" lists as the dialog shows them, the port and speed
// texts, and the rules that move the settings between the dialog's widgets
// and ConnectionSettings. The dialog copies its widgets into a
// settings_form_state and back; everything that decides lives here.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <cstdint>

#include "ui/core/connection_settings.h"
#include "ui/core/settings_files.h"

// One "UI settings.ini" list, read the way the Windows program saw it: the
// ini class there compares groups and keys without regard to case, so
// "[Server List]" is the "server list" group, child groups come sorted by
// their lower-case names ("10" before "2", "alpha" before "Zeta") and the
// first key of a child group is the first in that order. Spellings that
// differ only in case are one group or one key; the one that sorts first
// case-sensitively gives the name. with_values reads each entry's first key
// as a string ("" for a child group without keys); without, the entry is
// its label alone.
QVector<UiListEntry> ui_list_entries(QSettings& lists, const QString& group, bool with_values);

// A combo box as the transfer sees it.
struct combo_state {
    QStringList texts;       // item texts
    QVector<QVariant> data;  // item data (Qt::UserRole); invalid for items without
    int index = -1;          // current item
    QString text;            // current text: the edit text of an editable box
};

struct service_state {
    bool checked = false;
    QString ip;
    int port = 0;
};

// Every widget of the settings dialog that carries a setting.
struct settings_form_state {
    combo_state udp_port;
    QString logname;
    int datatimeout = 0;
    int traffic = 0;
    bool debug = false;
    combo_state serveraddr, serverport, speed_in, speed_out, mtu, mru;
    combo_state dial1;
    bool disconnect = false;
    service_state http, socks, int3, int4;
    bool tap_section = false;
    int tun_timeout = 0;
    QString tap_ip;
    combo_state ptp_ip;
    bool init_dhcp_enabled = false;
    bool route_replace_enabled = false;
    bool dns_server_enabled = false;
};

// The split rule: at the first ':' unless the text begins with it. False
// when the text is not split.
bool split_at_colon(const QString& text, QString* left, QString* right);

// udp_port's text: "addr:port", or the port alone without an address.
QString udp_port_text(const QString& port_addr, uint16_t port);
void take_udp_port(const QString& text, QString* port_addr, uint16_t* port);

// A typed number in a 16-bit field: base 10, 0 when it does not convert,
// the low 16 bits kept.
uint16_t number_16(const QString& text);

// A speed pair from "min:max" or one number for both. False, with min and
// max untouched, when either bound is 0 or less: the engine drops a
// [remote] section with a zero speed, and the session with it.
bool take_speed(const QString& value, uint32_t* min, uint32_t* max);

// The choice rule of the list boxes: the current item's data when the box
// shows that item, else the current text. An item without data (Enter in an
// editable box adds one) stands for its own text.
QString chosen_value(const combo_state& c);

// Unchecked: 0; checked keeps a level set before, else 1.
uint16_t taken_debug(bool checked, uint16_t old);

// Four decimal numbers from 0 to 255 joined by dots, without leading zeros
// (the engine reads those as octal).
bool is_dotted_ipv4(const QString& text);
// A local address to listen on: empty (every address) or dotted.
bool is_listen_address(const QString& text);

// fill_settings_form: the settings and the subscription's dial-up choice
// into st, which comes with the widgets' items and values; what is not
// shown keeps its value (tun_timeout when the field is 0).
void show_settings(const ConnectionSettings& s, const QString& dial_connection, bool dial_hangup,
                   settings_form_state* st);

// The dialog's fields whose values acceptance may refuse.
enum class settings_field {
    udp_port,
    logname,
    serveraddr,
    speed_in,
    speed_out,
    http_ip,
    socks_ip,
    int3_ip,
    int4_ip,
    tap_ip,
};

// One value acceptance did not take: the setting keeps its earlier value.
struct settings_refusal {
    settings_field field;
    QString text;           // what was refused
    conf_text_fault fault;  // none: it broke the field's own rule (a speed, an address)
};
struct settings_refusals {
    QVector<settings_refusal> items;
    bool any() const { return !items.isEmpty(); }
    bool has(settings_field f) const;
};

// One line of a refusal box: the field, the refused text (line breaks and
// NUL shown as \n, \r and \0; a text longer than refusal_text_max_chars
// cut there, with "..." behind) and the rule it broke.
constexpr int refusal_text_max_chars = 64;
QString refusal_line(const QString& field, const QString& text, const QString& rule);
// A password's: the field and the rule, never the text.
QString secret_refusal_line(const QString& field, const QString& rule);
// A text write_conf would not write, by its key; a password without its text.
QString refusal_line(const conf_text_problem& p);
// The rules, as the user is told them.
QString speed_rule_text();
QString address_rule_text();
QString conf_text_fault_text(conf_text_fault fault);

// SettingsFinished on acceptance: the widgets back into s. A server choice
// that comes out empty (an empty list) keeps the server in force. A value
// the engine would misread, or one the file cannot carry, is refused.
settings_refusals take_settings(const settings_form_state& st, ConnectionSettings* s);
