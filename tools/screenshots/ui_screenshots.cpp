// Pictures every interface window built so far, with real data, to PNG
// files: the connect dialog in its three settings sources, the connecting
// window showing stages and the download countdown, the settings dialog,
// the DVB window and the statistics window's DVB page on a simulated card,
// the dial-up dialog, every message box on the connect road (each reached
// through the road that asks it), the tray icon and its menu, the
// statistics window's pages and the tray icon's frames while data goes
// through the engine, and a sheet of all icons. Runs on an X display with a
// system tray, in a network namespace of its own (the statistics window
// dials the engine's console on its fixed port).
//
//   ui_screenshots OUTDIR
//   ui_screenshots --grab-screen FILE   (the whole screen, for the demo)
#include <arpa/inet.h>
#include <unistd.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QNetworkProxy>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dialup.h"
#include "tools/dvb/mpe.h"
#include "tools/dvb/ts.h"
#include "ui/core/hang_up.h"
#include "ui/dialdialog.h"
#include "ui/modal.h"
#include "ui/mycoolthread.h"
#include "ui/qrapplication.h"
#include "ui/qrconnectform.h"
#include "ui/dvbsettingsform.h"
#include "ui/qrsettingsform.h"
#include "ui/splashform.h"
#include "ui/statform.h"
#include "ui/statplot.h"

