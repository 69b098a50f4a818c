// The connecting window: the engine's start-up stages, and the download of
// the account's settings from the account web service with a 30-second
// countdown and a manual way out.
#pragma once

#include <QAbstractSocket>
#include <QDialog>
#include <QTimer>

#include "ui/core/client_config.h"
#include "ui/core/stage_text.h"
#include "ui_splashform.h"

class AccountReply;
class QrConnectForm;

class SplashForm : public QDialog, public ClientConfigReply {
    Q_OBJECT

public:
    explicit SplashForm(QrConnectForm* owner);
    ~SplashForm() override;

    // Sets the status text (Latin-1); returns whether the window gave up.
    bool setStatusText(const char* text);
    void startDownload();
    // Seconds a download may take.
    static constexpr int download_countdown_s = 30;

    QString login;
    QString md;
    bool closeAllowed = false;
    // The request in flight (a child of the window); null once its answer
    // was taken or it was given up.
    AccountReply* reply = nullptr;
    QTimer timer;
    int countdown = 0;
    Ui_SplashForm ui;
    QrConnectForm* owner;
    bool canceled = false;

signals:
    void DownloadFinished();

public slots:
    void sock_timeout();
    void setCancel();
    void read_data();
    void sock_error(QAbstractSocket::SocketError code);
    void show_progress(int stage);
    void replyFinished(AccountReply* reply);
    void download_timer_event();
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    bool downloading() const;
};
