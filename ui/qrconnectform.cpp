#include "ui/qrconnectform.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <cerrno>
#include <cstring>

#include "platform/dynlib.h"
#include "ui/core/dvb_settings.h"
#include "ui/core/md5.h"
#include "ui/core/settings_files.h"
#include "ui/core/tray_text.h"
#include "ui/core/trayanim.h"
#include "ui/dvbsettingsform.h"
#include "ui/modal.h"
#include "ui/mycoolthread.h"
#include "ui/qrsettingsform.h"
#include "ui/splashform.h"
#include "ui/statform.h"

namespace {

constexpr int stat_interval_ms = 1000;
constexpr int icon_interval_ms = 33;
constexpr int stat_form_margin_px = 40;
const char default_tap_address[] = "10.0.0.2";

// Presence of a companion library in the working directory, by the name the
// Windows program tested.
bool library_in_working_dir(const char* windows_name) {
    // Loading a FIFO in its place would wait for a writer.
    return QFileInfo(QDir::currentPath() + "/" + QString::fromStdString(dynlib_file_name(windows_name))).isFile();
}

// The primary screen's available area, centred the way the dialogs are
// placed: ((left + right) / 2, (top + bottom) / 2).
QPoint available_centre() {
    const QRect r = QGuiApplication::primaryScreen()->availableGeometry();
    return QPoint((r.left() + r.right()) / 2, (r.top() + r.bottom()) / 2);
}

QRect available_area() { return QGuiApplication::primaryScreen()->availableGeometry(); }

// Rates below 1000 bytes a second are refused on the statistics window's
// page: a typo, not a choice.
constexpr uint32_t apply_speed_max_least = 1000;

void select_by_data_or_text(QComboBox* combo, const QString& value) {
    const int i = combo->findData(value, Qt::UserRole, Qt::MatchFixedString);
    if (i >= 0)
        combo->setCurrentIndex(i);
    else
        combo->setEditText(value);
}

QVector<QIcon> frames(const QString& dir, int count) {
    QVector<QIcon> icons;
    for (int i = 1; i <= count; ++i) icons.push_back(QIcon(dir + QString("%1.png").arg(i, 2, 10, QChar('0'))));
    return icons;
}

}  // namespace