namespace {

QString out_dir;
int failures = 0;

void settle(int ms = 150) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

void save(const QPixmap& picture, const QString& name) {
    const QString path = out_dir + "/" + name;
    if (picture.isNull() || !picture.save(path, "PNG")) {
        std::fprintf(stderr, "ui_screenshots: could not write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

void picture(QWidget* w, const QString& name) {
    w->show();
    w->raise();
    settle();
    save(w->grab(), name);
}

// Each question the interface asks is pictured under the next name, then
// answered from the script.
struct scripted {
    QString name;
    QMessageBox::StandardButton answer;
};
std::deque<scripted> messages;
std::deque<std::pair<QString, QString>> texts;  // picture name, typed answer ("" cancels)

QMessageBox::StandardButton picture_message(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                            const QString& text, QMessageBox::StandardButtons buttons,
                                            QMessageBox::StandardButton default_button) {
    std::unique_ptr<QMessageBox> box(modal::make_message_box(parent, icon, title, text, buttons, default_button));
    if (messages.empty()) {
        picture(box.get(), "unexpected_box.png");
        ++failures;
        return default_button;
    }
    const scripted s = messages.front();
    messages.pop_front();
    picture(box.get(), s.name);
    return s.answer;
}

bool picture_text(QWidget* parent, const QString& title, const QString& label, QString* text) {
    QInputDialog d(parent);
    d.setWindowTitle(title);
    d.setLabelText(label);
    d.setTextEchoMode(QLineEdit::Normal);
    const auto s = texts.empty() ? std::make_pair(QString("unexpected_input.png"), QString()) : texts.front();
    if (!texts.empty()) texts.pop_front();
    picture(&d, s.first);
    *text = s.second;
    return !s.second.isEmpty();
}

int picture_exec(QDialog* dialog) {
    picture(dialog, "settings_after_download.png");
    dialog->hide();
    return 0;
}

bool picture_dial(QWidget* parent, const QString& entry, int* error) {
    DialDialog d(entry, parent);
    picture(&d, "dial.png");
    *error = 8;
    return false;
}

void write(const QString& name, const QString& text) {
    QFile f(name);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) QTextStream(&f) << text;
}

// A working directory of its own for each scene.
struct scene {
    QTemporaryDir dir;
    QString old = QDir::currentPath();
    scene() { QDir::setCurrent(dir.path()); }
    ~scene() { QDir::setCurrent(old); }
};

// The forms are never deleted by the interface; a scene ends them itself.
void finish(QrConnectForm* f) {
    f->hide();
    f->statForm->hide();
    f->trayIcon->hide();
    f->thread->wait();
    delete f->statForm;
    delete f->subscriptions;
    delete f;
}

QString ui_conf(const QString& login, const QString& extra = "") {
    return "[server]\ntraffic=60\nport=2066\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n"
           "[remote]\nname=quorin\nserver=198.51.100.20:25555\nlogin=" +
           login + "\npasswd=secret\nmtu=500\nmru=1400\nspeed_in=500000\nspeed_out=2000\n" + extra +
           "[local]\nremote=quorin\nservice_int=0\nport=127.0.0.1:3128\n"
           "[local]\nremote=quorin\nservice_int=2\nport=127.0.0.1:1080\n";
}

const char subscriptions[] =
    "[alice]\nDIAL\\CONNECTION=isp\nDIAL\\HANGUP=true\nQuorin\\passwd=secret\nQuorin\\server\\port=2066\n"
    "Quorin\\remote\\server=198.51.100.20\nQuorin\\local\\tap=true\nQuorin\\local\\tap_ip=10.0.0.18\n"
    "Quorin\\remote\\speed_in_min=2000\nQuorin\\remote\\speed_in_max=500000\n"
    "[bob]\nQuorin\\passwd=hunter2\n";

const char lists[] =
    "[server%20list]\n1\\Main=198.51.100.20\n2\\Reserve=198.51.100.21\n"
    "[speed_in%20list]\n1\\512%20kbit=64000\n2\\2%20Mbit=250000\n3\\Up%20to%204%20Mbit=2000:500000\n"
    "[speed_out%20list]\n1\\64%20kbit=8000\n2\\256%20kbit=2000:32000\n"
    "[port%20list]\n1\\25555=\n";

void scene_first_start() {
    scene s;
    auto* f = new QrConnectForm;
    picture(f, "connect_first_start.png");
    finish(f);
}

void scene_local_settings() {
    scene s;
    QDir().mkpath("peers");
    write("peers/isp", "");
    write("peers/office", "");
    qputenv("QUORIN_PPP_PEERS", QDir::current().filePath("peers").toLocal8Bit());
    dialup_set_paths(dialup_default_paths());
    write("quorin.conf", ui_conf("alice"));
    write("Subscriptions.ini", subscriptions);
    write("libtun.so", "");
    write("UI settings.ini", lists);
    auto* f = new QrConnectForm;
    picture(f, "connect_local.png");

    f->settingsForm->adjustSize();
    picture(f->settingsForm, "settings_general.png");
    f->settingsForm->ui.Settings->setCurrentWidget(f->settingsForm->ui.proxysettings);
    picture(f->settingsForm, "settings_proxy.png");
    f->settingsForm->ui.Settings->setCurrentWidget(f->settingsForm->ui.tapsettings);
    picture(f->settingsForm, "settings_tap.png");
    f->settingsForm->hide();

    // The default TAP address is questioned before anything starts.
    f->tap_ip = "10.0.0.2";
    messages = {{"tap_warning.png", QMessageBox::Ok}};
    f->StartConnecting();
    // A dial-up that fails offers to try again.
    f->tap_ip = "10.0.0.18";
    messages = {{"dial_failed.png", QMessageBox::Abort}};
    f->StartConnecting();
    finish(f);
    qunsetenv("QUORIN_PPP_PEERS");
    dialup_set_paths(dialup_default_paths());
}

void scene_foreign_file() {
    scene s;
    write("quorin.conf", ui_conf("alice", "[remote]\nname=backup\nserver=198.51.100.21:25555\n"));
    auto* f = new QrConnectForm;
    picture(f, "connect_foreign_file.png");
    finish(f);
}

void scene_connecting() {
    scene s;
    auto* f = new QrConnectForm;
    SplashForm* splash = f->splash;
    for (int stage : {1, 2, 3, 6, 7, 7, 7}) splash->show_progress(stage);
    picture(splash, "connecting_stages.png");
    splash->hide();

    // A server that takes the request and never answers: the countdown
    // runs, then the time-out offers manual entry.
    QTcpServer silent;
    silent.listen(QHostAddress::LocalHost, 0);
    qputenv("QUORIN_ACCOUNT_HOST", ("127.0.0.1:" + QString::number(silent.serverPort())).toLatin1());
    f->ui.login->setEditText("alice");
    f->ui.password->setText("secret");
    f->ui.download_conf->click();
    texts = {{"manual_entry.png", "not::valid"}};
    messages = {{"receive_error.png", QMessageBox::Cancel}};
    f->StartConnecting();
    for (int i = 0; i < 3; ++i) splash->download_timer_event();
    picture(splash, "connecting_download.png");
    while (splash->countdown > 0) splash->download_timer_event();
    settle();
    qunsetenv("QUORIN_ACCOUNT_HOST");
    finish(f);
}

void scene_downloaded() {
    scene s;
    write("libtun.so", "");
    auto* f = new QrConnectForm;
    f->ui.login->setEditText("alice");
    f->ui.password->setText("secret");
    f->splash->configValid = true;
    f->splash->port = 2066;
    f->splash->clientNumber = 17;
    f->splash->satIp = "0";
    f->SetDownloadedData();
    finish(f);
}

void scene_connected() {
    scene s;
    write("quorin.conf", ui_conf("alice"));
    write("Subscriptions.ini", subscriptions);
    write("UI settings.ini", lists);
    auto* f = new QrConnectForm;
    f->ConnectFinished();
    f->SetIcon(1500, 2500000, 180000, 61.5f);
    for (int i = 0; i < 10; ++i) f->animate_icon();
    settle(1500);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect corner(screen.right() - 239, screen.bottom() - 59, 240, 60);
    save(QGuiApplication::primaryScreen()->grabWindow(0, corner.x(), corner.y(), corner.width(), corner.height()),
         "tray.png");
    f->trayMenu->popup(QPoint(screen.width() / 2, screen.height() / 3));
    settle();
    save(f->trayMenu->grab(), "tray_menu.png");
    QMenu* speeds = nullptr;
    for (QAction* a : f->trayMenu->actions())
        if (a->menu() && a->text() == QObject::tr("Select speed")) speeds = a->menu();
    if (speeds && !speeds->actions().isEmpty() && speeds->actions().first()->menu()) {
        QMenu* incoming = speeds->actions().first()->menu();
        incoming->popup(QPoint(screen.width() / 2, screen.height() / 3));
        settle();
        save(incoming->grab(), "tray_menu_incoming_speed.png");
        incoming->hide();
    }
    f->trayMenu->hide();
    finish(f);
}

// The satellite road on the simulated card: a transport stream of MPE
// sections for the provider's address, replayed in a loop, which the DVB
// library decodes while the windows poll it.
void scene_dvb() {
    scene s;
    const uint32_t sat_ip = inet_addr("10.0.0.1");
    ts_packetizer ts;
    ts.pid = 291;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> payload(1100, 'q');
    // Whole rounds of the continuity counter, so that the loop is seamless.
    for (uint16_t id = 1; stream.size() < 400 * ts_packet_bytes || (stream.size() / ts_packet_bytes) % 16; ++id) {
        uint8_t ip[section_max_bytes], mac[6], section[section_max_bytes];
        const size_t ip_len = ipv4_udp_build(inet_addr("192.0.2.7"), 25555, sat_ip, 2066, id, payload.data(),
                                             id % 3 ? payload.size() : 40, ip, sizeof ip);
        mpe_mac_for(sat_ip, mac);
        const section_ref one = {section, mpe_build(mac, ip, ip_len, section, sizeof section)};
        ts_packetize(ts, &one, 1, stream);
    }
    QFile file("satellite.ts");
    if (file.open(QIODevice::WriteOnly)) file.write(reinterpret_cast<const char*>(stream.data()), qint64(stream.size()));
    file.close();
    write("tevii-sim.ini", "[Card]\nDevices=2\n[Device0]\nName=Simulated DVB-S2 card\nFeed=file\n"
                           "File=satellite.ts\nLoop=1\nIntervalMs=10\nStrength=-38\nQuality=76\n"
                           "[Device1]\nName=Simulated DVB-S card\n");
    qputenv("TEVII_SIMULATOR", QDir::current().filePath("tevii-sim.ini").toLocal8Bit());
    write("libdvb.so", "");  // what the connect dialog looks for; the library comes from the program's folder
    write("Satproviders.ini", "[Quorin%20Sat%2042.0E]\n11595H\\FREQ=11595000\n11595H\\SR=29270000\n"
                              "11595H\\POL=0\n12640V\\FREQ=12640000\n12640V\\SR=27500000\n12640V\\POL=1\n"
                              "[C%20band%20test]\n3875R\\FREQ=3875000\n3875R\\SR=28000000\n3875R\\LNB=2\n");
    write("quorin.conf", ui_conf("alice"));
    write("Subscriptions.ini", "[alice]\nQuorin\\passwd=secret\nQuorin\\server\\port=2066\n"
                               "DVB\\Enabled=true\nDVB\\CARD=Simulated DVB-S2 card\nDVB\\FREQ=11595000\n"
                               "DVB\\SR=29270000\nDVB\\POL=0\nDVB\\PID=291\nDVB\\SATIP=10.0.0.1\n"
                               "DVB\\MOD=2\nDVB\\DISEQ_TYPE=2\nDVB\\DISEQ_SAT=2\n");
    auto* f = new QrConnectForm;
    picture(f, "connect_dvb.png");
    f->ShowDVBSettingsForm();
    settle(300);
    picture(f->dvbForm, "dvb_settings.png");
    f->dvbForm->hide();
    // Connected: the statistics window polls the card every second.
    f->ConnectFinished();
    f->statForm->ui.stat->setCurrentWidget(f->statForm->ui.dvb_stat);
    settle(3500);
    picture(f->statForm, "stat_dvb.png");
    finish(f);
    qunsetenv("TEVII_SIMULATOR");
}

// ------------------------------------------------------------- live statistics
// The engine (headless, from the configuration the connect dialog writes)
// logs in to reference servers that lose more or less of their datagrams;
// data flows through its SOCKS 5 listener at a rate that changes with time,
// and the connected interface watches it: the statistics window's pages and
// the tray icon as each server's loss colours it.

constexpr quint16 service_port = 25555;
constexpr quint16 socks_port = 1080;
// The reference servers open this destination for the engine's clients.
const char data_target[] = "192.0.2.10";
constexpr quint16 data_target_port = 7;
constexpr int plot_run_s = 50;
constexpr int tray_shots = 8;

// As "UI settings.ini" below lists them.
struct link_server {
    const char* address;
    const char* loss_pct;  // of the server's own datagrams
    const char* label;
};
const link_server links[] = {{"127.0.0.2", "0", "Clean link"},
                             {"127.0.0.3", "10", "Lossy link"},
                             {"127.0.0.4", "21", "Bad link"},
                             {"127.0.0.5", "30", "Broken link"}};

const char live_subscription[] =
    "[alice]\nQuorin\\passwd=secret\nQuorin\\remote\\server=127.0.0.2\nQuorin\\remote\\port=25555\n"
    "Quorin\\server\\port=0\nQuorin\\local\\http=false\n"
    "Quorin\\remote\\speed_in_min=2000000\nQuorin\\remote\\speed_in_max=2000000\n"
    "Quorin\\remote\\speed_out_min=500000\nQuorin\\remote\\speed_out_max=500000\n";
const char live_lists[] =
    "[server%20list]\n1\\Clean%20link=127.0.0.2\n2\\Lossy%20link=127.0.0.3\n3\\Bad%20link=127.0.0.4\n"
    "4\\Broken%20link=127.0.0.5\n"
    "[speed_in%20list]\n1\\512%20kbit=64000\n2\\16%20Mbit=2000000\n3\\Up%20to%204%20Mbit=64000:500000\n"
    "[speed_out%20list]\n1\\64%20kbit=8000\n2\\4%20Mbit=500000\n";

// Waits (running the event loop) until the file holds a line starting with
// `ready`; returns that line.
QString wait_file_line(const QString& path, const QString& ready, int timeout_ms = 10000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeout_ms) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray& l : f.readAll().split('\n'))
                if (l.startsWith(ready.toLatin1())) return QString::fromLatin1(l).trimmed();
        settle(50);
    }
    return QString();
}

