#include "ui/statform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTcpSocket>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/qrconnectform.h"

namespace {

constexpr quint16 console_port = 30000;

template <typename T>
T* named(T* w, const char* name) {
    w->setObjectName(name);
    return w;
}

}  // namespace

StatForm::StatForm(QrConnectForm* owner_form)
    : owner(owner_form), console(new QTcpSocket(this)), network(new QNetworkAccessManager(this)) {
    setObjectName("StatForm");
    setWindowTitle(tr("Quorin v.5"));
    connect(network, &QNetworkAccessManager::finished, this, &StatForm::am_finished);
    connect(console, &QTcpSocket::connected, this, &StatForm::send_query);
    connect(console, &QTcpSocket::readyRead, this, &StatForm::read_data);

    auto* layout = new QVBoxLayout(this);
    ui.stat = named(new QTabWidget(this), "stat");
    layout->addWidget(ui.stat);

    ui.subs = named(new QWidget, "subs");
    auto* form = new QFormLayout(ui.subs);
    ui.server = named(new QComboBox, "server");
    ui.speed_in = named(new QComboBox, "speed_in");
    ui.speed_in->setEditable(true);
    ui.speed_out = named(new QComboBox, "speed_out");
    ui.speed_out->setEditable(true);
    ui.login = named(new QLabel(tr("requesting..")), "login");
    form->addRow(tr("Enter point:"), ui.server);
    form->addRow(tr("Incoming speed:"), ui.speed_in);
    form->addRow(tr("Outgoing speed:"), ui.speed_out);
    form->addRow(tr("Login:"), ui.login);
    auto* row = new QHBoxLayout;
    ui.is_update = named(new QCheckBox(tr("update every")), "is_update");
    ui.bal_timeout = named(new QSpinBox, "bal_timeout");
    ui.bal_timeout->setMinimum(1);
    ui.bal_timeout->setValue(30);
    ui.bal_timeout->setSuffix(tr(" min"));
    ui.apply_but = named(new QPushButton(tr("Apply")), "apply_but");
    ui.update_but = named(new QPushButton(tr("Update")), "update_but");
    ui.cancel_but = named(new QPushButton(tr("Cancel")), "cancel_but");
    for (QPushButton* b : {ui.apply_but, ui.update_but, ui.cancel_but}) b->setEnabled(false);
    for (QWidget* w : std::initializer_list<QWidget*>{ui.is_update, ui.bal_timeout, ui.apply_but, ui.update_but,
                                                      ui.cancel_but})
        row->addWidget(w);
    form->addRow(row);
    ui.stat->addTab(ui.subs, tr("Subscription"));

    ui.dvb_stat = named(new QWidget, "dvb_stat");
    auto* dvb_layout = new QVBoxLayout(ui.dvb_stat);
    ui.DVBStat = named(new QGroupBox(tr("DVB")), "DVBStat");
    auto* bars = new QVBoxLayout(ui.DVBStat);
    ui.siglvl = named(new QProgressBar, "siglvl");
    ui.sigqua = named(new QProgressBar, "sigqua");
    for (QProgressBar* b : {ui.siglvl, ui.sigqua}) {
        b->setMaximum(100);
        b->setValue(0);
        bars->addWidget(b);
    }
    dvb_layout->addWidget(ui.DVBStat);
    ui.stat->addTab(ui.dvb_stat, tr("DVB"));

    auto* bottom = new QHBoxLayout;
    ui.pushButton = named(new QPushButton(tr("Hide")), "pushButton");
    ui.opacity = named(new QSlider(Qt::Horizontal), "opacity");
    ui.opacity->setRange(25, 100);
    ui.opacity->setValue(100);
    ui.ontop = named(new QToolButton, "ontop");
    ui.ontop->setText(tr("on top"));
    ui.ontop->setCheckable(true);
    bottom->addWidget(ui.pushButton);
    bottom->addWidget(new QLabel(tr("Opacity:")));
    bottom->addWidget(ui.opacity);
    bottom->addWidget(ui.ontop);
    layout->addLayout(bottom);

    connect(ui.pushButton, &QPushButton::clicked, this, &QWidget::hide);
    connect(ui.ontop, &QToolButton::toggled, this, &StatForm::change_ontop);
    connect(ui.opacity, &QSlider::valueChanged, this, &StatForm::change_opacity);
    connect(ui.update_but, &QPushButton::clicked, this, &StatForm::send_bal_req);
    connect(ui.bal_timeout, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &StatForm::on_bal_timeout_valueChanged);
    connect(ui.is_update, &QCheckBox::toggled, this, &StatForm::on_is_update_toggled);
}

StatForm::~StatForm() = default;

void StatForm::startStat() { console->connectToHost("127.0.0.1", console_port, QIODevice::ReadWrite); }

void StatForm::send_query() {
    if (console->state() == QAbstractSocket::ConnectedState) console->write("show stat\n");
}

void StatForm::send_shut() {
    console->write("shutdown\n");
    hide();
    owner->trayIcon->setVisible(false);
}

void StatForm::send_restart() {
    if (console->state() == QAbstractSocket::ConnectedState) console->write("reset sessions\n");
}

void StatForm::send_command(const QString& command, QComboBox* align, const QString& value) {
    console->write((command + value + "\n").toLatin1());
    align->setCurrentIndex(align->findData(value, Qt::UserRole));
    if (align->currentIndex() < 0) align->setEditText(value);
    ui.apply_but->setEnabled(false);
    ui.cancel_but->setEnabled(false);
}

void StatForm::ChangeSpeedIn(QString value) { send_command("set speed_in ", ui.speed_in, value); }

void StatForm::ChangeSpeedOut(QString value) { send_command("set speed_out ", ui.speed_out, value); }

void StatForm::ChangeServer(QString value) { send_command("set server ", ui.server, value); }

void StatForm::read_data() { console->readAll(); }

void StatForm::settings_changed(QString) {
    ui.apply_but->setEnabled(true);
    ui.cancel_but->setEnabled(true);
}

void StatForm::SigChanged(int level, int quality) {
    ui.siglvl->setValue(level);
    ui.sigqua->setValue(quality);
}

void StatForm::resetstat() {}

void StatForm::change_opacity(int value) { setWindowOpacity(value / 100.0); }

void StatForm::change_ontop(bool on) {
    const QRect geometry = this->geometry();
    const bool visible = isVisible();
    setWindowFlags(on ? Qt::SubWindow | Qt::WindowStaysOnTopHint : Qt::Dialog);
    setGeometry(geometry);
    if (visible) show();
}

void StatForm::DVBStatChanged(int lvl, int qua, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) {
    SigChanged(lvl, qua);
}

void StatForm::am_finished(QNetworkReply* reply) {
    ui.update_but->setEnabled(true);
    reply->deleteLater();
}

void StatForm::send_bal_req() {}

void StatForm::on_bal_timeout_valueChanged(int) {}

void StatForm::on_is_update_toggled(bool) {}
