// Load tool for the benchmarks: a data source/sink server and clients for
// bulk transfer, request latency and connection scale. Every client connects
// straight to a TCP address; what sits in between (nothing, the engine's
// forwarding listener, kcptun) is the benchmark driver's business.
//
//   qbench serve PORT
//   qbench get HOST:PORT BYTES rand|text CONNS      -> "bytes B seconds S"
//   qbench put HOST:PORT BYTES rand|text CONNS      -> "bytes B seconds S"
//   qbench latency HOST:PORT COUNT                  -> "p50_ms X p99_ms Y avg_ms A max_ms M"
//   qbench scale HOST:PORT CONNS                    -> "ok N errors E seconds S"
//
// Wire of the server: one request line, then
//   "GET n k\n"  the server sends n bytes of kind k and closes
//   "PUT n\n"    the client sends n bytes, the server answers "OK\n"
//   "ECHO\n"     every 100-byte block is sent back
//   "PING\n"     the server answers "PONG\n" and closes
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

double wall() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<uint8_t> make_payload(const std::string& kind) {
    std::vector<uint8_t> buf(1 << 20);
    if (kind == "text") {
        static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ", "dog ",
                                      "satellite ", "session ", "packet ", "stream ", "<div>", "</div>\n"};
        std::mt19937 rng(7);
        size_t i = 0;
        while (i < buf.size()) {
            const char* w = words[rng() % (sizeof words / sizeof *words)];
            for (const char* p = w; *p && i < buf.size(); ++p) buf[i++] = uint8_t(*p);
        }
    } else {
        std::mt19937_64 rng(11);
        for (size_t i = 0; i + 8 <= buf.size(); i += 8) {
            uint64_t v = rng();
            std::memcpy(&buf[i], &v, 8);
        }
    }
    return buf;
}

bool parse_hostport(const std::string& s, sockaddr_in* a) {
    auto colon = s.rfind(':');
    if (colon == std::string::npos) return false;
    std::memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_port = htons(uint16_t(std::atoi(s.c_str() + colon + 1)));
    return inet_pton(AF_INET, s.substr(0, colon).c_str(), &a->sin_addr) == 1;
}

int connect_to(const sockaddr_in& a) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    while (n > 0) {
        ssize_t k = send(fd, b, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        b += k;
        n -= size_t(k);
    }
    return true;
}

// ------------------------------------------------------------------ server
struct conn_state {
    std::string line;
    bool have_line = false;
    int mode = 0;  // 1 get, 2 put, 3 echo
    uint64_t left = 0;
    uint64_t off = 0;
    const std::vector<uint8_t>* payload = nullptr;
    std::string echo;
};

