#include "tests/ui/support/ui_testing.h"

#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include <climits>
#include <cstdlib>

#include "tests/ui/support/xsession.h"

#include "ui/modal.h"
#include "ui/qrapplication.h"

namespace ui_testing {

namespace {

QApplication* app = nullptr;
modal_script* current_script = nullptr;

// Set in the child that run_on_x() starts: the display it runs on.
constexpr char x_display_variable[] = "QUORIN_UI_TEST_DISPLAY";
constexpr double x_child_timeout_s = 300;

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
    const QByteArray display = qgetenv(x_display_variable);
    if (display.isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else {
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("DISPLAY", display);
    }
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

bool run_on_x() {
    if (!qEnvironmentVariableIsEmpty(x_display_variable)) return true;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    x_session x;
    std::string why;
    if (!x.start(false, &why)) {
        ADD_FAILURE() << why;
        return false;
    }
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        ADD_FAILURE() << "cannot name the test program";
        return false;
    }
    e2e::process child;
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    if (!child.start({"/usr/bin/env", std::string(x_display_variable) + "=" + x.display(), self, filter}, "")) {
        ADD_FAILURE() << "the test did not start again on " << x.display();
        return false;
    }
    int status = -1;
    const bool ended = child.wait_exit(x_child_timeout_s, &status);
    if (!ended) child.kill_hard();
    std::string out;
    for (const std::string& l : child.lines()) out += l + "\n";
    EXPECT_TRUE(ended && status == 0) << "on " << x.display() << ", status " << status << ":\n" << out;
    return false;
}

namespace {

bool xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/env", "DISPLAY=" + qEnvironmentVariable(x_display_variable).toStdString(),
                               "xdotool"});
    e2e::process p;
    int status = -1;
    return p.start(args, "") && p.wait_exit(30, &status) && status == 0;
}

}  // namespace

bool x_click(QWidget* w) {
    if (!wait_for([w] { return w->isVisible() && w->window()->windowHandle() &&
                               w->window()->windowHandle()->isExposed(); }))
        return false;
    const QPoint at = w->mapToGlobal(w->rect().center());
    return xdotool({"mousemove", "--sync", std::to_string(at.x()), std::to_string(at.y()), "click", "1"});
}

bool x_keys(const std::vector<std::string>& keys) {
    std::vector<std::string> args = {"key", "--delay", "20"};
    args.insert(args.end(), keys.begin(), keys.end());
    return xdotool(args);
}

bool x_type(const std::string& text) { return xdotool({"type", "--delay", "20", text}); }

}  // namespace ui_testing
