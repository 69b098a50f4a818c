#include "engine/tunnel.h"

#include <cstring>

#include "engine/globals.h"
#include "engine/log.h"
#include "engine/startup.h"
#include "platform/sleep.h"

namespace {

constexpr uint32_t dhcp_lease_s = 360000;
constexpr uint32_t thread_settle_ms = 500;
constexpr int guid_buffer_bytes = 256;

// What the route code needs once routes are managed here.
struct route_params {
    int replace;
    uint32_t server_ip, tunnel_ip, peer_ip;  // network order
};
route_params routes;

void log_addr(const char* what, uint32_t ip) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&ip);
    log_msg(1, "%s %d.%d.%d.%d\n", what, b[0], b[1], b[2], b[3]);
}

}  // namespace

int start_tun(uint32_t tunnel_ip, uint32_t peer_ip, uint32_t server_ip, uint16_t control_port_net, int timeout_ms,
              int dhcp, int replace, int dns_local) {
    routes.replace = replace;
    if (dns_local) log_msg(1, "DNS server routes are not managed on this system\n");
    log_msg(100, "Start tun dll. replace=%i\n", replace);
    ui_progress(2);
    routes.server_ip = server_ip;
    routes.tunnel_ip = tunnel_ip;
    routes.peer_ip = peer_ip;

    char guid[guid_buffer_bytes] = {0};
    tun.InitTun(guid);
    guid[guid_buffer_bytes - 1] = 0;
    log_msg(1, "TAP guid %s\n", guid);
    tun.SetTunPtP(tunnel_ip, peer_ip);
    if (dhcp) {
        tun.SetTunDHCP(tunnel_ip, peer_ip, dhcp_lease_s);
        // With local DNS the adapter's DHCP offers no server: the user's own stay in use.
        if (!dns_local) tun.SetTunDNS(peer_ip);
    }
    tun.SetTunRedirIP(tunnel_ip);
    if (tun.SetTunControlPort) tun.SetTunControlPort(control_port_net);
    ui_progress(3);
    tun.SetTunMediaStatus();

    // There is no adapter list to find the interface in, and so no DHCP
    // renewal to drive: a DHCP set-up gets the plain wait that a failed
    // lookup gets, so that the library's address settles before routes.
    log_msg(1, "Adapter lookup skipped: the tunnel library configures its own device\n");
    if (dhcp) {
        ui_progress(4);
        sleep_ms(uint32_t(timeout_ms > 0 ? timeout_ms : 0));
    }

    log_msg(1, "Starting tun thread\n");
    tun.StartTunThread();
    sleep_ms(thread_settle_ms);
    log_msg(1, "Started? Check routes\n");
    ui_progress(6);
    log_msg(1, "Routes are not managed on this system: default route kept\n");
    sleep_ms(thread_settle_ms);
    log_msg(1, "Checked? start monitor thread\n");
    log_msg(1, "Started? free and go to work\n");
    return 1;
}

void change_server_route(uint32_t server_ip) {
    routes.server_ip = server_ip;
    log_addr("Server route not changed (routes are not managed on this system):", server_ip);
}

void restore_routes() { log_msg(1, "Routes not restored: routes are not managed on this system\n"); }

bool route_monitor_join(int) { return true; }
