// A stand-in tunnel library: it records every call in order (read back
// through test_tun_calls) and, when its thread is started, listens on the
// control port so that the engine's control connection can be made.
// Variants leave out SetTapGuid or end_work, as older libraries did; where
// a test needs a whole library it loads the real libtun.so.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tun/tun_api.h"

namespace {

char calls[8192];
int control_port_net = 0;
int listener = -1;

void add_call(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void add_call(const char* fmt, ...) {
    size_t used = std::strlen(calls);
    if (used + 1 >= sizeof calls) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(calls + used, sizeof calls - used, fmt, ap);
    va_end(ap);
}

}  // namespace

extern "C" {

PacketSlot recvbuf[tun_slot_count];
PacketSlot sendbuf[tun_slot_count];

const char* test_tun_calls() { return calls; }

void test_tun_reset() {
    calls[0] = 0;
    control_port_net = 0;
    if (listener >= 0) close(listener);
    listener = -1;
}

intptr_t InitTun(char* out) {
    add_call("InitTun;");
    std::snprintf(out, 256, "%s", "{5A1E0000-TEST-GUID}");
    return tun_handle_none;
}

int SetTunMediaStatus() {
    add_call("SetTunMediaStatus;");
    return 1;
}

int SetTunPtP(uint32_t local_ip, uint32_t remote_ip) {
    add_call("SetTunPtP(%08x,%08x);", ntohl(local_ip), ntohl(remote_ip));
    return 1;
}

int SetTunDHCP(uint32_t ip, uint32_t server_ip, uint32_t lease_s) {
    add_call("SetTunDHCP(%08x,%08x,%u);", ntohl(ip), ntohl(server_ip), lease_s);
    return 1;
}

int SetTunDNS(uint32_t dns_ip) {
    add_call("SetTunDNS(%08x);", ntohl(dns_ip));
    return 1;
}

void SetTunRedirIP(uint32_t ip) { add_call("SetTunRedirIP(%08x);", ntohl(ip)); }

void SetTunTcpListenPort(int port_net) { add_call("SetTunTcpListenPort(%d);", ntohs(uint16_t(port_net))); }

uint32_t GetTcpRedirDstIP(int) { return 0; }

uint32_t GetTcpRedirDstPort(int) { return 0; }

uintptr_t StartTunThread() {
    add_call("StartTunThread;");
    listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = uint16_t(control_port_net);
    if (bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener, 4) != 0)
        add_call("listen failed;");
    return 0;
}

void SetTcpRedirPortFordel(int port_host) { add_call("SetTcpRedirPortFordel(%d);", port_host); }

void SetTunControlPort(int port_net) {
    control_port_net = port_net;
    add_call("SetTunControlPort(%d);", ntohs(uint16_t(port_net)));
}

#ifndef TEST_TUN_NO_SET_TAP_GUID
void SetTapGuid(const char* guid) { add_call("SetTapGuid(%s);", guid); }
#endif

#ifndef TEST_TUN_NO_END_WORK
void end_work() { add_call("end_work;"); }
#endif

}  // extern "C"