// Text that deflates well, with runs of noise that do not: about half of
// what goes through compresses.
QByteArray traffic_bytes(int n, quint32* seed) {
    QByteArray out;
    out.reserve(n);
    while (out.size() < n) {
        *seed = *seed * 1103515245u + 12345u;
        if ((*seed >> 16) % 3 == 0) {
            for (int i = 0; i < 64; ++i) {
                *seed = *seed * 1103515245u + 12345u;
                out.append(char(*seed >> 24));
            }
        } else {
            out.append(QString("GET /pages/%1/index.html HTTP/1.1 Host: www.example.org Accept: text/html\n")
                           .arg((*seed >> 8) % 5000)
                           .toLatin1());
        }
    }
    out.truncate(n);
    return out;
}

// One end of a connection: writes at rate(t) bytes a second, reads and
// forgets what comes.
class paced_end : public QObject {
public:
    // A child of the socket: it goes with it.
    paced_end(QTcpSocket* socket, std::function<double(double)> rate)
        : QObject(socket), socket_(socket), rate_(std::move(rate)) {
        QObject::connect(socket_, &QTcpSocket::readyRead, this, [this] { socket_->readAll(); });
        QObject::connect(&tick_, &QTimer::timeout, this, &paced_end::write_some);
        clock_.start();
        tick_.start(tick_ms);
    }
private:
    static constexpr int tick_ms = 50;
    static constexpr qint64 backlog_limit = 1 << 18;
    void write_some() {
        if (socket_->state() != QAbstractSocket::ConnectedState || socket_->bytesToWrite() > backlog_limit) return;
        const double t = clock_.elapsed() / 1000.0;
        socket_->write(traffic_bytes(int(rate_(t) * tick_ms / 1000.0), &seed_));
    }
    QTcpSocket* socket_;
    std::function<double(double)> rate_;
    QTimer tick_;
    QElapsedTimer clock_;
    quint32 seed_ = 7;
};

