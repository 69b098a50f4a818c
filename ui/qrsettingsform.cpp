#include "ui/qrsettingsform.h"

#include <QComboBox>

#include "platform/dialup.h"
#include "ui/modal.h"

combo_state read_combo(const QComboBox* box) {
    combo_state c;
    for (int i = 0; i < box->count(); ++i) {
        c.texts << box->itemText(i);
        c.data << box->itemData(i, Qt::UserRole);
    }
    c.index = box->currentIndex();
    c.text = box->currentText();
    return c;
}

namespace {

service_state read_service(const QGroupBox* group, const QComboBox* ip, const QSpinBox* port) {
    return {group->isChecked(), ip->currentText(), port->value()};
}

void show_service(const service_state& st, QGroupBox* group, QComboBox* ip, QSpinBox* port) {
    group->setChecked(st.checked);
    ip->setEditText(st.ip);
    port->setValue(st.port);
}

// One radio button pair from one flag.
void show_choice(bool first, QRadioButton* first_button, QRadioButton* second_button) {
    (first ? first_button : second_button)->setChecked(true);
}

}  // namespace

QrSettingsForm::QrSettingsForm(QrConnectForm*)
    : QDialog(nullptr), ui_lists(settings_location(ui_lists_file), QSettings::IniFormat) {
    ui.setupUi(this);
    load_lists();
    adjustSize();
    load_dialup_entries();
}

QrSettingsForm::~QrSettingsForm() = default;

void QrSettingsForm::load_lists() {
    const struct {
        const char* group;
        QComboBox* box;
        bool with_values;
    } lists[] = {
        {list_server, ui.serveraddr, true},
        {list_speed_in, ui.speed_in, true},
        {list_speed_out, ui.speed_out, true},
        {list_port, ui.serverport, false},
    };
    for (const auto& l : lists)
        for (const UiListEntry& e : ui_list_entries(ui_lists, l.group, l.with_values)) {
            if (l.with_values)
                l.box->addItem(ui_list_item_text(e), e.value);
            else
                l.box->addItem(e.label);
        }
}

void QrSettingsForm::load_dialup_entries() {
    ui.dial1->clear();
    ui.dial1->addItem(tr("don't dial"));
    for (const std::string& entry : dialup_entries()) {
        // The name is stored as DIAL/CONNECTION: one line of text.
        const QString name = QString::fromStdString(entry);
        if (conf_text_check(name) != conf_text_fault::line_break) ui.dial1->addItem(name);
    }
}

settings_form_state QrSettingsForm::state() const {
    settings_form_state st;
    st.udp_port = read_combo(ui.udp_port);
    st.logname = ui.logname->text();
    st.datatimeout = ui.datatimeout->value();
    st.traffic = ui.traffic->value();
    st.debug = ui.debug->isChecked();
    st.serveraddr = read_combo(ui.serveraddr);
    st.serverport = read_combo(ui.serverport);
    st.speed_in = read_combo(ui.speed_in);
    st.speed_out = read_combo(ui.speed_out);
    st.mtu = read_combo(ui.mtu);
    st.mru = read_combo(ui.mru);
    st.dial1 = read_combo(ui.dial1);
    st.disconnect = ui.disconnect->isChecked();
    st.http = read_service(ui.http_proxy, ui.http_ip, ui.http_port);
    st.socks = read_service(ui.socks_proxy, ui.socks_ip, ui.socks_port);
    st.int3 = read_service(ui.int3_proxy, ui.int3_ip, ui.int3_port);
    st.int4 = read_service(ui.int4_proxy, ui.int4_ip, ui.int4_port);
    st.tap_section = ui.tap_section->isChecked();
    st.tun_timeout = ui.tun_timeout->value();
    st.tap_ip = ui.tap_ip->text();
    st.ptp_ip = read_combo(ui.ptp_ip);
    st.init_dhcp_enabled = ui.init_dhcp_enabled->isChecked();
    st.route_replace_enabled = ui.route_replace_enabled->isChecked();
    st.dns_server_enabled = ui.dns_server_enabled->isChecked();
    return st;
}

