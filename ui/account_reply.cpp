#include "ui/account_reply.h"

#include <QCoreApplication>
#include <QTcpSocket>

namespace {

constexpr quint16 http_port = 80;
// What one read takes from the socket, and all that Qt may hold for it.
constexpr qint64 read_chunk_bytes = 4096;

// The network layer's codes for the HTTP statuses it takes as errors.
QNetworkReply::NetworkError error_for_status(int status) {
    switch (status) {
    case 400: return QNetworkReply::ProtocolInvalidOperationError;
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 418: return QNetworkReply::ProtocolInvalidOperationError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: return status > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

QString canceled_text() { return QCoreApplication::translate("QNetworkReply", "Operation canceled"); }
QString closed_text() { return QCoreApplication::translate("QHttp", "Connection closed"); }

}  // namespace

AccountReply::AccountReply(const QUrl& url, int whole_transfer_ms, QObject* parent)
    : QObject(parent),
      url_(url),
      socket_(new QTcpSocket(this)),
      reader_(size_t(account_reply_head_max_bytes), size_t(account_reply_max_bytes)) {
    // What the reader has not taken stays in the kernel, not in Qt.
    socket_->setReadBufferSize(read_chunk_bytes);
    connect(socket_, &QTcpSocket::connected, this, &AccountReply::send_request);
    connect(socket_, &QTcpSocket::readyRead, this, &AccountReply::read_answer);
    connect(socket_, &QTcpSocket::errorOccurred, this, &AccountReply::socket_error);
    if (whole_transfer_ms > 0) {
        transfer_timer_.setSingleShot(true);
        connect(&transfer_timer_, &QTimer::timeout, this,
                [this] { end(QNetworkReply::OperationCanceledError, canceled_text()); });
        transfer_timer_.start(whole_transfer_ms);
    }
    socket_->connectToHost(url_.host(), quint16(url_.port(http_port)));
}

AccountReply::~AccountReply() { abort(); }

void AccountReply::abort() {
    // An end not yet reported is not reported at all.
    aborted_ = true;
    if (ended_) return;
    ended_ = true;
    error_ = QNetworkReply::OperationCanceledError;
    error_string_ = canceled_text();
    transfer_timer_.stop();
    socket_->abort();
    reader_.release();
}

QByteArray AccountReply::answer() const {
    if (!ended_ || error_ != QNetworkReply::NoError || reader_.current() != HttpAnswerReader::state::done ||
        reader_.status() < 200 || reader_.status() > 299)
        return QByteArray();
    return QByteArray::fromStdString(reader_.body());
}

void AccountReply::send_request() {
    QUrl target = url_;
    if (target.path().isEmpty()) target.setPath("/");
    const QByteArray request =
        "GET " + target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment) +
        " HTTP/1.0\r\nHost: " + url_.adjusted(QUrl::RemoveUserInfo).authority(QUrl::FullyEncoded).toLatin1() +
        "\r\n\r\n";
    socket_->write(request);
}

void AccountReply::read_answer() {
    char bytes[read_chunk_bytes];
    while (!ended_) {
        const qint64 n = socket_->read(bytes, sizeof bytes);
        if (n <= 0) return;
        switch (reader_.feed(bytes, size_t(n))) {
        case HttpAnswerReader::state::head:
        case HttpAnswerReader::state::body:
            continue;
        case HttpAnswerReader::state::done:
            if (reader_.status() >= 400)
                end(error_for_status(reader_.status()),
                    "Error transferring " + url_.toString() + " - server replied: " +
                        QString::fromLatin1(reader_.reason().c_str()));
            else
                end(QNetworkReply::NoError, QString());
            return;
        case HttpAnswerReader::state::too_long:
            too_long_ = true;
            end(QNetworkReply::OperationCanceledError, canceled_text());
            return;
        case HttpAnswerReader::state::malformed:
        case HttpAnswerReader::state::cut_short:
            end(QNetworkReply::RemoteHostClosedError, closed_text());
            return;
        }
    }
}

void AccountReply::socket_error() {
    if (ended_) return;
    switch (socket_->error()) {
    case QAbstractSocket::RemoteHostClosedError:
        // What came before the end is taken first; a body without a length
        // ends here.
        read_answer();
        if (ended_) return;
        if (reader_.end() == HttpAnswerReader::state::done)
            end(QNetworkReply::NoError, QString());
        else
            end(QNetworkReply::RemoteHostClosedError, closed_text());
        return;
    case QAbstractSocket::HostNotFoundError:
        end(QNetworkReply::HostNotFoundError,
            QCoreApplication::translate("QHttp", "Host %1 not found").arg(url_.host()));
        return;
    case QAbstractSocket::ConnectionRefusedError:
        end(QNetworkReply::ConnectionRefusedError, QCoreApplication::translate("QHttp", "Connection refused"));
        return;
    default:
        end(QNetworkReply::UnknownNetworkError, socket_->errorString());
        return;
    }
}

void AccountReply::end(QNetworkReply::NetworkError error, const QString& text) {
    if (ended_) return;
    ended_ = true;
    error_ = error;
    error_string_ = text;
    transfer_timer_.stop();
    socket_->abort();
    if (error != QNetworkReply::NoError) reader_.release();
    // Reported from the event loop, never from inside the socket's own
    // signal: the handler may open a box and run a loop of its own.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!aborted_) emit finished();
        },
        Qt::QueuedConnection);
}
