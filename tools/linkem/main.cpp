// linkem: a UDP relay that puts an emulated link (loss, delay, jitter,
// rate, duplication, reordering) between a client and a server. The link
// logic lives in link_model; this file only moves datagrams.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "tools/linkem/link_model.h"
#include "tools/linkem/options.h"

namespace {

// Largest UDP payload; anything the socket hands over fits.
constexpr size_t max_datagram_bytes = 65535;
// Datagrams read or written per socket per pass, so one busy direction
// cannot starve the other or the departure schedule.
constexpr int batch_per_pass = 256;
// Socket buffers big enough to absorb a burst between two passes.
constexpr int socket_buffer_bytes = 4 << 20;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

int64_t monotonic_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool resolve(const linkem::Endpoint& ep, bool passive, sockaddr_storage* out, socklen_t* out_len) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    // An empty host means "any address"; prefer IPv4 there, as the engine
    // and the reference server speak IPv4 only.
    if (ep.host.empty()) hints.ai_family = AF_INET;
    char port[8];
    std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(ep.port));
    addrinfo* res = nullptr;
    if (getaddrinfo(ep.host.empty() ? nullptr : ep.host.c_str(), port, &hints, &res) != 0 || !res) {
        return false;
    }
    std::memcpy(out, res->ai_addr, res->ai_addrlen);
    *out_len = res->ai_addrlen;
    freeaddrinfo(res);
    return true;
}

std::string address_text(const sockaddr_storage& sa) {
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (sa.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&sa);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
    } else if (sa.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    char text[INET6_ADDRSTRLEN + 16];
    std::snprintf(text, sizeof text, sa.ss_family == AF_INET6 ? "[%s]:%u" : "%s:%u", host, port);
    return text;
}

bool same_address(const sockaddr_storage& a, socklen_t alen, const sockaddr_storage& b, socklen_t blen) {
    return alen == blen && std::memcmp(&a, &b, alen) == 0;
}

void grow_buffers(int fd) {
    // The forcing variants pass the system maximum when running as root.
    int size = socket_buffer_bytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
}

void print_stats(const char* name, const linkem::LinkDirection& dir, uint64_t send_failed) {
    const linkem::LinkStats& s = dir.stats();
    std::fprintf(stderr,
                 "linkem %s: arrived %" PRIu64 " lost %" PRIu64 " queue_dropped %" PRIu64
                 " duplicated %" PRIu64 " reordered %" PRIu64 " departed %" PRIu64
                 " send_failed %" PRIu64 " bytes_in %" PRIu64 " bytes_out %" PRIu64 " held %zu\n",
                 name, s.arrived, s.lost, s.queue_dropped, s.duplicated, s.reordered, s.departed,
                 send_failed, s.bytes_arrived, s.bytes_departed, dir.held_count());
}

}  // namespace

