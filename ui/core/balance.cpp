#include "ui/core/balance.h"

#include <cstring>

namespace {

QString text_to_nul(const QByteArray& value) {
    return QString::fromUtf8(value.constData(), int(qstrnlen(value.constData(), uint(value.size()))));
}

}  // namespace

QByteArray xmlTagValue(const QByteArray& body, const QByteArray& tag) {
    const QByteArray open = "<" + tag + ">";
    const QByteArray close = "</" + tag + ">";
    const int open_at = body.indexOf(open);
    if (open_at < 0) return QByteArray();
    const int value_at = open_at + open.size();
    const int close_at = body.indexOf(close);
    if (close_at < value_at) return body.mid(value_at);
    return body.mid(value_at, close_at - value_at);
}

BalanceAnswer balance_answer_parse(const QByteArray& body) {
    BalanceAnswer a;
    const QByteArray tarif = xmlTagValue(body, "tarif");
    if (tarif.isEmpty()) return a;
    a.valid = true;
    a.tarif = QString::fromUtf8(tarif);
    a.money = QString::fromUtf8(xmlTagValue(body, "money"));
    a.traffic = text_to_nul(xmlTagValue(body, "traffic"));
    a.active = xmlTagValue(body, "status") == "active";
    a.expire = text_to_nul(xmlTagValue(body, "expire"));
    a.lastver = xmlTagValue(body, "lastver");
    return a;
}

bool balance_newer_version(const QByteArray& lastver) { return !lastver.isEmpty() && lastver != client_version; }

QUrl balance_url(const QString& host, const QString& login, const QString& md) {
    const QString text = QStringLiteral("http://") + host + QStringLiteral("/client.xml?login=") +
                         QString::fromLatin1(QUrl::toPercentEncoding(login)) + QStringLiteral("&md=") +
                         QString::fromLatin1(QUrl::toPercentEncoding(md));
    return QUrl(text);
}
