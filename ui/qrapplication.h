// The interface's application object. The end of the user's session reaches
// it from the X session manager (the commit-data request) or as SIGTERM;
// either ends the interface through sessionEnding(). SIGTERM only when the
// program that loaded the library does not wait for it itself: the engine
// does, and its routes are restored on that road.
#pragma once

#include <QApplication>
#include <QStringList>

class QSessionManager;
class QSocketNotifier;

class QRApplication : public QApplication {
    Q_OBJECT

public:
    QRApplication(int& argc, char** argv);
    ~QRApplication() override;

    // The session is ending: the interface ends; the session may end.
    void end_session();

signals:
    void sessionEnding();

private slots:
    void commit_data(QSessionManager& manager);
    void termination_signalled();

private:
    QSocketNotifier* term_notifier_ = nullptr;
};

// The box shown when the desktop has no system tray.
void report_missing_tray();
// The boxes of hang-ups that failed on the quit road, one per text.
void report_disconnect_errors(const QStringList& warnings);

// Registers the compiled-in icons (again when they were unregistered).
void register_ui_resources();
void unregister_ui_resources();
