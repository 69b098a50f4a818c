#include "tools/refserver/options.h"

#include <cstdlib>
#include <cstring>

#include "platform/net.h"

const char* refserver_usage =
    "usage: refserver --listen ADDR:PORT [options]\n"
    "  --listen ADDR:PORT       UDP address of the service (port 0: any free port)\n"
    "  --user LOGIN:PASSWORD    an account (repeatable)\n"
    "  --internal N=HOST:PORT   internal service N (0-31) (repeatable)\n"
    "  --control ADDR:PORT      test control listener (OPEN/OPENNAME/OPENINT/STATS)\n"
    "  --map A:P=B:Q            open B:Q whenever a client asks for A:P (repeatable)\n"
    "  --loss PCT               drop this share of outgoing datagrams, deterministically\n"
    "  --timeout SEC            close sessions idle this long (300)\n"
    "  --keepalive SEC          keepalive period of an idle session (5)\n"
    "  --stream-limit BYTES     pending bytes of a stream before it is stopped (262144)\n"
    "  --window BYTES           unacknowledged bytes per session (67108864)\n"
    "  --max-sessions N         (256)\n"
    "  --max-streams N          per session (4096)\n"
    "  --compression N          deflate level (6)\n"
    "  --dns                    resolve names beyond /etc/hosts with the system resolver\n"
    "  --tun NAME               carry tunnel packets through this TUN device (made if missing)\n"
    "  --netns NS               the TUN device's network namespace (a name in /run/netns or a path)\n"
    "  --sat FEED:PORT,PID,SATIP\n"
    "                           sessions' datagrams go out as UDP to SATIP (the engine's\n"
    "                           port) in MPE sections on PID, their TS packets over UDP\n"
    "                           to FEED; resets and refusals stay on the UDP socket\n"
    "  --account ADDR:PORT      HTTP account service (/client.csv, /client.xml) for the --user accounts\n"
    "  --account-csv LOGIN=TEXT the account's /client.csv answer (default 0::2066::1)\n"
    "  --account-xml LOGIN=TEXT the account's /client.xml answer\n"
    "  -v, --verbose            one line per stream event\n"
    "\n"
    "Standard output, one flushed line per event:\n"
    "  LISTEN <udp port>            CONTROL <tcp port>            ACCOUNT <tcp port>\n"
    "  LOGIN ok|repeat <login> session <hex> speed_in <a>:<b> mru <m>\n"
    "  LOGIN refused <login>        LOGIN full <login>\n"
    "  RESET <hex>                  (the client reset its session)\n"
    "  UNKNOWN <hex>                (a datagram of no session, answered with a reset)\n"
    "  SESSION closed <hex> <reset|timeout|protocol|refused|shutdown>\n"
    "  OPEN <hex> <stream> <host:port>    OPENINT <hex> <stream> <n>\n"
    "  CONNECT failed <hex> <stream> <destination> <reason>\n"
    "  CONTROL open <hex> <stream> <what>    SHUTDOWN\n"
    "  TUN <name>                   (the TUN device is open)\n"
    "\n"
    "Control connections send one line first:\n"
    "  OPEN <ipv4> <port> | OPENNAME <host> <port> | OPENINT <n>\n"
    "      open a stream on the newest session and bridge the rest of the\n"
    "      connection with it; closed when the client ends the stream\n"
    "  STATS\n"
    "      one line of datagram and byte counts, then the connection closes\n"
    "  STOP <stream> | CONTINUE <stream>\n"
    "      send that flow-control command for a stream of the newest session\n";

