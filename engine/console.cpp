#include "engine/console.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/routes.h"
#include "engine/streams.h"
#include "platform/net.h"

namespace {

constexpr char prompt[] = "Quorin>";
constexpr int accept_limit = 32768;
constexpr int staging_step = 32;
constexpr int min_command_bytes = 3;
constexpr int route_thread_wait_ms = 500;

constexpr char help_text[] =
    "----------------------------------------------------------------------------------------\n"
    "****                \t\tQuorin cli help\t\t\t\t\t   \t\t \t****\n"
    "show sessions\t\t\t\tShow current active session\t\t\t\t\t\t\n"
    "show session N\t\t\t\tShow session details\t\t\t\t\t\t\t\n"
    "show stat\t\t\t\t\tShow process statistics\t\t\t\t\t\t\t\n"
    "shutdown\t\t\t\t\tShutdown process (it will restart by watchdog)\t\n"
    "quit \t\t\t\t\t\tQuit from here\t\t\t\t\t\t\t\t\t\n"
    "----------------------------------------------------------------------------------------\n";

// New console connections of one readiness event, appended in one step.
std::vector<int> staged;

void send_text(int fd, const char* text, size_t n) {
    // A console client that went away must cost nothing but the reply.
    (void)send(fd, text, n, MSG_NOSIGNAL);
}

void send_prompt(int fd) { send_text(fd, prompt, sizeof prompt - 1); }

// Leaves the descriptor table at once: the last entry takes this slot.
void close_console(int index, int result) {
    log_msg(1000, "Closing control socket, return %d", result);
    sock_close(fd_poll.entries[index].fd);
    int last = fd_poll.count - 1;
    if (index != last) {
        fd_poll.entries[index] = fd_poll.entries[last];
        fd_poll.comp[index] = fd_poll.comp[last];
        if (fd_poll.comp[index].stream) fd_poll.comp[index].stream->fd_index = index;
    }
    fd_poll.count = last;
}

// One speed: decimal digits only, above 0 and within the rate arithmetic's
// 32-bit signed range. A speed of 0 would stop every packet, the login's
// answer included.
bool parse_speed(const char* p, const char* end, uint32_t* out) {
    if (p == end || end - p > 10) return false;
    uint64_t v = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + uint64_t(*p - '0');
    }
    if (v == 0 || v > uint64_t(INT32_MAX)) return false;
    *out = uint32_t(v);
    return true;
}

// A[:B] with A <= B afterwards; false, and nothing set, when either is no
// positive number.
bool parse_speeds(const char* arg, uint32_t* a, uint32_t* b) {
    const char* end = arg + std::strlen(arg);
    const char* colon = std::strchr(arg, ':');
    uint32_t lo, hi;
    if (!parse_speed(arg, colon ? colon : end, &lo)) return false;
    if (colon && !parse_speed(colon + 1, end, &hi)) return false;
    if (!colon) hi = lo;
    if (hi < lo) lo = hi;
    *a = lo;
    *b = hi;
    return true;
}

void refuse_speed(int fd, const char* arg) {
    sock_printf(fd, "Error: Invalid speed '%s': A or A:B expected, positive numbers of bytes per second\n", arg);
}

void show_sessions(int fd) {
    if (!session_head) {
        sock_printf(fd, "No active sessions\n");
        return;
    }
    sock_printf(fd, "Active sessions:\n");
    stx_session* s = session_head;
    do {
        sock_printf(fd, "ID: %d, Name: '%s'\n", int(s->session_id), s->name);
        s = s->next;
    } while (s && s != session_head);
}

void show_session(int fd, const char* arg) {
    // Ids above 2^31 are listed as negative numbers; both spellings name the same session.
    uint32_t id = arg ? uint32_t(std::strtoll(arg, nullptr, 10)) : 0;
    if (id == 0) {
        sock_printf(fd, "Error: Invalid session id\n");
        return;
    }
    if (!session_head) {
        sock_printf(fd, "Error: No active sessions\n");
        return;
    }
    stx_session* s = session_head;
    do {
        if (s->session_id == id) {
            sock_printf(fd, "Session %d information:\n", int(id));
            sock_printf(fd, "  Username\t%s\n", s->name);
            sock_printf(fd, "  TX Speed\tCurrent %d Max %d Min %d bps\n", int(s->speed), int(s->speed_max),
                        int(s->speed_min));
            sock_printf(fd, "  Sockets\t%d\n", int(s->stream_count));
            sock_printf(fd, "  Last RX packet\t%d (%s)\n", int(s->last_rx_pid),
                        s->last_rx_pid ? "WORKING" : "CONNECTING");
            return;
        }
        s = s->next;
    } while (s && s != session_head);
}

