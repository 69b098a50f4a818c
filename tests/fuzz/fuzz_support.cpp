#include "tests/fuzz/fuzz_support.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/config.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/timers.h"
#include "platform/net.h"
#include "platform/random.h"
#include "platform/sleep.h"
#include "platform/tick.h"

// ---------------------------------------------------------------- network guard

namespace {

bool strict_guard = false;
bool rewrite_bind = false;
const char* fopen_only = nullptr;

template <typename Fn>
Fn real(const char* name) {
    void* sym = dlsym(RTLD_NEXT, name);
    if (!sym) {
        std::fprintf(stderr, "fuzz guard: no real %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Fn>(sym);
}

// Loopback, a local socket, or no address at all (a connected socket).
bool destination_allowed(const sockaddr* sa, socklen_t len) {
    if (!sa) return true;
    if (len < socklen_t(sizeof(sa_family_t))) return false;
    switch (sa->sa_family) {
    case AF_UNIX:
    case AF_UNSPEC:
        return true;
    case AF_INET: {
        if (len < socklen_t(sizeof(sockaddr_in))) return false;
        sockaddr_in in;
        std::memcpy(&in, sa, sizeof in);
        return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
    }
    case AF_INET6: {
        if (len < socklen_t(sizeof(sockaddr_in6))) return false;
        sockaddr_in6 in6;
        std::memcpy(&in6, sa, sizeof in6);
        return IN6_IS_ADDR_LOOPBACK(&in6.sin6_addr);
    }
    default:
        return false;
    }
}

void refuse(const char* what, const sockaddr* sa) {
    char text[64] = "?";
    if (sa && sa->sa_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, sa, sizeof in);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    }
    if (strict_guard) {
        std::fprintf(stderr, "fuzz guard: %s towards %s refused in strict mode\n", what, text);
        std::abort();
    }
    errno = ECONNREFUSED;
}

// An internal service stands on a local stream socket instead of a loopback
// TCP connection to the service listener: the engine gets a connected,
// non-blocking stream socket whose far end neither reads nor writes, as the
// listener's unaccepted backlog was, without a TCP handshake through the
// kernel for every open. The far ends close with the input.
std::vector<int> service_peers;
// Connects that reached the listener after all (no descriptors left for a
// pair): their backlog is emptied with the input.
bool service_backlog = false;

bool connect_service(int fd, const sockaddr* sa, socklen_t len) {
    if (!sa || sa->sa_family != AF_INET || len < socklen_t(sizeof(sockaddr_in)) || env.service_listener < 0)
        return false;
    sockaddr_in in;
    std::memcpy(&in, sa, sizeof in);
    if (in.sin_addr.s_addr != htonl(INADDR_LOOPBACK) || in.sin_port != env.service_port) return false;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        service_backlog = true;
        return false;
    }
    if (dup2(pair[0], fd) < 0) {
        close(pair[0]);
        close(pair[1]);
        service_backlog = true;
        return false;
    }
    close(pair[0]);
    service_peers.push_back(pair[1]);
    return true;
}

}  // namespace

void guard_set_strict(bool strict) { strict_guard = strict; }
void guard_set_rewrite_bind(bool rewrite) { rewrite_bind = rewrite; }
void guard_set_fopen_only(const char* path) { fopen_only = path; }

extern "C" {

int connect(int fd, const sockaddr* sa, socklen_t len) {
    static auto fn = real<int (*)(int, const sockaddr*, socklen_t)>("connect");
    if (!destination_allowed(sa, len)) {
        refuse("connect", sa);
        return -1;
    }
    if (connect_service(fd, sa, len)) return 0;
    return fn(fd, sa, len);
}

ssize_t sendto(int fd, const void* buf, size_t n, int flags, const sockaddr* sa, socklen_t len) {
    static auto fn = real<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
    if (!destination_allowed(sa, len)) {
        refuse("sendto", sa);
        return -1;
    }
    return fn(fd, buf, n, flags, sa, len);
}

ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
    static auto fn = real<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
    if (msg && !destination_allowed(static_cast<const sockaddr*>(msg->msg_name), msg->msg_namelen)) {
        refuse("sendmsg", static_cast<const sockaddr*>(msg->msg_name));
        return -1;
    }
    return fn(fd, msg, flags);
}

