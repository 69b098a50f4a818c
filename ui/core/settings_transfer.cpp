#include "ui/core/settings_transfer.h"

#include <arpa/inet.h>

#include <QCoreApplication>
#include <QMap>

namespace {

int item_with_text(const combo_state& c, const QString& text) { return c.texts.indexOf(text); }

int item_with_data(const combo_state& c, const QString& value) {
    for (int i = 0; i < c.data.size(); ++i)
        if (c.data[i].isValid() && c.data[i].toString() == value) return i;
    return -1;
}

// A box that is not editable shows its current item's text.
void select_item(combo_state* c, int index) {
    c->index = c->texts.isEmpty() ? -1 : index;
    c->text = c->index >= 0 ? c->texts[c->index] : QString();
}

QString tr(const char* source) { return QCoreApplication::translate("QrSettingsForm", source); }

service_state shown_service(const LocalService& svc) { return {svc.enabled, svc.ip, svc.port}; }

// A text the file cannot carry as the value it is written as is refused;
// so is one that breaks the field's own rule (valid false).
bool take_text(settings_field field, conf_text_field written_as, const QString& text, bool valid,
               settings_refusals* refused) {
    const conf_text_fault fault = conf_text_check(written_as, text);
    if (fault == conf_text_fault::none && valid) return true;
    refused->items.push_back({field, text, fault});
    return false;
}

void take_service(const service_state& st, settings_field field, LocalService* svc, settings_refusals* refused) {
    svc->enabled = st.checked;
    if (take_text(field, conf_text_field::service_ip, st.ip, is_listen_address(st.ip), refused)) svc->ip = st.ip;
    svc->port = uint16_t(st.port);
}

}  // namespace

QVector<UiListEntry> ui_list_entries(QSettings& lists, const QString& group, bool with_values) {
    // Lower-case child name -> lower-case key name -> the key's path. QMap
    // orders both the way the case-blind ini class did.
    QMap<QString, QMap<QString, QString>> children;
    const QString folded_group = group.toLower();
    for (const QString& path : lists.allKeys()) {
        const QStringList parts = path.split('/');
        if (parts.size() < 3 || parts[0].toLower() != folded_group) continue;
        QMap<QString, QString>& keys = children[parts[1].toLower()];
        // Deeper paths only make the child group exist.
        if (parts.size() == 3 && !keys.contains(parts[2].toLower())) keys.insert(parts[2].toLower(), path);
    }
    QVector<UiListEntry> entries;
    for (const QMap<QString, QString>& keys : children) {
        UiListEntry e;
        if (!keys.isEmpty()) e.label = keys.first().section('/', 2);
        if (with_values) e.value = keys.isEmpty() ? QString("") : lists.value(keys.first(), QString("")).toString();
        entries.push_back(e);
    }
    return entries;
}

bool split_at_colon(const QString& text, QString* left, QString* right) {
    const int p = text.indexOf(':');
    if (p < 1) return false;
    *left = text.left(p);
    *right = text.mid(p + 1);
    return true;
}

QString udp_port_text(const QString& port_addr, uint16_t port) {
    return port_addr.isEmpty() ? QString::number(port) : port_addr + ":" + QString::number(port);
}

void take_udp_port(const QString& text, QString* port_addr, uint16_t* port) {
    QString left, right;
    if (split_at_colon(text, &left, &right)) {
        *port_addr = left;
        *port = number_16(right);
    } else {
        port_addr->clear();
        *port = number_16(text);
    }
}

uint16_t number_16(const QString& text) { return uint16_t(text.toInt(nullptr, 10)); }

bool take_speed(const QString& value, uint32_t* min, uint32_t* max) {
    QString left, right;
    int a, b;
    if (split_at_colon(value, &left, &right)) {
        a = left.toInt(nullptr, 10);
        b = right.toInt(nullptr, 10);
    } else {
        a = b = value.toInt(nullptr, 10);
    }
    if (a <= 0 || b <= 0) return false;
    *min = uint32_t(a);
    *max = uint32_t(b);
    return true;
}

QString chosen_value(const combo_state& c) {
    if (c.index >= 0 && c.index < c.texts.size() && c.texts[c.index] == c.text) {
        const QVariant& data = c.index < c.data.size() ? c.data[c.index] : QVariant();
        return data.isValid() ? data.toString() : c.texts[c.index];
    }
    return c.text;
}

uint16_t taken_debug(bool checked, uint16_t old) {
    if (!checked) return 0;
    return old != 0 ? old : 1;
}

bool is_dotted_ipv4(const QString& text) {
    in_addr a;
    return inet_pton(AF_INET, text.toLatin1().constData(), &a) == 1;
}

bool is_listen_address(const QString& text) { return text.isEmpty() || is_dotted_ipv4(text); }

bool settings_refusals::has(settings_field f) const {
    for (const settings_refusal& r : items)
        if (r.field == f) return true;
    return false;
}

QString refusal_line(const QString& field, const QString& text, const QString& rule) {
    // A value too long for the engine's line would make the box wider than
    // the screen: its start tells which one it is.
    QString shown = text.size() > refusal_text_max_chars ? text.left(refusal_text_max_chars) + "..." : text;
    shown.replace('\n', "\\n").replace('\r', "\\r").replace(QChar(0), "\\0");
    return field + " \"" + shown + "\": " + rule;
}

QString secret_refusal_line(const QString& field, const QString& rule) { return field + ": " + rule; }

QString refusal_line(const conf_text_problem& p) {
    const QString rule = conf_text_fault_text(p.fault);
    if (p.field == conf_text_field::passwd) return secret_refusal_line(p.key, rule);
    return refusal_line(p.key, p.text, rule);
}

QString speed_rule_text() { return tr("a speed is a number above 0, or two such numbers joined by ':'"); }

