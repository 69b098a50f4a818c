#include "ui/splashform.h"

#include <QCloseEvent>
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
    connect(&timer, &QTimer::timeout, this, &SplashForm::download_timer_event);
}

SplashForm::~SplashForm() = default;

bool SplashForm::setStatusText(const char* text) {
    ui.StatusLabel->setText(QString::fromLatin1(text));
    return canceled;
}

void SplashForm::startDownload() {
    if (reply) {
        reply->abort();
        reply->deleteLater();
    }
    // The countdown bounds its time.
    AccountReply* r = new AccountReply(account_request_url("/client.csv", login, md), 0, this);
    connect(r, &AccountReply::finished, this, [this, r] { replyFinished(r); });
    reply = r;
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
    if (!reply) return;
    // Given up whatever it holds: an answer not reported yet is not
    // reported any more, so it is handled once, here.
    reply->abort();
    replyFinished(reply);
}

void SplashForm::replyFinished(AccountReply* r) {
    reply = nullptr;
    // A body too long to be an answer is refused as a wrong answer is.
    const bool too_long = r->tooLong();
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
    if (answer.isEmpty()) answer = client_config_body_text(r->answer());
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
    if (reply) {
        reply->abort();
        reply->deleteLater();
        reply = nullptr;
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
