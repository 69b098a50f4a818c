// A private X display for the interface tests: Xvfb on a display it chooses
// itself (-displayfd), with trayer as the system tray when asked for, both
// stopped by the destructor. Also looks into the tray, and runs xdotool.
#pragma once

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace ui_testing {

class x_session {
public:
    x_session() = default;
    ~x_session();
    x_session(const x_session&) = delete;
    x_session& operator=(const x_session&) = delete;

    // False when Xvfb or trayer did not come up (the reason in *why).
    bool start(bool with_tray, std::string* why);
    // ":N"
    const std::string& display() const { return display_; }
    // "DISPLAY=:N", for a child's environment.
    std::string display_env() const { return "DISPLAY=" + display_; }

    // Icons docked in the tray: mapped windows carrying _XEMBED_INFO below
    // the tray's panel.
    int docked_icons() const;
    // Runs xdotool on this display; true when it exits with 0.
    bool xdotool(const std::vector<std::string>& args, std::string* out = nullptr) const;

private:
    e2e::process xvfb_;
    e2e::process tray_;
    std::string display_;
};

}  // namespace ui_testing
