// Files that must be regular files. A configuration or settings path may
// be a FIFO, a device or a directory by mistake or by malice: opening a
// FIFO waits for a writer, reading a device can block or never end. These
// open without waiting and refuse anything but a regular file.
#pragma once

#include <sys/types.h>

#include <string>

// open(path, flags, mode) without blocking on a FIFO; the descriptor is
// returned (blocking again, close-on-exec) only when it names a regular
// file. Else -1 with errno set: open's own, or EINVAL (EISDIR for a
// directory) for a path that opened but is not a regular file. A FIFO
// opened for writing with no reader fails in open with ENXIO.
int open_regular_file(const std::string& path, int flags, mode_t mode = 0600);

// The whole of a regular file, or false (and *text unchanged or partly
// filled) when there is none or reading failed.
bool read_regular_file(const std::string& path, std::string* text);