int bind(int fd, const sockaddr* sa, socklen_t len) {
    static auto fn = real<int (*)(int, const sockaddr*, socklen_t)>("bind");
    if (rewrite_bind && sa && sa->sa_family == AF_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in.sin_port = 0;
        return fn(fd, reinterpret_cast<const sockaddr*>(&in), sizeof in);
    }
    return fn(fd, sa, len);
}

int getaddrinfo(const char*, const char*, const addrinfo*, addrinfo** res) {
    if (res) *res = nullptr;
    return EAI_NONAME;
}

hostent* gethostbyname(const char*) {
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}

FILE* fopen(const char* path, const char* mode) {
    static auto fn = real<FILE* (*)(const char*, const char*)>("fopen");
    // The engine opens files only to read its configuration and to append
    // to its log. Writing stays allowed: libFuzzer saves a reproducer with
    // "wb" when an input crashes inside the reader.
    if (fopen_only) {
        const bool append = mode && mode[0] == 'a';
        const bool other_read = mode && mode[0] == 'r' && (!path || std::strcmp(path, fopen_only) != 0);
        if (append || other_read) {
            errno = EACCES;
            return nullptr;
        }
    }
    return fn(path, mode);
}

FILE* fopen64(const char* path, const char* mode) { return fopen(path, mode); }

}  // extern "C"

// ---------------------------------------------------------------- engine

fuzz_env env;

namespace {

uint32_t fake_ms = 0;
uint32_t fake_tick() { return fake_ms; }
void no_sleep(uint32_t) {}

remote_record remotes[remote_table_size];
local_entry locals[local_table_size];

constexpr uint32_t clock_start_ms = 1000000;
// The same sequence from every fuzz_reset on: each input draws the same
// session ids and nonces.
uint32_t random_state = 0;
constexpr uint32_t random_seed = 12345;

bool fixed_random(void* out, size_t n) {
    auto* p = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; i++) {
        random_state ^= random_state << 13;
        random_state ^= random_state >> 17;
        random_state ^= random_state << 5;
        p[i] = uint8_t(random_state);
    }
    return true;
}

int loopback_socket(int type, uint16_t* port_net) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) {
        std::perror("fuzz: socket");
        std::abort();
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("fuzz: bind");
        std::abort();
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    if (port_net) *port_net = a.sin_port;
    set_nonblocking(fd);
    return fd;
}

bool own_fd(int fd) {
    return fd <= 2 || fd == env.sink || fd == env.engine_udp || fd == env.service_listener ||
           fd == env.dummy_listener || fd == spare_socket;
}

}  // namespace

void fuzz_init_once() {
    static bool done = false;
    if (done) return;
    done = true;
    std::signal(SIGPIPE, SIG_IGN);
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    log_install_protocol_hooks();
    tick_set_source(fake_tick);
    sleep_set_impl(no_sleep);
    random_set_impl(fixed_random);
    log_buffer();
    scratch = static_cast<uint8_t*>(mymalloc(scratch_bytes, 1));
    remote_table = remotes;
    local_table = locals;
    env.devnull = std::fopen("/dev/null", "w");
    env.sink = loopback_socket(SOCK_DGRAM, &env.sink_port);
    env.engine_udp = loopback_socket(SOCK_DGRAM, &env.engine_port);
    env.service_listener = loopback_socket(SOCK_STREAM, &env.service_port);
    listen(env.service_listener, 4096);
    env.dummy_listener = loopback_socket(SOCK_STREAM, nullptr);
    // Listening, so that a poll finds nothing on it: nobody connects.
    listen(env.dummy_listener, 1);
    spare_socket = loopback_socket(SOCK_DGRAM, nullptr);
}

void fuzz_clock_advance_ms(uint32_t ms) {
    fake_ms += ms;
    now = clock_now();
}