namespace {

bool parse_number(const char* text, double lo, double hi, double* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (!end || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

bool parse_endpoint(const std::string& text, rs_endpoint* out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    const std::string host = text.substr(0, colon);
    double port = 0;
    if (!parse_number(text.c_str() + colon + 1, 0, 65535, &port) || port != double(int(port))) return false;
    uint32_t addr = 0;
    if (!resolve_ipv4(host.c_str(), &addr)) return false;
    out->addr_net = addr;
    out->port = uint16_t(port);
    return true;
}

bool parse_options(int argc, char** argv, refserver_options* o, std::string* err, bool* help) {
    bool listen_set = false;
    *help = false;
    for (int i = 1; i < argc; i++) {
        const std::string opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            *help = true;
            return true;
        }
        if (opt == "-v" || opt == "--verbose") {
            o->verbose = true;
            continue;
        }
        if (opt == "--dns") {
            o->dns = true;
            continue;
        }
        if (i + 1 >= argc) {
            *err = "missing value for " + opt;
            return false;
        }
        const std::string val = argv[++i];
        double num = 0;
        if (opt == "--listen") {
            if (!parse_endpoint(val, &o->listen)) {
                *err = "bad --listen " + val;
                return false;
            }
            listen_set = true;
        } else if (opt == "--control") {
            if (!parse_endpoint(val, &o->control)) {
                *err = "bad --control " + val;
                return false;
            }
            o->control_set = true;
        } else if (opt == "--account") {
            if (!parse_endpoint(val, &o->account)) {
                *err = "bad --account " + val;
                return false;
            }
            o->account_set = true;
        } else if (opt == "--account-csv" || opt == "--account-xml") {
            const size_t eq = val.find('=');
            if (eq == std::string::npos || eq == 0) {
                *err = "bad " + opt + " " + val + " (LOGIN=TEXT)";
                return false;
            }
            (opt == "--account-csv" ? o->account_csv : o->account_xml)[val.substr(0, eq)] = val.substr(eq + 1);
        } else if (opt == "--user") {
            const size_t colon = val.find(':');
            // The engine sends at most 15 characters of either.
            if (colon == std::string::npos || colon == 0 || colon > 15 || val.size() - colon - 1 > 15) {
                *err = "bad --user " + val + " (LOGIN:PASSWORD, each at most 15 characters)";
                return false;
            }
            o->users[val.substr(0, colon)] = val.substr(colon + 1);
        } else if (opt == "--internal") {
            const size_t eq = val.find('=');
            double n = 0;
            rs_endpoint ep;
            if (eq == std::string::npos || !parse_number(val.substr(0, eq).c_str(), 0, 31, &n) ||
                !parse_endpoint(val.substr(eq + 1), &ep)) {
                *err = "bad --internal " + val + " (N=HOST:PORT, N 0-31)";
                return false;
            }
            o->internal[int(n)] = ep;
        } else if (opt == "--map") {
            const size_t eq = val.find('=');
            rs_mapping m;
            if (eq == std::string::npos || !parse_endpoint(val.substr(0, eq), &m.from) ||
                !parse_endpoint(val.substr(eq + 1), &m.to)) {
                *err = "bad --map " + val + " (A:P=B:Q)";
                return false;
            }
            o->maps.push_back(m);
        } else if (opt == "--loss") {
            if (!parse_number(val.c_str(), 0, 100, &o->loss_pct)) {
                *err = "bad --loss " + val;
                return false;
            }
        } else if (opt == "--timeout") {
            if (!parse_number(val.c_str(), 0.1, 1e6, &o->timeout_s)) {
                *err = "bad --timeout " + val;
                return false;
            }
        } else if (opt == "--keepalive") {
            if (!parse_number(val.c_str(), 0.05, 3600, &o->keepalive_s)) {
                *err = "bad --keepalive " + val;
                return false;
            }
        } else if (opt == "--stream-limit") {
            if (!parse_number(val.c_str(), 1024, 1 << 30, &num)) {
                *err = "bad --stream-limit " + val;
                return false;
            }
            o->stream_limit = uint32_t(num);
        } else if (opt == "--window") {
            if (!parse_number(val.c_str(), 16384, 1u << 30, &num)) {
                *err = "bad --window " + val;
                return false;
            }
            o->window_bytes = uint32_t(num);
        } else if (opt == "--max-sessions") {
            if (!parse_number(val.c_str(), 1, 65536, &num)) {
                *err = "bad --max-sessions " + val;
                return false;
            }
            o->max_sessions = uint32_t(num);
        } else if (opt == "--max-streams") {
            if (!parse_number(val.c_str(), 1, 65535, &num)) {
                *err = "bad --max-streams " + val;
                return false;
            }
            o->max_streams = uint32_t(num);
        } else if (opt == "--sat") {
            if (!parse_sat_option(val, &o->sat)) {
                *err = "bad --sat " + val + " (FEED_ADDR:PORT,PID,SATIP; PID 0-8191)";
                return false;
            }
        } else if (opt == "--compression") {
            if (!parse_number(val.c_str(), 0, 9, &num)) {
                *err = "bad --compression " + val;
                return false;
            }
            o->compression = int(num);
        } else if (opt == "--tun") {
            // IFNAMSIZ less the terminator.
            if (val.empty() || val.size() > 15 || val.find('/') != std::string::npos) {
                *err = "bad --tun " + val + " (an interface name of at most 15 characters)";
                return false;
            }
            o->tun_name = val;
        } else if (opt == "--netns") {
            o->tun_netns = val;
        } else {
            *err = "unknown option " + opt;
            return false;
        }
    }
    if (!o->tun_netns.empty() && o->tun_name.empty()) {
        *err = "--netns needs --tun";
        return false;
    }
    if (!listen_set) {
        *err = "--listen is required";
        return false;
    }
    return true;
}