// Downloads swell and ebb, with a burst now and then; uploads are smaller.
double download_rate(double t) {
    return 90000 + 60000 * std::sin(t * 2 * M_PI / 20) + (std::fmod(t, 17) < 3 ? 110000 : 0);
}
double upload_rate(double t) { return 14000 + 9000 * std::sin(t * 2 * M_PI / 13); }

// The far side: a server the reference servers open for the engine.
class data_source : public QObject {
public:
    data_source() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                s->setParent(this);
                new paced_end(s, download_rate);
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }

private:
    QTcpServer server_;
};

// The near side: a client of the engine's SOCKS 5 listener that connects
// again whenever a reset of the session ends its connection.
class socks_client : public QObject {
public:
    socks_client() {
        socket_.setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, "127.0.0.1", socks_port));
        new paced_end(&socket_, upload_rate);
        QObject::connect(&socket_, &QTcpSocket::disconnected, this, [this] { reconnect(); });
        QObject::connect(&socket_, &QAbstractSocket::errorOccurred, this, [this] { reconnect(); });
        socket_.connectToHost(data_target, data_target_port);
    }

private:
    void reconnect() {
        QTimer::singleShot(200, this, [this] {
            if (socket_.state() != QAbstractSocket::UnconnectedState) return;
            socket_.connectToHost(data_target, data_target_port);
        });
    }
    QTcpSocket socket_;
};

