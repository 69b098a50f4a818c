#include "ui/account_reply.h"

#include <QNetworkReply>
#include <QTimer>
#include <QVariant>

namespace {

const char too_long_mark[] = "quorin_too_long";

void give_up_too_long(QNetworkReply* reply) {
    if (reply->isFinished()) return;
    reply->setProperty(too_long_mark, true);
    reply->abort();
}

}  // namespace

void bound_account_reply(QNetworkReply* reply, int whole_transfer_ms) {
    // The network layer then stops reading once the reply holds this much:
    // the bound holds before the next check runs.
    reply->setReadBufferSize(account_reply_max_bytes + 1);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply] {
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > account_reply_max_bytes)
            give_up_too_long(reply);
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > account_reply_max_bytes) give_up_too_long(reply);
    });
    if (whole_transfer_ms > 0)
        QTimer::singleShot(whole_transfer_ms, reply, [reply] {
            if (!reply->isFinished()) reply->abort();
        });
}

bool account_reply_too_long(const QNetworkReply* reply) { return reply->property(too_long_mark).toBool(); }

QByteArray account_reply_answer(QNetworkReply* reply) {
    if (reply->error() != QNetworkReply::NoError || account_reply_too_long(reply)) return QByteArray();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299) return QByteArray();
    return reply->readAll();
}
