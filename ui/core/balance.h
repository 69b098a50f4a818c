// The account web service's balance answer ("client.xml"): a few values,
// each between an opening and a closing tag of its name. No other structure
// of the answer is relied on.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

constexpr char client_version[] = "5.0.16KORVEL";

// The part of body after the first "<tag>" and before the first "</tag>";
// to the end of body when the closing tag is missing or stands before the
// end of the opening one; empty without an opening tag.
QByteArray xmlTagValue(const QByteArray& body, const QByteArray& tag);

struct BalanceAnswer {
    bool valid = false;  // a "tarif" value was there; nothing else is then read
    QString tarif;       // UTF-8
    QString money;       // UTF-8
    QString traffic;     // up to the first NUL
    bool active = false; // status exactly "active"
    QString expire;      // up to the first NUL
    QByteArray lastver;
};

BalanceAnswer balance_answer_parse(const QByteArray& body);

// A newer client than this one exists.
bool balance_newer_version(const QByteArray& lastver);

// "http://HOST/client.xml?login=LOGIN&md=MD"; login and digest are
// percent-encoded, so that a login holding "&" or "#" stays one value.
QUrl balance_url(const QString& host, const QString& login, const QString& md);