// The tray icon's corner of the screen, as the user sees it.
QPixmap tray_picture(QSystemTrayIcon* icon) {
    const QRect r = icon->geometry();
    return QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height());
}

struct tray_row {
    QString caption;
    QVector<QPixmap> frames;
};

tray_row watch_tray(QrConnectForm* f, const QString& link) {
    tray_row row;
    for (int i = 0; i < tray_shots; ++i) {
        row.frames << tray_picture(f->trayIcon);
        settle(70);
    }
    const StatCounters& c = f->statForm->lastCounts();
    const double in = c.packets_in ? 100.0 * c.lost_in / c.packets_in : 0;
    const double out = c.packets_out ? 100.0 * c.lost_out / c.packets_out : 0;
    row.caption = QString("%1: loss in %2 %, out %3 %").arg(link).arg(in, 0, 'f', 1).arg(out, 0, 'f', 1);
    return row;
}

void save_tray_rows(const QVector<tray_row>& rows) {
    const int scale = 2, caption_w = 300;
    int cell_w = 0, cell_h = 0;
    for (const tray_row& r : rows)
        for (const QPixmap& p : r.frames) {
            cell_w = std::max(cell_w, p.width() * scale);
            cell_h = std::max(cell_h, p.height() * scale);
        }
    QImage sheet(caption_w + tray_shots * (cell_w + 6), rows.size() * (cell_h + 10) + 10, QImage::Format_ARGB32);
    sheet.fill(QColor(245, 245, 245));
    QPainter p(&sheet);
    for (int i = 0; i < rows.size(); ++i) {
        const int y = 10 + i * (cell_h + 10);
        p.drawText(QRect(8, y, caption_w - 12, cell_h), Qt::AlignVCenter | Qt::AlignLeft, rows[i].caption);
        for (int k = 0; k < rows[i].frames.size(); ++k)
            p.drawPixmap(QRect(caption_w + k * (cell_w + 6), y, rows[i].frames[k].width() * scale,
                               rows[i].frames[k].height() * scale),
                         rows[i].frames[k]);
    }
    p.end();
    save(QPixmap::fromImage(sheet), "tray_frames.png");
}

