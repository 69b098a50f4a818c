#include "tests/ui/support/xsession.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace ui_testing {

namespace {

constexpr double start_timeout_s = 30;

// Opens the display for the length of one question.
struct x_connection {
    Display* d;
    explicit x_connection(const std::string& name) : d(XOpenDisplay(name.c_str())) {}
    ~x_connection() {
        if (d) XCloseDisplay(d);
    }
};

bool tray_owned(const std::string& display) {
    x_connection x(display);
    if (!x.d) return false;
    const Atom selection = XInternAtom(x.d, "_NET_SYSTEM_TRAY_S0", False);
    return XGetSelectionOwner(x.d, selection) != None;
}

}  // namespace

x_session::~x_session() {
    if (tray_.pid() > 0) {
        tray_.signal(SIGTERM);
        if (!tray_.wait_exit(5)) tray_.kill_hard();
    }
    if (xvfb_.pid() > 0) {
        xvfb_.signal(SIGTERM);
        if (!xvfb_.wait_exit(5)) xvfb_.kill_hard();
    }
}

bool x_session::start(bool with_tray, std::string* why) {
    if (!xvfb_.start({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                      "-noreset"},
                     "", "", "/dev/null")) {
        *why = "Xvfb did not start";
        return false;
    }
    std::string line;
    if (xvfb_.wait_line("", start_timeout_s, &line) < 0 || line.empty()) {
        *why = "Xvfb named no display";
        return false;
    }
    display_ = ":" + line;
    if (!e2e::wait_until([&] { return x_connection(display_).d != nullptr; }, start_timeout_s)) {
        *why = "display " + display_ + " does not answer";
        return false;
    }
    if (!with_tray) return true;
    if (!tray_.start({"/usr/bin/env", display_env(), "trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                      "request", "--height", "32", "--transparent", "false", "--SetDockType", "true"},
                     "", "/dev/null", "/dev/null")) {
        *why = "trayer did not start";
        return false;
    }
    if (!e2e::wait_until([&] { return tray_owned(display_); }, start_timeout_s)) {
        *why = "trayer did not take the tray";
        return false;
    }
    return true;
}

int x_session::docked_icons() const {
    x_connection x(display_);
    if (!x.d) return 0;
    const Atom xembed_info = XInternAtom(x.d, "_XEMBED_INFO", False);
    int count = 0;
    std::function<void(Window, int)> walk = [&](Window w, int depth) {
        Window root, parent, *children = nullptr;
        unsigned n = 0;
        if (!XQueryTree(x.d, w, &root, &parent, &children, &n)) return;
        for (unsigned i = 0; i < n; ++i) {
            XWindowAttributes attrs;
            if (!XGetWindowAttributes(x.d, children[i], &attrs) || attrs.map_state != IsViewable) continue;
            Atom type;
            int format;
            unsigned long items, left;
            unsigned char* data = nullptr;
            if (depth > 0 && XGetWindowProperty(x.d, children[i], xembed_info, 0, 2, False, AnyPropertyType, &type,
                                                &format, &items, &left, &data) == Success &&
                type != None)
                ++count;
            if (data) XFree(data);
            walk(children[i], depth + 1);
        }
        if (children) XFree(children);
    };
    walk(DefaultRootWindow(x.d), 0);
    return count;
}

bool x_session::xdotool(const std::vector<std::string>& args, std::string* out) const {
    e2e::process p;
    std::vector<std::string> argv = {"/usr/bin/env", display_env(), "xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!p.start(argv, "")) return false;
    // Output that is asked for is a line that must arrive before the end.
    if (out) p.wait_line("", 30);
    int status = -1;
    if (!p.wait_exit(30, &status)) return false;
    if (out) {
        out->clear();
        for (const std::string& l : p.lines()) *out += l + "\n";
    }
    return status == 0;
}

}  // namespace ui_testing