QString address_rule_text() { return tr("the address is four numbers from 0 to 255 joined by dots"); }

QString conf_text_fault_text(conf_text_fault fault) {
    switch (fault) {
    case conf_text_fault::line_break:
        return tr("a line break or a NUL character would add lines of its own to the configuration");
    case conf_text_fault::not_latin1:
        return tr("the configuration holds Latin-1 characters only");
    case conf_text_fault::blank:
        return tr("the engine reads a value up to its first blank only");
    case conf_text_fault::comment:
        return tr("the engine reads a value that begins with '#' as empty");
    case conf_text_fault::too_long:
        return tr("the engine keeps 15 characters only");
    case conf_text_fault::line_too_long:
        return tr("its line in the configuration would be longer than the %1 bytes the engine reads as one line")
            .arg(conf_line_max_bytes);
    case conf_text_fault::colon:
        return tr("the engine reads what follows a ':' as the port");
    case conf_text_fault::none:
        break;
    }
    return QString();
}

void show_settings(const ConnectionSettings& s, const QString& dial_connection, bool dial_hangup,
                   settings_form_state* st) {
    if (!dial_connection.isEmpty()) {
        st->disconnect = dial_hangup;
        const int i = item_with_text(st->dial1, dial_connection);
        select_item(&st->dial1, i >= 1 ? i : 0);
    } else {
        st->disconnect = false;
        select_item(&st->dial1, 0);
    }

    st->udp_port.text = udp_port_text(s.port_addr, s.port);
    st->logname = s.log;
    st->datatimeout = s.datatimeout;
    st->traffic = s.traffic;
    st->debug = s.debug != 0;

    const int server = item_with_data(st->serveraddr, s.server);
    select_item(&st->serveraddr, server >= 0 ? server : 0);
    st->serverport.text = QString::number(s.server_port);
    st->speed_in.text = speed_text(s.speed_in_min, s.speed_in_max);
    st->speed_out.text = speed_text(s.speed_out_min, s.speed_out_max);
    st->mtu.text = QString::number(s.mtu);
    st->mru.text = QString::number(s.mru);

    st->http = shown_service(s.http);
    st->socks = shown_service(s.socks);
    st->int3 = shown_service(s.int3);
    st->int4 = shown_service(s.int4);

    st->tap_section = s.tap;
    if (s.tap_tun_timeout != 0) st->tun_timeout = s.tap_tun_timeout;
    st->tap_ip = s.tap_ip;
    const int ptp = item_with_text(st->ptp_ip, s.tap_ptp_ip);
    select_item(&st->ptp_ip, ptp >= 0 ? ptp : 0);
    st->init_dhcp_enabled = s.tap_config_dhcp;
    st->route_replace_enabled = s.tap_route_replace;
    st->dns_server_enabled = s.tap_dns_server;
}

settings_refusals take_settings(const settings_form_state& st, ConnectionSettings* s) {
    settings_refusals refused;
    QString port_addr;
    uint16_t port = 0;
    take_udp_port(st.udp_port.text, &port_addr, &port);
    // The address and the port are one text: refused, both stay. Only the
    // address goes out as text; the port is a number.
    const conf_text_fault port_fault = conf_text_check(conf_text_field::port_addr, port_addr);
    if (port_fault == conf_text_fault::none && is_listen_address(port_addr)) {
        s->port_addr = port_addr;
        s->port = port;
    } else {
        refused.items.push_back({settings_field::udp_port, st.udp_port.text, port_fault});
    }
    if (take_text(settings_field::logname, conf_text_field::log, st.logname, true, &refused)) s->log = st.logname;
    s->debug = taken_debug(st.debug, s->debug);
    s->datatimeout = uint16_t(st.datatimeout);
    s->traffic = uint16_t(st.traffic);

    // An empty list offers no server: the engine could not start without one.
    const QString server = chosen_value(st.serveraddr);
    if (!server.isEmpty() && take_text(settings_field::serveraddr, conf_text_field::server, server, true, &refused))
        s->server = server;
    s->server_port = number_16(st.serverport.text);

    const struct {
        settings_field field;
        const combo_state& combo;
        uint32_t *min, *max;
    } speeds[] = {{settings_field::speed_in, st.speed_in, &s->speed_in_min, &s->speed_in_max},
                  {settings_field::speed_out, st.speed_out, &s->speed_out_min, &s->speed_out_max}};
    for (const auto& sp : speeds) {
        const QString value = chosen_value(sp.combo);
        if (!take_speed(value, sp.min, sp.max)) refused.items.push_back({sp.field, value, conf_text_fault::none});
    }

    s->mtu = number_16(st.mtu.text);
    s->mru = number_16(st.mru.text);

    take_service(st.http, settings_field::http_ip, &s->http, &refused);
    take_service(st.int3, settings_field::int3_ip, &s->int3, &refused);
    take_service(st.int4, settings_field::int4_ip, &s->int4, &refused);
    take_service(st.socks, settings_field::socks_ip, &s->socks, &refused);

    s->tap = st.tap_section;
    if (take_text(settings_field::tap_ip, conf_text_field::tap_ip, st.tap_ip, is_dotted_ipv4(st.tap_ip), &refused))
        s->tap_ip = st.tap_ip;
    s->tap_tun_timeout = uint16_t(st.tun_timeout);
    // The first item leaves the field alone, so an address that is none of
    // the items (shown as the first) survives the dialog.
    if (st.ptp_ip.index != 0) s->tap_ptp_ip = st.ptp_ip.text;
    s->tap_config_dhcp = st.init_dhcp_enabled;
    s->tap_dns_server = st.dns_server_enabled;
    s->tap_route_replace = st.route_replace_enabled;
    return refused;
}
