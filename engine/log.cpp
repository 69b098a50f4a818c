#include "engine/log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "engine/globals.h"
#include "engine/session.h"
#include "engine/startup.h"
#include "platform/msgbox.h"
#include "protocol/hooks.h"

char* log_buffer() {
    if (!log_line) log_line = static_cast<char*>(xmalloc(log_buffer_bytes));
    return log_line;
}

int log_prefix(char* buf) {
    std::memset(buf, 0, log_buffer_bytes);
    int n = std::snprintf(buf, log_buffer_bytes, "[%s][%d]", runtime.qrid, int(getpid()));
    // qrid is capped at 255 characters, so only a broken settings record gets here.
    if (n < 0 || n >= log_buffer_bytes) fatal_error(__LINE__, "fprintf failure!");
    return n;
}

namespace {

// The line behind the prefix, to the log file and the collector, whatever
// the level.
void log_write(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));
void log_write(const char* fmt, va_list ap) {
    char* buf = log_buffer();
    int prefix = log_prefix(buf);
    // vsnprintf cuts an over-long message and always terminates the line.
    std::vsnprintf(buf + prefix, size_t(log_buffer_bytes - prefix), fmt, ap);
    if (runtime.log_file) {
        log_write_time();
        std::fputs(buf + prefix, runtime.log_file);
        std::fflush(runtime.log_file);
    }
    if (runtime.udpdstlog_port) log_send_udp(buf);
}

void log_always(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_always(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_write(fmt, ap);
    va_end(ap);
}

}  // namespace

void log_vmsg(int level, const char* fmt, va_list ap) {
    if (level > 1 || level > runtime.debug) return;
    log_write(fmt, ap);
}

void log_msg(int level, const char* fmt, ...) {
    if (level > 1 || level > runtime.debug) return;
    va_list ap;
    va_start(ap, fmt);
    log_vmsg(level, fmt, ap);
    va_end(ap);
}

namespace {

bool level_written(int level) { return level <= 1 && level <= runtime.debug; }

constexpr double line_limit_window_s = 1.0;

}  // namespace

void line_limit_flush(line_limit& l, int level, const char* what, double now) {
    if (!l.written && !l.left_out) return;
    // A clock set back (tests set it) also ends the window.
    if (now - l.window_start < line_limit_window_s && now >= l.window_start) return;
    if (l.left_out) log_msg(level, "%s: %u similar lines left out\n", what, l.left_out);
    l.written = 0;
    l.left_out = 0;
}

bool line_limit_admit(line_limit& l, int level, const char* what, double now) {
    if (!level_written(level)) return false;
    line_limit_flush(l, level, what, now);
    if (!l.written && !l.left_out) l.window_start = now;
    if (l.written < limited_lines_per_s) {
        l.written++;
        return true;
    }
    l.left_out++;
    return false;
}

void log_write_time() {
    if (!runtime.log_file) return;
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    std::fprintf(runtime.log_file, "[%02d/%02d/%4d %02d:%02d:%02d][%d]", tm.tm_mday, tm.tm_mon + 1,
                 tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, int(getpid()));
}

void log_send_udp(const char* text) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = runtime.udpdstlog_addr;
    to.sin_port = runtime.udpdstlog_port;
    // A lost copy is not worth a word: the collector is best effort.
    (void)sendto(server_udp_fd, text, std::strlen(text), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
}

void fatal_error(int where, const char* text) {
    // A fatal error met on the way out (the log itself failing, or another
    // thread failing at once) still ends the process, without logging again.
    static std::atomic<bool> failing{false};
    const bool first = !failing.exchange(true);
    message_box(text, "Critical Error");
    for (int i = 0; i < 2; ++i) std::printf("CRITICAL ERROR: %s LINE %d\n", text, where);
    std::fflush(stdout);
    // Whatever the debug level: the log must tell why it ends.
    if (first) log_always("CRITICAL ERROR: %s LINE %d\n", text, where);
    engine_fail_exit();
}

void crash_me() {
    std::printf("Crash me\n");
    std::fflush(stdout);
    if (runtime.debug > 0) fatal_error(__LINE__, "Crash required\n");
}

void* mymalloc(size_t size, int zero) {
    // malloc(0) may return null; that is no exhaustion.
    void* p = std::malloc(size ? size : 1);
    if (!p) fatal_error(__LINE__, "virtual memory exhausted\n");
    if (zero == 1) std::memset(p, 0, size);
    return p;
}

void* xmalloc(size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) fatal_error(__LINE__, "virtual memory exhausted in xmalloc\n");
    return p;
}

void* myrealloc(void* block, size_t size) {
    // Callers grow tables in place and index the new block at once: a failed
    // growth must stop here, not hand back a block that is too small.
    void* p = std::realloc(block, size ? size : 1);
    if (!p) fatal_error(__LINE__, "virtual memory exhausted\n");
    return p;
}

void mem_free(void* block) { std::free(block); }

void log_install_protocol_hooks() {
    proto_set_hooks(log_vmsg, fatal_error);
}
