#include "tests/ui/support/ui_testing.h"

#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QThread>

#include <climits>

#include "ui/modal.h"
#include "ui/qrapplication.h"

namespace ui_testing {

namespace {

QApplication* app = nullptr;
modal_script* current_script = nullptr;

QMessageBox::StandardButton scripted_message(QWidget*, QMessageBox::Icon, const QString& title, const QString& text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton default_button) {
    modal_script& s = *current_script;
    s.questions.push_back({"message", title, text, buttons});
    if (s.messages.empty()) return default_button;
    const QMessageBox::StandardButton b = s.messages.front();
    s.messages.pop_front();
    // A box cannot answer with a button it does not have.
    return (buttons & b) ? b : default_button;
}

bool scripted_text(QWidget*, const QString& title, const QString& label, QString* text) {
    modal_script& s = *current_script;
    s.questions.push_back({"text", title, label, {}});
    if (s.texts.empty()) return false;
    const auto answer = s.texts.front();
    s.texts.pop_front();
    *text = answer.second;
    return answer.first;
}

int scripted_exec(QDialog* dialog) {
    modal_script& s = *current_script;
    s.questions.push_back({"exec", dialog->windowTitle(), dialog->objectName(), {}});
    if (s.execs.empty()) {
        dialog->done(0);
        return 0;
    }
    const auto run = s.execs.front();
    s.execs.pop_front();
    const int result = run(dialog);
    dialog->done(result);
    return result;
}

bool scripted_dial(QWidget*, const QString& entry, int* error) {
    modal_script& s = *current_script;
    s.questions.push_back({"dial", entry, QString(), {}});
    if (s.dials.empty()) {
        *error = 5;
        return false;
    }
    const auto answer = s.dials.front();
    s.dials.pop_front();
    *error = answer.second;
    return answer.first;
}

}  // namespace

void qt_environment::SetUp() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    app = new QApplication(argc, argv);
    register_ui_resources();
}

void qt_environment::TearDown() {
    delete app;
    app = nullptr;
}

working_dir::working_dir() {
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf)) old_ = buf;
    if (chdir(dir_.path().c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir_.path();
}

working_dir::~working_dir() {
    if (!old_.empty() && chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
}

modal_script::modal_script() {
    current_script = this;
    modal::set_hooks({scripted_message, scripted_text, scripted_exec, scripted_dial});
}

modal_script::~modal_script() {
    modal::set_hooks({});
    current_script = nullptr;
}

int modal_script::count(const std::string& kind) const {
    int n = 0;
    for (const asked& a : questions) n += a.kind == kind;
    return n;
}

bool wait_for(const std::function<bool()>& pred, double timeout_s) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > qint64(timeout_s * 1000)) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace ui_testing
