// "kestrix.log": one line per message, the local time, the text and CR LF,
// appended to the file whose path is fixed when the library is loaded.
#pragma once

#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

// A whole line, time and CR LF included.
constexpr size_t log_line_bytes = 1000;
// "hh:mm:ss "
constexpr size_t log_time_bytes = 9;

// Pointers are logged at the width of a pointer, in the 0x%08X form of the
// 32-bit library: "0x" KX_PTR with kx_ptr(p).
#if UINTPTR_MAX > 0xFFFFFFFFu
#define KX_PTR "%016" PRIXPTR
#else
#define KX_PTR "%08" PRIXPTR
#endif
inline uintptr_t kx_ptr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// The log path: `dir` + "/kestrix.log". Called once, at load.
void kx_log_set_dir(const char* dir);

// WriteLog: one line when the log level is not 0. A line that cannot be
// written is lost without a report.
void kx_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line into `line` (log_line_bytes): the time, the text cut where it
// would not fit, CR LF. Returns its length.
size_t kx_format_line(char* line, int hour, int minute, int second, const char* format, va_list args);
