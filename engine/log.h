// Logging, fatal errors and the allocation wrappers that never return
// without memory.
#pragma once

#include <cstdarg>
#include <cstddef>

// Only levels 0 and 1 are ever written, and only when not above `debug`.
void log_msg(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_vmsg(int level, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));
void log_write_time();
void log_send_udp(const char* text);

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
