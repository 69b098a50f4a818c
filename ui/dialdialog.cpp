#include "ui/dialdialog.h"

namespace {

constexpr int poll_interval_ms = 100;

}  // namespace

DialDialog::DialDialog(const QString& entry, QWidget* parent) : QDialog(parent), entry_(entry) {
    ui.setupUi(this);
    ui.status->setText(tr("Dialling %1...").arg(entry));
    poll_timer_.setInterval(poll_interval_ms);
    connect(&poll_timer_, &QTimer::timeout, this, &DialDialog::poll_call);
}

DialDialog::~DialDialog() {
    int ignored = 0;
    dialup_dial_cancel(&call_, &ignored);
}

bool DialDialog::dial(QWidget* parent, const QString& entry, int* error) {
    DialDialog d(entry, parent);
    return d.run(error);
}

bool DialDialog::run(int* error) {
    const int err = dialup_dial_start(entry_.toStdString(), &call_);
    if (err != 0) {
        *error = err;
        return false;
    }
    poll_timer_.start();
    const int result = exec();
    poll_timer_.stop();
    *error = error_;
    return result == QDialog::Accepted;
}

void DialDialog::poll_call() {
    int err = 0;
    const int state = dialup_dial_poll(&call_, &err);
    if (state == 0) return;
    poll_timer_.stop();
    error_ = err;
    if (state > 0)
        accept();
    else
        QDialog::reject();
}

void DialDialog::reject() {
    poll_timer_.stop();
    dialup_dial_cancel(&call_, &error_);
    QDialog::reject();
}
