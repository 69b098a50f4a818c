// For the statistics window's tests: one offscreen application per test
// program, and a wait that keeps its event loop running.
#pragma once

#include <functional>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocale>
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
