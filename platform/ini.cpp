#include "platform/ini.h"

#include "platform/files.h"

#include <strings.h>

#include <cstdint>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string trim(const std::string& s, size_t begin, size_t end) {
    while (begin < end && is_blank(s[begin])) ++begin;
    while (end > begin && is_blank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

bool same_name(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string unquote(const std::string& v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

std::string cut(std::string s, size_t buffer_bytes) {
    if (buffer_bytes == ini_unbounded) return s;
    if (s.size() > buffer_bytes - 1) s.resize(buffer_bytes - 1);
    return s;
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

}  // namespace

bool ini_find(const std::string& text, const std::string& section, const std::string& key, std::string* value) {
    // A UTF-8 byte order mark in front of the first line is not part of it.
    size_t pos = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    bool seen_section = false;
    bool in_section = false;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        const std::string line = trim(text, pos, eol);
        pos = eol + 1;
        if (line.empty()) continue;
        if (line[0] == '[') {
            if (in_section) return false;  // only the first section of the name is searched
            size_t close = line.find(']');
            std::string name = trim(line, 1, close == std::string::npos ? line.size() : close);
            in_section = !seen_section && same_name(name, section);
            seen_section = seen_section || in_section;
            continue;
        }
        if (!in_section) continue;
        size_t eq = line.find('=');
        std::string name = trim(line, 0, eq == std::string::npos ? line.size() : eq);
        if (!same_name(name, key)) continue;
        *value = eq == std::string::npos ? std::string() : unquote(trim(line, eq + 1, line.size()));
        return true;
    }
    return false;
}

std::string ini_get_string(const std::string& path, const std::string& section, const std::string& key,
                           const std::string& def, size_t buffer_bytes) {
    std::string text, value;
    if (read_regular_file(path, &text) && ini_find(text, section, key, &value)) return cut(value, buffer_bytes);
    size_t end = def.size();
    while (end > 0 && def[end - 1] == ' ') --end;
    return cut(def.substr(0, end), buffer_bytes);
}

int ini_parse_int(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (is_blank(text[i]) || text[i] == '\n')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        const char p = text[i + 1];
        if (p == 'x' || p == 'X') base = 16;
        if (p == 'o' || p == 'O') base = 8;
        if (p == 'b' || p == 'B') base = 2;
        if (base != 10) i += 2;
    }
    uint32_t v = 0;
    for (; i < text.size() && digit_value(text[i]) < base; ++i) v = v * uint32_t(base) + uint32_t(digit_value(text[i]));
    return int(negative ? 0u - v : v);
}

int ini_get_int(const std::string& path, const std::string& section, const std::string& key, int def) {
    const std::string v = ini_get_string(path, section, key, "");
    return v.empty() ? def : ini_parse_int(v);
}
