#include "protocol/hooks.h"

#include <cstdio>
#include <cstdlib>

namespace {

proto_log_fn log_hook = nullptr;
proto_fatal_fn fatal_hook = nullptr;

}  // namespace

void proto_set_hooks(proto_log_fn log, proto_fatal_fn fatal) {
    log_hook = log;
    fatal_hook = fatal;
}

void proto_log(int level, const char* fmt, ...) {
    if (!log_hook) return;
    va_list ap;
    va_start(ap, fmt);
    log_hook(level, fmt, ap);
    va_end(ap);
}

void proto_fatal(int where, const char* text) {
    // A hook is expected not to return; if it does, the process still stops
    // here, because the caller's state is not safe to go on with.
    if (fatal_hook) fatal_hook(where, text);
    std::fprintf(stderr, "CRITICAL ERROR: %s LINE %d\n", text, where);
    std::fflush(stderr);
    std::abort();
}

void proto_check_failed(const char* cond, const char* file, int line) {
#ifdef QUORIN_CHECKED
    char text[256];
    std::snprintf(text, sizeof text, "check failed: %s (%s)", cond, file);
    proto_fatal(line, text);
#else
    proto_log(0, "check failed: %s (%s:%d)\n", cond, file, line);
#endif
}
