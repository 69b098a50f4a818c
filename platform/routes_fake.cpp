#include "platform/routes_fake.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace routes_fake {

namespace {

std::mutex mu;
std::vector<route_row> rows;
std::vector<std::string> call_log;
std::vector<int> monitors;  // write ends of open monitors' pipes, by handle
int waiting = 0;

bool same_key(const route_row& a, const route_row& b) {
    return a.dst == b.dst && a.mask == b.mask && a.metric == b.metric;
}

bool names(const route_row& want, const route_row& have) {
    if (!same_key(want, have)) return false;
    if (want.type == route_indirect && want.next_hop && want.next_hop != have.next_hop) return false;
    return !want.if_index || want.if_index == have.if_index;
}

// Each change reaches the monitors as one byte: 'o' for the caller's own
// (through the operations), 'c' for someone else's. Only the latter wake.
constexpr char own_change = 'o', other_change = 'c';

void announce_locked(char who) {
    for (int w : monitors)
        if (w >= 0) (void)!write(w, &who, 1);
}

int add_locked(const route_row& r, char who) {
    for (const route_row& have : rows)
        if (same_key(have, r)) return EEXIST;
    rows.push_back(r);
    announce_locked(who);
    return 0;
}

int del_locked(const route_row& r, char who) {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const route_row& have) { return names(r, have); });
    if (it == rows.end()) return ESRCH;
    rows.erase(it);
    announce_locked(who);
    return 0;
}

int fake_dump(std::vector<route_row>* out) {
    std::lock_guard<std::mutex> g(mu);
    call_log.push_back("dump");
    *out = rows;
    return 0;
}

int fake_add(const route_row& r) {
    std::lock_guard<std::mutex> g(mu);
    call_log.push_back("add " + route_text(r));
    return add_locked(r, own_change);
}

int fake_del(const route_row& r) {
    std::lock_guard<std::mutex> g(mu);
    call_log.push_back("del " + route_text(r));
    return del_locked(r, own_change);
}

// The handle is the read end of a pipe; its write end is kept in monitors.
int fake_monitor_open() {
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return -errno;
    std::lock_guard<std::mutex> g(mu);
    if (monitors.size() <= size_t(p[0])) monitors.resize(size_t(p[0]) + 1, -1);
    monitors[size_t(p[0])] = p[1];
    return p[0];
}

// True when someone else's change was among what was queued.
bool drain_others(int fd) {
    char b[64];
    bool others = false;
    ssize_t n;
    while ((n = read(fd, b, sizeof b)) > 0) others = others || std::find(b, b + n, other_change) != b + n;
    return others;
}

int fake_monitor_wait(int handle, int wake_fd) {
    {
        std::lock_guard<std::mutex> g(mu);
        call_log.push_back("monitor");
        waiting++;
    }
    int result = 0;
    for (;;) {
        pollfd p[2] = {{handle, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            result = -errno;
            break;
        }
        if (p[1].revents) break;
        if (p[0].revents && drain_others(handle)) {
            result = 1;
            break;
        }
    }
    std::lock_guard<std::mutex> g(mu);
    waiting--;
    return result;
}

void fake_monitor_close(int handle) {
    if (handle < 0) return;
    std::lock_guard<std::mutex> g(mu);
    if (size_t(handle) < monitors.size() && monitors[size_t(handle)] >= 0) {
        close(monitors[size_t(handle)]);
        monitors[size_t(handle)] = -1;
    }
    close(handle);
}

const route_ops fake_ops = {fake_dump, fake_add, fake_del, fake_monitor_open, fake_monitor_wait, fake_monitor_close};

}  // namespace

void install(const std::vector<route_row>& table) {
    {
        std::lock_guard<std::mutex> g(mu);
        rows = table;
        call_log.clear();
    }
    routes_set_impl(&fake_ops);
}

void uninstall() { routes_set_impl(nullptr); }

std::vector<route_row> table() {
    std::lock_guard<std::mutex> g(mu);
    return rows;
}

std::vector<std::string> calls() {
    std::lock_guard<std::mutex> g(mu);
    return call_log;
}

void clear_calls() {
    std::lock_guard<std::mutex> g(mu);
    call_log.clear();
}

void outside_add(const route_row& r) {
    std::lock_guard<std::mutex> g(mu);
    (void)add_locked(r, other_change);
}

void outside_del(const route_row& r) {
    std::lock_guard<std::mutex> g(mu);
    (void)del_locked(r, other_change);
}

int waiting_monitors() {
    std::lock_guard<std::mutex> g(mu);
    return waiting;
}

}  // namespace routes_fake
