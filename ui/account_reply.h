// A request to the account web service ("client.csv", "client.xml"), whose
// answers are a few dozen bytes of text: a plain HTTP/1.0 GET of our own
// over a TCP socket, so that every byte the service sends is counted. An
// answer longer or slower than one can be is given up for real: the
// connection is closed and nothing of it is kept. (The network layer's
// own replies go on reading headers that never end, without bound, even
// after they were aborted.)
#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "ui/core/http_answer.h"

class QTcpSocket;

// Far above any answer, and small enough that a hostile or broken service
// cannot make the interface hold more.
constexpr qint64 account_reply_max_bytes = 4096;
// Status line and headers.
constexpr qint64 account_reply_head_max_bytes = 16384;

class AccountReply : public QObject {
    Q_OBJECT

public:
    // Sends the request at once. With whole_transfer_ms above 0 the request
    // is given up when it has not finished by then, however steadily its
    // bytes trickle in.
    AccountReply(const QUrl& url, int whole_transfer_ms, QObject* parent);
    ~AccountReply() override;
    AccountReply(const AccountReply&) = delete;
    AccountReply& operator=(const AccountReply&) = delete;

    // Gives the request up at once; finished() is not emitted for it.
    void abort();

    // Errors are the network layer's codes and texts, as the user has always
    // seen them: an answer past a bound or past its time is canceled.
    QNetworkReply::NetworkError error() const { return error_; }
    QString errorString() const { return error_string_; }
    // Given up past a bound.
    bool tooLong() const { return too_long_; }
    // The body of a finished request when it is an answer (no error, a 2xx
    // status); empty otherwise.
    QByteArray answer() const;

signals:
    // Once, after the connection was closed; never after abort().
    void finished();

private:
    void send_request();
    void read_answer();
    void socket_error();
    void end(QNetworkReply::NetworkError error, const QString& text);

    QUrl url_;
    QTcpSocket* socket_;
    QTimer transfer_timer_;
    HttpAnswerReader reader_;
    bool ended_ = false;
    bool aborted_ = false;
    bool too_long_ = false;
    QNetworkReply::NetworkError error_ = QNetworkReply::NoError;
    QString error_string_;
};