void scene_live_statistics() {
    scene s;
    const QString bin = QCoreApplication::applicationDirPath();
    data_source source;
    std::vector<std::unique_ptr<QProcess>> servers;
    QString account;
    for (const link_server& l : links) {
        auto p = std::make_unique<QProcess>();
        const QString out = QString("refserver-%1.out").arg(l.address);
        p->setStandardOutputFile(out);
        p->setStandardErrorFile(QProcess::nullDevice());
        QStringList args = {"--listen", QString("%1:%2").arg(l.address).arg(service_port), "--user", "alice:secret",
                            "--loss", l.loss_pct, "--map",
                            QString("%1:%2=127.0.0.1:%3").arg(data_target).arg(data_target_port).arg(source.port())};
        if (servers.empty()) args << "--account" << "127.0.0.1:0";
        p->start(bin + "/refserver", args);
        if (wait_file_line(out, "LISTEN").isEmpty()) {
            std::fprintf(stderr, "ui_screenshots: the reference server on %s did not start\n", l.address);
            ++failures;
            return;
        }
        if (servers.empty()) account = wait_file_line(out, "ACCOUNT").section(' ', 1);
        servers.push_back(std::move(p));
    }
    qputenv("QUORIN_ACCOUNT_HOST", ("127.0.0.1:" + account).toLatin1());

    write("quorin.conf", ui_conf("alice"));
    write("Subscriptions.ini", live_subscription);
    write("UI settings.ini", live_lists);
    auto* f = new QrConnectForm;
    // As connecting does: the configuration from the subscription, then the
    // engine from it, here without an interface of its own.
    f->login = "alice";
    f->passwd = "secret";
    f->write_conf();
    QFile::copy(bin + "/quorin", "quorin");
    QProcess engine;
    engine.setStandardOutputFile(QProcess::nullDevice());
    engine.setStandardErrorFile("engine.err");
    engine.start(QDir::current().filePath("quorin"), QStringList());
    QElapsedTimer up;
    up.start();
    bool console_up = false;
    while (!console_up && up.elapsed() < 10000) {
        QTcpSocket probe;
        probe.connectToHost(console_host, console_port);
        console_up = probe.waitForConnected(200);
        if (!console_up) settle(50);
    }
    if (!console_up) {
        std::fprintf(stderr, "ui_screenshots: the engine's console did not come up\n");
        ++failures;
        finish(f);
        return;
    }
    f->ConnectFinished();
    f->iconActivated(QSystemTrayIcon::Trigger);
    socks_client client;

    QVector<tray_row> rows;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < plot_run_s * 1000) {
        settle(200);
        if (rows.isEmpty() && run.elapsed() > 20000) rows << watch_tray(f, links[0].label);
    }
    // The tooltip as the tray shows it, under the window.
    QToolTip::showText(f->trayIcon->geometry().topLeft() - QPoint(200, 60), f->trayIcon->toolTip());
    settle(500);
    const QRect corner = f->statForm->frameGeometry().united(f->trayIcon->geometry()).adjusted(-20, -20, 0, 0) &
                         QGuiApplication::primaryScreen()->geometry();
    save(QGuiApplication::primaryScreen()->grabWindow(0, corner.x(), corner.y(), corner.width(), corner.height()),
         "tray_tooltip.png");
    QToolTip::hideText();

    const char* const pages[] = {"stat_subscription.png", "stat_statistics.png", "stat_graph_recv.png",
                                 "stat_graph_send.png"};
    for (int i = 0; i < f->statForm->ui.stat->count() && i < 4; ++i) {
        f->statForm->ui.stat->setCurrentIndex(i);
        picture(f->statForm, pages[i]);
    }
    f->statForm->ui.stat->setCurrentIndex(0);

    // Each lossier server from the tray menu; "Reset" so that the figures
    // count that server's datagrams only.
    for (int i = 1; i < 4; ++i) {
        for (QAction* a : f->serverGroup->actions())
            if (a->data().toString() == links[i].address) a->trigger();
        settle(500);
        f->statForm->ui.pushButton_2->click();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000 && !(t.elapsed() > 5000 && f->statForm->lastCounts().packets_in > 300 && f->animating))
            settle(100);
        rows << watch_tray(f, links[i].label);
    }
    save_tray_rows(rows);
    // The plots now also carry the lossy servers' loss.
    for (int i = 2; i < 4; ++i) {
        f->statForm->ui.stat->setCurrentIndex(i);
        picture(f->statForm, i == 2 ? "stat_graph_recv_loss.png" : "stat_graph_send_loss.png");
    }

    f->quitAction->trigger();
    QElapsedTimer t;
    t.start();
    while (engine.state() != QProcess::NotRunning && t.elapsed() < 10000) settle(50);
    if (engine.state() != QProcess::NotRunning) {
        std::fprintf(stderr, "ui_screenshots: the engine did not end on Quit\n");
        ++failures;
        engine.kill();
        engine.waitForFinished(2000);
    }
    for (auto& p : servers) {
        p->terminate();
        p->waitForFinished(2000);
    }
    qunsetenv("QUORIN_ACCOUNT_HOST");
    finish(f);
}

