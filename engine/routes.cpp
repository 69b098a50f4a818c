#include "engine/routes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/globals.h"
#include "engine/startup.h"
#include "platform/dns_servers.h"
#include "platform/routes.h"
#include "platform/sleep.h"

const char* route_log_name = "route.log";

namespace {

constexpr int adapter_route_tries = 10;
constexpr uint32_t adapter_route_wait_ms = 500;
constexpr uint32_t routes_settle_ms = 1000;
constexpr uint32_t default_metric_start = 65535;
constexpr uint32_t host_mask = 0xFFFFFFFFu;
constexpr uint32_t broadcast_addr = 0xFFFFFFFFu;
constexpr int exit_monitor_wait_ms = 500;

// A row whose metric was raised: the row as it was, and its raised metric.
struct raised_row {
    route_row original;
    uint32_t metric;
};

struct route_state {
    // One lock for setting, restoring and moving the server route; it is
    // never held across a sleep.
    std::mutex lock;
    uint32_t tunnel_ip = 0, peer_ip = 0, server_ip = 0;  // network order
    dns_server_list dns;
    bool dns_wanted = false;
    std::atomic<bool> shutdown{false};
    std::atomic<bool> server_route_pending{false};

    bool records = false;  // the five records below were filled once
    route_row saved_default, server_route, dns_route, half1, half2;
    bool server_route_set = false, half1_set = false, half2_set = false;
    std::vector<route_row> deleted_defaults;  // every default that a pass deleted
    std::vector<route_row> dns_routes_set;
    std::vector<raised_row> raised;
    bool touched = false;  // something in the table was changed

    FILE* log = nullptr;

    pthread_t monitor{};
    bool monitor_running = false;
    int monitor_replace = 0;
    int wake[2] = {-1, -1};
    std::atomic<int> passes{0};
    std::atomic<bool> waiting{false};

