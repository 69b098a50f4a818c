// For the statistics window's tests: one offscreen application per test
// program, a wait that keeps its event loop running, and the engine's
// console played by the test.
#pragma once

#include <functional>
#include <string>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocale>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

inline void stat_test_app() {
    if (QApplication::instance()) return;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "ui_stat_test";
    static char* argv[] = {arg0, nullptr};
    new QApplication(argc, argv);
    QLocale::setDefault(QLocale::c());
}

// Runs the event loop until done() holds; false after timeout_ms.
inline bool stat_wait(const std::function<bool()>& done, int timeout_ms = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout_ms) return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Takes one connection on a loopback port chosen at run time; records what
// the window sends and sends what the test gives it.
class FakeConsole {
public:
    FakeConsole() {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            peer = server.nextPendingConnection();
            QObject::connect(peer, &QTcpSocket::readyRead, [this] { received += peer->readAll().toStdString(); });
        });
    }
    quint16 port() const { return server.serverPort(); }
    void send(const std::string& bytes) {
        peer->write(bytes.data(), qint64(bytes.size()));
        peer->flush();
    }
    QTcpServer server;
    QTcpSocket* peer = nullptr;
    std::string received;
};
