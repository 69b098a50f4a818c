#include "engine/tunnel.h"

#include <cstring>
#include <vector>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/routes.h"
#include "engine/startup.h"
#include "platform/adapters.h"

namespace {

constexpr uint32_t dhcp_lease_s = 360000;
constexpr uint32_t thread_settle_ms = 500;
constexpr uint32_t address_change_wait_ms = 30000;
constexpr int guid_buffer_bytes = 256;

// The route code keeps a pointer to it for the life of the process.
int route_replace = 0;

bool device_opened(intptr_t handle) { return handle != tun_handle_none && handle != tun_handle_invalid; }

struct adapter_lookup {
    bool found = false;
    uint32_t index = 0;
    std::vector<adapter_address> addresses;
};

// The adapter is the interface whose name is exactly the one the library
// reported, and only when it opened a device: an empty name must not pick
// the first interface of the machine and release its addresses.
adapter_lookup find_adapter(intptr_t handle, const char* name) {
    adapter_lookup out;
    std::vector<adapter_entry> list;
    std::vector<adapter_address> addrs;
    bool ok = true;
    if (int err = adapters().list(&list)) {
        log_msg(1, "Error GAI1: %d\n", err);
        ok = false;
    }
    if (int err = adapters().addresses(&addrs)) {
        log_msg(1, "Error GII: %d\n", err);
        ok = false;
    }
    if (!ok) return out;
    const adapter_entry* hit = nullptr;
    if (device_opened(handle) && name[0]) {
        for (const adapter_entry& e : list) {
            if (e.name == name) {
                hit = &e;
                break;
            }
        }
    }
    if (!hit) {
        log_msg(1, "Adapter ix not found in list.\n");
        return out;
    }
    log_msg(1, "Adapter ix found in list. Name: %s ix: %d\n", hit->name.c_str(), int(hit->index));
    for (const adapter_address& a : addrs)
        if (a.index == hit->index) out.addresses.push_back(a);
    if (out.addresses.empty()) {
        log_msg(1, "Adapter ix map NOT found in list.\n");
        return out;
    }
    log_msg(2, "Adapter ix map found in list.\n");
    out.found = true;
    out.index = hit->index;
    return out;
}

void fixed_wait(int timeout_ms) {
    ui_progress(4);
    (void)wait_unless_stopped(uint32_t(timeout_ms > 0 ? timeout_ms : 0));
}

// The first address change of any interface, or the bound: whichever comes
// first. A stop signal ends the wait within one slice.
void wait_address_change(int watch) {
    for (uint32_t left = address_change_wait_ms; left > 0 && !stop_signal_received();) {
        const uint32_t slice = left < stop_check_ms ? left : stop_check_ms;
        // A failed wait ends it too: its outcome is not examined.
        if (adapters().watch_wait(watch, slice) != 0) return;
        left -= slice;
    }
}

// A tunnel device has no DHCP server to ask: its addresses are taken away
// and given back, which brings its routes up afresh.
void renew_adapter(const adapter_lookup& a, int timeout_ms) {
    ui_progress(5);
    log_msg(1, "try DHCP release on %d \n", int(a.index));
    int release = 0;
    for (const adapter_address& addr : a.addresses)
        if (int err = adapters().release(addr)) release = release ? release : err;
    log_msg(1, "DHCP release ret: %d\n", release);
    log_msg(1, "try DHCP renew\n");
    int renew = 0;
    for (const adapter_address& addr : a.addresses)
        if (int err = adapters().renew(addr)) renew = renew ? renew : err;
    if (renew) {
        log_msg(1, "DHCP error %i. Fallback to timeout.\n", renew);
        fixed_wait(timeout_ms);
        return;
    }
    log_msg(1, "DHCP renew ret: %d\n", renew);
}

}  // namespace

int start_tun(uint32_t tunnel_ip, uint32_t peer_ip, uint32_t server_ip, uint16_t control_port_net, int timeout_ms,
              int dhcp, int replace, int dns_local) {
    engine_commit();
    route_replace = replace;
    if (dns_local) set_dns_routes();
    log_msg(100, "Start tun dll. replace=%i\n", replace);
    ui_progress(2);
    set_route_params(tunnel_ip, peer_ip, server_ip);

    // Subscribed before the adapter is touched, so that its first address
    // change is not missed.
    const int watch = adapters().watch_open();
    if (watch < 0) log_msg(1, "NotifyAddrChange error: %d\n", -watch);

    char guid[guid_buffer_bytes];
    std::memset(guid, 0, sizeof guid);
    const intptr_t handle = tun.InitTun ? tun.InitTun(guid) : tun_handle_none;
    guid[guid_buffer_bytes - 1] = 0;
    log_msg(1, "TAP guid %s\n", guid);
    if (tun.SetTunPtP) tun.SetTunPtP(tunnel_ip, peer_ip);
    if (dhcp) {
        if (tun.SetTunDHCP) tun.SetTunDHCP(tunnel_ip, peer_ip, dhcp_lease_s);
        // With local DNS the adapter's DHCP offers no server: the user's own stay in use.
        if (!dns_local && tun.SetTunDNS) tun.SetTunDNS(peer_ip);
    }
    if (tun.SetTunRedirIP) tun.SetTunRedirIP(tunnel_ip);
    if (tun.SetTunControlPort) tun.SetTunControlPort(control_port_net);
    ui_progress(3);
    if (tun.SetTunMediaStatus) tun.SetTunMediaStatus();

    // Without a subscription there is only the bound.
    if (watch >= 0) {
        wait_address_change(watch);
        adapters().watch_close(watch);
    } else {
        (void)wait_unless_stopped(address_change_wait_ms);
    }

    // After a stop signal the adapter's addresses are left alone, and what
    // follows waits no more and sets nothing: the shutdown road is next.
    if (!stop_signal_received()) {
        const adapter_lookup adapter = find_adapter(handle, guid);
        if (dhcp && !adapter.found) fixed_wait(timeout_ms);
        if (dhcp && adapter.found) renew_adapter(adapter, timeout_ms);
    }

    log_msg(1, "Starting tun thread\n");
    // Started after a stop signal too: stopping the thread is what gives the
    // device back as it was.
    if (tun.StartTunThread) tun.StartTunThread();
    (void)wait_unless_stopped(thread_settle_ms);
    log_msg(1, "Started? Check routes\n");
    ui_progress(6);
    SetRoute(&route_replace);
    (void)wait_unless_stopped(thread_settle_ms);
    log_msg(1, "Checked? start monitor thread\n");
    route_monitor_start(&route_replace);
    log_msg(1, "Started? free and go to work\n");
    return 1;
}

int tunnel_control_fd() {
    for (int i = 0; i < fd_poll.count; i++) {
        if (fd_poll.comp[i].type != fd_listener || fd_poll.comp[i].close_flags) continue;
        const int local = fd_poll.comp[i].local_delayed & local_index_mask;
        if (local_table && local < local_count && local_table[local].mode == mode_tunnel) return fd_poll.entries[i].fd;
    }
    return -1;
}
