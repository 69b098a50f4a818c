// The statistics window: subscription data and balance, live traffic
// figures from the engine's console, two traffic plots, DVB figures, a small
// settings page (server and speed limits), opacity and stay-on-top.
//
// Its owner is the connect dialog. The window reaches it only through the
// signals HideTrayIcon() and QuitWithoutEngine(); the owner fills the form
// (ui), md, the account host and the window state, and drives send_query()
// from its one-second timer.
#pragma once

#include <cstdint>

#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include "ui/core/connection_settings.h"
#include "ui/core/consolestream.h"
#include "ui/core/statfigures.h"
#include "ui_statform.h"

class AccountReply;
class QSettings;
class QTcpSocket;
class QrConnectForm;
class StatPlot;

// A balance answer not whole within this long is given up.
constexpr int balance_transfer_timeout_ms = 30000;
// After Quit, how long the engine has to end the process.
constexpr int engine_quit_wait_ms = 5000;

class StatForm : public QWidget {
    Q_OBJECT

public:
    explicit StatForm(QrConnectForm* owner);
    ~StatForm() override;
    StatForm(const StatForm&) = delete;
    StatForm& operator=(const StatForm&) = delete;

    // Connects to the engine's console, starts the uptime clock and sends
    // the first balance request.
    void startStat(quint16 port = console_port);

    void setMd(const QString& md) { md_ = md; }
    const QString& md() const { return md_; }
    // Host (and port) of the account web service, before startStat().
    void setAccountHost(const QString& host) { account_host_ = host; }
    void setBalanceTimeout(int ms) { balance_timeout_ms_ = ms; }
    void setQuitWait(int ms) { quit_wait_ms_ = ms; }
    QUrl balanceAddress() const { return balance_address_; }

    // The counts of the last statistics line since the last reset; the tray
    // animation reads the packet and loss counts.
    const StatCounters& lastCounts() const { return tracker_.shown(); }
    StatPlot* incomingPlot() const { return in_plot_; }
    StatPlot* outgoingPlot() const { return out_plot_; }
    // Console bytes received and not yet taken, in the socket and the reader.
    qint64 consoleBytesHeld() const;
    QrConnectForm* owner() const { return owner_; }
    QTimer& balanceTimer() { return balance_timer_; }

    // Without DVB for the subscription: no DVB figures and no DVB page.
    void disableDvb();
    // The window state in "Interface.ini": opacity, position, on-top flag,
    // balance updates and page. restoreWindowState() restores nothing and
    // returns false when the file holds no position (first run: the owner
    // places the window).
    void saveWindowState(QSettings& settings) const;
    bool restoreWindowState(QSettings& settings);

    Ui_StatForm ui;

signals:
    // Once per statistics line: UDP bytes received since the previous line
    // (low 32 bits), UDP bytes in and out since the last reset, compression
    // in per cent.
    void SetIcon(int received, long long udpIn, long long udpOut, float compression);
    // After "shutdown" the tray icon goes with the window.
    void HideTrayIcon();
    // "shutdown" could not reach the engine (its console is down), or the
    // engine did not end the process in time after Quit: nothing else
    // would, so the owner ends the interface.
    void QuitWithoutEngine();

public slots:
    void settings_changed(const QString& text);
    void SigChanged(int level, int quality);
    void send_query();
    void send_shut();
    void send_restart();
    void resetstat();
    void read_data();
    void change_opacity(int value);
    void change_ontop(bool on);
    void ChangeSpeedIn(const QString& value);
    void ChangeSpeedOut(const QString& value);
    void ChangeServer(const QString& value);
    void DVBStatChanged(int lvl, int qua, uint64_t pkt, uint64_t bytes, uint64_t crc, uint64_t disc, uint64_t pkt_all,
                        uint64_t filt_traf);
    void am_finished(AccountReply* reply);
    void send_bal_req();

private slots:
    void on_bal_timeout_valueChanged(int minutes);
    void on_is_update_toggled(bool checked);

protected:
    // The once-per-run notice of a newer client (a modal box; tests
    // replace it).
    virtual void showNewVersionNotice(const QString& title, const QString& text);

private:
    void queue_command(const QByteArray& command);
    void write_next_command();
    void fill_console_reader();
    void show_stat_line(const StatLine& line);
    void align_combo(QComboBox* combo, const QString& value);
    void restart_balance_timer(int minutes);

    QElapsedTimer uptime_;
    QTimer balance_timer_;
    QString md_;
    StatTracker tracker_;
    DvbSpeedTracker dvb_speeds_;
    StatPlot* in_plot_ = nullptr;
    StatPlot* out_plot_ = nullptr;
    QrConnectForm* owner_;
    QTcpSocket* console_ = nullptr;
    ConsoleReader console_reader_;
    ConsoleCommandQueue console_commands_;
    // The balance request in flight (a child of the window).
    AccountReply* balance_reply_ = nullptr;
    QString account_host_;
    QUrl balance_address_;
    int balance_timeout_ms_ = balance_transfer_timeout_ms;
    QTimer quit_timer_;
    int quit_wait_ms_ = engine_quit_wait_ms;
    bool notice_shown_ = false;
};
