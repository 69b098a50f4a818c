// The dial-up dialog: dials a phone-book entry with pppd and waits, modal,
// until the link is up, pppd gives up, or the user cancels.
#pragma once

#include <QDialog>
#include <QTimer>

#include "platform/dialup.h"
#include "ui_dialdialog.h"

class DialDialog : public QDialog {
    Q_OBJECT

public:
    DialDialog(const QString& entry, QWidget* parent = nullptr);
    ~DialDialog() override;

    // True when the link came up; otherwise *error holds pppd's exit status
    // (or the errno of a pppd that could not be started).
    static bool dial(QWidget* parent, const QString& entry, int* error);

    // Starts pppd and runs the dialog until the dialling ends.
    bool run(int* error);

    Ui_DialDialog ui;

public slots:
    void reject() override;

private slots:
    void poll_call();

private:
    QString entry_;
    dialup_call call_;
    QTimer poll_timer_;
    int error_ = 0;
};
