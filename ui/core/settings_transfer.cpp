#include "ui/core/settings_transfer.h"

#include <arpa/inet.h>

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

service_state shown_service(const LocalService& svc) { return {svc.enabled, svc.ip, svc.port}; }

void take_service(const service_state& st, LocalService* svc) {
    svc->enabled = st.checked;
    svc->ip = st.ip;
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
    take_udp_port(st.udp_port.text, &s->port_addr, &s->port);
    s->log = st.logname;
    s->debug = taken_debug(st.debug, s->debug);
    s->datatimeout = uint16_t(st.datatimeout);
    s->traffic = uint16_t(st.traffic);

    // An empty list offers no server: the engine could not start without one.
    const QString server = chosen_value(st.serveraddr);
    if (!server.isEmpty()) s->server = server;
    s->server_port = number_16(st.serverport.text);

    refused.speed_in_text = chosen_value(st.speed_in);
    refused.speed_in = !take_speed(refused.speed_in_text, &s->speed_in_min, &s->speed_in_max);
    refused.speed_out_text = chosen_value(st.speed_out);
    refused.speed_out = !take_speed(refused.speed_out_text, &s->speed_out_min, &s->speed_out_max);

    s->mtu = number_16(st.mtu.text);
    s->mru = number_16(st.mru.text);

    take_service(st.http, &s->http);
    take_service(st.int3, &s->int3);
    take_service(st.int4, &s->int4);
    take_service(st.socks, &s->socks);

    s->tap = st.tap_section;
    refused.tap_ip_text = st.tap_ip;
    refused.tap_ip = !is_dotted_ipv4(st.tap_ip);
    if (!refused.tap_ip) s->tap_ip = st.tap_ip;
    s->tap_tun_timeout = uint16_t(st.tun_timeout);
    // The first item leaves the field alone, so an address that is none of
    // the items (shown as the first) survives the dialog.
    if (st.ptp_ip.index != 0) s->tap_ptp_ip = st.ptp_ip.text;
    s->tap_config_dhcp = st.init_dhcp_enabled;
    s->tap_dns_server = st.dns_server_enabled;
    s->tap_route_replace = st.route_replace_enabled;
    return refused;
}