    pid_t owner = 0;
    bool exit_hook = false;
};

route_state st;
thread_local bool on_monitor_thread = false;

FILE* route_log() {
    if (!st.log) {
        st.log = std::fopen(route_log_name, "a+");
        if (st.log) std::setvbuf(st.log, nullptr, _IONBF, 0);
    }
    return st.log;
}

void rlog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void rlog(const char* fmt, ...) {
    FILE* f = route_log();
    if (!f) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
}

void rlog_flush() {
    if (st.log) std::fflush(st.log);
}

const uint8_t* bytes_of(const uint32_t& v) { return reinterpret_cast<const uint8_t*>(&v); }

void log_row(const route_row& r) {
    const uint8_t* d = bytes_of(r.dst);
    const uint8_t* m = bytes_of(r.mask);
    const uint8_t* v = bytes_of(r.next_hop);
    rlog("Dst: %lu.%lu.%lu.%lu Mask: %lu.%lu.%lu.%lu Via: %lu.%lu.%lu.%lu Met: %lu\n", (unsigned long)d[0],
         (unsigned long)d[1], (unsigned long)d[2], (unsigned long)d[3], (unsigned long)m[0], (unsigned long)m[1],
         (unsigned long)m[2], (unsigned long)m[3], (unsigned long)v[0], (unsigned long)v[1], (unsigned long)v[2],
         (unsigned long)v[3], (unsigned long)r.metric);
}

void log_found(const char* what, const route_row& r) {
    rlog("found %s route: Dst: %lx Mask: %lx Via: %lx Met: %lu\n", what, (unsigned long)r.dst,
         (unsigned long)r.mask, (unsigned long)r.next_hop, (unsigned long)r.metric);
}

// The monitor's pauses end early when it is told to stop; the engine
// thread's go through the injectable sleep and end at a stop signal.
void pause_ms(uint32_t ms) {
    if (!on_monitor_thread || st.wake[0] < 0) {
        (void)wait_unless_stopped(ms);
        return;
    }
    pollfd p{st.wake[0], POLLIN, 0};
    while (poll(&p, 1, int(ms)) < 0 && errno == EINTR) {
    }
}

// After a stop signal the shutdown is near: nothing more is set up, and
// whatever was set is put back by the shutdown.
bool stopping() { return st.shutdown || stop_signal_received(); }

void wake_monitor() {
    if (st.wake[1] >= 0) (void)!write(st.wake[1], "w", 1);
}

void drain_wake() {
    char b[64];
    while (st.wake[0] >= 0 && read(st.wake[0], b, sizeof b) > 0) {
    }
}

// A resolver on this machine (a loopback stub, or 0.0.0.0, which the
// resolver takes for this machine) is no server to route to: a host route
// through the gateway would take its queries off the machine, since the
// longest prefix wins over the local table's 127.0.0.0/8.
bool on_this_machine(uint32_t addr_net) {
    const uint8_t first = bytes_of(addr_net)[0];
    return first == 127 || addr_net == 0;
}

bool same_route(const route_row& a, const route_row& b) {
    return a.dst == b.dst && a.mask == b.mask && a.next_hop == b.next_hop && a.if_index == b.if_index;
}

// The host routes go through the old default gateway: for a default with
// several next hops, through its first one, alone.
route_row through_first_hop(const route_row& def) {
    route_row r = def;
    if (r.hops.empty()) return r;
    r.flags |= r.hops[0].flags;
    r.attrs.insert(r.attrs.end(), r.hops[0].attrs.begin(), r.hops[0].attrs.end());
    r.hops.clear();
    r.nh_id = 0;
    return r;
}

// A row that the kernel cannot take in place gets its new metric as a new
// route, and the old one goes only once the new one is there.
int move_metric(const route_row& from, uint32_t metric) {
    route_row to = from;
    to.metric = metric;
    if (int err = routes().add(to)) return err;
    return routes().del(from);
}

void raise_metric(const route_row& r, uint32_t add) {
    const uint32_t metric = r.metric + add;
    const int err = move_metric(r, metric);
    if (err) {
        rlog("Old default route metric set error: %i\n", err);
        return;
    }
    rlog("Old default route metric set\n");
    st.touched = true;
    for (raised_row& e : st.raised) {
        if (same_route(e.original, r) && e.metric == r.metric) {
            e.metric = metric;
            return;
        }
    }
    st.raised.push_back(raised_row{r, metric});
}

void add_logged(route_row& r, const char* what, bool* set) {
    const int err = routes().add(r);
    if (err) {
        rlog("Set %s failed. Error code:%i \n", what, err);
        return;
    }
    rlog("Set %s success\n", what);
    if (set) *set = true;
    st.touched = true;
}

void delete_half_routes() {
    if (st.half1_set && routes().del(st.half1) == 0) st.half1_set = false;
    if (st.half2_set && routes().del(st.half2) == 0) st.half2_set = false;
    // A half route that someone else removed is gone all the same.
    st.half1_set = st.half2_set = false;
}

void delete_server_route() {
    if (!st.server_route_set) return;
    (void)routes().del(st.server_route);
    st.server_route_set = false;
}

void delete_dns_routes() {
    for (const route_row& r : st.dns_routes_set) (void)routes().del(r);
    st.dns_routes_set.clear();
}

void create_half_routes() {
    add_logged(st.half1, "default route 1", &st.half1_set);
    add_logged(st.half2, "default route 2", &st.half2_set);
}

void set_both(const std::vector<route_row>& table, const route_row& def, const route_row& tun, int replace) {
    log_found("default", def);
    log_found("tun", tun);
    delete_server_route();
    st.records = true;
    st.saved_default = def;
    st.server_route = through_first_hop(def);
    st.dns_route = st.server_route;
    st.half1 = tun;
    st.half2 = tun;
    const uint32_t d = def.metric;
    const uint32_t t = tun.metric;

    if (d < t && !replace) {
        for (const route_row& r : table)
            if (r.dst == 0 && r.next_hop != st.peer_ip) raise_metric(r, t);
    } else if (replace) {
        const int err = routes().del(def);
        if (err) {
            rlog("Del default route failed. Error code:%i \n", err);
        } else {
            rlog("Del default route success\n");
            // A default that comes back (the user adds it again) and is
            // deleted once more is still one route to put back.
            const auto same = [&](const route_row& r) { return same_route(r, def) && r.metric == def.metric; };
            const bool listed = std::any_of(st.deleted_defaults.begin(), st.deleted_defaults.end(), same);
            if (!listed) st.deleted_defaults.push_back(def);
            st.touched = true;
        }
    }

    st.server_route.dst = st.server_ip;
    st.server_route.mask = host_mask;
    st.server_route.proto = route_proto_static;
    st.server_route.metric = d;
    if (st.dns_wanted) {
        delete_dns_routes();
        st.dns_route.mask = host_mask;
        st.dns_route.proto = route_proto_static;
        st.dns_route.metric = d;
        for (uint32_t i = 0; i < st.dns.count; i++) {
            if (st.dns.addr[i] == st.peer_ip || on_this_machine(st.dns.addr[i])) continue;
            st.dns_route.dst = st.dns.addr[i];
            bool made = false;
            add_logged(st.dns_route, "DNS route", &made);
            if (made) st.dns_routes_set.push_back(st.dns_route);
        }
    }

    for (route_row* h : {&st.half1, &st.half2}) {
        h->mask = prefix_mask(1);
        h->type = route_indirect;
        h->proto = route_proto_static;
        h->next_hop = st.peer_ip;
        h->metric = t;
        h->scope = route_scope_universe;
        h->hops.clear();
        h->nh_id = 0;
        // The peer is reached through the tunnel whatever the adapter's prefix.
        h->flags = route_flag_onlink;
    }
    st.half1.dst = 0;
    st.half2.dst = prefix_mask(1);  // 128.0.0.0
    add_logged(st.server_route, "server route", &st.server_route_set);
    create_half_routes();
}

void monitor_log_change(int ret) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    rlog("[%02d/%02d/%4d %02d:%02d:%02d][%d]", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
         tm.tm_sec, int(getpid()));
    rlog("route table changed, ret: %i\n", ret);
}

