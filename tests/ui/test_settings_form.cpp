// The settings dialog's widgets, its lists, and the settings transfer
// through the connect dialog: accepting and rejecting in local and download
// mode, and what acceptance refuses.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/dialup.h"
#include "tests/ui/support/ui_testing.h"
#include "ui/mycoolthread.h"
#include "ui/qrconnectform.h"
#include "ui/qrsettingsform.h"
#include "ui/statform.h"

namespace {

testing::Environment* const qt = testing::AddGlobalTestEnvironment(new ui_testing::qt_environment);

void retype(QComboBox* box, const QString& text) {
    box->lineEdit()->selectAll();
    QTest::keyClicks(box->lineEdit(), text);
}

class UiSettingsForm : public ::testing::Test {
protected:
    void SetUp() override {
        wd.write("UI settings.ini",
                 "[server%20list]\n1\\primary=203.0.113.5\n2\\backup=203.0.113.6\n"
                 "[speed_out%20list]\n1\\slow=500\n[port%20list]\n1\\25555=x\n");
        mkdir(wd.file("peers").c_str(), 0700);
        wd.write("peers/office", "");
        wd.write("peers/isp", "");
        dialup_set_paths({wd.file("peers"), wd.file("run"), QUORIN_FAKE_PPPD});
    }
    void TearDown() override {
        drop_form();
        dialup_set_paths(dialup_default_paths());
    }
    void drop_form() {
        if (!form) return;
        delete form->statForm;
        delete form->thread;
        delete form->subscriptions;
        form.reset();
    }
    // local: a configuration file of the interface's own and alice's
    // subscription; otherwise the first start, with a login typed.
    QrConnectForm& build(bool local) {
        if (local) {
            wd.write("quorin.conf", "[server]\nport=2080\n[remote]\nserver=203.0.113.6:25555\nlogin=alice\n");
            wd.write("Subscriptions.ini",
                     "[alice]\nQuorin\\passwd=pw\nQuorin\\remote\\server=203.0.113.6\n"
                     "Quorin\\remote\\speed_out_min=500\nQuorin\\remote\\speed_out_max=500\n"
                     "Quorin\\local\\tap_config_dhcp=false\nQuorin\\local\\tap_dns_server=false\n"
                     "Quorin\\local\\tap_route_replace=true\n");
        }
        form = std::make_unique<QrConnectForm>();
        if (!local) form->ui.login->setEditText("bob");
        return *form;
    }
    void rebuild_next() {
        drop_form();
        std::remove(wd.file("quorin.conf").c_str());
        std::remove(wd.file("Subscriptions.ini").c_str());
        script.questions.clear();
    }
    // Every widget that carries a setting, as one text.
    std::string widgets() const {
        const settings_form_state st = form->settingsForm->state();
        return QStringList({st.udp_port.text, st.logname, QString::number(st.debug), st.serveraddr.text,
                            st.speed_in.text, st.speed_out.text, st.mtu.text, st.dial1.text,
                            QString::number(st.disconnect), QString::number(st.http.checked), st.int3.ip,
                            QString::number(st.socks.port), st.tap_ip, st.ptp_ip.text,
                            QString::number(st.route_replace_enabled)})
            .join('|')
            .toStdString();
    }
    void edit_everything() {
        QrSettingsForm& s = *form->settingsForm;
        retype(s.ui.udp_port, "10.0.0.5:2046");
        s.ui.debug->setChecked(true);
        s.ui.serveraddr->setCurrentIndex(0);
        retype(s.ui.speed_in, "1000:8000");
        s.ui.speed_out->setCurrentIndex(0);
        retype(s.ui.mtu, "70000");
        s.ui.dial1->setCurrentIndex(1);
        s.ui.disconnect->setChecked(true);
        s.ui.http_proxy->setChecked(false);
        s.ui.int3_proxy->setChecked(true);
        retype(s.ui.int3_ip, "127.0.0.3");
        s.ui.socks_port->setValue(1081);
        s.ui.tap_ip->setText("10.0.5.7");
        s.ui.ptp_ip->setCurrentIndex(2);
        s.ui.route_replace_enabled->setChecked(true);
    }

