// Command line of the link emulator.
#pragma once

#include <cstdint>
#include <string>

#include "tools/linkem/link_model.h"

namespace linkem {

struct Endpoint {
    std::string host;
    uint16_t port = 0;
};

struct Options {
    Endpoint listen;
    Endpoint server;
    LinkParams up;   // client to server
    LinkParams down; // server to client
    uint64_t seed = 1;
    double stats_interval_s = 0; // 0: totals only, at exit
    bool help = false;
};

// "HOST:PORT" (HOST may be empty for any address; "[v6]:port" accepted).
bool parse_endpoint(const std::string& text, Endpoint* out);

// Fills *opt from argv. Options that name a direction (--up-loss) win over
// the plain form (--loss) whatever their order. Returns false with a
// one-line reason in *error.
bool parse_options(int argc, const char* const* argv, Options* opt, std::string* error);

const char* usage_text();

}  // namespace linkem
