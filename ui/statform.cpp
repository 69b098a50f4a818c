#include "ui/statform.h"

#include <algorithm>

#include <QLocale>
#include <QMessageBox>
#include <QPalette>
#include <QSettings>
#include <QTcpSocket>
#include <QTime>

#include "ui/account_reply.h"
#include "ui/core/balance.h"
#include "ui/core/opacity.h"
#include "ui/core/settings_files.h"
#include "ui/statplot.h"

namespace {

constexpr int ms_per_minute = 60000;
constexpr qint64 ms_per_day = 86400000;
// The balance answer's error code when the answer holds no tariff.
constexpr int balance_no_tarif_code = -1;

constexpr int default_update_timeout_min = 30;

void set_label_colour(QLabel* label, const QColor& colour) {
    QPalette palette = label->palette();
    palette.setBrush(QPalette::All, label->foregroundRole(), QBrush(colour));
    label->setPalette(palette);
}

}  // namespace

StatForm::StatForm(QrConnectForm* owner) : QWidget(nullptr), owner_(owner) {
    console_ = new QTcpSocket(this);
    // What the reader has no room for stays in the kernel, not in Qt.
    console_->setReadBufferSize(qint64(ConsoleReader::backlog_limit_bytes));
    connect(console_, &QTcpSocket::connected, this, &StatForm::send_query);
    connect(console_, &QTcpSocket::readyRead, this, &StatForm::read_data);
    connect(&balance_timer_, &QTimer::timeout, this, &StatForm::send_bal_req);
    ui.setupUi(this);
    // The account service's texts are shown as they stand, never as markup
    // (no links, no images).
    for (QLabel* label : {ui.login, ui.tarif, ui.traffic, ui.balance, ui.status, ui.expire})
        label->setTextFormat(Qt::PlainText);
    quit_timer_.setSingleShot(true);
    connect(&quit_timer_, &QTimer::timeout, this, &StatForm::QuitWithoutEngine);
    in_plot_ = new StatPlot(ui.stat_in_tab);
    ui.stat_in_layout->addWidget(in_plot_);
    out_plot_ = new StatPlot(ui.stat_out_tab);
    ui.stat_out_layout->addWidget(out_plot_);
}

StatForm::~StatForm() = default;

void StatForm::startStat(quint16 port) {
    console_->abort();
    console_reader_.clear();
    console_commands_.restart();
    console_->connectToHost(QString::fromLatin1(console_host), port, QIODevice::ReadWrite);
    uptime_.start();
    balance_address_ = balance_url(account_host_, ui.login->text(), md_);
    send_bal_req();
}

// ---------------------------------------------------------------- settings page

void StatForm::settings_changed(const QString&) {
    ui.apply_but->setEnabled(true);
    ui.cancel_but->setEnabled(true);
}

void StatForm::align_combo(QComboBox* combo, const QString& value) {
    combo->setCurrentIndex(combo->findData(value, Qt::UserRole));
    if (combo->currentIndex() < 0) combo->setEditText(value);
}

void StatForm::ChangeSpeedIn(const QString& value) {
    queue_command("set speed_in " + value.toLatin1());
    align_combo(ui.speed_in, value);
    ui.apply_but->setEnabled(false);
    ui.cancel_but->setEnabled(false);
}

void StatForm::ChangeSpeedOut(const QString& value) {
    queue_command("set speed_out " + value.toLatin1());
    align_combo(ui.speed_out, value);
    ui.apply_but->setEnabled(false);
    ui.cancel_but->setEnabled(false);
}

void StatForm::ChangeServer(const QString& value) {
    queue_command("set server " + value.toLatin1());
    align_combo(ui.server, value);
    ui.apply_but->setEnabled(false);
    ui.cancel_but->setEnabled(false);
}

// ---------------------------------------------------------------- window

void StatForm::change_ontop(bool on) {
    const QRect geometry_before = geometry();
    const bool was_visible = isVisible();
    setWindowFlags(on ? (Qt::SubWindow | Qt::WindowStaysOnTopHint) : Qt::Dialog);
    setGeometry(geometry_before);
    if (was_visible) show();
}

void StatForm::change_opacity(int value) { setWindowOpacity(value / 100.0); }

void StatForm::disableDvb() {
    ui.DVBStat->setEnabled(false);
    ui.siglvl->setValue(0);
    ui.sigqua->setValue(0);
    ui.stat->removeTab(ui.stat->indexOf(ui.dvb_stat));
}

