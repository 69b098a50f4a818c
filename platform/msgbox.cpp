#include "platform/msgbox.h"

#include <cstdio>
#include <cstring>

void message_box(const char* text, const char* caption) {
    // One line: a trailing newline in the text must not split it.
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
    std::fprintf(stderr, "%s: %.*s\n", caption, int(n), text);
    std::fflush(stderr);
}
