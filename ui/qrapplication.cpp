#include "ui/qrapplication.h"

#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSessionManager>
#include <QSocketNotifier>

#include "ui/modal.h"

namespace {

// SIGTERM is turned into a readable byte on a socket the event loop watches;
// the handler itself may only write.
struct termination_pipe {
    int fds[2] = {-1, -1};
    struct sigaction previous {};
    bool installed = false;
};
termination_pipe term;

void on_sigterm(int) {
    const char byte = 1;
    ssize_t n = write(term.fds[1], &byte, 1);
    (void)n;
}

// A program that holds SIGTERM back waits for it itself (the engine does,
// and takes its shutdown road for it): it is that program's, not ours.
bool host_takes_sigterm() {
    sigset_t blocked;
    return pthread_sigmask(SIG_BLOCK, nullptr, &blocked) == 0 && sigismember(&blocked, SIGTERM) == 1;
}

bool resources_registered = false;

}  // namespace

QRApplication::QRApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // QApplication has just set the process locale from the environment. The
    // engine runs in this process and prints its figures with "%.2f", which
    // the console's readers take with a decimal point.
    setlocale(LC_NUMERIC, "C");
    connect(this, &QGuiApplication::commitDataRequest, this, &QRApplication::commit_data, Qt::DirectConnection);
    if (!term.installed && !host_takes_sigterm() &&
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, term.fds) == 0) {
        struct sigaction sa {};
        sa.sa_handler = on_sigterm;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &sa, &term.previous);
        term.installed = true;
        term_notifier_ = new QSocketNotifier(term.fds[0], QSocketNotifier::Read, this);
        connect(term_notifier_, &QSocketNotifier::activated, this, &QRApplication::termination_signalled);
    }
}

QRApplication::~QRApplication() {
    if (term.installed) {
        sigaction(SIGTERM, &term.previous, nullptr);
        delete term_notifier_;
        close(term.fds[0]);
        close(term.fds[1]);
        term = termination_pipe{};
    }
}

void QRApplication::end_session() { emit sessionEnding(); }

void QRApplication::commit_data(QSessionManager&) {
    // Not cancelling lets the session end; the interface ends with it. The
    // engine's routes are not restored on this road.
    end_session();
}

void QRApplication::termination_signalled() {
    char buf[16];
    while (read(term.fds[0], buf, sizeof buf) > 0) {
    }
    end_session();
}

void report_missing_tray() {
    modal::message(nullptr, QMessageBox::Critical, QCoreApplication::translate("QObject", "Systray"),
                   QCoreApplication::translate("QObject", "I couldn't detect any system tray on this system."),
                   QMessageBox::Ok, QMessageBox::Ok);
}

void report_disconnect_errors(const QStringList& warnings) {
    for (const QString& text : warnings)
        modal::message(nullptr, QMessageBox::Warning, "disconnect error", text, QMessageBox::Ok, QMessageBox::Ok);
}

void register_ui_resources() {
    if (resources_registered) return;
    Q_INIT_RESOURCE(quorin_icons);
    resources_registered = true;
}

void unregister_ui_resources() {
    if (!resources_registered) return;
    Q_CLEANUP_RESOURCE(quorin_icons);
    resources_registered = false;
}