QrConnectForm::QrConnectForm()
    : QDialog(nullptr),
      interfaceSettings(settings_location(interface_file), QSettings::IniFormat),
      loading(true),
      frame(1),
      animating(false) {
    splash = new SplashForm(this);
    settingsForm = new QrSettingsForm(this);
    dvbForm = new DVBSettingsForm(this);
    statForm = new StatForm(this);
    thread = new MyCoolThread;
    protect_subscriptions_file();
    subscriptions = new QSettings(settings_location(subscriptions_file), QSettings::IniFormat);
    guard_settings_writes(subscriptions, subscriptions_file, true);
    guard_settings_writes(&interfaceSettings, interface_file, false);
    statTimer = new QTimer(this);
    iconTimer = new QTimer(this);
    trayIcon = new QSystemTrayIcon(this);

    ui.setupUi(this);

    connect(settingsForm, SIGNAL(finished(int)), this, SLOT(SettingsFinished(int)));
    connect(dvbForm, SIGNAL(Tuned(int, int)), this, SLOT(SigChanged(int, int)));
    connect(dvbForm, SIGNAL(Tuned(int, int)), statForm, SLOT(SigChanged(int, int)));
    connect(this, SIGNAL(Tune()), dvbForm, SLOT(Tune()));
    connect(thread, SIGNAL(Canceled()), splash, SLOT(close()), Qt::QueuedConnection);
    connect(thread, SIGNAL(Changed()), splash, SLOT(repaint()), Qt::QueuedConnection);
    connect(thread, SIGNAL(Finished()), this, SLOT(ConnectFinished()), Qt::QueuedConnection);
    connect(splash, SIGNAL(DownloadFinished()), this, SLOT(SetDownloadedData()));
    connect(trayIcon, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
            SLOT(iconActivated(QSystemTrayIcon::ActivationReason)));
    connect(statTimer, SIGNAL(timeout()), statForm, SLOT(send_query()));
    connect(iconTimer, SIGNAL(timeout()), this, SLOT(animate_icon()));
    // Qt 5's threads have no terminated(): however the engine thread ends,
    // finished() reports it.
    connect(thread, SIGNAL(finished()), QCoreApplication::instance(), SLOT(quit()), Qt::QueuedConnection);
    connect(statForm, SIGNAL(SetIcon(int, long long, long long, float)), this,
            SLOT(SetIcon(int, long long, long long, float)));
    connect(ui.DVBConnect, SIGNAL(clicked()), this, SLOT(CheckDVB()));
    connect(this, SIGNAL(quit()), dvbForm, SLOT(UnInit()));
    connect(this, SIGNAL(show_progress(int)), splash, SLOT(show_progress(int)), Qt::QueuedConnection);

    thread->splash = splash;
    tun_present = library_in_working_dir(TUN_DLL);

    idleIcon = QIcon(":/icons/idle.png");
    trayIcon->setIcon(idleIcon);
    greenIcons = frames(":/icons/green/", tray_frame_count);
    yellowIcons = frames(":/icons/yellow/", tray_frame_count);
    redIcons = frames(":/icons/red/", tray_frame_count);
    red2Icons = frames(":/icons/red_2/", 2);

    const bool conf_present = conf_file_present();
    if (conf_present)
        read_conf();
    else
        settings_local = true;

    settingsForm->ui.tap_section->setChecked(tun_present && tap);
    settingsForm->ui.tapsettings->setEnabled(tun_present);
    if (!tun_present) settingsForm->ui.Settings->removeTab(settingsForm->ui.Settings->indexOf(settingsForm->ui.tapsettings));

    const QStringList logins = subscriptions->childGroups();
    if (!login.isEmpty()) subscriptions->beginGroup(login);
    ui.password->setText(passwd);

    if (conf_present && settings_local)
        for (const QString& name : logins) ui.login->addItem(name);

    const QString remembered = login;
    login.clear();
    loading = false;
    sub_change(remembered);
    loading = true;
    // A file of ours whose login has no stored subscription yet: its own
    // settings, over the load defaults for what it does not hold, are the
    // ones the first connection stores.
    if (conf_present && settings_local && !remembered.isEmpty() && !subscription_stored(*subscriptions)) {
        read_conf();
        ui.password->setText(passwd);
    }

    if (settings_local && conf_present) {
        fill_settings_form();
    } else {
        ui.settings_button->setEnabled(false);
        if (settings_local) {
            ui.use_local_conf->setEnabled(false);
            ui.download_conf->setChecked(true);
            ui.connect_button->setText(tr("Download"));
        } else {
            ui.download_conf->setEnabled(false);
            ui.login->setEnabled(false);
            ui.password->setEnabled(false);
        }
    }

    if (library_in_working_dir(DVB_DLL)) {
        if (ui.use_local_conf->isEnabled()) {
            ui.DVBConnect->setChecked(subscriptions->value(key_dvb_enabled, false).toBool());
            if (ui.DVBConnect->isChecked()) dvbForm->initLibrary();
        }
        load_dvb_settings();
    } else {
        ui.DVBConnect->hide();
        statForm->ui.stat->removeTab(statForm->ui.stat->indexOf(statForm->ui.dvb_stat));
    }

    // The login the settings came from is the one shown, also when it was
    // appended behind the subscriptions.
    int at = ui.login->findText(login, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (at < 0) {
        ui.login->addItem(login);
        at = ui.login->count() - 1;
    }
    ui.login->setCurrentIndex(at);

    if (tap) tap = library_in_working_dir(TUN_DLL);
    adjustSize();
    loading = false;
    refresh_dial_keys();
}

QrConnectForm::~QrConnectForm() {
    delete splash;
    delete settingsForm;
    delete dvbForm;
}

void QrConnectForm::auto_start() {
    connect(this, SIGNAL(Start()), this, SLOT(StartConnecting()), Qt::QueuedConnection);
    emit Start();
}

void QrConnectForm::emit_progress(int stage) { emit show_progress(stage); }

void QrConnectForm::emit_quit() { emit quit(); }

DialKeys QrConnectForm::dial_keys() const {
    std::lock_guard<std::mutex> lock(dial_mu_);
    return dial_keys_;
}

void QrConnectForm::refresh_dial_keys() {
    DialKeys keys;
    keys.connection = subscriptions->value(key_dial_connection, QString()).toString();
    keys.hangup = subscriptions->value(key_dial_hangup, false).toBool();
    std::lock_guard<std::mutex> lock(dial_mu_);
    dial_keys_ = keys;
}

void QrConnectForm::sync_settings() {
    // On the way out: a box could hold the end of a session.
    QString why;
    if (!save_settings_file(*subscriptions, subscriptions_file, true, &why))
        qWarning("%s: %s", subscriptions_file, qPrintable(why));
    if (!save_settings_file(interfaceSettings, interface_file, false, &why))
        qWarning("%s: %s", interface_file, qPrintable(why));
}

bool QrConnectForm::save_subscriptions() {
    QString why;
    if (save_settings_file(*subscriptions, subscriptions_file, true, &why)) return true;
    tell_not_written(subscriptions_file, why);
    return false;
}

void QrConnectForm::tell_not_written(const char* file, const QString& why) {
    modal::message(this, QMessageBox::Critical, tr("Error"),
                   tr("The settings could not be written to %1: %2").arg(file, why), QMessageBox::Ok, QMessageBox::Ok);
}

// ------------------------------------------------------------- files

bool QrConnectForm::write_conf() {
    if (::write_conf(*this, ui.DVBConnect->isChecked())) return true;
    tell_not_written(engine_conf_file,
                     errno == EINVAL ? tr("not a regular file") : QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

bool QrConnectForm::write_settings_files(bool conf_first) {
    QStringList lines;
    for (const conf_text_problem& p : conf_text_problems(*this)) lines << refusal_line(p);
    if (!lines.isEmpty()) {
        modal::tell_refused(this, lines);
        return false;
    }
    if (conf_first) {
        if (!write_conf()) return false;
        write_ini();
        return save_subscriptions();
    }
    write_ini();
    return save_subscriptions() && write_conf();
}

bool QrConnectForm::typed_login_usable() {
    QStringList lines;
    const QString typed_login = ui.login->currentText();
    conf_text_fault fault = conf_text_check(conf_text_field::login, typed_login);
    if (fault != conf_text_fault::none)
        lines << refusal_line(ui.label->text(), typed_login, conf_text_fault_text(fault));
    // The box names the password field, never what was typed into it.
    fault = conf_text_check(conf_text_field::passwd, ui.password->text());
    if (fault != conf_text_fault::none) lines << secret_refusal_line(ui.label_2->text(), conf_text_fault_text(fault));
    modal::tell_refused(this, lines);
    return lines.isEmpty();
}

void QrConnectForm::read_conf() {
    if (::read_conf(*this)) return;
    qDebug("Config file open error");
    ui.use_local_conf->setEnabled(false);
    ui.download_conf->setChecked(true);
    settings_local = false;
    ui.connect_button->setText(tr("Download"));
}

void QrConnectForm::write_ini() {
    QString connection;
    bool hangup = false;
    if (settingsForm->ui.dial1->currentIndex() > 0) {
        connection = settingsForm->ui.dial1->currentText();
        hangup = settingsForm->ui.disconnect->isChecked();
    }
    write_subscription(*subscriptions, *this, connection, hangup);
    refresh_dial_keys();
}

void QrConnectForm::sub_change(QString new_login) {
    if (new_login == login || loading || new_login.isEmpty()) return;
    if (!subscriptions->group().isEmpty()) subscriptions->endGroup();
    subscriptions->beginGroup(new_login);
    login = new_login;
    if (settings_local) {
        ui.password->setText(stored_password(*subscriptions));
        load_subscription(*subscriptions, *this);
        fill_settings_form();
        ui.settings_button->setEnabled(true);
    }
    load_dvb_settings();
    refresh_dial_keys();
}

void QrConnectForm::save_settings() {
    statForm->saveWindowState(interfaceSettings);
    QString why;
    if (!save_settings_file(interfaceSettings, interface_file, false, &why)) tell_not_written(interface_file, why);
}

// ------------------------------------------------------------- settings dialog

void QrConnectForm::fill_settings_form() {
    settings_form_state st = settingsForm->state();
    show_settings(*this, subscriptions->value(key_dial_connection, QString()).toString(),
                  subscriptions->value(key_dial_hangup, false).toBool(), &st);
    settingsForm->show_state(st);
}

void QrConnectForm::ShowSettingsForm() {
    settingsForm->adjustSize();
    QRect r = settingsForm->frameGeometry();
    r.moveCenter(available_centre());
    settingsForm->move(r.topLeft());
    modal::exec(settingsForm);
}

void QrConnectForm::SettingsFinished(int result) {
    if (result == 0) {
        fill_settings_form();
        return;
    }
    const settings_refusals refused = take_settings(settingsForm->state(), this);
    settings_local = true;
    write_settings_files(false);
    if (ui.download_conf->isChecked()) {
        ui.connect_button->setText(tr("Connect"));
        ui.download_conf->setChecked(false);
        ui.use_local_conf->setEnabled(true);
        ui.use_local_conf->setChecked(true);
        ui.settings_button->setEnabled(true);
        repaint();
    }
    if (refused.any()) settingsForm->report_refused(this, refused, *this);
}

// ------------------------------------------------------------- small slots

void QrConnectForm::passwd_enter(QString text) { ui.connect_button->setEnabled(!text.isEmpty()); }

void QrConnectForm::use_local_clicked(bool checked) {
    if (checked) {
        ui.settings_button->setEnabled(settings_local);
        ui.connect_button->setText(tr("Connect"));
    } else {
        ui.settings_button->setEnabled(false);
    }
}

void QrConnectForm::download_clicked(bool checked) {
    if (checked) ui.connect_button->setText(tr("Download"));
    ui.settings_button->setEnabled(false);
}

void QrConnectForm::SigChanged(int level, int quality) {
    ui.siglvl->setValue(level);
    ui.sigqua->setValue(quality);
    if (isVisible()) update();
}

void QrConnectForm::iconActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Context:
        statForm->activateWindow();
        break;
    case QSystemTrayIcon::DoubleClick:
    case QSystemTrayIcon::Trigger:
        if (splash->isVisible()) splash->close();
        if (statForm->isVisible()) {
            statForm->hide();
        } else {
            statForm->show();
            statForm->activateWindow();
        }
        break;
    default:
        break;
    }
}

// ------------------------------------------------------------- DVB

void QrConnectForm::load_dvb_settings() {
    const bool enabled = subscriptions->value(key_dvb_enabled, false).toBool();
    if (enabled) dvbForm->initLibrary();
    dvbForm->showSettings(load_dvb_settings_keys(*subscriptions));
    if (enabled) {
        emit Tune();
        ui.DVBConnect->setChecked(true);
    } else {
        ui.DVBConnect->setChecked(false);
        ui.siglvl->setValue(0);
        ui.sigqua->setValue(0);
    }
    dvbForm->setSavedPreset(saved_sat_preset(*subscriptions));
}

void QrConnectForm::CheckDVB() {
    if (login.isEmpty()) {
        ui.DVBConnect->setChecked(false);
        return;
    }
    subscriptions->setValue(key_dvb_enabled, ui.DVBConnect->isChecked());
    dvbForm->initLibrary();
    load_dvb_settings();
    if (!dvbForm->tunerPresent) ui.DVBConnect->setChecked(false);
    if (ui.DVBConnect->isChecked())
        emit Tune();
    else
        SigChanged(0, 0);
}

void QrConnectForm::ShowDVBSettingsForm() {
    load_dvb_settings();
    dvbForm->initLibrary();
    dvbForm->show();
    QRect r = dvbForm->frameGeometry();
    r.moveCenter(available_centre());
    dvbForm->move(r.topLeft());
}

// ------------------------------------------------------------- connecting

void QrConnectForm::StartConnecting() {
    if (ui.use_local_conf->isChecked()) {
        if (!start_local()) return;
    } else {
        start_download();
    }
    show_connecting_window();
}

// False when the connection was not started.
bool QrConnectForm::start_local() {
    if (tap && (tap_ip == default_tap_address || !is_dotted_ipv4(tap_ip))) {
        // An address the engine cannot use is refused outright; the default
        // one may be ignored on purpose.
        const bool usable = is_dotted_ipv4(tap_ip);
        const QMessageBox::StandardButton answer = modal::message(
            this, QMessageBox::Warning, tr("Warning"),
            tr("TAP enabled, but TAP IP empty or set to default value.") + "\n" +
                tr("Check settings, load it from server or set correct IP from client cabinet."),
            usable ? QMessageBox::Ok | QMessageBox::Ignore : QMessageBox::Ok, QMessageBox::Ok);
        if (!usable || answer != QMessageBox::Ignore) {
            // On a fast start nothing was shown yet: the dialog is the only
            // way left to fix the address.
            show();
            raise();
            return false;
        }
    }
    // The login and password typed go into the file: refused before anything
    // is hidden or dialled.
    if (settings_local && !typed_login_usable()) {
        show();
        raise();
        return false;
    }
    QApplication::setQuitOnLastWindowClosed(false);
    hide();
    if (settingsForm->ui.dial1->currentIndex() != 0) {
        const QString entry = settingsForm->ui.dial1->currentText();
        int error = 0;
        while (!modal::dial(this, entry, &error)) {
            const QMessageBox::StandardButton answer = modal::message(
                this, QMessageBox::Warning, tr("Warning"),
                tr("Connect to ") + entry + tr(" faled.\n Error:") + QString::number(error),
                QMessageBox::Retry | QMessageBox::Abort, QMessageBox::Abort);
            if (answer != QMessageBox::Retry) {
                show();
                QApplication::setQuitOnLastWindowClosed(true);
                return false;
            }
        }
    }
    subscriptions->setValue(key_dvb_enabled, ui.DVBConnect->isChecked());
    if (ui.DVBConnect->isChecked()) emit Tune();
    login = ui.login->currentText();
    passwd = ui.password->text();
    // The engine would start on an older file, or none.
    if (settings_local && !write_settings_files(true)) {
        show();
        QApplication::setQuitOnLastWindowClosed(true);
        return false;
    }
    thread->start(QThread::InheritPriority);
    return true;
}

void QrConnectForm::start_download() {
    splash->login = ui.login->currentText();
    splash->md = account_digest(splash->login, ui.password->text());
    splash->startDownload();
}

void QrConnectForm::show_connecting_window() {
    splash->setStatusText("connecting...");
    splash->setWindowFlags(Qt::SubWindow | Qt::WindowStaysOnTopHint);
    QRect r = splash->frameGeometry();
    r.moveCenter(available_centre());
    splash->move(r.topLeft());
    splash->setGeometry(r);
    splash->show();
    hide();
    QApplication::setQuitOnLastWindowClosed(true);
    splash->adjustSize();
}

void QrConnectForm::SetDownloadedData() {
    QrSettingsForm& f = *settingsForm;
    if (!splash->configValid) {
        if (ui.use_local_conf->isEnabled()) {
            ui.use_local_conf->setChecked(true);
            ui.connect_button->setText(tr("Connect"));
            ui.download_conf->setChecked(false);
        }
        splash->hide();
        show();
        return;
    }
    if (splash->port != 0)
        f.ui.udp_port->setEditText(QString::number(splash->port));
    else
        f.ui.udp_port->setCurrentIndex(0);
    tap = library_in_working_dir(TUN_DLL);
    f.ui.tapsettings->setEnabled(tap);
    f.ui.tap_section->setChecked(tap);
    f.ui.tap_ip->setText(tap_address_for_client(splash->clientNumber));
    if (splash->satIp == "0") {
        sat_ip.clear();
        ui.DVBConnect->setChecked(false);
        adjustSize();
        dvbForm->ui.satip->clear();
    } else {
        dvbForm->initLibrary();
        if (dvbForm->libraryLoaded()) ui.DVBConnect->setVisible(true);
        dvbForm->ui.satip->setText(splash->satIp);
        subscriptions->setValue(key_dvb_satip, splash->satIp);
        f.ui.mru->setCurrentIndex(1);
        sat_ip = splash->satIp;
    }
    login = ui.login->currentText();
    passwd = ui.password->text();
    splash->hide();
    show();
    ShowSettingsForm();
}

// ------------------------------------------------------------- connected

void QrConnectForm::fill_list(const char* group, QComboBox* combo, QActionGroup* actions,
                              const std::function<bool(const QString&)>& is_current) {
    for (const UiListEntry& e : read_ui_list(*uiLists, group)) {
        QAction* a = new QAction(e.label, this);
        a->setData(e.value);
        a->setCheckable(true);
        combo->addItem(e.label, e.value);
        if (is_current(e.value.toString())) a->setChecked(true);
        actions->addAction(a);
    }
    actions->setExclusive(true);
}

void QrConnectForm::ConnectFinished() {
    // One connection per run: a second report would duplicate the menus.
    if (connected_) return;
    connected_ = true;
    QApplication::setQuitOnLastWindowClosed(false);

    if (subscriptions->value(key_dvb_enabled, false).toBool()) {
        dvbForm->polling = true;
        connect(statTimer, SIGNAL(timeout()), dvbForm, SLOT(getdvbstat()));
        connect(dvbForm, SIGNAL(DVBStatChanged(int, int, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t)),
                statForm, SLOT(DVBStatChanged(int, int, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t)));
    } else {
        // No DVB figures, and no DVB page either.
        statForm->disableDvb();
    }

    quitAction = new QAction(tr("&Quit"), this);
    connect(quitAction, SIGNAL(triggered()), this, SLOT(save_settings()));
    connect(quitAction, SIGNAL(triggered()), statForm, SLOT(send_shut()));
    QAction* restartAction = new QAction(tr("Restart"), this);
    connect(restartAction, SIGNAL(triggered()), statForm, SLOT(send_restart()));

    trayMenu = new QMenu;
    trayMenu->addAction(restartAction);
    uiLists = new QSettings(settings_location(ui_lists_file), QSettings::IniFormat);

    QMenu* serverMenu = trayMenu->addMenu(tr("Select server"));
    serverGroup = new QActionGroup(this);
    fill_list(list_server, statForm->ui.server, serverGroup,
              [this](const QString& v) { return v == server; });
    const int server_index = statForm->ui.server->findData(server, Qt::UserRole, Qt::MatchFixedString);
    statForm->ui.server->setCurrentIndex(server_index >= 0 ? server_index : 0);
    connect(serverGroup, SIGNAL(triggered(QAction*)), this, SLOT(ServerTriggered(QAction*)));
    connect(statForm->ui.apply_but, SIGNAL(clicked()), this, SLOT(statsettings_apply()));
    serverMenu->addActions(serverGroup->actions());

    QMenu* speedMenu = trayMenu->addMenu(tr("Select speed"));
    QMenu* inMenu = speedMenu->addMenu(tr("Incoming speed"));
    speedInGroup = new QActionGroup(this);
    fill_list(list_speed_in, statForm->ui.speed_in, speedInGroup,
              [this](const QString& v) { return speed_matches(v, speed_in_min, speed_in_max); });
    select_by_data_or_text(statForm->ui.speed_in, speed_text(speed_in_min, speed_in_max));
    connect(speedInGroup, SIGNAL(triggered(QAction*)), this, SLOT(SpeedInTriggered(QAction*)));
    inMenu->addActions(speedInGroup->actions());

    QMenu* outMenu = speedMenu->addMenu(tr("Outgoing speed"));
    speedOutGroup = new QActionGroup(this);
    fill_list(list_speed_out, statForm->ui.speed_out, speedOutGroup,
              [this](const QString& v) { return speed_matches(v, speed_out_min, speed_out_max); });
    select_by_data_or_text(statForm->ui.speed_out, speed_text(speed_out_min, speed_out_max));
    connect(speedOutGroup, SIGNAL(triggered(QAction*)), this, SLOT(SpeedOutTriggered(QAction*)));
    outMenu->addActions(speedOutGroup->actions());

    statForm->ui.login->setText(login);
    statForm->setMd(account_digest(login, passwd));
    statForm->setAccountHost(account_host());

    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setIcon(idleIcon);

    connect(this, SIGNAL(ServerChanged(QString)), statForm, SLOT(ChangeServer(QString)));
    connect(this, SIGNAL(SpeedInChanged(QString)), statForm, SLOT(ChangeSpeedIn(QString)));
    connect(this, SIGNAL(SpeedOutChanged(QString)), statForm, SLOT(ChangeSpeedOut(QString)));
    connect(statForm->ui.server, SIGNAL(currentIndexChanged(QString)), statForm, SLOT(settings_changed(QString)));
    connect(statForm->ui.speed_in, SIGNAL(editTextChanged(QString)), statForm, SLOT(settings_changed(QString)));
    connect(statForm->ui.speed_out, SIGNAL(editTextChanged(QString)), statForm, SLOT(settings_changed(QString)));
    connect(statForm->ui.cancel_but, SIGNAL(clicked()), this, SLOT(statsettings_cancel()));

    connect(statForm, SIGNAL(HideTrayIcon()), trayIcon, SLOT(hide()));
    // Quit with the engine out of reach: nothing else would end the process.
    connect(statForm, SIGNAL(QuitWithoutEngine()), this, SIGNAL(quit()));

    trayIcon->show();
    statForm->startStat(console_port);
    place_stat_form();

    statTimer->start(stat_interval_ms);
    iconTimer->start(icon_interval_ms);
    splash->closeAllowed = true;
    splash->close();
}

void QrConnectForm::place_stat_form() {
    if (statForm->restoreWindowState(interfaceSettings)) return;
    statForm->setWindowFlags(Qt::Dialog);
    // The pages' layouts still hold the sizes from before the window was
    // filled; measured that way the window would grow past the screen's
    // edge when it is first shown.
    for (QLayout* l : statForm->findChildren<QLayout*>()) l->invalidate();
    statForm->adjustSize();
    statForm->resize(statForm->minimumSizeHint());
    QRect r = statForm->frameGeometry();
    const QRect area = available_area();
    r.moveBottomRight(area.bottomRight());
    statForm->move(r.topLeft() - QPoint(stat_form_margin_px, stat_form_margin_px));
}

void QrConnectForm::statsettings_cancel() {
    select_by_data_or_text(statForm->ui.server, server);
    select_by_data_or_text(statForm->ui.speed_in, speed_text(speed_in_min, speed_in_max));
    select_by_data_or_text(statForm->ui.speed_out, speed_text(speed_out_min, speed_out_max));
    statForm->ui.apply_but->setEnabled(false);
    statForm->ui.cancel_but->setEnabled(false);
}

// ------------------------------------------------------------- tray

void QrConnectForm::animate_icon() {
    if (!animating) return;
    frame = tray_next_frame(frame);
    const StatCounters& c = statForm->lastCounts();
    const TrayFrame f = tray_frame_for(c.packets_in, c.lost_in, c.packets_out, c.lost_out, frame);
    const QVector<QIcon>* icons = &greenIcons;
    switch (f.set) {
    case TrayIconSet::green:
        break;
    case TrayIconSet::yellow:
        icons = &yellowIcons;
        break;
    case TrayIconSet::red:
        icons = &redIcons;
        break;
    case TrayIconSet::red_2:
        icons = &red2Icons;
        break;
    }
    trayIcon->setIcon(icons->at(f.index));
}

void QrConnectForm::SetIcon(int activity, long long bytes_in, long long bytes_out, float compression) {
    trayIcon->setToolTip(tray_tooltip(bytes_in, bytes_out, compression));
    if (activity != 0 && !animating) {
        animating = true;
    } else if (activity == 0 && animating) {
        trayIcon->setIcon(idleIcon);
        animating = false;
    }
}

void QrConnectForm::write_settings_after_change() {
    if (settings_local) write_settings_files(false);
}

void QrConnectForm::ServerTriggered(QAction* action) {
    const QString value = action->data().toString();
    if (value == server) return;
    const conf_text_fault fault = conf_text_check(conf_text_field::server, value);
    if (fault != conf_text_fault::none) {
        // The group checked the entry; the server in force stays checked.
        for (QAction* a : serverGroup->actions()) a->setChecked(a->data().toString() == server);
        modal::tell_refused(this, {refusal_line(tr("Select server"), value, conf_text_fault_text(fault))});
        return;
    }
    server = value;
    emit ServerChanged(value);
    write_settings_after_change();
}

void QrConnectForm::speed_triggered(QAction* action, uint32_t* min, uint32_t* max, QActionGroup* group,
                                    const QString& menu, void (QrConnectForm::*changed)(QString)) {
    const QString value = action->data().toString();
    if (value == speed_pair_text(*min, *max) || value == QString::number(*max)) return;
    // A zero bound makes the engine refuse the pair at once and drop the
    // server's record from the file at the next start.
    if (!take_speed(value, min, max)) {
        action->setChecked(false);
        for (QAction* a : group->actions())
            if (speed_matches(a->data().toString(), *min, *max)) a->setChecked(true);
        modal::tell_refused(this, {refusal_line(menu, value, speed_rule_text())});
        return;
    }
    emit(this->*changed)(value);
    write_settings_after_change();
}

void QrConnectForm::SpeedInTriggered(QAction* action) {
    speed_triggered(action, &speed_in_min, &speed_in_max, speedInGroup, tr("Incoming speed"),
                    &QrConnectForm::SpeedInChanged);
}

void QrConnectForm::SpeedOutTriggered(QAction* action) {
    speed_triggered(action, &speed_out_min, &speed_out_max, speedOutGroup, tr("Outgoing speed"),
                    &QrConnectForm::SpeedOutChanged);
}

void QrConnectForm::statsettings_apply() {
    Ui_StatForm& page = statForm->ui;
    page.apply_but->setEnabled(false);
    page.cancel_but->setEnabled(false);
    // A field's caption without its colon, for the refusal box.
    const auto caption = [](const QLabel* label) {
        QString text = label->text();
        if (text.endsWith(':')) text.chop(1);
        return text;
    };
    QStringList refused;
    const QString server_value = chosen_value(read_combo(page.server));
    if (!server_value.isEmpty() && server_value != server) {
        const conf_text_fault fault = conf_text_check(conf_text_field::server, server_value);
        if (fault != conf_text_fault::none) {
            refused << refusal_line(caption(page.label_8), server_value, conf_text_fault_text(fault));
            select_by_data_or_text(page.server, server);
        } else {
            emit ServerChanged(server_value);
            server = server_value;
            for (QAction* a : serverGroup->actions())
                if (a->data().toString() == server_value) a->setChecked(true);
        }
    }
    struct speed_field {
        QComboBox* combo;
        const QLabel* label;
        uint32_t* min;
        uint32_t* max;
        QActionGroup* group;
        void (QrConnectForm::*changed)(QString);
    };
    const speed_field speeds[] = {
        {page.speed_in, page.label_19, &speed_in_min, &speed_in_max, speedInGroup, &QrConnectForm::SpeedInChanged},
        {page.speed_out, page.label_20, &speed_out_min, &speed_out_max, speedOutGroup,
         &QrConnectForm::SpeedOutChanged},
    };
    for (const speed_field& s : speeds) {
        // A typed speed confirmed with Enter is an item of its own, without
        // data: its text counts.
        const QString value = chosen_value(read_combo(s.combo));
        if (value == speed_text(*s.min, *s.max)) continue;
        uint32_t a = *s.min, b = *s.max;
        if (!take_speed(value, &a, &b) || b < apply_speed_max_least) {
            const QString rule = speed_rule_text() + "; " + tr("the highest at least %1").arg(apply_speed_max_least);
            refused << refusal_line(caption(s.label), value, rule);
            select_by_data_or_text(s.combo, speed_text(*s.min, *s.max));
            continue;
        }
        if (a == *s.min && b == *s.max) continue;
        emit(this->*s.changed)(value);
        *s.min = a;
        *s.max = b;
        for (QAction* act : s.group->actions())
            if (act->data().toString() == value) act->setChecked(true);
    }
    write_settings_after_change();
    if (refused.isEmpty()) return;
    // Putting the values in force back into the boxes counts as an edit.
    page.apply_but->setEnabled(false);
    page.cancel_but->setEnabled(false);
    modal::tell_refused(this, refused);
}
