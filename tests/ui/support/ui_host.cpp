// A stand-in engine program for the interface library: it loads
// libquorin_ui.so the way the engine does, hands it a start routine of its
// own and plays a script of steps against it from a driver thread, the
// engine thread and the GUI (reached through queued calls).
//
//   ui_host FLAG STEP...
//   ui_host engine STEP...   the engine program's own main routine instead
//                            of the stand-in, fast start, the interface
//                            library from the working directory
//
// Steps: wait-start | progress N | label TEXT | startstat | tray | quit |
// form-shown | form-hidden | box TITLE|BUTTON | close | sigterm | hold
// (waits until a file "go" appears in the working directory) | tray-click |
// tray-quit | figures [flowing|quiet] (the statistics window's figures, the
// tray tooltip and the incoming plot, once its newest sample carries data or
// none when asked) | lists (the settings dialog's server, speed and port
// lists: "lists serveraddr=N:FIRST speed_in=N:FIRST ...")
// Output: "ok STEP" or "fail STEP: why" per step, "result N" when
// UIShowLoginForm returned, then "late calls ok" once the exports were
// called again after the end.
#include <signal.h>
#include <unistd.h>

// Before Qt's headers: the engine's structures have members named "slots".
#include "engine/startup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QMenu>
#include <QSystemTrayIcon>

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynlib.h"
#include "ui/ui_api.h"

namespace {

constexpr auto step_timeout = std::chrono::seconds(30);

struct ui_exports {
    decltype(&UIShowLoginForm) show = nullptr;
    decltype(&UIProgress) progress = nullptr;
    decltype(&UIStartStat) start_stat = nullptr;
    decltype(&UIQuit) quit = nullptr;
} exports;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// ------------------------------------------------------------- engine thread
// The start routine runs queued jobs on the interface's engine thread until
// told to return.
struct engine_side {
    std::mutex mu;
    std::condition_variable cv;
    bool started = false;
    bool stop = false;
    std::deque<std::function<void()>> jobs;
} engine;

int start_routine(void*) {
    say("engine started");
    std::unique_lock<std::mutex> lock(engine.mu);
    engine.started = true;
    engine.cv.notify_all();
    for (;;) {
        engine.cv.wait(lock, [] { return engine.stop || !engine.jobs.empty(); });
        if (engine.jobs.empty()) return 0;
        auto job = std::move(engine.jobs.front());
        engine.jobs.pop_front();
        lock.unlock();
        job();
        lock.lock();
    }
}

void on_engine_thread(std::function<void()> job) {
    std::lock_guard<std::mutex> lock(engine.mu);
    engine.jobs.push_back(std::move(job));
    engine.cv.notify_all();
}

void stop_engine() {
    std::lock_guard<std::mutex> lock(engine.mu);
    engine.stop = true;
    engine.cv.notify_all();
}

// ------------------------------------------------------------- GUI thread

// Runs fn on the GUI thread and returns its result; false when the
// application is gone or does not answer.
template <typename T>
bool on_gui(std::function<T()> fn, T* out) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return false;
    auto promise = std::make_shared<std::promise<T>>();
    std::future<T> result = promise->get_future();
    QMetaObject::invokeMethod(
        app, [promise, fn] { promise->set_value(fn()); }, Qt::QueuedConnection);
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return false;
    try {
        *out = result.get();
    } catch (const std::future_error&) {
        return false;
    }
    return true;
}