    ui_testing::working_dir wd;
    ui_testing::modal_script script;
    std::unique_ptr<QrConnectForm> form;
};

TEST_F(UiSettingsForm, ListsMaskRangesAndButtons) {
    QrSettingsForm f(nullptr);
    EXPECT_EQ(f.ui.serveraddr->itemText(1), "backup ( 203.0.113.6 )");
    EXPECT_EQ(f.ui.serveraddr->itemData(1).toString(), "203.0.113.6");
    EXPECT_EQ(f.ui.serverport->itemText(0), "25555");
    EXPECT_FALSE(f.ui.serverport->itemData(0).isValid());
    EXPECT_EQ(f.ui.speed_in->count(), 0);
    ASSERT_EQ(f.ui.dial1->count(), 3);
    EXPECT_EQ(f.ui.dial1->itemText(0) + "|" + f.ui.dial1->itemText(1) + "|" + f.ui.dial1->itemText(2),
              "don't dial|isp|office");

    f.show();
    struct typed_case {
        const char* keys;
        const char* text;
    } typed[] = {{"10.1.2.3", "10.1.2.3"},
                 {"192.168.255.254", "192.168.255.254"},
                 {"", "..."},
                 {"1a0.b0.0.7", "10.0.0.7"},
                 {"1.2.3.4.5", "1.2.3.45"}};
    for (const typed_case& c : typed) {
        f.ui.tap_ip->clear();
        f.ui.tap_ip->setCursorPosition(0);
        QTest::keyClicks(f.ui.tap_ip, c.keys);
        EXPECT_EQ(f.ui.tap_ip->text(), c.text) << c.keys;
    }
    f.ui.datatimeout->setValue(60);
    f.ui.tun_timeout->setValue(500);
    EXPECT_EQ(f.ui.datatimeout->value() * 1000 + f.ui.tun_timeout->value(), 121 * 1000 + 120);

    int finished = -1;
    QObject::connect(&f, &QDialog::finished, [&](int r) { finished = r; });
    f.ui.cancel_button->click();
    EXPECT_EQ(finished, 0);
    f.show();
    f.ui.pushButton->click();
    EXPECT_EQ(finished, 1);

    // Without the phone-book or the lists.
    dialup_set_paths({wd.file("none"), wd.file("run"), QUORIN_FAKE_PPPD});
    std::remove(wd.file("UI settings.ini").c_str());
    QrSettingsForm empty(nullptr);
    EXPECT_EQ(empty.ui.dial1->count() * 100 + empty.ui.serveraddr->count() + empty.ui.serverport->count(), 100);
}

// Names, kinds, texts and the form's own items, as the other windows and
// the translations find them.
TEST_F(UiSettingsForm, WidgetTree) {
    std::remove(wd.file("UI settings.ini").c_str());
    dialup_set_paths({wd.file("none"), wd.file("run"), QUORIN_FAKE_PPPD});
    QrSettingsForm f(nullptr);
    const auto shown = [&](const char* name) -> std::string {
        QObject* o = f.findChild<QObject*>(name);
        if (!o) return "missing";
        QString text;
        if (auto* label = qobject_cast<QLabel*>(o)) text = label->text();
        if (auto* group = qobject_cast<QGroupBox*>(o)) text = group->title();
        if (auto* button = qobject_cast<QAbstractButton*>(o)) text = button->text();
        if (auto* edit = qobject_cast<QLineEdit*>(o)) text = edit->text() + "|" + edit->inputMask();
        if (auto* spin = qobject_cast<QSpinBox*>(o))
            text = QString("%1-%2=%3%4").arg(spin->minimum()).arg(spin->maximum()).arg(spin->value()).arg(spin->suffix());
        if (auto* combo = qobject_cast<QComboBox*>(o)) {
            QStringList items;
            for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
            text = (combo->isEditable() ? "editable:" : "") + items.join('|');
        }
        return std::string(o->metaObject()->className()) + " " + text.toStdString();
    };
    const std::pair<const char*, const char*> widgets[] = {
        {"Settings", "QTabWidget "},
        {"groupBox", "QGroupBox Global"},
        {"label", "QLabel local UDP port"},
        {"udp_port", "QComboBox editable:2002|2003|2036|2040|2046|2060|2066"},
        {"label_2", "QLabel log file name"},
        {"logname", "QLineEdit client.log|"},
        {"label_3", "QLabel session data timeout"},
        {"datatimeout", "QSpinBox 121-600=300 sec"},
        {"label_16", "QLabel log traffic every"},
        {"traffic", "QSpinBox 5-1000=60 sec"},
        {"debug", "QCheckBox verbose log file"},
        {"groupBox_3", "QGroupBox Server connection"},
        {"label_8", "QLabel server address"},
        {"serveraddr", "QComboBox "},
        {"label_9", "QLabel server port"},
        {"serverport", "QComboBox editable:"},
        {"label_10", "QLabel speed in"},
        {"speed_in", "QComboBox editable:"},
        {"label_11", "QLabel speed_out"},
        {"speed_out", "QComboBox editable:"},
        {"label_12", "QLabel MTU"},
        {"mtu", "QComboBox editable:500|1400|1500"},
        {"label_13", "QLabel MRU"},
        {"mru", "QComboBox editable:500|1400|1500"},
        {"conn_group", "QGroupBox Dial before connect"},
        {"dial1", "QComboBox don't dial"},
        {"disconnect", "QCheckBox disconnect before exit"},
        {"http_proxy", "QGroupBox HTTP(S) proxy"},
        {"label_43", "QLabel local IP"},
        {"http_ip", "QComboBox editable:127.0.0.1"},
        {"label_44", "QLabel local port"},
        {"http_port", "QSpinBox 1-65535=3128"},
        {"socks_proxy", "QGroupBox Socks 4/5 proxy"},
        {"label_18", "QLabel local IP"},
        {"socks_ip", "QComboBox editable:127.0.0.1"},
        {"label_19", "QLabel local port"},
        {"socks_port", "QSpinBox 1-65535=1080"},
        {"int3_proxy", "QGroupBox Low quality image compression proxy"},
        {"label_23", "QLabel local IP"},
        {"int3_ip", "QComboBox editable:127.0.0.1"},
        {"label_22", "QLabel local port"},
        {"int3_port", "QSpinBox 1-65535=3129"},
        {"int4_proxy", "QGroupBox Mid quality image compression proxy"},
        {"label_24", "QLabel local IP"},
        {"int4_ip", "QComboBox editable:127.0.0.1"},
        {"label_25", "QLabel local port"},
        {"int4_port", "QSpinBox 1-65535=3130"},
        {"tap_section", "QGroupBox enable TAP adapter"},
        {"label_21", "QLabel init timeout"},
        {"tun_timeout", "QSpinBox 1-120=30 sec"},
        {"label_20", "QLabel TAP IP address"},
        {"tap_ip", "QLineEdit ...|000.000.000.000"},  // the blank is the default one
        {"label_36", "QLabel ptp_ip"},
        {"ptp_ip", "QComboBox 10.0.0.1|10.128.0.1|192.168.255.1|172.19.0.1"},
        {"groupBox_9", "QGroupBox IP assignment method"},
        {"label_45", "QLabel via DHCP"},
        {"init_dhcp_enabled", "QRadioButton "},
        {"label_46", "QLabel manually assigned IP"},
        {"init_manual_enabled", "QRadioButton "},
        {"groupBox_8", "QGroupBox route change method"},
        {"label_47", "QLabel change metric"},
        {"route_metric_enabled", "QRadioButton "},
        {"label_48", "QLabel replace default route"},
        {"route_replace_enabled", "QRadioButton "},
        {"groupBox_10", "QGroupBox DNS settings"},
        {"label_49", "QLabel add server DNS via DHCP"},
        {"dns_server_enabled", "QRadioButton "},
        {"label_50", "QLabel use local DNS servers"},
        {"dns_local_enabled", "QRadioButton "},
        {"pushButton", "QPushButton Save settings"},
        {"cancel_button", "QPushButton Cancel"},
    };
    for (const auto& w : widgets) EXPECT_EQ(shown(w.first), w.second) << w.first;
    EXPECT_EQ(f.windowTitle(), "Quorin settings");
    QStringList tabs;
    for (int i = 0; i < f.ui.Settings->count(); ++i)
        tabs << f.ui.Settings->widget(i)->objectName() + "=" + f.ui.Settings->tabText(i);
    EXPECT_EQ(tabs, (QStringList{"gensettings=General", "proxysettings=Proxy", "tapsettings=TAP"}));
    EXPECT_EQ(f.ui.Settings->currentIndex(), 0);
    const std::pair<QButtonGroup*, std::vector<QAbstractButton*>> groups[] = {
        {f.ui.init_dhcp, {f.ui.init_dhcp_enabled, f.ui.init_manual_enabled}},
        {f.ui.route, {f.ui.route_metric_enabled, f.ui.route_replace_enabled}},
        {f.ui.dns, {f.ui.dns_server_enabled, f.ui.dns_local_enabled}}};
    for (const auto& g : groups) {
        EXPECT_TRUE(g.first->exclusive());
        EXPECT_EQ(g.first->buttons().size(), 2);
        EXPECT_TRUE(g.second[0]->isChecked() && !g.second[1]->isChecked()) << g.second[0]->objectName().toStdString();
    }
    EXPECT_TRUE(f.ui.http_proxy->isChecked() && f.ui.socks_proxy->isChecked() && f.ui.tap_section->isChecked());
    EXPECT_FALSE(f.ui.int3_proxy->isChecked() || f.ui.int4_proxy->isChecked());
    EXPECT_TRUE(f.ui.disconnect->isChecked());
    EXPECT_EQ(f.ui.tap_ip->maxLength(), 15);
}

TEST_F(UiSettingsForm, RejectThenAcceptInBothModes) {
    for (bool local : {true, false}) {
        SCOPED_TRACE(local ? "local settings" : "download mode");
        QrConnectForm& f = build(local);
        EXPECT_TRUE(f.ui.settings_button->isEnabled()) << "a subscription is loaded";
        EXPECT_EQ(f.settingsForm->ui.Settings->count(), 2) << "no TAP tab without libtun.so";
        f.sync_settings();
        const std::string before = widgets(), conf = wd.read("quorin.conf"), ini = wd.read("Subscriptions.ini");
        const QString server = f.server;
        // Rejected: every widget back from the fields, nothing written.
        script.execs = {[&](QDialog*) {
            edit_everything();
            EXPECT_NE(widgets(), before);
            return 0;
        }};
        f.ShowSettingsForm();
        EXPECT_EQ(widgets(), before);
        EXPECT_EQ(f.server, server);
        f.sync_settings();
        EXPECT_EQ(wd.read("quorin.conf") + wd.read("Subscriptions.ini"), conf + ini);
        EXPECT_EQ(f.ui.download_conf->isChecked(), !local);

        script.execs = {[&](QDialog*) {
            const QrSettingsForm& shown = *f.settingsForm;
            EXPECT_EQ(shown.ui.init_manual_enabled->isChecked(), local);
            EXPECT_EQ(shown.ui.route_replace_enabled->isChecked(), local);
            EXPECT_EQ(shown.ui.dns_local_enabled->isChecked(), local);
            edit_everything();
            return 1;
        }};
        f.ShowSettingsForm();
        EXPECT_EQ(script.count("message"), 0);
        EXPECT_TRUE(f.settings_local);
        EXPECT_TRUE(f.int3.enabled && !f.http.enabled);
        EXPECT_EQ(f.tap_ip + " " + f.tap_ptp_ip, "10.0.5.7 192.168.255.1");
        EXPECT_TRUE(f.tap_route_replace);
        const std::string written = wd.read("quorin.conf");
        for (const char* line :
             {"debug=1\n", "port=10.0.0.5:2046\n", "server=203.0.113.5:25555\n", "speed_in=1000:8000\n",
              "speed_out=500\n", "mtu=4464\n", "port=127.0.0.1:1081\n", "service_int=3\nport=127.0.0.3:3129\n"})
            EXPECT_NE(written.find(line), std::string::npos) << line << written;
        EXPECT_EQ(written.find("service_int=0\n"), std::string::npos) << "http is off";
        f.sync_settings();
        QSettings stored(subscriptions_file, QSettings::IniFormat);
        stored.beginGroup(local ? "alice" : "bob");
        EXPECT_EQ(stored.value("DIAL/CONNECTION").toString() + stored.value("Quorin/remote/speed_in_max").toString(),
                  "isp8000");
        EXPECT_TRUE(stored.value("DIAL/HANGUP").toBool());
        // Either way the connect dialog now offers the local settings.
        EXPECT_TRUE(f.ui.use_local_conf->isChecked() && f.ui.use_local_conf->isEnabled());
        EXPECT_FALSE(f.ui.download_conf->isChecked());
        EXPECT_TRUE(f.ui.settings_button->isEnabled());
        EXPECT_EQ(f.ui.connect_button->text(), "Connect");
        rebuild_next();
    }
}

TEST_F(UiSettingsForm, RefusedValuesAreKeptAndTheUserTold) {
    QrConnectForm& f = build(true);
    QrSettingsForm& s = *f.settingsForm;
    // The real road: shown, edited with the keyboard; Enter in the speed box
    // adds the typed text as an item without data and saves.
    s.show();
    retype(s.ui.speed_in, ":9000");
    s.ui.tap_ip->clear();
    retype(s.ui.speed_out, "9000");
    QTest::keyClick(s.ui.speed_out->lineEdit(), Qt::Key_Return);
    ASSERT_FALSE(s.isVisible()) << "Enter saves";
    EXPECT_FALSE(s.ui.speed_out->itemData(s.ui.speed_out->currentIndex()).isValid());
    EXPECT_EQ(f.speed_out_min * 10000 + f.speed_out_max, 9000u * 10000 + 9000) << "the item's text counts";
    EXPECT_EQ(f.speed_in_min * 10000 + f.speed_in_max, 500000u * 10000 + 500000) << "refused, kept";
    EXPECT_EQ(f.tap_ip, "10.0.0.2");
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].title, "Warning");
    EXPECT_EQ(script.questions[0].text,
              "These settings were not saved and keep their earlier values:\n"
              "speed in \":9000\": a speed is a number above 0, or two such numbers joined by ':'\n"
              "TAP IP address \"...\": the address is four numbers from 0 to 255 joined by dots");
    EXPECT_EQ(s.ui.speed_in->currentText() + " " + s.ui.tap_ip->text(), "500000 10.0.0.2");
    EXPECT_NE(wd.read("quorin.conf").find("speed_in=500000\nspeed_out=9000\n"), std::string::npos);
}

