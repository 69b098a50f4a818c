// The four functions the engine binds from libquorin_ui.so. UIShowLoginForm
// runs the interface on the engine program's main thread; the other three
// arrive from the engine's threads and only pass work to the GUI thread.
#include <QCoreApplication>
#include <QFileInfo>
#include <QSystemTrayIcon>
#include <QTranslator>

#include <xcb/xcb.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "ui/core/connection_settings.h"
#include "ui/core/hang_up.h"
#include "ui/mycoolthread.h"
#include "ui/qrapplication.h"
#include "ui/qrconnectform.h"
#include "ui/ui_api.h"

namespace {

// How long the quit road waits for the engine thread to finish its own
// shutdown (it waits up to 500 ms for the route thread) before the process
// may exit under it.
constexpr unsigned long engine_thread_finish_ms = 2000;

struct ui_library {
    StartCallback start = nullptr;
    uint8_t fast_start_flag = 1;
    // The form may go away on the GUI thread while an engine thread is about
    // to use it: every use and the clearing happen under the lock.
    std::mutex form_mu;
    QrConnectForm* form = nullptr;
    std::atomic<bool> quit_requested{false};
};

ui_library& library() {
    static ui_library lib;
    return lib;
}

// Resources are registered while the library is loaded.
struct resource_registration {
    resource_registration() { register_ui_resources(); }
    ~resource_registration() { unregister_ui_resources(); }
};
resource_registration resources_while_loaded;

// Qt's X11 platform ends the process when it cannot reach the X server
// (over SSH, on a server): whether it can is asked first. Other platforms
// named in QT_QPA_PLATFORM (offscreen, wayland ...) are left to Qt; named
// none, this build's Qt takes X11.
bool display_reachable() {
    const QByteArray first = qgetenv("QT_QPA_PLATFORM").split(';').first().split(':').first().trimmed();
    if (!first.isEmpty() && first != "xcb") return true;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const bool reached = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return reached;
}

void install_translator(QTranslator& t, const char* file, const char* name) {
    // A FIFO in its place would hold the start until someone wrote to it.
    if (QFileInfo(file).isFile()) t.load(name, ".");
    QCoreApplication::installTranslator(&t);
}

}  // namespace

extern "C" {

int UIShowLoginForm(StartCallback start, int flag) {
    if (!display_reachable()) return ui_result_no_display;
    ui_library& lib = library();
    lib.start = start;
    lib.fast_start_flag = uint8_t(flag);
    lib.quit_requested = false;
    register_ui_resources();

    static int argc = 0;
    static char* argv[] = {nullptr};
    auto app = std::make_unique<QRApplication>(argc, argv);
    QTranslator ui_translator, qt_translator;
    install_translator(ui_translator, "ui_ru_RU.qm", "ui_ru_RU");
    install_translator(qt_translator, "qt_ru.qm", "qt_ru");

    int result = 1;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        report_missing_tray();
    } else {
        QrConnectForm* form = new QrConnectForm;
        {
            std::lock_guard<std::mutex> lock(lib.form_mu);
            lib.form = form;
        }
        form->thread->callback = start;
        if (lib.fast_start_flag == 0 && conf_file_present()) {
            form->auto_start();
        } else {
            form->show();
            form->raise();
        }
        QObject::connect(form, SIGNAL(quit()), app.get(), SLOT(quit()), Qt::QueuedConnection);
        QObject::connect(app.get(), &QRApplication::sessionEnding, form, &QrConnectForm::quit);
        result = app->exec();
        form->sync_settings();
        if (lib.quit_requested) form->thread->wait(engine_thread_finish_ms);
        {
            std::lock_guard<std::mutex> lock(lib.form_mu);
            lib.form = nullptr;
        }
        delete form;
    }
    QCoreApplication::removeTranslator(&qt_translator);
    QCoreApplication::removeTranslator(&ui_translator);
    app.reset();
    return result;
}

int UIProgress(ProgressStage stage) {
    ui_library& lib = library();
    std::lock_guard<std::mutex> lock(lib.form_mu);
    if (lib.form) lib.form->emit_progress(stage);
    return 0;
}

void UIStartStat(int) {
    ui_library& lib = library();
    std::lock_guard<std::mutex> lock(lib.form_mu);
    if (lib.form) emit lib.form->thread->Finished();
}

void UIQuit() {
    ui_library& lib = library();
    DialKeys keys;
    {
        std::lock_guard<std::mutex> lock(lib.form_mu);
        if (!lib.form) return;
        keys = lib.form->dial_keys();
    }
    const QStringList warnings = hang_up_dialup(keys);
    std::lock_guard<std::mutex> lock(lib.form_mu);
    if (!lib.form) return;
    lib.quit_requested = true;
    QrConnectForm* form = lib.form;
    // Widgets and the application's quit belong to the GUI thread: the
    // warnings and the end of the event loop go there as one queued call.
    QMetaObject::invokeMethod(
        form,
        [form, warnings] {
            report_disconnect_errors(warnings);
            form->emit_quit();
            QCoreApplication::quit();
        },
        Qt::QueuedConnection);
}

}  // extern "C"
