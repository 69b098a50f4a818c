// An account web service played by the test on a loopback port chosen at
// run time, served from the event loop: canned replies, and hostile ones
// (a body that does not end, one that trickles for ever, headers that never
// end, no answer at all).
#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>

#include <string>
#include <vector>

class QTcpSocket;

namespace ui_testing {

struct account_reply {
    QByteArray head;         // sent first: status line, headers and body
    qint64 flood_bytes = 0;  // then this many bytes of flood_unit over and over, as fast as the peer takes them
    int trickle_ms = 0;      // or one "x" per this many milliseconds, for ever
    bool never = false;      // no answer at all
    QByteArray flood_unit = "x";
};

// Resident memory of this process, in kB; its peak with peak set.
long resident_kb(bool peak = false);

class account_service {
public:
    // Needs the application.
    account_service();
    account_service(const account_service&) = delete;
    account_service& operator=(const account_service&) = delete;

    // "200 OK" with the body and its length.
    static account_reply ok(const QByteArray& body);
    static account_reply raw(const QByteArray& bytes) { return {bytes, 0, 0, false}; }
    // "200 OK" with a body that starts as given and goes on for bytes more,
    // its length declared or up to the end of the connection.
    static account_reply flood(const QByteArray& start, qint64 bytes, bool declared);
    // "200 OK" with a body that starts as given and never ends.
    static account_reply trickle(const QByteArray& start, int ms);
    // "200 OK" whose headers never end: one header line that goes on for
    // ever, or header lines for ever, as fast as the peer takes them.
    static account_reply endless_head(bool one_line);
    // "302 Found" with the body.
    static account_reply redirect(const QByteArray& body);

    QString host() const { return "127.0.0.1:" + QString::number(server_.serverPort()); }

    // Each request takes the next reply; with none left it is not answered.
    std::vector<account_reply> replies;
    std::vector<std::string> targets;  // the request targets, in order
    // Peers that hung up before a flood's end, or on a trickle.
    int cut_short = 0;

private:
    void answer(QTcpSocket* peer);

    QTcpServer server_;
};

}  // namespace ui_testing