int main(int argc, char** argv) {
    linkem::Options opt;
    std::string error;
    if (!linkem::parse_options(argc, argv, &opt, &error)) {
        std::fprintf(stderr, "linkem: %s\nTry 'linkem --help'.\n", error.c_str());
        return 2;
    }
    if (opt.help) {
        std::fputs(linkem::usage_text(), stdout);
        return 0;
    }

    sockaddr_storage listen_addr{};
    socklen_t listen_len = 0;
    sockaddr_storage server_addr{};
    socklen_t server_len = 0;
    if (!resolve(opt.listen, true, &listen_addr, &listen_len)) {
        std::fprintf(stderr, "linkem: cannot resolve listen address '%s'\n", opt.listen.host.c_str());
        return 1;
    }
    if (!resolve(opt.server, false, &server_addr, &server_len)) {
        std::fprintf(stderr, "linkem: cannot resolve server address '%s'\n", opt.server.host.c_str());
        return 1;
    }

    int client_fd = socket(listen_addr.ss_family, SOCK_DGRAM, 0);
    if (client_fd < 0 || bind(client_fd, reinterpret_cast<sockaddr*>(&listen_addr), listen_len) != 0) {
        std::fprintf(stderr, "linkem: cannot bind %s: %s\n", address_text(listen_addr).c_str(), std::strerror(errno));
        return 1;
    }
    // Connected, so only the server's datagrams come back on it.
    int server_fd = socket(server_addr.ss_family, SOCK_DGRAM, 0);
    if (server_fd < 0 || connect(server_fd, reinterpret_cast<sockaddr*>(&server_addr), server_len) != 0) {
        std::fprintf(stderr, "linkem: cannot reach %s: %s\n", address_text(server_addr).c_str(), std::strerror(errno));
        return 1;
    }
    set_nonblocking(client_fd);
    set_nonblocking(server_fd);
    grow_buffers(client_fd);
    grow_buffers(server_fd);

    sockaddr_storage bound{};
    socklen_t bound_len = sizeof bound;
    getsockname(client_fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
    unsigned bound_port = bound.ss_family == AF_INET6
                              ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                              : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    std::printf("LISTEN %u\n", bound_port);
    std::fflush(stdout);

    // SIGINT and SIGTERM are only delivered inside ppoll, so a stop request
    // can never slip in between the check and the wait.
    struct sigaction sa{};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t blocked;
    sigset_t wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);

    linkem::LinkDirection up(opt.up, opt.seed);
    linkem::LinkDirection down(opt.down, opt.seed ^ 0xD1B54A32D192ED03ull);
    uint64_t up_send_failed = 0;
    uint64_t down_send_failed = 0;

    sockaddr_storage client_addr{};
    socklen_t client_len = 0;
    std::vector<uint8_t> buf(max_datagram_bytes);
    std::vector<uint8_t> out;
    out.reserve(max_datagram_bytes);

    const int64_t stats_period_us = static_cast<int64_t>(opt.stats_interval_s * 1e6);
    int64_t next_stats_us = stats_period_us > 0 ? monotonic_us() + stats_period_us : INT64_MAX;

    while (!stop_requested) {
        int64_t now = monotonic_us();
        while (up.pop_due(now, &out)) {
            if (send(server_fd, out.data(), out.size(), 0) < 0 && errno != ECONNREFUSED) up_send_failed++;
        }
        while (down.pop_due(now, &out)) {
            if (client_len == 0 ||
                sendto(client_fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&client_addr),
                       client_len) < 0) {
                down_send_failed++;
            }
        }
        if (now >= next_stats_us) {
            print_stats("up", up, up_send_failed);
            print_stats("down", down, down_send_failed);
            next_stats_us = now + stats_period_us;
        }

        int64_t wake_us = std::min(std::min(up.next_departure_us(), down.next_departure_us()), next_stats_us);
        timespec timeout;
        timespec* timeout_ptr = nullptr;
        if (wake_us != INT64_MAX) {
            int64_t wait_us = std::max<int64_t>(wake_us - now, 0);
            timeout.tv_sec = wait_us / 1000000;
            timeout.tv_nsec = (wait_us % 1000000) * 1000;
            timeout_ptr = &timeout;
        }
        pollfd fds[2] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}};
        int n = ppoll(fds, 2, timeout_ptr, &wait_mask);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "linkem: poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[0].revents) {
            for (int i = 0; i < batch_per_pass; i++) {
                sockaddr_storage from{};
                socklen_t from_len = sizeof from;
                ssize_t got = recvfrom(client_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from),
                                       &from_len);
                if (got < 0) break;
                if (!same_address(from, from_len, client_addr, client_len)) {
                    client_addr = from;
                    client_len = from_len;
                    std::fprintf(stderr, "linkem: client %s\n", address_text(client_addr).c_str());
                }
                up.submit(monotonic_us(), buf.data(), static_cast<size_t>(got));
            }
        }
        if (fds[1].revents) {
            for (int i = 0; i < batch_per_pass; i++) {
                ssize_t got = recv(server_fd, buf.data(), buf.size(), 0);
                if (got < 0) {
                    // A refused earlier datagram is reported here; the
                    // server may come up later, so keep relaying.
                    if (udp_peer_unreachable(errno)) continue;
                    break;
                }
                down.submit(monotonic_us(), buf.data(), static_cast<size_t>(got));
            }
        }
    }
    print_stats("up", up, up_send_failed);
    print_stats("down", down, down_send_failed);
    close(client_fd);
    close(server_fd);
    return 0;
}
