#include "tuner/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tuner/state.h"

void kx_log_set_dir(const char* dir) {
    // Kept for the life of the process: the card's thread may log while the
    // process ends.
    static const char name[] = "/kestrix.log";
    const size_t n = std::strlen(dir);
    char* path = static_cast<char*>(std::malloc(n + sizeof name));
    if (!path) return;
    std::memcpy(path, dir, n);
    std::memcpy(path + n, name, sizeof name);
    kx.log_path = path;
}

size_t kx_format_line(char* line, int hour, int minute, int second, const char* format, va_list args) {
    std::snprintf(line, log_time_bytes + 1, "%.2u:%.2u:%.2u ", unsigned(hour) % 100, unsigned(minute) % 100,
                  unsigned(second) % 100);
    // Room for the text: the line less the time and CR LF, plus the
    // terminating zero vsnprintf writes.
    const size_t text_room = log_line_bytes - log_time_bytes - 2;
    const int n = std::vsnprintf(line + log_time_bytes, text_room + 1, format, args);
    size_t len = log_time_bytes + (n < 0 ? 0 : size_t(n) > text_room ? text_room : size_t(n));
    line[len++] = '\r';
    line[len++] = '\n';
    return len;
}

void kx_log(const char* format, ...) {
    if (kx.log_level == 0 || !kx.log_path) return;
    const time_t now = std::time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char line[log_line_bytes + 1];
    va_list args;
    va_start(args, format);
    const size_t len = kx_format_line(line, local.tm_hour, local.tm_min, local.tm_sec, format, args);
    va_end(args);
    // One open, one appending write and one close per line, so that the file
    // can be read or removed while the library runs; lines from the two
    // threads never interleave or replace one another.
    const int fd = open(kx.log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = write(fd, line, len);
    (void)written;
    close(fd);
}
