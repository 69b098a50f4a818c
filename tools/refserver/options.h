// Command line of the reference server.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/refserver/sat.h"

struct rs_endpoint {
    uint32_t addr_net = 0;  // network order
    uint16_t port = 0;      // host order
};

// A destination that the server opens elsewhere: tests use it where the
// address a client names cannot itself be served on loopback.
struct rs_mapping {
    rs_endpoint from;
    rs_endpoint to;
};

struct refserver_options {
    rs_endpoint listen;
    bool control_set = false;
    rs_endpoint control;
    std::map<std::string, std::string> users;  // login -> password
    std::map<int, rs_endpoint> internal;       // service number -> destination
    std::vector<rs_mapping> maps;
    double loss_pct = 0;          // deterministic outgoing drop
    double timeout_s = 300;       // idle session time-out
    double keepalive_s = 5;       // idle keepalive period
    uint32_t stream_limit = 262144;   // pending bytes of one stream before stop
    uint32_t window_bytes = 64u << 20;  // data in flight per session
    uint32_t max_sessions = 256;
    uint32_t max_streams = 4096;  // per session
    int compression = 6;
    bool dns = false;             // names beyond /etc/hosts go to the system resolver
    std::string tun_name;         // TUN device of the tunnel packets; empty: none
    std::string tun_netns;        // its network namespace; empty: our own
    sat_options sat;              // downstream through a satellite card's feed
    bool account_set = false;     // the HTTP account service
    rs_endpoint account;
    std::map<std::string, std::string> account_csv;  // login -> "client.csv" answer
    std::map<std::string, std::string> account_xml;  // login -> "client.xml" answer
    bool verbose = false;
};

// Parses argv. Returns false with a message in *err on a bad option;
// *help is set for --help.
bool parse_options(int argc, char** argv, refserver_options* o, std::string* err, bool* help);

// "ADDR:PORT"; ADDR is a dotted quad or a host name. Port 0 is allowed.
bool parse_endpoint(const std::string& text, rs_endpoint* out);

extern const char* refserver_usage;
