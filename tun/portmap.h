// The redirect port map: an application's TCP connection that the system
// routes into the tunnel device is rewritten to come from the point-to-point
// peer at a mapped port 30000..30999 and to go to the transparent listener
// on the device's own address; the listener's replies are rewritten back.
// Checksums are adjusted from two deltas kept per entry, without touching
// the payload.
//
// No descriptor, thread or clock: callers pass the packet bytes and the
// current time in seconds, and hold whatever lock they share the map under.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t portmap_first_port = 30000;
constexpr int portmap_entries = 1000;  // ports 30000..30999
constexpr uint32_t portmap_hash_buckets = 65536;
// A released mapping still carries the connection's late segments for this
// long before a new connection may take its port.
constexpr int64_t portmap_reclaim_after_s = 60;
constexpr uint8_t tcp_flags_bare_syn = 0x02;

// What rewritten packets look like: from src_ip at the mapped port to
// dst_ip at dst_port. All network order.
struct rewrite_template {
    uint32_t src_ip;    // the point-to-point peer
    uint32_t dst_ip;    // the device's own address (the redirect address)
    uint16_t dst_port;  // the transparent listener
};

struct PortMapEntry {
    uint32_t src_ip, dst_ip;      // the application's connection, network order
    uint16_t src_port, dst_port;  // network order
    int32_t ip_delta;             // IP checksum change of the outbound rewrite
    int32_t tcp_delta;            // TCP checksum change (pseudo-header and ports)
    PortMapEntry* hash_next;
    PortMapEntry* free_next;
    PortMapEntry* use_next;
    PortMapEntry* use_prev;
    uint8_t in_use;               // 1 while in its hash chain
    int64_t mark_time;            // when the engine released it (seconds)
    uint8_t fordel;               // released: reclaimable once 60 s old
};

struct entry_list {
    PortMapEntry* head;
    PortMapEntry* tail;
};

struct port_map {
    // Entry i stands for port 30000 + i; the one past the last is never used.
    PortMapEntry entries[portmap_entries + 1];
    PortMapEntry* hash[portmap_hash_buckets];
    entry_list free_list;  // in the order entries become free
    entry_list use_list;   // in allocation order
};

// Every entry free, in index order; every bucket and the use list empty.
void init_portmap_table(port_map& pm);

// Sum of the six 16-bit words of the two addresses (8 bytes) and the two
// ports (4 bytes), each read in host order; the low 16 bits are the bucket.
uint32_t get_hash(const uint8_t* addrs, const uint8_t* ports);

// Finds the mapping of a packet (addresses at addrs, ports at ports, as they
// lie in the packet) or, for a bare SYN, makes one, reclaiming released
// entries older than 60 s when none is free. A bare SYN that meets a
// released mapping of its own connection takes it back. Returns 1 with the
// mapped port (host order) in *port, or 0.
int get_portmap(port_map& pm, const rewrite_template& t, const uint8_t* addrs, const uint8_t* ports,
                uint8_t tcp_flags, int64_t now_s, uint16_t* port);

// Back to the free list (from its bucket and the use list when in use).
void free_portmap(port_map& pm, PortMapEntry* e);

// The two checksum deltas of e's rewrite to new_port (host order).
void calc_chksum_diff(PortMapEntry& e, const rewrite_template& t, uint16_t new_port);

// Moves the checksum at csum (network order) by delta, the difference of
// old minus new 16-bit word sums, as a full recomputation would give it.
void checksum_adjust(uint8_t* csum, int32_t delta);

// Outbound rewrite of an IPv4 packet (header at ip, TCP header at tcp) with
// mapped port `port` (host order, 30000..30999).
void map_packet(const port_map& pm, const rewrite_template& t, uint8_t* ip, uint8_t* tcp, uint16_t port);

// Rewrites a listener's reply back to the application's connection. Returns
// 1, or 0 (packet untouched) when its destination port holds no mapping.
int reverse_map_packet(const port_map& pm, uint8_t* ip, uint8_t* tcp);

// The engine's queries and release by mapped port (host order). They read
// the entry whatever its state; ports outside the map give 0 and are ignored.
uint32_t portmap_dst_ip(const port_map& pm, int port_host);
uint32_t portmap_dst_port(const port_map& pm, int port_host);
void portmap_release(port_map& pm, int port_host, int64_t now_s);

// Checks the lists, chains and flags against each other; on a mismatch
// returns false with a reason in *why.
bool portmap_consistent(const port_map& pm, const char** why);