int serve(int port) {
    static const std::vector<uint8_t> rand_payload = make_payload("rand");
    static const std::vector<uint8_t> text_payload = make_payload("text");
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 65535) != 0) {
        perror("qbench serve");
        return 1;
    }
    socklen_t al = sizeof a;
    getsockname(ls, reinterpret_cast<sockaddr*>(&a), &al);
    std::printf("LISTEN %d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    fcntl(ls, F_SETFL, O_NONBLOCK);
    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = ls;
    epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);
    std::unordered_map<int, conn_state> conns;
    std::vector<epoll_event> evs(1024);
    std::vector<uint8_t> rbuf(1 << 16);
    auto drop = [&](int fd) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conns.erase(fd);
    };
    auto pump_get = [&](int fd, conn_state& c) {
        while (c.left > 0) {
            size_t off = size_t(c.off % c.payload->size());
            size_t n = std::min<uint64_t>(c.left, c.payload->size() - off);
            ssize_t k = send(fd, c.payload->data() + off, n, MSG_NOSIGNAL);
            if (k < 0 && (errno == EAGAIN || errno == EINTR)) return;
            if (k <= 0) {
                drop(fd);
                return;
            }
            c.left -= uint64_t(k);
            c.off += uint64_t(k);
        }
        drop(fd);
    };
    for (;;) {
        int n = epoll_wait(ep, evs.data(), int(evs.size()), -1);
        for (int i = 0; i < n; ++i) {
            int fd = evs[i].data.fd;
            if (fd == ls) {
                for (;;) {
                    int c = accept4(ls, nullptr, nullptr, SOCK_NONBLOCK);
                    if (c < 0) break;
                    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event ce{};
                    ce.events = EPOLLIN;
                    ce.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
                    conns[c] = conn_state{};
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end()) continue;
            conn_state& c = it->second;
            if (c.mode == 1) {
                pump_get(fd, c);
                continue;
            }
            ssize_t k = recv(fd, rbuf.data(), rbuf.size(), 0);
            if (k < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (k <= 0) {
                drop(fd);
                continue;
            }
            size_t used = 0;
            if (!c.have_line) {
                for (; used < size_t(k); ++used) {
                    char ch = char(rbuf[used]);
                    if (ch == '\n') {
                        c.have_line = true;
                        ++used;
                        break;
                    }
                    if (c.line.size() < 256) c.line += ch;
                }
                if (!c.have_line) continue;
                char kind[16] = {0};
                unsigned long long bytes = 0;
                if (std::sscanf(c.line.c_str(), "GET %llu %15s", &bytes, kind) == 2) {
                    c.mode = 1;
                    c.left = bytes;
                    c.payload = std::strcmp(kind, "text") == 0 ? &text_payload : &rand_payload;
                    epoll_event me{};
                    me.events = EPOLLOUT;
                    me.data.fd = fd;
                    epoll_ctl(ep, EPOLL_CTL_MOD, fd, &me);
                    pump_get(fd, c);
                    continue;
                } else if (std::sscanf(c.line.c_str(), "PUT %llu", &bytes) == 1) {
                    c.mode = 2;
                    c.left = bytes;
                } else if (c.line == "ECHO") {
                    c.mode = 3;
                } else if (c.line == "PING") {
                    send_all(fd, "PONG\n", 5);
                    drop(fd);
                    continue;
                } else {
                    drop(fd);
                    continue;
                }
            }
            size_t rest = size_t(k) - used;
            if (c.mode == 2) {
                c.left -= std::min<uint64_t>(c.left, rest);
                if (c.left == 0) {
                    send_all(fd, "OK\n", 3);
                    drop(fd);
                }
            } else if (c.mode == 3) {
                c.echo.append(reinterpret_cast<char*>(rbuf.data() + used), rest);
                size_t whole = c.echo.size() / 100 * 100;
                if (whole) {
                    if (!send_all(fd, c.echo.data(), whole)) {
                        drop(fd);
                        continue;
                    }
                    c.echo.erase(0, whole);
                }
            }
        }
    }
}

// ------------------------------------------------------------------ clients
int bulk(const sockaddr_in& a, uint64_t bytes, const std::string& kind, int conns, bool upload) {
    std::atomic<uint64_t> total{0};
    std::atomic<int> errors{0};
    uint64_t each = bytes / uint64_t(conns);
    double t0 = wall();
    std::vector<std::thread> th;
    for (int i = 0; i < conns; ++i) {
        th.emplace_back([&] {
            int fd = connect_to(a);
            if (fd < 0) {
                ++errors;
                return;
            }
            char line[64];
            std::vector<uint8_t> buf(1 << 16);
            if (!upload) {
                int n = std::snprintf(line, sizeof line, "GET %llu %s\n", (unsigned long long)each, kind.c_str());
                send_all(fd, line, size_t(n));
                uint64_t got = 0;
                for (;;) {
                    ssize_t k = recv(fd, buf.data(), buf.size(), 0);
                    if (k <= 0) break;
                    got += uint64_t(k);
                }
                if (got != each) ++errors;
                total += got;
            } else {
                static const std::vector<uint8_t> rp = make_payload("rand");
                static const std::vector<uint8_t> tp = make_payload("text");
                const std::vector<uint8_t>& p = kind == "text" ? tp : rp;
                int n = std::snprintf(line, sizeof line, "PUT %llu\n", (unsigned long long)each);
                send_all(fd, line, size_t(n));
                uint64_t sent = 0;
                while (sent < each) {
                    size_t off = size_t(sent % p.size());
                    size_t m = size_t(std::min<uint64_t>(each - sent, p.size() - off));
                    if (!send_all(fd, p.data() + off, m)) break;
                    sent += m;
                }
                ssize_t k = recv(fd, buf.data(), 3, MSG_WAITALL);
                if (k != 3 || std::memcmp(buf.data(), "OK\n", 3) != 0) ++errors;
                else total += sent;
            }
            close(fd);
        });
    }
    for (auto& t : th) t.join();
    double dt = wall() - t0;
    std::printf("bytes %llu seconds %.6f errors %d\n", (unsigned long long)total.load(), dt, errors.load());
    return errors.load() ? 1 : 0;
}

int latency(const sockaddr_in& a, int count) {
    int fd = connect_to(a);
    if (fd < 0) {
        std::printf("error connect\n");
        return 1;
    }
    send_all(fd, "ECHO\n", 5);
    std::vector<double> samples;
    char msg[100], back[100];
    std::memset(msg, 'x', sizeof msg);
    for (int i = 0; i < count; ++i) {
        double t0 = wall();
        if (!send_all(fd, msg, sizeof msg)) break;
        if (recv(fd, back, sizeof back, MSG_WAITALL) != ssize_t(sizeof back)) break;
        samples.push_back((wall() - t0) * 1000.0);
    }
    close(fd);
    if (samples.empty()) {
        std::printf("error no samples\n");
        return 1;
    }
    std::sort(samples.begin(), samples.end());
    auto pct = [&](double q) { return samples[std::min(samples.size() - 1, size_t(q * double(samples.size())))]; };
    double sum = 0;
    for (double v : samples) sum += v;
    std::printf("p50_ms %.3f p99_ms %.3f avg_ms %.3f max_ms %.3f samples %zu\n", pct(0.5), pct(0.99),
                sum / double(samples.size()), samples.back(), samples.size());
    return samples.size() == size_t(count) ? 0 : 1;
}

// Opens every connection first, then has each ask for a small reply.
int scale(const sockaddr_in& a, int conns) {
    double t0 = wall();
    std::vector<int> fds;
    int errors = 0;
    for (int i = 0; i < conns; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            ++errors;
            continue;
        }
        fcntl(fd, F_SETFL, O_NONBLOCK);
        int r = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        if (r != 0 && errno != EINPROGRESS) {
            close(fd);
            ++errors;
            continue;
        }
        fds.push_back(fd);
    }
    std::vector<int> state(fds.size(), 0);  // 0 connecting, 1 sent, 2 done, 3 failed
    std::vector<std::string> got(fds.size());
    size_t open = fds.size();
    double deadline = wall() + 120;
    while (open > 0 && wall() < deadline) {
        std::vector<pollfd> pf;
        std::vector<size_t> idx;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (state[i] >= 2) continue;
            pf.push_back({fds[i], short(state[i] == 0 ? POLLOUT : POLLIN), 0});
            idx.push_back(i);
        }
        if (poll(pf.data(), pf.size(), 200) <= 0) continue;
        for (size_t j = 0; j < pf.size(); ++j) {
            size_t i = idx[j];
            if (!pf[j].revents) continue;
            if (state[i] == 0) {
                if (!send_all(fds[i], "PING\n", 5)) {
                    state[i] = 3;
                    --open;
                    continue;
                }
                state[i] = 1;
            } else {
                char b[16];
                ssize_t k = recv(fds[i], b, sizeof b, 0);
                if (k > 0) {
                    got[i].append(b, size_t(k));
                    if (got[i] == "PONG\n") {
                        state[i] = 2;
                        --open;
                    }
                } else if (k == 0 || (errno != EAGAIN && errno != EINTR)) {
                    state[i] = 3;
                    --open;
                }
            }
        }
    }
    int ok = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (state[i] == 2) ++ok;
        else ++errors;
        close(fds[i]);
    }
    std::printf("ok %d errors %d seconds %.3f\n", ok, errors, wall() - t0);
    return errors ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "serve") == 0) return serve(std::atoi(argv[2]));
    sockaddr_in a{};
    if (argc < 3 || !parse_hostport(argv[2], &a)) {
        std::fprintf(stderr, "usage: see the top of bench/qbench.cpp\n");
        return 2;
    }
    std::string cmd = argv[1];
    if ((cmd == "get" || cmd == "put") && argc == 6)
        return bulk(a, std::strtoull(argv[3], nullptr, 10), argv[4], std::max(1, std::atoi(argv[5])), cmd == "put");
    if (cmd == "latency" && argc == 4) return latency(a, std::atoi(argv[3]));
    if (cmd == "scale" && argc == 4) return scale(a, std::atoi(argv[3]));
    std::fprintf(stderr, "usage: see the top of bench/qbench.cpp\n");
    return 2;
}