void StatForm::saveWindowState(QSettings& settings) const {
    settings.setValue(key_opacity, opacity_setting_from_slider(ui.opacity->value()));
    settings.setValue(key_pos, geometry());
    settings.setValue(key_ontop, ui.ontop->isChecked());
    settings.setValue(key_update_balance, ui.is_update->isChecked());
    settings.setValue(key_update_timeout, ui.bal_timeout->value());
    settings.setValue(key_page_index, ui.stat->currentIndex());
}

bool StatForm::restoreWindowState(QSettings& settings) {
    if (!settings.contains(key_pos)) return false;
    ui.ontop->setChecked(settings.value(key_ontop, false).toBool());
    setGeometry(settings.value(key_pos).toRect());
    ui.opacity->setValue(opacity_slider_from_setting(settings.value(key_opacity, 1.0).toDouble()));
    ui.bal_timeout->setValue(settings.value(key_update_timeout, default_update_timeout_min).toInt());
    ui.is_update->setChecked(settings.value(key_update_balance, false).toBool());
    ui.stat->setCurrentIndex(settings.value(key_page_index, 0).toInt());
    return true;
}

// ---------------------------------------------------------------- DVB figures

void StatForm::SigChanged(int level, int quality) {
    ui.siglvl->setValue(level);
    ui.sigqua->setValue(quality);
}

void StatForm::DVBStatChanged(int lvl, int qua, uint64_t pkt, uint64_t bytes, uint64_t crc, uint64_t disc,
                              uint64_t pkt_all, uint64_t filt_traf) {
    ui.siglvl->setValue(lvl);
    ui.sigqua->setValue(qua);
    const QLocale locale;
    ui.pkts->setText(locale.toString(qulonglong(pkt)));
    ui.bytes->setText(locale.toString(qulonglong(bytes)));
    ui.crc->setText(locale.toString(qulonglong(crc)));
    ui.disc->setText(locale.toString(qulonglong(disc)));
    const DvbSpeeds speeds = dvb_speeds_.accept(pkt_all, filt_traf);
    ui.pid_speed->setText(QString::number(qulonglong(speeds.pid_kbit)) + tr("Kbit"));
    ui.client_speed->setText(QString::number(qulonglong(speeds.filter_kbit)) + tr("Kbit"));
    update();
}

// ---------------------------------------------------------------- console

void StatForm::queue_command(const QByteArray& command) {
    console_commands_.push(command.toStdString());
    write_next_command();
}

void StatForm::write_next_command() {
    if (console_->state() != QAbstractSocket::ConnectedState) return;
    std::string command;
    if (console_commands_.take(&command)) console_->write(command.data(), qint64(command.size()));
}

qint64 StatForm::consoleBytesHeld() const { return console_->bytesAvailable() + qint64(console_reader_.backlog()); }

void StatForm::send_query() {
    if (console_->state() == QAbstractSocket::ConnectedState) queue_command("show stat");
}

void StatForm::send_restart() {
    if (console_->state() == QAbstractSocket::ConnectedState) queue_command("reset sessions");
}

void StatForm::send_shut() {
    const bool engine_reachable = console_->state() == QAbstractSocket::ConnectedState;
    if (engine_reachable) queue_command("shutdown");
    hide();
    emit HideTrayIcon();
    // The engine ends the process once it has shut down; without its
    // console nobody would, and the process would stay with neither window
    // nor icon. A console that never prompts never takes the command: the
    // interface gives the engine a few seconds, then ends alone.
    if (!engine_reachable)
        emit QuitWithoutEngine();
    else
        quit_timer_.start(quit_wait_ms_);
}

void StatForm::fill_console_reader() {
    char bytes[4096];
    while (console_reader_.room() > 0) {
        const qint64 n = console_->read(bytes, qint64(std::min(sizeof bytes, console_reader_.room())));
        if (n <= 0) return;
        console_reader_.feed(bytes, size_t(n));
    }
}

void StatForm::read_data() {
    std::string line;
    for (;;) {
        fill_console_reader();
        const ConsoleReader::item item = console_reader_.next(&line);
        if (item == ConsoleReader::item::none) return;
        if (item == ConsoleReader::item::prompt) {
            console_commands_.prompt_seen();
            write_next_command();
            continue;
        }
        StatLine parsed;
        if (stat_line_parse(line.data(), line.size(), &parsed) != stat_line_status::ok) continue;
        show_stat_line(parsed);
        // One line per notification; what came with it, or waits in the
        // socket, gets a notification of its own at once rather than
        // waiting for the next answer.
        if (console_reader_.has_item() || console_->bytesAvailable() > 0)
            QMetaObject::invokeMethod(this, &StatForm::read_data, Qt::QueuedConnection);
        return;
    }
}

