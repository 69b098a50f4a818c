// Logging, fatal errors and the allocation wrappers that never return
// without memory.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Only levels 0 and 1 are ever written, and only when not above `debug`.
void log_msg(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_vmsg(int level, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
void log_write_time();
void log_send_udp(const char* text);

// A line of a kind that a remote sender can repeat at will is written at
// most limited_lines_per_s times in one second; the lines left out are then
// counted in one line "<what>: <n> similar lines left out". Both return at
// once when the level is not written.
struct line_limit;
constexpr uint32_t limited_lines_per_s = 10;
// True when the line may be written now.
bool line_limit_admit(line_limit& l, int level, const char* what, double now);
// Writes the count once the second of the lines left out has passed.
void line_limit_flush(line_limit& l, int level, const char* what, double now);

[[noreturn]] void fatal_error(int where, const char* text);
void crash_me();

void* mymalloc(size_t size, int zero);
void* xmalloc(size_t size);
void* myrealloc(void* block, size_t size);
void mem_free(void* block);

// Points the wire core's log and fatal hooks at the functions above.
void log_install_protocol_hooks();

// The shared 2048-byte line buffer of log_msg and sock_printf, allocated on
// first use when start-up has not made it yet.
char* log_buffer();
// Clears the buffer and writes the "[qrid][pid]" prefix; returns its length.
int log_prefix(char* buf);