void QrSettingsForm::show_state(const settings_form_state& st) {
    ui.dial1->setCurrentIndex(st.dial1.index);
    ui.disconnect->setChecked(st.disconnect);
    ui.udp_port->setEditText(st.udp_port.text);
    ui.logname->setText(st.logname);
    ui.datatimeout->setValue(st.datatimeout);
    ui.traffic->setValue(st.traffic);
    ui.debug->setChecked(st.debug);
    ui.serveraddr->setCurrentIndex(st.serveraddr.index);
    for (const auto& edit : {std::make_pair(ui.serverport, &st.serverport), std::make_pair(ui.speed_in, &st.speed_in),
                             std::make_pair(ui.speed_out, &st.speed_out), std::make_pair(ui.mtu, &st.mtu),
                             std::make_pair(ui.mru, &st.mru)})
        edit.first->setEditText(edit.second->text);
    show_service(st.http, ui.http_proxy, ui.http_ip, ui.http_port);
    show_service(st.socks, ui.socks_proxy, ui.socks_ip, ui.socks_port);
    show_service(st.int3, ui.int3_proxy, ui.int3_ip, ui.int3_port);
    show_service(st.int4, ui.int4_proxy, ui.int4_ip, ui.int4_port);
    ui.tap_section->setChecked(st.tap_section);
    ui.tun_timeout->setValue(st.tun_timeout);
    ui.tap_ip->setText(st.tap_ip);
    ui.ptp_ip->setCurrentIndex(st.ptp_ip.index);
    show_choice(st.init_dhcp_enabled, ui.init_dhcp_enabled, ui.init_manual_enabled);
    show_choice(!st.route_replace_enabled, ui.route_metric_enabled, ui.route_replace_enabled);
    show_choice(st.dns_server_enabled, ui.dns_server_enabled, ui.dns_local_enabled);
}

void QrSettingsForm::report_refused(QWidget* parent, const settings_refusals& refused, const ConnectionSettings& kept) {
    const struct {
        settings_field field;
        const QGroupBox* group;
        const QLabel* label;
        QComboBox* ip;
        const LocalService& kept;
    } services[] = {
        {settings_field::http_ip, ui.http_proxy, ui.label_43, ui.http_ip, kept.http},
        {settings_field::socks_ip, ui.socks_proxy, ui.label_18, ui.socks_ip, kept.socks},
        {settings_field::int3_ip, ui.int3_proxy, ui.label_23, ui.int3_ip, kept.int3},
        {settings_field::int4_ip, ui.int4_proxy, ui.label_24, ui.int4_ip, kept.int4},
    };
    QStringList lines;
    for (const settings_refusal& r : refused.items) {
        QString label, rule = address_rule_text();
        switch (r.field) {
        case settings_field::udp_port:
            label = ui.label->text();
            ui.udp_port->setEditText(udp_port_text(kept.port_addr, kept.port));
            break;
        case settings_field::logname:
            label = ui.label_2->text();
            ui.logname->setText(kept.log);
            break;
        case settings_field::serveraddr: {
            label = ui.label_8->text();
            const int at = ui.serveraddr->findData(kept.server, Qt::UserRole, Qt::MatchExactly);
            ui.serveraddr->setCurrentIndex(at >= 0 ? at : 0);
            break;
        }
        case settings_field::speed_in:
            label = ui.label_10->text();
            rule = speed_rule_text();
            ui.speed_in->setEditText(speed_text(kept.speed_in_min, kept.speed_in_max));
            break;
        case settings_field::speed_out:
            label = ui.label_11->text();
            rule = speed_rule_text();
            ui.speed_out->setEditText(speed_text(kept.speed_out_min, kept.speed_out_max));
            break;
        case settings_field::tap_ip:
            label = ui.label_20->text();
            ui.tap_ip->setText(kept.tap_ip);
            break;
        default:
            // The four proxies' addresses: the group names the service.
            for (const auto& svc : services) {
                if (svc.field != r.field) continue;
                label = svc.group->title() + " " + svc.label->text();
                svc.ip->setEditText(svc.kept.ip);
            }
            break;
        }
        if (r.fault != conf_text_fault::none) rule = conf_text_fault_text(r.fault);
        lines << refusal_line(label, r.text, rule);
    }
    modal::tell_refused(parent, lines);
}