void* route_monitor(void* arg) {
    on_monitor_thread = true;
    const int* replace = static_cast<const int*>(arg);
    const int h = routes().monitor_open();
    for (;;) {
        st.waiting = true;
        const int r = h < 0 ? h : routes().monitor_wait(h, st.wake[0]);
        st.waiting = false;
        if (r < 0) {
            std::lock_guard<std::mutex> g(st.lock);
            rlog("WTF? NRC ret: %i\n", r);
            rlog_flush();
            break;
        }
        drain_wake();
        if (st.shutdown) break;
        if (r == 0 && !st.server_route_pending) continue;
        st.passes++;
        {
            std::lock_guard<std::mutex> g(st.lock);
            monitor_log_change(0);
        }
        if (st.server_route_pending) {
            set_server_route();
            st.server_route_pending = false;
            pause_ms(routes_settle_ms);
        } else {
            SetRoute(replace);
        }
    }
    if (h >= 0) routes().monitor_close(h);
    return nullptr;
}

void routes_at_exit() {
    if (st.owner != getpid()) return;
    if (st.touched && !st.shutdown) restore_routes();
    wake_monitor();
    (void)route_monitor_join(exit_monitor_wait_ms);
    // Then the library gives its device back: the device's own routes go
    // with its address, after the routes through it were taken away. A
    // second call after the console's shutdown does nothing.
    if (tun.end_work) tun.end_work();
}

}  // namespace

void set_route_params(uint32_t tunnel_ip, uint32_t peer_ip, uint32_t server_ip) {
    std::lock_guard<std::mutex> g(st.lock);
    st.tunnel_ip = tunnel_ip;
    st.peer_ip = peer_ip;
    st.server_ip = server_ip;
    st.owner = getpid();
    // A fatal error or any other exit after this point must not leave the
    // machine's default route behind the tunnel.
    if (!st.exit_hook) {
        st.exit_hook = true;
        std::atexit(routes_at_exit);
    }
}

void set_dns_routes() {
    std::lock_guard<std::mutex> g(st.lock);
    const int rc = read_dns_servers(&st.dns);
    rlog("Try to set DNS servers route\n");
    rlog("DnsQueryConfig return %i. DNS List:\n", rc);
    if (rc != 0) {
        st.dns.count = 0;
    } else {
        for (uint32_t i = 0; i < st.dns.count; i++) {
            const uint8_t* a = bytes_of(st.dns.addr[i]);
            rlog("n: %i. addr: %i.%i.%i.%i\n", int(i + 1), a[0], a[1], a[2], a[3]);
        }
    }
    st.dns_wanted = true;
    rlog_flush();
}

void SetRoute(const int* replace_flag) {
    const int replace = replace_flag ? *replace_flag : 0;
    std::unique_lock<std::mutex> g(st.lock);
    if (stopping()) return;
    rlog("SetRoute. replace=%i. \n", replace);
    delete_half_routes();
    for (int i = 0;; i++) {
        std::vector<route_row> table;
        const int err = routes().dump(&table);
        if (err) {
            rlog("GetIpForwardTable failed. return: %i, size=%lu\n", err, 0ul);
            rlog_flush();
            return;
        }
        rlog("Route table (size %lu):\n", (unsigned long)table.size());
        const route_row* def = nullptr;
        const route_row* tun = nullptr;
        uint32_t lowest = default_metric_start;
        for (const route_row& r : table) {
            log_row(r);
            // Metrics are compared in 16 bits, as the table once kept them.
            if (r.dst == 0 && r.mask == 0 && r.next_hop != st.peer_ip && (r.metric & 0xFFFF) <= lowest) {
                lowest = r.metric & 0xFFFF;
                def = &r;
                rlog(" DEF \n");
            }
            if (r.next_hop == st.tunnel_ip && r.dst != broadcast_addr) {
                tun = &r;
                rlog(" TUN \n");
            }
        }
        if (def && tun) {
            set_both(table, *def, *tun, replace);
            rlog_flush();
            g.unlock();
            pause_ms(routes_settle_ms);
            return;
        }
        if (!def || tun || i >= adapter_route_tries) {
            if (i >= adapter_route_tries) ui_progress(9);
            // A default route deleted by an earlier pass: only the half
            // routes come back.
            if (replace && !def && st.records)
                create_half_routes();
            else
                rlog("Tun or default route not found\n");
            rlog_flush();
            return;
        }
        rlog("Tun route not found, mb adapter still init?\n");
        rlog_flush();
        g.unlock();
        ui_progress(7);
        pause_ms(adapter_route_wait_ms);
        g.lock();
        if (stopping()) return;
    }
}