void show_stat(int fd) {
    double asked = stats.datagrams_received ? stats.resends_asked * 100.0 / stats.datagrams_received : 0;
    double resent = stats.datagrams_sent ? stats.resent * 100.0 / stats.datagrams_sent : 0;
    sock_printf(fd, "/%lld/%lld/%lld/%lld/%d/%d/%.2f/%d/%d/%.2f\n", (long long)stats.udp_in,
                (long long)stats.udp_out, (long long)stats.local_in, (long long)stats.local_out,
                int(stats.datagrams_received), int(stats.resends_asked), asked, int(stats.datagrams_sent),
                int(stats.resent), resent);
}

// Calls fn for each session in ring order; fn may not unlink sessions.
template <typename Fn>
void for_each_session(Fn fn) {
    stx_session* s = session_head;
    if (!s) return;
    do {
        fn(s);
        s = s->next;
    } while (s && s != session_head);
}

void set_speed_in(int fd, const char* arg) {
    uint32_t a, b;
    if (!parse_speeds(arg, &a, &b)) return refuse_speed(fd, arg);
    for (int i = 0; i < remote_count; ++i) {
        remote_table[i].speed_in_min = a;
        remote_table[i].speed_in_max = b;
    }
    // The server learns the new receive speeds from a fresh login.
    stx_session* saved = cur_session;
    for_each_session([](stx_session* s) {
        if (s->close_mark) return;
        cur_session = s;
        send_init_packet();
    });
    cur_session = saved;
}

void set_speed_out(int fd, const char* arg) {
    uint32_t a, b;
    if (!parse_speeds(arg, &a, &b)) return refuse_speed(fd, arg);
    for (int i = 0; i < remote_count; ++i) {
        remote_table[i].speed_out_min = a;
        remote_table[i].speed_out_max = b;
    }
    for_each_session([a, b](stx_session* s) {
        s->speed_min = a;
        s->speed = a;
        s->speed_max = b;
    });
}

void set_server(const char* arg) {
    char host[256];
    std::snprintf(host, sizeof host, "%s", arg);
    if (char* colon = std::strchr(host, ':')) *colon = 0;
    uint32_t addr;
    if (!resolve_ipv4(host, &addr)) {
        log_msg(0, "server parameter is not resolved!! server not changed\n");
        return;
    }
    for (int i = 0; i < remote_count; ++i) remote_table[i].server_addr = addr;
    reset_sessions();
    change_server_route(addr);
}

enum class command { none, quit, help, shutdown, show_sessions, show_session, show_stat, reset_sessions,
                     set_speed_in, set_speed_out, set_server };

struct sub_command {
    const char* word0;
    const char* word1;  // null: the first word alone
    command cmd;
    bool takes_argument;
};

// One table drives recognition; the help text above lists the same commands.
const sub_command commands[] = {
    {"quit", nullptr, command::quit, false},
    {"help", nullptr, command::help, false},
    {"shutdown", nullptr, command::shutdown, false},
    {"show", "sessions", command::show_sessions, false},
    {"show", "session", command::show_session, true},
    {"show", "stat", command::show_stat, false},
    {"reset", "sessions", command::reset_sessions, false},
    {"set", "speed_in", command::set_speed_in, true},
    {"set", "speed_out", command::set_speed_out, true},
    {"set", "server", command::set_server, true},
};

struct parsed_command {
    command cmd = command::none;
    const char* argument = nullptr;  // the last word after the sub-command
};

// Words are cut in place; only the first two and the last matter.
parsed_command parse_block(char* text) {
    parsed_command out;
    const sub_command* match = nullptr;
    int word = 0;
    const char* word0 = nullptr;
    char* save = nullptr;
    for (char* p = strtok_r(text, " ", &save); p; p = strtok_r(nullptr, " ", &save), ++word) {
        if (word == 0) {
            word0 = p;
            bool has_sub = false;
            for (const sub_command& c : commands) {
                if (std::strcmp(c.word0, p) != 0) continue;
                if (c.word1)
                    has_sub = true;
                else
                    match = &c;
            }
            if (match || !has_sub) break;
        } else if (word == 1) {
            for (const sub_command& c : commands)
                if (c.word1 && std::strcmp(c.word0, word0) == 0 && std::strcmp(c.word1, p) == 0) match = &c;
            if (!match) break;
            if (!match->takes_argument) break;
        } else {
            out.argument = p;
        }
    }
    if (match) out.cmd = match->cmd;
    return out;
}

}  // namespace

