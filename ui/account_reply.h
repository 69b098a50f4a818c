// Replies of the account web service ("client.csv", "client.xml"): a few
// dozen bytes of text each. A reply that is longer or slower than an answer
// can be, or that is no answer at all (a redirect, an error page), is not
// read as one.
#pragma once

#include <QByteArray>

class QNetworkReply;

// Far above any answer, and small enough that a hostile or broken service
// cannot make the interface hold more.
constexpr qint64 account_reply_max_bytes = 4096;

// Bounds a reply just made: past account_reply_max_bytes of body it is
// aborted and marked too long; with whole_transfer_ms above 0 it is aborted
// when it has not finished by then, however steadily its bytes trickle in.
// Either way it then finishes with an error, as a failed transfer does.
void bound_account_reply(QNetworkReply* reply, int whole_transfer_ms);
bool account_reply_too_long(const QNetworkReply* reply);

// The body of a finished reply when it is an answer (no error, a 2xx
// status); empty otherwise.
QByteArray account_reply_answer(QNetworkReply* reply);
