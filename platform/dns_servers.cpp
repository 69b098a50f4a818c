#include "platform/dns_servers.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string path = "/etc/resolv.conf";
constexpr size_t resolv_conf_max_bytes = 1 << 20;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

int parse_dns_servers(const char* text, size_t len, dns_server_list* out) {
    *out = dns_server_list{};
    uint32_t found[dns_servers_max];
    uint32_t n = 0;
    size_t at = 0;
    while (at < len) {
        size_t end = at;
        while (end < len && text[end] != '\n') end++;
        std::string line(text + at, end - at);
        at = end + 1;
        size_t i = 0;
        while (i < line.size() && blank(line[i])) i++;
        static const char key[] = "nameserver";
        if (line.compare(i, sizeof key - 1, key) != 0) continue;
        i += sizeof key - 1;
        if (i >= line.size() || !blank(line[i])) continue;
        while (i < line.size() && blank(line[i])) i++;
        size_t j = i;
        while (j < line.size() && !blank(line[j]) && line[j] != '#' && line[j] != ';') j++;
        in_addr a{};
        // IPv6 servers are not on an IPv4 list.
        if (inet_pton(AF_INET, line.substr(i, j - i).c_str(), &a) != 1) continue;
        if (n == dns_servers_max) return ERANGE;
        found[n++] = a.s_addr;
    }
    out->count = n;
    std::memcpy(out->addr, found, n * sizeof found[0]);
    return 0;
}

int read_dns_servers(dns_server_list* out) {
    *out = dns_server_list{};
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return errno ? errno : ENOENT;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() < resolv_conf_max_bytes) text.append(buf, n);
    std::fclose(f);
    return parse_dns_servers(text.data(), text.size(), out);
}

void dns_servers_set_path(const char* p) { path = p ? p : "/etc/resolv.conf"; }