int sock_printf(int fd, const char* fmt, ...) {
    char* buf = log_buffer();
    int prefix = log_prefix(buf);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf + prefix, size_t(log_buffer_bytes - prefix), fmt, ap);
    va_end(ap);
    return int(send(fd, buf, std::strlen(buf), MSG_NOSIGNAL));
}

void control_accept() {
    const int listener = fd_poll.entries[cur_index].fd;
    staged.clear();
    for (int i = 0; i < accept_limit; ++i) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            int err = sock_last_error();
            // Even the reserve is taken: the waiting connection stays in
            // the backlog until a descriptor comes back.
            if (sock_out_of_descriptors(err)) {
                accept_pause();
                break;
            }
            if (!sock_would_block(err)) log_msg(1, "accept() error=%d. Connection refused, continue work...\n", err);
            break;
        }
        set_nonblocking(fd);
        send_prompt(fd);
        if (staged.size() == staged.capacity()) staged.reserve(staged.size() + staging_step);
        staged.push_back(fd);
    }
    if (staged.empty()) return;
    fd_reserve(int(staged.size()));
    for (int fd : staged) fd_append(fd, ev_read, fd_console, nullptr, nullptr, 0);
    staged.clear();
}

void control_command() {
    const int index = cur_index;
    const int fd = fd_poll.entries[index].fd;
    // One byte more than is read, so that the block is always a C string.
    const size_t size = runtime.rcvbuf > 0 ? size_t(runtime.rcvbuf) : 0;
    char* buf = static_cast<char*>(mymalloc(size + 1, 1));
    ssize_t n = recv(fd, buf, size, 0);
    if (n == 0 || (n < 0 && !sock_would_block(sock_last_error()))) {
        close_console(index, int(n));
        mem_free(buf);
        return;
    }
    if (n >= min_command_bytes) {
        for (ssize_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(buf[i]);
            if (c < 0x20 || c > 0x7E) buf[i] = ' ';
        }
        buf[n] = 0;
        parsed_command pc = parse_block(buf);
        switch (pc.cmd) {
            case command::quit:
                close_console(index, int(n));
                mem_free(buf);
                return;
            case command::help:
                send_text(fd, help_text, sizeof help_text - 1);
                break;
            case command::shutdown:
                mem_free(buf);
                shutdown_sequence();
                return;
            case command::show_sessions:
                show_sessions(fd);
                break;
            case command::show_session:
                show_session(fd, pc.argument);
                break;
            case command::show_stat:
                show_stat(fd);
                break;
            case command::reset_sessions:
                reset_sessions();
                break;
            case command::set_speed_in:
                if (pc.argument) set_speed_in(fd, pc.argument);
                break;
            case command::set_speed_out:
                if (pc.argument) set_speed_out(fd, pc.argument);
                break;
            case command::set_server:
                if (pc.argument) set_server(pc.argument);
                break;
            case command::none:
                break;
        }
    }
    send_prompt(fd);
    mem_free(buf);
}

void shutdown_sequence() {
    log_msg(1, "Shutdown command recieved\n");
    reset_sessions();
    // The process ends under its streams: their applications must see the
    // transfers cut, not finished, when the descriptors close at exit.
    streams_cut_all();
    if (tun.end_work) {
        log_msg(1, "Restoring routes\n");
        restore_routes();
        log_msg(1, "Stopping TAP\n");
        tun.end_work();
    } else {
        // A library without end_work cannot be stopped, but the routes that
        // were set through it still go back.
        restore_routes();
    }
    if (ui.UIQuit) {
        log_msg(1, "Closing UI\n");
        ui.UIQuit();
    }
    // The monitor thread is waited for on every road, so that it never
    // touches the table after the restore; without a monitor this is no wait.
    const bool monitor_ended = route_monitor_join(route_thread_wait_ms);
    // Headless there is nobody to end the process for us.
    if (!ui.UIStartStat) std::exit(-1);
    if (!monitor_ended) log_msg(1, "Route check thread not finished! Bug?\n");
    log_msg(1, "Good bye. Have a nice day.\n");
    pthread_exit(nullptr);
}