// Texts that would add lines to the configuration, and addresses the
// engine would read as octal, are refused like a bad speed.
TEST_F(UiSettingsForm, LineBreaksAndLeadingZerosAreRefused) {
    QrConnectForm& f = build(true);
    QrSettingsForm& s = *f.settingsForm;
    s.show();
    retype(s.ui.udp_port, "010.0.0.5:2046");
    s.ui.logname->setText("client.log\nport=0.0.0.0:1");
    s.ui.int3_proxy->setChecked(true);
    retype(s.ui.int3_ip, "127.000.0.1");
    s.ui.socks_ip->setEditText("127.0.0.1\n[local]\nremote=quorin\nsocks5\nport=0.0.0.0:1080");
    s.ui.pushButton->click();
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].text,
              "These settings were not saved and keep their earlier values:\n"
              "local UDP port \"010.0.0.5:2046\": the address is four numbers from 0 to 255 joined by dots\n"
              "log file name \"client.log\\nport=0.0.0.0:1\": a line break or a NUL character would add lines of "
              "its own to the configuration\n"
              "Low quality image compression proxy local IP \"127.000.0.1\": the address is four numbers from 0 "
              "to 255 joined by dots\n"
              "Socks 4/5 proxy local IP \"127.0.0.1\\n[local]\\nremote=quorin\\nsocks5\\nport=0.0.0.0:1080\": a line "
              "break or a NUL character would add lines of its own to the configuration");
    EXPECT_EQ(f.port_addr + ":" + QString::number(f.port), ":2080");
    EXPECT_EQ(f.log + "|" + f.int3.ip + "|" + f.socks.ip, "client.log|127.0.0.1|127.0.0.1");
    EXPECT_TRUE(f.int3.enabled) << "the rest of the service is taken";
    EXPECT_EQ(s.ui.udp_port->currentText() + "|" + s.ui.logname->text() + "|" + s.ui.socks_ip->currentText(),
              "2080|client.log|127.0.0.1");
    const std::string conf = wd.read("quorin.conf");
    EXPECT_EQ(conf.find("0.0.0.0"), std::string::npos) << conf;
    EXPECT_NE(conf.find("service_int=3\nport=127.0.0.1:3129\n"), std::string::npos) << conf;
}

