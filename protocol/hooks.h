// How the wire core reports: the program that links it decides where log
// lines and fatal errors go (the engine's log_msg/fatal_error, or the
// reference server's own). Until set, logs are dropped and fatal aborts.
#pragma once

#include <cstdarg>

using proto_log_fn = void (*)(int level, const char* fmt, va_list ap);
using proto_fatal_fn = void (*)(int where, const char* text);

void proto_set_hooks(proto_log_fn log, proto_fatal_fn fatal);

void proto_log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void proto_fatal(int where, const char* text);

// Conditions that only a bug in this program can cause (a count that would
// go below zero, tables out of step), never anything a peer, a file or a
// user sends. Debug, sanitizer and fuzz builds (QUORIN_CHECKED) stop on the
// fatal path so that drift is loud where it is looked for; other builds log
// the condition and the caller goes on with its safe fallback.
#define QUORIN_CHECK(cond) ((cond) ? (void)0 : proto_check_failed(#cond, __FILE__, __LINE__))
void proto_check_failed(const char* cond, const char* file, int line);