// Polls a GUI-thread question until it holds.
bool wait_gui(const std::function<bool()>& question) {
    const auto end = std::chrono::steady_clock::now() + step_timeout;
    while (std::chrono::steady_clock::now() < end) {
        bool yes = false;
        if (on_gui(std::function<bool()>(question), &yes) && yes) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

QWidget* top_level(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == name) return w;
    return nullptr;
}

QString splash_label() {
    QWidget* splash = top_level("SplashForm");
    QLabel* label = splash ? splash->findChild<QLabel*>("StatusLabel") : nullptr;
    return label ? label->text() : QString();
}

QSystemTrayIcon* tray_icon() {
    QWidget* form = top_level("QrConnectForm");
    return form ? form->findChild<QSystemTrayIcon*>() : nullptr;
}

bool tray_shown() {
    QSystemTrayIcon* tray = tray_icon();
    return tray && tray->isVisible();
}

// The newest sample of the incoming plot's "Uncompressed" curve, and how
// many of its samples are above zero; -1 when there is no sample.
double incoming_uncompressed(QWidget* stat, int* positive) {
    QWidget* page = stat->findChild<QWidget*>("stat_in_tab");
    QwtPlot* plot = page ? page->findChild<QwtPlot*>() : nullptr;
    if (!plot) return -1;
    for (QwtPlotItem* item : plot->itemList(QwtPlotItem::Rtti_PlotCurve)) {
        auto* curve = static_cast<QwtPlotCurve*>(item);
        if (!curve->title().text().startsWith("Uncompressed") || curve->dataSize() == 0) continue;
        *positive = 0;
        for (size_t i = 0; i < curve->dataSize(); ++i) *positive += curve->sample(int(i)).y() > 0;
        return curve->sample(0).y();
    }
    return -1;
}

// One line: labels of the statistics page, the tray tooltip and the plot.
QString figures_line() {
    QWidget* stat = top_level("StatForm");
    QSystemTrayIcon* tray = tray_icon();
    if (!stat || !tray) return QString();
    QString line = "figures";
    for (const char* name : {"udpin", "udpout", "tcpout", "login", "tarif", "balance"}) {
        QLabel* label = stat->findChild<QLabel*>(name);
        line += QString("|%1=%2").arg(name, label ? label->text() : QString("?"));
    }
    int positive = 0;
    const double newest = incoming_uncompressed(stat, &positive);
    line += QString("|tooltip=%1|newest=%2|positive=%3|visible=%4")
                .arg(tray->toolTip().replace('\n', '/'))
                .arg(newest)
                .arg(positive)
                .arg(stat->isVisible() ? 1 : 0);
    return line;
}

// ------------------------------------------------------------- steps

bool run_step(const std::string& verb, const std::string& arg, std::string* why) {
    if (verb == "wait-start") {
        std::unique_lock<std::mutex> lock(engine.mu);
        if (engine.cv.wait_for(lock, step_timeout, [] { return engine.started; })) return true;
        *why = "the engine thread never started";
        return false;
    }
    if (verb == "progress") {
        const int stage = std::stoi(arg);
        on_engine_thread([stage] { exports.progress(stage); });
        return true;
    }
    if (verb == "label") {
        const QString want = QString::fromStdString(arg);
        if (wait_gui([want] { return splash_label() == want; })) return true;
        QString got;
        on_gui(std::function<QString()>(splash_label), &got);
        *why = "label shows '" + got.toStdString() + "'";
        return false;
    }
    if (verb == "startstat") {
        on_engine_thread([] { exports.start_stat(0); });
        return true;
    }
    if (verb == "tray") {
        if (wait_gui([] {
                QWidget* splash = top_level("SplashForm");
                return tray_shown() && splash && !splash->isVisible();
            }))
            return true;
        *why = "no tray icon, or the connecting window is still open";
        return false;
    }
    if (verb == "quit") {
        // As the engine does on "shutdown": UIQuit, then its thread ends.
        on_engine_thread([] { exports.quit(); });
        stop_engine();
        return true;
    }
    if (verb == "form-shown" || verb == "form-hidden") {
        const bool want = verb == "form-shown";
        if (wait_gui([want] {
                QWidget* form = top_level("QrConnectForm");
                return form && form->isVisible() == want;
            }))
            return true;
        *why = "the connect dialog is not " + std::string(want ? "shown" : "hidden");
        return false;
    }
    if (verb == "box") {
        const size_t bar = arg.find('|');
        const QString title = QString::fromStdString(arg.substr(0, bar));
        const QString button = QString::fromStdString(arg.substr(bar + 1));
        QString text;
        const bool clicked = wait_gui([title, button, &text] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible() || box->windowTitle() != title) continue;
                for (QAbstractButton* b : box->buttons()) {
                    if (b->text().remove('&') != button) continue;
                    text = box->text();
                    b->click();
                    return true;
                }
            }
            return false;
        });
        if (clicked) {
            say("box text " + text.toStdString());
            return true;
        }
        *why = "no box titled '" + title.toStdString() + "' with a button '" + button.toStdString() + "'";
        return false;
    }
    if (verb == "close") {
        bool done = false;
        on_gui(std::function<bool()>([] {
                   QWidget* form = top_level("QrConnectForm");
                   auto* quit = form ? form->findChild<QPushButton*>("pushButton_3") : nullptr;
                   if (quit) quit->click();
                   return quit != nullptr;
               }),
               &done);
        if (done) return true;
        *why = "no Quit button";
        return false;
    }
    if (verb == "hold") {
        say("holding");
        const auto end = std::chrono::steady_clock::now() + step_timeout;
        while (access("go", F_OK) != 0) {
            if (std::chrono::steady_clock::now() > end) {
                *why = "nobody said go";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    if (verb == "tray-click") {
        bool done = false;
        on_gui(std::function<bool()>([] {
                   QSystemTrayIcon* tray = tray_icon();
                   if (tray) emit tray->activated(QSystemTrayIcon::Trigger);
                   return tray != nullptr;
               }),
               &done);
        if (done) return true;
        *why = "no tray icon";
        return false;
    }
    if (verb == "tray-quit") {
        bool done = false;
        on_gui(std::function<bool()>([] {
                   QSystemTrayIcon* tray = tray_icon();
                   QMenu* menu = tray ? tray->contextMenu() : nullptr;
                   if (!menu) return false;
                   for (QAction* a : menu->actions())
                       if (a->text() == "&Quit") {
                           a->trigger();
                           return true;
                       }
                   return false;
               }),
               &done);
        if (done) return true;
        *why = "no Quit in the tray menu";
        return false;
    }
    if (verb == "figures") {
        // "flowing": after a sample with data; "quiet": after one without,
        // once there were samples.
        QString line;
        const bool seen = wait_gui([arg, &line] {
            line = figures_line();
            if (line.isEmpty()) return false;
            int positive = 0;
            const double newest = incoming_uncompressed(top_level("StatForm"), &positive);
            if (arg == "flowing") return newest > 0;
            if (arg == "quiet") return newest == 0;
            return true;
        });
        if (seen) {
            say(line.toStdString());
            return true;
        }
        *why = "the figures are not as asked: " + line.toStdString();
        return false;
    }
    if (verb == "lists") {
        QString line;
        const bool seen = on_gui(std::function<QString()>([] {
                                     QWidget* settings = top_level("QrSettingsForm");
                                     if (!settings) return QString();
                                     QString l = "lists";
                                     for (const char* name : {"serveraddr", "speed_in", "speed_out", "serverport"}) {
                                         auto* combo = settings->findChild<QComboBox*>(name);
                                         l += QString(" %1=%2:%3")
                                                  .arg(name)
                                                  .arg(combo ? combo->count() : -1)
                                                  .arg(combo ? combo->itemText(0) : QString());
                                     }
                                     return l;
                                 }),
                                 &line);
        if (seen && !line.isEmpty()) {
            say(line.toStdString());
            return true;
        }
        *why = "no settings dialog";
        return false;
    }
    if (verb == "sigterm") {
        kill(getpid(), SIGTERM);
        return true;
    }
    *why = "unknown step";
    return false;
}

void driver(std::vector<std::string> steps) {
    // The driver waits for the application before its first question.
    const auto end = std::chrono::steady_clock::now() + step_timeout;
    while (!QCoreApplication::instance() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const std::string& step : steps) {
        const size_t space = step.find(' ');
        const std::string verb = step.substr(0, space);
        const std::string arg = space == std::string::npos ? "" : step.substr(space + 1);
        std::string why;
        if (run_step(verb, arg, &why)) {
            say("ok " + step);
        } else {
            say("fail " + step + ": " + why);
            // A failed script must still end the host.
            bool quit = false;
            on_gui(std::function<bool()>([] {
                       QCoreApplication::quit();
                       return true;
                   }),
                   &quit);
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_host FLAG|engine STEP...\n");
        return 2;
    }
    if (std::string(argv[1]) == "engine") {
        // The engine loads the interface library from beside itself, as
        // shipped: here the working directory holds it.
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return 2;
        dynlib_set_search_dir(cwd);
        std::thread steps(driver, std::vector<std::string>(argv + 2, argv + argc));
        // The engine's main routine ends the process itself; the driver
        // thread is never joined.
        steps.detach();
        static char name[] = "quorin", fast[] = "faststart";
        static char* engine_argv[] = {name, fast, nullptr};
        quorin_main(2, engine_argv);
    }
    dynlib_set_search_dir(QUORIN_BIN_DIR);
    void* lib = dynlib_load(QUORIN_UI_DLL);
    if (!lib) {
        std::fprintf(stderr, "ui_host: %s not loaded\n", QUORIN_UI_DLL);
        return 2;
    }
    exports.show = reinterpret_cast<decltype(exports.show)>(dynlib_symbol(lib, "UIShowLoginForm"));
    exports.progress = reinterpret_cast<decltype(exports.progress)>(dynlib_symbol(lib, "UIProgress"));
    exports.start_stat = reinterpret_cast<decltype(exports.start_stat)>(dynlib_symbol(lib, "UIStartStat"));
    exports.quit = reinterpret_cast<decltype(exports.quit)>(dynlib_symbol(lib, "UIQuit"));
    if (!exports.show || !exports.progress || !exports.start_stat || !exports.quit) {
        std::fprintf(stderr, "ui_host: an export is missing\n");
        return 2;
    }

    std::thread steps(driver, std::vector<std::string>(argv + 2, argv + argc));
    const int result = exports.show(start_routine, std::atoi(argv[1]));
    say("result " + std::to_string(result));
    steps.join();
    stop_engine();
    // The engine's threads may still call in after the interface ended.
    exports.progress(3);
    exports.start_stat(0);
    exports.quit();
    say("late calls ok");
    return 0;
}
