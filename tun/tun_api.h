// The tunnel library's interface: everything libtun.so exports, and the
// packet slots it shares with the engine. The library defines against this
// header, the engine's binding table takes its types from it (decltype) and
// the engine tests' stand-in library includes it, so the compiler holds all
// three to one set of signatures.
//
// Use, in the engine's order:
//   SetTapGuid("tun0");                 optional: names the device, skips discovery
//   SetTunTcpListenPort(htons(port));   the transparent listener
//   InitTun(name_out);                  finds and opens the device
//   SetTunPtP(local_ip, peer_ip);       the device's point-to-point address
//   SetTunDHCP(ip, server_ip, lease_s); SetTunDNS(dns_ip);   optional
//   SetTunRedirIP(local_ip);            where redirected connections go
//   SetTunControlPort(htons(port));     the slot-index connection on 127.0.0.1
//   SetTunMediaStatus();                link up
//   StartTunThread();                   the packet thread; connect to the control port
//   ... GetTcpRedirDstIP/Port(p), SetTcpRedirPortFordel(p) per redirected connection ...
//   end_work();                         stops the thread; the device is closed
//
// Addresses and ports are in network byte order, except the mapped local
// port p of a redirected connection (host order, 30000..30999).
#pragma once

#include <cstdint>

constexpr int tun_slot_count = 256;
constexpr uint16_t tun_slot_data_bytes = 1500;

// One packet slot: a 16-bit length (host order) and one IPv4 packet, 1502
// bytes without gaps. Slot i of an array starts at byte 1502 * i, so the
// length is always 2-byte aligned.
struct __attribute__((packed, aligned(2))) PacketSlot {
    uint16_t length;
    uint8_t data[tun_slot_data_bytes];
};
static_assert(sizeof(PacketSlot) == 2 + tun_slot_data_bytes, "slots are packed");

// A slot is free while its length is 0. The writer fills the data, stores
// the length and then sends the slot's index; the reader copies the packet
// out and then frees the slot. A writer whose next slot is still taken drops
// its packet rather than overwrite one that the reader may be copying.
inline uint16_t tun_slot_length(const PacketSlot& slot) { return __atomic_load_n(&slot.length, __ATOMIC_ACQUIRE); }
inline void tun_slot_fill(PacketSlot& slot, uint16_t length) { __atomic_store_n(&slot.length, length, __ATOMIC_RELEASE); }
inline void tun_slot_free(PacketSlot& slot) { __atomic_store_n(&slot.length, uint16_t(0), __ATOMIC_RELEASE); }

// InitTun's results besides an open device.
constexpr intptr_t tun_handle_none = 0;      // no device name known
constexpr intptr_t tun_handle_invalid = -1;  // the device could not be opened (or was closed)

extern "C" {

// Finds (unless SetTapGuid named one) and opens the TUN device, copies its
// name to out (256 bytes) and empties the port map. Returns the device
// handle, tun_handle_none or tun_handle_invalid; a failed or closed device is
// not opened again.
intptr_t InitTun(char* out);
// Link up. 1 when done, else 0.
int SetTunMediaStatus();
// Remembers remote_ip as the source of redirected connections and gives the
// device local_ip with remote_ip as its peer. Non-zero when applied.
int SetTunPtP(uint32_t local_ip, uint32_t remote_ip);
// The device's address as a DHCP lease would give it (255.255.255.255, the
// server as its peer); the lease time is kept. Non-zero when applied.
int SetTunDHCP(uint32_t ip, uint32_t dhcp_server_ip, uint32_t lease_s);
// The DNS server a DHCP lease would offer; kept. Non-zero on an open device.
int SetTunDNS(uint32_t dns_ip);
// The device's own address, where the transparent listener is bound.
void SetTunRedirIP(uint32_t ip);
// Names the device (at most 255 characters are kept).
void SetTapGuid(const char* guid);
// The transparent listener's port (low 16 bits).
void SetTunTcpListenPort(int port_net);
// The port of the slot-index connection on 127.0.0.1 (low 16 bits).
void SetTunControlPort(int port_net);
// The address and port that the application behind mapped port p dialled;
// 0 for a port outside 30000..30999.
uint32_t GetTcpRedirDstIP(int port_host);
uint32_t GetTcpRedirDstPort(int port_host);
// Starts the packet thread once; returns its handle (the same on later
// calls; uintptr_t(-1) when it could not be started).
uintptr_t StartTunThread();
// The engine is done with mapped port p: the mapping may be reused 60 s on.
void SetTcpRedirPortFordel(int port_host);
// Stops the packet thread and waits for it; the thread closes the device.
// Harmless before StartTunThread and when repeated.
void end_work();
// The packet thread's routine.
void tap_reader();

// Adapter to engine (filled by the library) and engine to adapter.
extern PacketSlot recvbuf[tun_slot_count];
extern PacketSlot sendbuf[tun_slot_count];

}  // extern "C"