void scene_boxes() {
    messages = {{"no_tray.png", QMessageBox::Ok}, {"disconnect_error.png", QMessageBox::Ok}};
    report_missing_tray();
    report_disconnect_errors({hang_up_warning("isp", 1)});
}

void scene_icons() {
    const int cell = 72;
    QStringList paths;
    for (const char* colour : {"green", "yellow", "red"})
        for (int i = 1; i <= 30; ++i)
            paths << QString(":/icons/%1/%2.png").arg(colour).arg(i, 2, 10, QChar('0'));
    paths << ":/icons/red_2/01.png" << ":/icons/red_2/02.png" << ":/icons/idle.png";
    const int columns = 15;
    const int rows = (paths.size() + columns - 1) / columns;
    QImage logo(":/logo.png"), main_image(":/icons/main.png");
    QImage sheet(columns * cell, rows * cell + 270, QImage::Format_ARGB32);
    sheet.fill(QColor(245, 245, 245));
    QPainter p(&sheet);
    QFont small = p.font();
    small.setPixelSize(9);
    p.setFont(small);
    for (int i = 0; i < paths.size(); ++i) {
        const QRect r((i % columns) * cell, (i / columns) * cell, cell, cell);
        p.drawImage(QPoint(r.x() + 10, r.y() + 2), QImage(paths[i]).scaled(52, 52, Qt::KeepAspectRatio));
        p.drawText(QRect(r.x(), r.bottom() - 14, cell, 14), Qt::AlignCenter, paths[i].mid(8));
    }
    p.drawImage(QPoint(10, rows * cell + 10), main_image);
    p.drawImage(QPoint(290, rows * cell + 10), logo);
    p.end();
    save(QPixmap::fromImage(sheet), "icons.png");
}

// The windows' diagnostics (the DVB window names its providers, for one) go
// to Qt's debug stream; this program's output is the list of pictures.
QtMessageHandler qt_default_handler = nullptr;
void without_debug_lines(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg) qt_default_handler(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    qt_default_handler = qInstallMessageHandler(without_debug_lines);
    if (argc == 3 && std::string(argv[1]) == "--grab-screen") {
        QApplication app(argc, argv);
        return QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: ui_screenshots OUTDIR | --grab-screen FILE\n");
        return 2;
    }
    out_dir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out_dir);
    QRApplication app(argc, argv);
    register_ui_resources();
    // The tray may still be starting.
    for (int i = 0; i < 300 && !QSystemTrayIcon::isSystemTrayAvailable(); ++i) settle(100);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr, "ui_screenshots: no system tray on this display\n");
        return 1;
    }
    modal::set_hooks({picture_message, picture_text, picture_exec, picture_dial});
    scene_first_start();
    scene_local_settings();
    scene_foreign_file();
    scene_connecting();
    scene_downloaded();
    scene_connected();
    scene_dvb();
    scene_live_statistics();
    scene_boxes();
    scene_icons();
    return failures == 0 ? 0 : 1;
}
