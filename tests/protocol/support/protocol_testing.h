// Log capture for the protocol core's unit tests: every line the core logs
// through its hooks is kept with its level.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/hooks.h"

namespace protocol_testing {

struct log_line {
    int level;
    std::string text;
};
inline std::vector<log_line> logged;

inline void capture_log(int level, const char* fmt, va_list ap) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    logged.push_back({level, buf});
}

// Forgets what was logged and sends the core's log lines to `logged`.
inline void capture_protocol_log() {
    logged.clear();
    proto_set_hooks(capture_log, nullptr);
}

inline bool was_logged(int level, const std::string& text) {
    for (const log_line& l : logged)
        if (l.level == level && l.text == text) return true;
    return false;
}

}  // namespace protocol_testing
