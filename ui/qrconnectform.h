// The log-in and connect dialog: the hub of the interface. It owns the other
// windows, the tray icon, the timers, the settings files and the connection
// settings, and carries one connection from the dialog to the running
// engine.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QVector>

#include <functional>
#include <mutex>

#include "ui/core/connection_settings.h"
#include "ui/core/hang_up.h"
#include "ui_qrconnectform.h"

class DVBSettingsForm;
class MyCoolThread;
class QAction;
class QActionGroup;
class QComboBox;
class QMenu;
class QTimer;
class QrSettingsForm;
class SplashForm;
class StatForm;

class QrConnectForm : public QDialog, public ConnectionSettings {
    Q_OBJECT

public:
    QrConnectForm();
    ~QrConnectForm() override;

    QrSettingsForm* settingsForm;
    StatForm* statForm;
    MyCoolThread* thread;
    QSettings* subscriptions;
    QSettings interfaceSettings;
    QTimer* statTimer;
    QTimer* iconTimer;
    QSystemTrayIcon* trayIcon;
    DVBSettingsForm* dvbForm;
    bool loading;
    Ui_QrConnectForm ui;
    QAction* quitAction = nullptr;
    QMenu* trayMenu = nullptr;
    QActionGroup* serverGroup = nullptr;
    QActionGroup* speedInGroup = nullptr;
    QActionGroup* speedOutGroup = nullptr;
    QSettings* uiLists = nullptr;
    SplashForm* splash;
    QIcon idleIcon;
    QVector<QIcon> greenIcons, yellowIcons, redIcons, red2Icons;
    int frame;
    bool animating;

    // Fast start: connects as soon as the event loop runs.
    void auto_start();
    // Called by the exports from the engine's threads.
    void emit_progress(int stage);
    void emit_quit();
    // The subscription's dial-up keys as the GUI thread last stored them,
    // for the quit road on the engine thread.
    DialKeys dial_keys() const;
    // Both settings files to disk: every road out of the interface ends
    // here. What fails goes to the debug output.
    void sync_settings();

    // False, after telling the user, when the file could not be written.
    bool write_conf();
    void read_conf();
    void fill_settings_form();
    void load_dvb_settings();

signals:
    void Tune();
    void show_progress(int stage);
    void Start();
    void SpeedInChanged(QString value);
    void SpeedOutChanged(QString value);
    void ServerChanged(QString value);
    void quit();

public slots:
    void ShowSettingsForm();
    void SetDownloadedData();
    void SettingsFinished(int result);
    void ShowDVBSettingsForm();
    void StartConnecting();
    void animate_icon();
    void write_ini();
    void use_local_clicked(bool checked);
    void download_clicked(bool checked);
    void passwd_enter(QString text);
    void SigChanged(int level, int quality);
    void CheckDVB();
    void ConnectFinished();
    void SetIcon(int activity, long long bytes_in, long long bytes_out, float compression);
    void sub_change(QString new_login);
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void SpeedInTriggered(QAction* action);
    void SpeedOutTriggered(QAction* action);
    void ServerTriggered(QAction* action);
    void save_settings();
    void statsettings_apply();
    void statsettings_cancel();

private:
    bool start_local();
    void start_download();
    void show_connecting_window();
    void refresh_dial_keys();
    // One "UI settings.ini" list into a statistics-window combo and a group
    // of checkable tray actions; the entry whose value is in force is checked.
    void fill_list(const char* group, QComboBox* combo, QActionGroup* actions,
                   const std::function<bool(const QString&)>& is_current);
    void place_stat_form();
    void write_settings_after_change();
    // Subscriptions.ini to disk; false, after telling the user, when it
    // could not be written.
    bool save_subscriptions();
    void tell_not_written(const char* file, const QString& why);
    // Both settings files, the configuration first on the way to the engine.
    // False, after telling the user, when the settings hold a text the
    // configuration cannot carry (nothing is written then) or when the
    // configuration or Subscriptions.ini could not be written.
    bool write_settings_files(bool conf_first);
    // The login and password typed, before they are taken: false, after
    // telling the user, when the configuration could not carry them.
    bool typed_login_usable();
    // A speed menu's entry chosen: the pair it names, unless refused.
    void speed_triggered(QAction* action, uint32_t* min, uint32_t* max, QActionGroup* group, const QString& menu,
                         void (QrConnectForm::*changed)(QString));

    mutable std::mutex dial_mu_;
    DialKeys dial_keys_;
    bool connected_ = false;
};
