#include "tools/linkem/options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace linkem {

namespace {

enum class Dir { both, up, down };

// How a link setting is read and where it goes. One table drives parsing
// and the help text's list of per-direction names.
struct LinkKey {
    const char* name;
    double min;
    double max;
    void (*store)(LinkParams*, double);
};

const LinkKey link_keys[] = {
    {"loss", 0, 100, [](LinkParams* p, double v) { p->loss_pct = v; }},
    {"dup", 0, 100, [](LinkParams* p, double v) { p->dup_pct = v; }},
    {"delay", 0, 600000, [](LinkParams* p, double v) { p->delay_ms = v; }},
    {"jitter", 0, 600000, [](LinkParams* p, double v) { p->jitter_ms = v; }},
    {"rate", 0, 100e6, [](LinkParams* p, double v) { p->rate_kbitps = v; }},
    {"reorder", 0, 100, [](LinkParams* p, double v) { p->reorder_pct = v; }},
    {"reorder-gap", 0, 600000, [](LinkParams* p, double v) { p->reorder_gap_ms = v; }},
    {"queue-ms", 0, 600000, [](LinkParams* p, double v) { p->queue_ms = v; }},
    // At most 1 GiB held per direction: enough for any rate-delay product
    // the relay can carry, and a hard cap on its memory.
    {"queue-bytes", 1500, 1073741824.0,
     [](LinkParams* p, double v) { p->queue_bytes = static_cast<size_t>(v); }},
    {"overhead", 0, 1000,
     [](LinkParams* p, double v) { p->overhead_bytes = static_cast<size_t>(v); }},
};

bool parse_number(const std::string& text, double min, double max, double* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(v)) return false;
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

struct Pending {
    const LinkKey* key;
    Dir dir;
    double value;
};

}  // namespace

bool parse_endpoint(const std::string& text, Endpoint* out) {
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) return false;
    }
    double p = 0;
    if (!parse_number(port, 0, 65535, &p) || p != std::floor(p)) return false;
    out->host = host;
    out->port = static_cast<uint16_t>(p);
    return true;
}

bool parse_options(int argc, const char* const* argv, Options* opt, std::string* error) {
    *opt = Options();
    std::vector<Pending> pending;
    bool have_listen = false;
    bool have_server = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            opt->help = true;
            return true;
        }
        if (arg.compare(0, 2, "--") != 0) {
            *error = "unexpected argument '" + arg + "'";
            return false;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool have_value = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            have_value = true;
        } else if (i + 1 < argc) {
            value = argv[++i];
            have_value = true;
        }
        if (!have_value) {
            *error = "option --" + name + " needs a value";
            return false;
        }
        if (name == "listen" || name == "server") {
            Endpoint* ep = name == "listen" ? &opt->listen : &opt->server;
            if (!parse_endpoint(value, ep)) {
                *error = "bad address '" + value + "' for --" + name + " (want HOST:PORT)";
                return false;
            }
            (name == "listen" ? have_listen : have_server) = true;
            continue;
        }
        if (name == "seed") {
            errno = 0;
            char* end = nullptr;
            unsigned long long s = std::strtoull(value.c_str(), &end, 0);
            if (value.empty() || errno != 0 || *end != '\0' || value[0] == '-') {
                *error = "bad value '" + value + "' for --seed";
                return false;
            }
            opt->seed = s;
            continue;
        }
        if (name == "stats") {
            if (!parse_number(value, 0, 86400, &opt->stats_interval_s)) {
                *error = "bad value '" + value + "' for --stats";
                return false;
            }
            continue;
        }
        Dir dir = Dir::both;
        std::string base = name;
        if (base.compare(0, 3, "up-") == 0) {
            dir = Dir::up;
            base = base.substr(3);
        } else if (base.compare(0, 5, "down-") == 0) {
            dir = Dir::down;
            base = base.substr(5);
        }
        const LinkKey* key = nullptr;
        for (const LinkKey& k : link_keys) {
            if (base == k.name) key = &k;
        }
        if (!key) {
            *error = "unknown option --" + name;
            return false;
        }
        double v = 0;
        if (!parse_number(value, key->min, key->max, &v)) {
            char range[96];
            std::snprintf(range, sizeof range, " (want a number from %g to %g)", key->min, key->max);
            *error = "bad value '" + value + "' for --" + name + range;
            return false;
        }
        pending.push_back({key, dir, v});
    }
    if (!have_listen || !have_server) {
        *error = "both --listen and --server are required";
        return false;
    }
    if (opt->server.port == 0) {
        *error = "--server needs a non-zero port";
        return false;
    }
    // Plain options first, then the per-direction ones on top of them.
    for (int pass = 0; pass < 2; pass++) {
        for (const Pending& p : pending) {
            if ((p.dir == Dir::both) != (pass == 0)) continue;
            if (p.dir != Dir::down) p.key->store(&opt->up, p.value);
            if (p.dir != Dir::up) p.key->store(&opt->down, p.value);
        }
    }
    return true;
}

const char* usage_text() {
    return "usage: linkem --listen ADDR:PORT --server ADDR:PORT [options]\n"
           "\n"
           "Relays UDP datagrams between a client (the first sender to ADDR:PORT of\n"
           "--listen, followed when it changes) and the server, through an emulated\n"
           "link. Port 0 for --listen picks a free port; the bound port is printed\n"
           "as \"LISTEN <port>\" on standard output.\n"
           "\n"
           "Link options, applied to both directions:\n"
           "  --loss PCT          lose datagrams at random (0-100)\n"
           "  --delay MS          one-way delay\n"
           "  --jitter MS         vary the delay uniformly by +-MS (keeps order)\n"
           "  --rate KBITPS       serialization rate, IP and UDP headers counted;\n"
           "                      0 = unlimited (default)\n"
           "  --dup PCT           deliver datagrams twice\n"
           "  --reorder PCT       hold datagrams back so that later ones overtake\n"
           "  --reorder-gap MS    how long they are held back (default 10)\n"
           "  --queue-ms MS       drop when the rate queue holds more than MS of\n"
           "                      sending time (default 1000)\n"
           "  --queue-bytes N     drop when a direction holds more than N bytes\n"
           "                      (default 16777216)\n"
           "  --overhead N        bytes added per datagram for the rate (default 28)\n"
           "Each of them also exists per direction: --up-NAME (client to server) and\n"
           "--down-NAME (server to client), e.g. --down-rate 8000 --up-loss 1.\n"
           "These win over the plain form whatever their order.\n"
           "\n"
           "Other options:\n"
           "  --seed N            random seed (default 1): same seed, same decisions\n"
           "  --stats S           print counters to standard error every S seconds\n"
           "  -h, --help          this text\n"
           "\n"
           "Counters are printed to standard error at exit (SIGINT, SIGTERM).\n";
}

}  // namespace linkem