void fuzz_reset(int nlocals, int mode) {
    fuzz_init_once();
    // runtime_defaults closes a log file it finds: /dev/null stays open.
    runtime.log_file = nullptr;
    globals_reset();
    poll_reset();
    remote_table = remotes;
    local_table = locals;
    fake_ms = clock_start_ms;
    random_state = random_seed;
    clock_reset();
    now = clock_now();
    last_compaction = now;

    runtime.ttcp = 0;
    runtime.debug = 1;
    runtime.log_file = env.devnull;
    server_udp_fd = env.engine_udp;

    for (auto& r : remotes) r = remote_record{};
    for (auto& l : locals) l = local_entry{};
    remote_record& r = remotes[0];
    std::snprintf(r.name, sizeof r.name, "fuzz");
    r.server_addr = htonl(INADDR_LOOPBACK);
    r.server_port = env.sink_port;
    std::snprintf(r.login, sizeof r.login, "user");
    std::snprintf(r.passwd, sizeof r.passwd, "secret");
    r.speed_in_min = 1000;
    r.speed_in_max = 8000;
    r.speed_out_min = 50000;
    r.speed_out_max = 300000;
    r.mtu = 1472;
    r.mru = 1472;
    r.maxrtt = 5;
    r.ldelay_s = 0.05;
    r.tunnel_fd = -1;
    remote_count = 1;
    if (nlocals < 1) nlocals = 1;
    if (nlocals > local_table_size) nlocals = local_table_size;
    for (int i = 0; i < nlocals; i++) {
        locals[i].remotes = {0};
        locals[i].mode = mode;
        locals[i].service_number = mode == mode_service_int ? 1 : -1;
    }
    local_count = nlocals;
    for (service_entry& svc : services_table) {
        svc.addr = htonl(INADDR_LOOPBACK);
        svc.port = env.service_port;
    }

    fd_append(env.engine_udp, ev_read, fd_server_udp, nullptr, nullptr, 0);
    for (int i = 0; i < nlocals; i++) fd_append(env.dummy_listener, ev_read, fd_listener, nullptr, nullptr, i);
}

stx_session* fuzz_make_session(int local) {
    cur_index = fuzz_listener_index(local);
    if (find_session() != 0 || !cur_session) {
        std::fprintf(stderr, "fuzz: no session made\n");
        std::abort();
    }
    cur_session->working = 1;
    return cur_session;
}

void fuzz_teardown() {
    while (session_head) close_session(session_head);
    // The harness's own sockets stand behind several entries: compaction
    // must not close them.
    for (int i = 0; i < fd_poll.count; i++) {
        if (fd_poll.comp[i].close_flags && own_fd(fd_poll.entries[i].fd)) {
            fd_poll.comp[i].close_flags = 0;
            pending_removals--;
        }
    }
    // Entries of closed sessions no longer name them: compaction closes
    // their sockets like any other marked entry.
    if (pending_removals) fd_poll.count = poll_compact(fd_poll.count);
    for (int i = 0; i < fd_poll.count; i++) {
        const int fd = fd_poll.entries[i].fd;
        if (!own_fd(fd)) sock_close(fd);
    }
    fd_poll.count = 0;
    pending_removals = 0;
    cur_session = nullptr;
    cur_stream = nullptr;
    cur_index = -1;
    fuzz_drain(env.sink);
    fuzz_drain(env.engine_udp);
    while (service_backlog) {
        const int fd = accept(env.service_listener, nullptr, nullptr);
        if (fd < 0) break;
        close(fd);
    }
    service_backlog = false;
    for (const int fd : service_peers) close(fd);
    service_peers.clear();
}

void fuzz_loop_pass() {
    const int ready = poll_select(fd_poll.entries, fd_poll.count, 0);
    if (ready > 0) dispatch_ready(ready);
    session_timers();
    if (pending_removals) {
        fd_poll.count = poll_compact(fd_poll.count);
        last_compaction = now;
    }
}