// A log name the engine would read as two lines, the second a console of
// its own, and a server entry with a port of its own are refused; the
// longest log name that fits is taken.
TEST_F(UiSettingsForm, ValuesTooLongForOneLineAndServersWithAPortAreRefused) {
    wd.write("UI settings.ini",
             "[server%20list]\n1\\primary=203.0.113.5\n2\\backup=203.0.113.6\n3\\odd=127.0.0.1:99\n");
    QrConnectForm& f = build(true);
    QrSettingsForm& s = *f.settingsForm;
    s.show();
    const QString longest(conf_text_max_chars(conf_text_field::log), 'a');
    s.ui.logname->setText(longest);
    s.ui.pushButton->click();
    EXPECT_EQ(script.count("message"), 0);
    EXPECT_EQ(f.log, longest);

    s.show();
    s.ui.logname->setText(QString(1019, 'a') + "control_socket=127.0.0.1:31337");
    s.ui.serveraddr->setCurrentIndex(s.ui.serveraddr->findData("127.0.0.1:99"));
    s.ui.pushButton->click();
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].text,
              "These settings were not saved and keep their earlier values:\n"
              "log file name \"" + QString(64, 'a') + "...\": its line in the configuration would be longer than "
              "the 1023 bytes the engine reads as one line\n"
              "server address \"127.0.0.1:99\": the engine reads what follows a ':' as the port");
    EXPECT_EQ(f.log + " " + f.server, longest + " 203.0.113.6");
    EXPECT_EQ(s.ui.logname->text(), longest);
    const std::string conf = wd.read("quorin.conf");
    EXPECT_NE(conf.find("\nlog=" + longest.toStdString() + "\n"), std::string::npos);
    EXPECT_EQ(conf.find("31337"), std::string::npos);
    EXPECT_EQ(conf.find(":99"), std::string::npos);
}

}  // namespace