void route_monitor_start(const int* replace) {
    std::lock_guard<std::mutex> g(st.lock);
    if (st.monitor_running || stopping()) return;
    if (st.wake[0] < 0 && pipe2(st.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        st.wake[0] = st.wake[1] = -1;
        rlog("WTF? NRC ret: %i\n", -errno);
        return;
    }
    st.monitor_replace = replace ? *replace : 0;
    if (pthread_create(&st.monitor, nullptr, route_monitor, &st.monitor_replace) != 0) {
        rlog("WTF? NRC ret: %i\n", -EAGAIN);
        return;
    }
    st.monitor_running = true;
}

void change_server_route(uint32_t server_ip) {
    std::lock_guard<std::mutex> g(st.lock);
    if (st.shutdown) return;
    st.server_ip = server_ip;
    st.server_route_pending = true;
    delete_server_route();
    wake_monitor();
}

void set_server_route() {
    std::lock_guard<std::mutex> g(st.lock);
    if (st.shutdown || !st.records) return;
    st.server_route.dst = st.server_ip;
    add_logged(st.server_route, "server route", &st.server_route_set);
    rlog_flush();
}

void restore_routes() {
    std::lock_guard<std::mutex> g(st.lock);
    if (st.shutdown) return;
    st.shutdown = true;
    wake_monitor();
    if (!st.touched) return;
    // The old default comes back before the half routes go, so that there
    // is a way out at every moment.
    // Each pass that found a default deleted it: all of them come back,
    // not only the last one saved.
    for (const route_row& r : st.deleted_defaults) {
        const int err = routes().add(r);
        if (err)
            rlog("Restore old default route failed. Error code:%i \n", err);
        else
            rlog("Old default route restored\n");
    }
    st.deleted_defaults.clear();
    for (const raised_row& e : st.raised) {
        route_row now = e.original;
        now.metric = e.metric;
        const int err = move_metric(now, e.original.metric);
        if (err)
            rlog("Restore old default route metric failed. Error code:%i \n", err);
        else
            rlog("Old default route metric restored\n");
    }
    st.raised.clear();
    for (int i = 0; i < 2; i++) {
        bool& set = i == 0 ? st.half1_set : st.half2_set;
        if (!set) continue;
        const int err = routes().del(i == 0 ? st.half1 : st.half2);
        if (err)
            rlog("Remove default route %d failed. Error code:%i \n", i + 1, err);
        else
            rlog("Default route %d removed.\n", i + 1);
        set = false;
    }
    for (const route_row& r : st.dns_routes_set) {
        const int err = routes().del(r);
        if (err)
            rlog("Remove route to DNS server failed. Error code:%i \n", err);
        else
            rlog("Route to DNS server removed.\n");
    }
    st.dns_routes_set.clear();
    if (st.server_route_set) {
        const int err = routes().del(st.server_route);
        if (err)
            rlog("Remove route to server failed. Error code:%i \n", err);
        else
            rlog("Route to quorin server removed.\n");
        st.server_route_set = false;
    }
    rlog_flush();
}

bool route_monitor_join(int ms) {
    if (!st.monitor_running) return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += long(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(st.monitor, nullptr, &deadline) != 0) return false;
    st.monitor_running = false;
    return true;
}

int route_monitor_passes() { return st.passes; }

bool route_monitor_waiting() { return st.waiting; }

void routes_reset() {
    {
        std::lock_guard<std::mutex> g(st.lock);
        st.shutdown = true;
        wake_monitor();
    }
    if (st.monitor_running) {
        pthread_join(st.monitor, nullptr);
        st.monitor_running = false;
    }
    std::lock_guard<std::mutex> g(st.lock);
    for (int& fd : st.wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    if (st.log) std::fclose(st.log);
    st.log = nullptr;
    st.tunnel_ip = st.peer_ip = st.server_ip = 0;
    st.dns = dns_server_list{};
    st.dns_wanted = false;
    st.server_route_pending = false;
    st.records = false;
    st.server_route_set = st.half1_set = st.half2_set = false;
    st.deleted_defaults.clear();
    st.dns_routes_set.clear();
    st.raised.clear();
    st.touched = false;
    st.passes = 0;
    st.waiting = false;
    st.shutdown = false;
}