namespace {

// The checks run after every record of every input: they are left out of
// the coverage feedback, which they would only slow down (their branches
// change nothing but an abort), and each costs one pass over what it checks.
#define FUZZ_UNTRACED __attribute__((no_sanitize("coverage")))

[[noreturn]] void broken(const char* what, long a, long b) {
    std::fprintf(stderr, "fuzz: bookkeeping broken: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

// The streams of every session's ring, sorted, for membership by search
// rather than a walk of the ring per question.
std::vector<std::pair<const s_stream*, const stx_session*>> ring_members;

FUZZ_UNTRACED bool in_ring(const stx_session* s, const s_stream* st) {
    const auto it = std::lower_bound(ring_members.begin(), ring_members.end(), std::make_pair(st, s));
    return it != ring_members.end() && it->first == st && it->second == s;
}

// The receive window of a session that once saw a far-ahead data id keeps
// 64 Ki slots: counted in one plain pass over the vector's own storage.
__attribute__((no_sanitize("address", "undefined", "coverage"))) long count_set(stx_packet* const* slots, size_t n) {
    size_t set = 0;
    for (size_t i = 0; i < n; i++) set += slots[i] != nullptr;
    return long(set);
}

FUZZ_UNTRACED void check_ring(const stx_session* s) {
    long ring = 0;
    uint64_t queued = 0;
    if (const s_stream* st = s->stream_ring) {
        do {
            if (st->next->prev != st) broken("stream ring links", ring, 0);
            // A mux header being collected waits in the input uncounted:
            // such a stream is not packed before its open command.
            if (st->handshake == hs_none) queued += st->input.len;
            if (++ring > long(stream_table_size) * 2) broken("stream ring does not close", ring, 0);
            ring_members.emplace_back(st, s);
            st = st->next;
        } while (st != s->stream_ring);
    }
    if (ring != long(s->stream_count)) broken("stream count", ring, long(s->stream_count));
    if (queued != s->queued_input) broken("queued input", long(queued), long(s->queued_input));
}

FUZZ_UNTRACED void check_session(const stx_session* s) {
    const long ring = long(s->stream_count);
    long ready = 0;
    if (const s_stream* st = s->ready_head) {
        do {
            if (!st->in_ready || st->ready_next->ready_prev != st) broken("ready list links", ready, 0);
            if (!in_ring(s, st)) broken("ready stream not in the ring", ready, 0);
            if (++ready > ring) broken("ready list does not close", ready, ring);
            st = st->ready_next;
        } while (st != s->ready_head);
    }
    if (ready != long(s->ready_count)) broken("ready count", ready, long(s->ready_count));

    uint64_t bytes = 0;
    long packets = 0;
    for (uint32_t i = 0; i < s->array_d.used; i++) {
        if (const stx_packet* p = s->array_d.slots[i]) {
            bytes += p->len;
            packets++;
        }
    }
    if (bytes != s->bytes_in_flight) broken("bytes in flight", long(bytes), long(s->bytes_in_flight));
    if (packets != long(s->packets_in_flight)) broken("packets in flight", packets, long(s->packets_in_flight));

    const rx_window& w = s->window;
    const size_t used = std::min<size_t>(w.used, w.slots.size());
    const long held = count_set(w.slots.data(), used);
    if (count_set(w.slots.data() + used, w.slots.size() - used) != 0) {
        size_t i = used;
        while (!w.slots[i]) i++;
        broken("window slot beyond used", long(i), long(w.used));
    }
    if (held != long(w.count)) broken("window count", held, long(w.count));
}

}  // namespace

FUZZ_UNTRACED void fuzz_check_sessions() {
    ring_members.clear();
    if (stx_session* s = session_head) {
        do {
            check_ring(s);
            s = s->next;
        } while (s != session_head);
    }
    std::sort(ring_members.begin(), ring_members.end());
    if (stx_session* s = session_head) {
        do {
            check_session(s);
            s = s->next;
        } while (s != session_head);
    }
    for (int i = 0; i < fd_poll.count; i++) {
        const poll_companion& c = fd_poll.comp[i];
        if (!c.stream) continue;
        if (!c.session) broken("stream entry without a session", i, 0);
        if (c.stream->fd_index != i) broken("stream's descriptor index", i, c.stream->fd_index);
        if (!in_ring(c.session, c.stream)) broken("entry's stream not in its session's ring", i, 0);
    }
}

bool fuzz_deliver_datagram(const uint8_t* data, size_t n) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = env.engine_port;
    const uint32_t before = stats.datagrams_received;
    if (sendto(env.sink, data, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return false;
    // Loopback delivers within sendto; the retries only cover a busy moment.
    for (int tries = 0; tries < 1000 && stats.datagrams_received == before; tries++) {
        cur_index = fuzz_udp_index;
        cur_session = nullptr;
        cur_stream = nullptr;
        udp_receive();
        if (stats.datagrams_received == before) usleep(10);
    }
    return stats.datagrams_received != before;
}

void fuzz_drain(int fd) {
    if (fd < 0) return;
    uint8_t buf[4096];
    for (int i = 0; i < 100000; i++) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
    }
}

bool fuzz_reader::take_u8(uint8_t* v) {
    if (left < 1) return false;
    *v = *p++;
    left--;
    return true;
}

bool fuzz_reader::take_u16(uint16_t* v) {
    if (left < 2) return false;
    *v = uint16_t(p[0] | (p[1] << 8));
    p += 2;
    left -= 2;
    return true;
}

size_t fuzz_reader::take(const uint8_t** out, size_t n) {
    if (n > left) n = left;
    *out = p;
    p += n;
    left -= n;
    return n;
}
