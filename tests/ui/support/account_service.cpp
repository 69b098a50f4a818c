#include "tests/ui/support/account_service.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>

namespace ui_testing {

namespace {

constexpr qint64 flood_chunk_bytes = 65536;

}  // namespace

account_service::account_service() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, [this] {
        QTcpSocket* peer = server_.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
        auto request = std::make_shared<QByteArray>();
        QObject::connect(peer, &QTcpSocket::readyRead, [this, peer, request] {
            *request += peer->readAll();
            if (!request->contains("\r\n\r\n")) return;
            targets.push_back(request->split(' ').value(1).toStdString());
            request->clear();
            answer(peer);
        });
    });
}

account_reply account_service::ok(const QByteArray& body) {
    return raw("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

account_reply account_service::flood(const QByteArray& start, qint64 bytes, bool declared) {
    const QByteArray head = declared ? "Content-Length: " + QByteArray::number(start.size() + bytes) : "Connection: close";
    return {"HTTP/1.1 200 OK\r\n" + head + "\r\n\r\n" + start, bytes, 0, false};
}

account_reply account_service::trickle(const QByteArray& start, int ms) {
    return {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + start, 0, ms, false};
}

account_reply account_service::endless_head(bool one_line) {
    account_reply reply = {"HTTP/1.1 200 OK\r\n", std::numeric_limits<qint64>::max(), 0, false, "a"};
    if (one_line)
        reply.head += "X-Long: ";
    else
        reply.flood_unit = "X-Filler: 0\r\n";
    return reply;
}

account_reply account_service::redirect(const QByteArray& body) {
    return raw("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/\r\nContent-Length: " +
               QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

void account_service::answer(QTcpSocket* peer) {
    if (replies.empty()) return;
    const account_reply reply = replies.front();
    replies.erase(replies.begin());
    if (reply.never) return;
    peer->write(reply.head);
    if (reply.trickle_ms > 0) {
        QTimer* t = new QTimer(peer);
        QObject::connect(t, &QTimer::timeout, peer, [peer] { peer->write("x"); });
        t->start(reply.trickle_ms);
        QObject::connect(peer, &QTcpSocket::disconnected, peer, [this] { cut_short++; });
    }
    if (reply.flood_bytes > 0) {
        auto left = std::make_shared<qint64>(reply.flood_bytes);
        const QByteArray chunk = reply.flood_unit.repeated(int(flood_chunk_bytes / reply.flood_unit.size()));
        auto more = [peer, left, chunk] {
            while (*left > 0 && peer->bytesToWrite() < flood_chunk_bytes) {
                const qint64 n = std::min(*left, qint64(chunk.size()));
                peer->write(chunk.constData(), n);
                *left -= n;
            }
            // The end of a body without a length.
            if (*left == 0) peer->disconnectFromHost();
        };
        QObject::connect(peer, &QTcpSocket::bytesWritten, peer, more);
        QObject::connect(peer, &QTcpSocket::disconnected, peer, [this, peer, left] {
            if (*left > 0 || peer->bytesToWrite() > 0) cut_short++;
        });
        more();
    }
}

long resident_kb(bool peak) {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, peak ? "VmHWM: %ld" : "VmRSS: %ld", &kb) == 1) break;
    if (f) std::fclose(f);
    return kb;
}

}  // namespace ui_testing
