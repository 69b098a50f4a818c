// The statistics window. This class carries what the connect road wires up:
// the members, signals and slots of the connect dialog's tables, the
// widgets it fills and restores, and a console connection that sends the
// commands of the tray menu; figures, plots and the balance come with the
// statistics window's own issue, under the same names.
#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;
class QTcpSocket;
class QToolButton;
class QrConnectForm;

class StatForm : public QWidget {
    Q_OBJECT

public:
    explicit StatForm(QrConnectForm* owner);
    ~StatForm() override;

    // Connects to the engine's console once the engine is up.
    void startStat();

    struct Widgets {
        QTabWidget* stat;
        QWidget* subs;
        QWidget* dvb_stat;
        QGroupBox* DVBStat;
        QProgressBar* siglvl;
        QProgressBar* sigqua;
        QComboBox* server;
        QComboBox* speed_in;
        QComboBox* speed_out;
        QPushButton* apply_but;
        QPushButton* update_but;
        QPushButton* cancel_but;
        QCheckBox* is_update;
        QSpinBox* bal_timeout;
        QLabel* login;
        QPushButton* pushButton;
        QSlider* opacity;
        QToolButton* ontop;
    } ui;

    QString md;
    QrConnectForm* owner;
    QTcpSocket* console;
    QNetworkAccessManager* network;

signals:
    void SetIcon(int received, long long udp_in, long long udp_out, float compression);

public slots:
    void settings_changed(QString text);
    void SigChanged(int level, int quality);
    void send_query();
    void send_shut();
    void send_restart();
    void resetstat();
    void read_data();
    void change_opacity(int value);
    void change_ontop(bool on);
    void ChangeSpeedIn(QString value);
    void ChangeSpeedOut(QString value);
    void ChangeServer(QString value);
    void DVBStatChanged(int lvl, int qua, uint64_t pkt, uint64_t bytes, uint64_t crc, uint64_t disc,
                        uint64_t pkt_all, uint64_t filt_traf);
    void am_finished(QNetworkReply* reply);
    void send_bal_req();

private slots:
    void on_bal_timeout_valueChanged(int minutes);
    void on_is_update_toggled(bool on);

private:
    void send_command(const QString& command, QComboBox* align, const QString& value);
};