void StatForm::show_stat_line(const StatLine& line) {
    const StatFigures f = tracker_.accept(line);
    const StatCounters& c = f.counts;
    ui.udpin->setText(stat_size_text(c.udp_in));
    ui.udpout->setText(stat_size_text(c.udp_out));
    ui.tcpin->setText(stat_size_text(c.local_in));
    ui.tcpout->setText(stat_size_text(c.local_out));
    ui.udptotal->setText(stat_total_text(int64_t(c.udp_in + c.udp_out)));
    ui.tcptotal->setText(stat_total_text(int64_t(c.local_in + c.local_out)));

    const QLocale locale;
    ui.pktin->setText(locale.toString(uint(c.packets_in)));
    ui.pktinloss->setText(locale.toString(uint(c.lost_in)));
    ui.pktout->setText(locale.toString(uint(c.packets_out)));
    ui.pktoutloss->setText(locale.toString(uint(c.lost_out)));
    ui.pktinlossprc->setText(stat_percent_text(f.loss_in_pct));
    ui.pktoutlossprc->setText(stat_percent_text(f.loss_out_pct));

    ui.compin->setText(stat_percent_text(f.comp_in_pct));
    ui.compout->setText(stat_percent_text(f.comp_out_pct));
    ui.comptotal->setText(stat_percent_text(f.comp_total_pct));

    emit SetIcon(f.received, (long long)c.udp_in, (long long)c.udp_out, f.comp_total_pct);

    ui.uptime->setText(QTime(0, 0).addMSecs(int(uptime_.elapsed() % ms_per_day)).toString(QStringLiteral("h:mm:ss")));

    const double incoming[3] = {f.kbit_udp_in, f.kbit_local_out, f.loss_in_pct};
    const double outgoing[3] = {f.kbit_udp_out, f.kbit_local_in, f.loss_out_pct};
    in_plot_->addSample(incoming);
    out_plot_->addSample(outgoing);
    update();
}

void StatForm::resetstat() {
    tracker_.reset();
    uptime_.restart();
}

// ---------------------------------------------------------------- balance

void StatForm::send_bal_req() {
    // One request at a time: a new one ends the one before it, which a
    // service that never ends its answer would otherwise hold open.
    if (balance_reply_) {
        balance_reply_->abort();
        balance_reply_->deleteLater();
    }
    // A service that never answers, or never ends its answer, must not leave
    // "Update" disabled.
    AccountReply* r = new AccountReply(balance_address_, balance_timeout_ms_, this);
    connect(r, &AccountReply::finished, this, [this, r] { am_finished(r); });
    balance_reply_ = r;
    ui.update_but->setEnabled(false);
}

void StatForm::am_finished(AccountReply* reply) {
    if (reply == balance_reply_) balance_reply_ = nullptr;
    if (reply->error() != QNetworkReply::NoError) {
        const QString text = tr("Recieve error: ") + QString::number(int(reply->error()));
        ui.tarif->setText(text);
        ui.balance->setText(text);
    } else {
        const BalanceAnswer answer = balance_answer_parse(reply->answer());
        if (!answer.valid) {
            const QString text = tr("Recieve error: ") + QString::number(balance_no_tarif_code);
            ui.tarif->setText(text);
            ui.balance->setText(text);
        } else {
            ui.tarif->setText(answer.tarif);
            ui.balance->setText(answer.money);
            ui.traffic->setText(answer.traffic);
            if (answer.active) {
                ui.status->setText(tr("active"));
                set_label_colour(ui.status, Qt::darkGreen);
            } else {
                ui.status->setText(tr("blocked"));
                set_label_colour(ui.status, Qt::red);
            }
            ui.expire->setText(answer.expire);
            if (balance_newer_version(answer.lastver) && !notice_shown_) {
                // Before the box: an answer handled while it is open must
                // not open a second one.
                notice_shown_ = true;
                showNewVersionNotice(tr("New version available: ") + QString::fromUtf8(answer.lastver),
                                     tr("New version of Quorin client available, please update version."));
            }
        }
    }
    ui.update_but->setEnabled(true);
    reply->deleteLater();
}

void StatForm::showNewVersionNotice(const QString& title, const QString& text) {
    QMessageBox::information(this, title, text, QMessageBox::Ok);
}

void StatForm::restart_balance_timer(int minutes) {
    if (balance_timer_.isActive()) balance_timer_.stop();
    if (ui.is_update->isChecked()) balance_timer_.start(minutes * ms_per_minute);
}

void StatForm::on_bal_timeout_valueChanged(int minutes) { restart_balance_timer(minutes); }

void StatForm::on_is_update_toggled(bool) { restart_balance_timer(ui.bal_timeout->value()); }
