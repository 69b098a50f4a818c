#include "ui/splashform.h"

#include <QCloseEvent>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>

#include "ui/account_reply.h"
#include "ui/modal.h"
#include "ui/qrconnectform.h"

namespace {

constexpr int tick_ms = 1000;
constexpr unsigned long sock_error_pause_ms = 2000;

// Stage texts are process-wide: the stage-7 counter never restarts.
StageTexts& stage_texts() {
    static StageTexts texts;
    return texts;
}

}  // namespace

SplashForm::SplashForm(QrConnectForm* owner_form) : owner(owner_form) {
    ui.setupUi(this);
    connect(&manager, &QNetworkAccessManager::finished, this, &SplashForm::replyFinished);
    connect(&timer, &QTimer::timeout, this, &SplashForm::download_timer_event);
}

SplashForm::~SplashForm() {
    // Given up without an answer: the manager must not report it later.
    if (reply) {
        QNetworkReply* r = reply;
        reply = nullptr;
        r->abort();
    }
}

bool SplashForm::setStatusText(const char* text) {
    ui.StatusLabel->setText(QString::fromLatin1(text));
    return canceled;
}

void SplashForm::startDownload() {
    reply = manager.get(QNetworkRequest(account_request_url("/client.csv", login, md)));
    // The countdown bounds its time.
    bound_account_reply(reply, 0);
    countdown = download_countdown_s;
    ui.StatusLabel->setText(tr("connecting... ") + QString::number(countdown));
    repaint();
    timer.start(tick_ms);
    ui.ConnectCancelButton->setEnabled(true);
}

bool SplashForm::downloading() const { return reply != nullptr || timer.isActive(); }

void SplashForm::download_timer_event() {
    --countdown;
    ui.StatusLabel->setText(tr("connecting... ") + QString::number(countdown));
    if (countdown != 0) return;
    QNetworkReply* r = reply;
    if (!r) return;
    // Qt 5 reports an aborted request finished at once, through the
    // manager; it is handled there, and here only when it was not.
    r->abort();
    if (reply == r) replyFinished(r);
}

void SplashForm::replyFinished(QNetworkReply* r) {
    // Each answer is handled once: a reply given up by Cancel, or one
    // already taken, is only released.
    if (r != reply) {
        r->deleteLater();
        return;
    }
    reply = nullptr;
    // A body too long to be an answer is refused as a wrong answer is.
    const bool too_long = account_reply_too_long(r);
    const bool failed = !too_long && (r->error() != QNetworkReply::NoError || countdown == 0);
    timer.stop();
    ui.ConnectCancelButton->setEnabled(false);
    QString answer;
    if (failed) {
        const QString error = countdown <= 0 ? tr("Download timeout") : r->errorString();
        const QString label = tr("Got error:") + error + "\n" +
                              tr(" You can enter here needed data from 'Config' section") + "\n" + tr(" on https://") +
                              account_page_host() + tr("/test/ manually.");
        if (!modal::get_text(this, tr("Error recieving data."), label, &answer)) {
            owner->show();
            hide();
            r->deleteLater();
            return;
        }
    }
    if (answer.isEmpty()) answer = client_config_body_text(account_reply_answer(r));
    // Released before a Retry starts the next request, which then stays the
    // one in flight.
    r->deleteLater();
    ui.StatusLabel->setText("read data...");
    configValid = false;
    ClientConfigReply parsed;
    if (parse_client_config(answer, &parsed)) {
        *static_cast<ClientConfigReply*>(this) = parsed;
        emit DownloadFinished();
        return;
    }
    const QMessageBox::StandardButton choice =
        modal::message(this, QMessageBox::Warning, tr("Recieve error"),
                       tr("Error in recieved data. Possible invalid login or password"),
                       QMessageBox::Retry | QMessageBox::Cancel, QMessageBox::Cancel);
    if (choice == QMessageBox::Retry)
        startDownload();
    else
        emit DownloadFinished();
}

void SplashForm::reject() {
    // Only a download can be given up: on the local road the engine is
    // starting and there is nothing to report.
    if (!downloading()) return;
    QNetworkReply* r = reply;
    reply = nullptr;
    if (r) {
        r->abort();
        r->deleteLater();
    }
    timer.stop();
    configValid = false;
    emit DownloadFinished();
}

void SplashForm::closeEvent(QCloseEvent* event) {
    if (canceled || closeAllowed) {
        event->accept();
        if (!closeAllowed) owner->show();
        return;
    }
    event->ignore();
}

void SplashForm::show_progress(int stage) {
    ui.StatusLabel->setText(stage_texts().text(stage));
    update();
}

void SplashForm::sock_timeout() {}

void SplashForm::read_data() {}

void SplashForm::setCancel() {
    canceled = true;
    ui.ConnectCancelButton->setEnabled(false);
    owner->show();
    hide();
}

void SplashForm::sock_error(QAbstractSocket::SocketError code) {
    if (code == QAbstractSocket::RemoteHostClosedError) return;
    canceled = true;
    ui.ConnectCancelButton->setEnabled(false);
    ui.StatusLabel->setText("Connect error!! Err: " + QString::number(int(code)));
    update();
    QThread::msleep(sock_error_pause_ms);
}
