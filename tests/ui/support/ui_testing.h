// Shared ground for the window tests: an offscreen application, a scratch
// working directory (the interface keeps its files in the working
// directory), scripted answers to every modal question, and waiting on the
// event loop.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QString>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

class QDialog;
class QWidget;

namespace ui_testing {

// One QApplication on the offscreen platform for the whole test program,
// with the icons registered.
class qt_environment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};

// A fresh scratch directory made the working directory; the old one comes
// back on destruction.
class working_dir {
public:
    working_dir();
    ~working_dir();
    working_dir(const working_dir&) = delete;
    working_dir& operator=(const working_dir&) = delete;
    const e2e::temp_dir& dir() const { return dir_; }
    std::string file(const std::string& name) const { return dir_.file(name); }
    void write(const std::string& name, const std::string& text) const { dir_.write(name, text); }
    std::string read(const std::string& name) const { return dir_.read(name); }

private:
    e2e::temp_dir dir_;
    std::string old_;
};

// The questions the interface asked, and the answers given from the queues.
// An unexpected question is answered with the box's default (Cancel for
// text input, 0 for a dialog) and recorded, so a test never hangs on one.
struct asked {
    std::string kind;  // "message", "text", "exec", "dial"
    QString title, text;
    QMessageBox::StandardButtons buttons;
};

class modal_script {
public:
    modal_script();
    ~modal_script();
    modal_script(const modal_script&) = delete;
    modal_script& operator=(const modal_script&) = delete;

    std::deque<QMessageBox::StandardButton> messages;
    // Ok with this text; an absent entry means Cancel.
    std::deque<std::pair<bool, QString>> texts;
    // Runs on the dialog instead of exec(); returns its result.
    std::deque<std::function<int(QDialog*)>> execs;
    // (link up, error)
    std::deque<std::pair<bool, int>> dials;
    std::vector<asked> questions;

    int count(const std::string& kind) const;
};

// Runs the event loop until pred() holds or timeout_s passes.
bool wait_for(const std::function<bool()>& pred, double timeout_s = 30);

// Real input. Offscreen, events reach a widget however modal the windows
// around it are; on an X display they come through the X server and Qt's
// modal blocking as a user's do. run_on_x() runs the current test once more
// in a child process of the test program on a private Xvfb (the xcb
// platform) and returns false in the parent, which fails when the child
// does; in the child it returns true and the test goes on there.
bool run_on_x();
// In the child: a left click in the middle of w, once its window is on the
// screen; keys (xdotool's names) and text to whatever has the keyboard.
bool x_click(QWidget* w);
bool x_keys(const std::vector<std::string>& keys);
bool x_type(const std::string& text);

}  // namespace ui_testing
