// The machine's DNS servers (DnsQueryConfig's server list): the IPv4
// "nameserver" lines of the resolver configuration, /etc/resolv.conf
// unless a test names another file.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int dns_servers_max = 16;

struct dns_server_list {
    uint32_t count = 0;
    uint32_t addr[dns_servers_max] = {};  // network order
};

// Parses resolver configuration text. Returns 0, or ERANGE when it names
// more than dns_servers_max IPv4 servers (the list is then empty: the
// caller's fixed buffer could not hold them).
int parse_dns_servers(const char* text, size_t len, dns_server_list* out);

// Reads and parses the configured file: 0, or an errno (the list is then empty).
int read_dns_servers(dns_server_list* out);

// nullptr restores /etc/resolv.conf.
void dns_servers_set_path(const char* path);
