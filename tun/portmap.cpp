#include "tun/portmap.h"

#include <arpa/inet.h>

#include <cstring>

#include "tun/check.h"

namespace {

uint16_t load_u16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }

void store_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// The two 16-bit words of a network-order address, in host order, added.
int32_t address_words(uint32_t ip_net) {
    uint8_t b[4];
    std::memcpy(b, &ip_net, 4);
    return int32_t(load_u16(b)) + int32_t(load_u16(b + 2));
}

int entry_index(const port_map& pm, const PortMapEntry* e) { return int(e - pm.entries); }

uint32_t bucket_of(const PortMapEntry* e) {
    uint8_t addrs[8], ports[4];
    std::memcpy(addrs, &e->src_ip, 4);
    std::memcpy(addrs + 4, &e->dst_ip, 4);
    std::memcpy(ports, &e->src_port, 2);
    std::memcpy(ports + 2, &e->dst_port, 2);
    return get_hash(addrs, ports) & (portmap_hash_buckets - 1);
}

const PortMapEntry* entry_of_port(const port_map& pm, int port_host) {
    const int i = (port_host & 0xFFFF) - portmap_first_port;
    if (i < 0 || i >= portmap_entries) return nullptr;
    return &pm.entries[i];
}

void reclaim(port_map& pm, int64_t now_s) {
    PortMapEntry* e = pm.use_list.head;
    while (e) {
        PortMapEntry* next = e->use_next;
        if (e->fordel && now_s - e->mark_time > portmap_reclaim_after_s) free_portmap(pm, e);
        e = next;
    }
}

}  // namespace

void init_portmap_table(port_map& pm) {
    std::memset(pm.entries, 0, sizeof pm.entries);
    std::memset(pm.hash, 0, sizeof pm.hash);
    for (int i = 0; i < portmap_entries - 1; i++) pm.entries[i].free_next = &pm.entries[i + 1];
    pm.free_list = {&pm.entries[0], &pm.entries[portmap_entries - 1]};
    pm.use_list = {nullptr, nullptr};
}

uint32_t get_hash(const uint8_t* addrs, const uint8_t* ports) {
    uint32_t sum = 0;
    for (int i = 0; i < 8; i += 2) sum += load_u16(addrs + i);
    for (int i = 0; i < 4; i += 2) sum += load_u16(ports + i);
    return sum;
}

int get_portmap(port_map& pm, const rewrite_template& t, const uint8_t* addrs, const uint8_t* ports,
                uint8_t tcp_flags, int64_t now_s, uint16_t* port) {
    const uint32_t h = get_hash(addrs, ports) & (portmap_hash_buckets - 1);
    uint32_t src_ip, dst_ip, port_pair;
    std::memcpy(&src_ip, addrs, 4);
    std::memcpy(&dst_ip, addrs + 4, 4);
    std::memcpy(&port_pair, ports, 4);
    for (PortMapEntry* e = pm.hash[h]; e; e = e->hash_next) {
        uint32_t entry_ports;
        std::memcpy(&entry_ports, &e->src_port, 2);
        std::memcpy(reinterpret_cast<uint8_t*>(&entry_ports) + 2, &e->dst_port, 2);
        if (e->src_ip != src_ip || e->dst_ip != dst_ip || entry_ports != port_pair) continue;
        // The same connection opened again after the engine let it go: it is
        // live once more and must not be reclaimed under the new one.
        if (e->fordel && tcp_flags == tcp_flags_bare_syn) {
            e->fordel = 0;
            e->mark_time = 0;
        }
        *port = uint16_t(portmap_first_port + entry_index(pm, e));
        return e->in_use;
    }
    if (tcp_flags != tcp_flags_bare_syn) return 0;
    if (!pm.free_list.head) reclaim(pm, now_s);
    PortMapEntry* e = pm.free_list.head;
    if (!e) return 0;

    e->src_ip = src_ip;
    e->dst_ip = dst_ip;
    std::memcpy(&e->src_port, ports, 2);
    std::memcpy(&e->dst_port, ports + 2, 2);
    e->in_use = 1;
    *port = uint16_t(portmap_first_port + entry_index(pm, e));
    calc_chksum_diff(*e, t, *port);

    e->hash_next = nullptr;
    if (!pm.hash[h]) {
        pm.hash[h] = e;
    } else {
        PortMapEntry* last = pm.hash[h];
        while (last->hash_next) last = last->hash_next;
        last->hash_next = e;
    }
    e->use_next = nullptr;
    e->use_prev = pm.use_list.tail;
    if (pm.use_list.tail)
        pm.use_list.tail->use_next = e;
    else
        pm.use_list.head = e;
    pm.use_list.tail = e;
    e->fordel = 0;
    pm.free_list.head = e->free_next;
    if (!pm.free_list.head) pm.free_list.tail = nullptr;
    e->free_next = nullptr;
    return 1;
}

void free_portmap(port_map& pm, PortMapEntry* e) {
    // Only entries of the use list are freed: anything else would put an
    // entry on the free list twice.
    TUN_CHECK(e->in_use);
    const uint32_t h = bucket_of(e);
    if (pm.hash[h] == e) {
        pm.hash[h] = e->hash_next;
    } else {
        PortMapEntry* prev = pm.hash[h];
        while (prev && prev->hash_next != e) prev = prev->hash_next;
        TUN_CHECK(prev != nullptr);
        prev->hash_next = e->hash_next;
    }
    e->hash_next = nullptr;
    e->in_use = 0;

    e->free_next = nullptr;
    e->mark_time = 0;
    e->fordel = 0;
    if (pm.free_list.tail)
        pm.free_list.tail->free_next = e;
    else
        pm.free_list.head = e;
    pm.free_list.tail = e;

    if (e->use_prev)
        e->use_prev->use_next = e->use_next;
    else
        pm.use_list.head = e->use_next;
    if (e->use_next)
        e->use_next->use_prev = e->use_prev;
    else
        pm.use_list.tail = e->use_prev;
    e->use_next = e->use_prev = nullptr;
}

void calc_chksum_diff(PortMapEntry& e, const rewrite_template& t, uint16_t new_port) {
    e.ip_delta = address_words(e.src_ip) + address_words(e.dst_ip) - address_words(t.src_ip) - address_words(t.dst_ip);
    e.tcp_delta = e.ip_delta + int32_t(ntohs(e.src_port)) - int32_t(new_port) + int32_t(ntohs(e.dst_port)) -
                  int32_t(ntohs(t.dst_port));
}

void checksum_adjust(uint8_t* csum, int32_t delta) {
    // In ones' complement arithmetic the new checksum is the old one plus
    // (old words - new words), modulo 0xFFFF. Reducing into 0..0xFFFE keeps
    // the form a full recomputation gives (0x0000, never 0xFFFF, for zero),
    // so a rewrite and its reverse give back the original bytes.
    int64_t acc = (int64_t(load_u16(csum)) + delta) % 0xFFFF;
    if (acc < 0) acc += 0xFFFF;
    store_u16(csum, uint16_t(acc));
}

void map_packet(const port_map& pm, const rewrite_template& t, uint8_t* ip, uint8_t* tcp, uint16_t port) {
    const PortMapEntry* e = entry_of_port(pm, port);
    TUN_CHECK(e != nullptr);
    checksum_adjust(ip + 10, e->ip_delta);
    checksum_adjust(tcp + 16, e->tcp_delta);
    std::memcpy(ip + 12, &t.src_ip, 4);
    std::memcpy(ip + 16, &t.dst_ip, 4);
    store_u16(tcp, port);
    std::memcpy(tcp + 2, &t.dst_port, 2);
}

int reverse_map_packet(const port_map& pm, uint8_t* ip, uint8_t* tcp) {
    const PortMapEntry* e = entry_of_port(pm, load_u16(tcp + 2));
    if (!e || !e->in_use) return 0;
    checksum_adjust(ip + 10, -e->ip_delta);
    checksum_adjust(tcp + 16, -e->tcp_delta);
    std::memcpy(ip + 12, &e->dst_ip, 4);
    std::memcpy(ip + 16, &e->src_ip, 4);
    std::memcpy(tcp, &e->dst_port, 2);
    std::memcpy(tcp + 2, &e->src_port, 2);
    return 1;
}

uint32_t portmap_dst_ip(const port_map& pm, int port_host) {
    const PortMapEntry* e = entry_of_port(pm, port_host);
    return e ? e->dst_ip : 0;
}

uint32_t portmap_dst_port(const port_map& pm, int port_host) {
    const PortMapEntry* e = entry_of_port(pm, port_host);
    return e ? e->dst_port : 0;
}

void portmap_release(port_map& pm, int port_host, int64_t now_s) {
    PortMapEntry* e = const_cast<PortMapEntry*>(entry_of_port(pm, port_host));
    if (!e) return;
    e->fordel = 1;
    e->mark_time = now_s;
}

bool portmap_consistent(const port_map& pm, const char** why) {
    auto fail = [why](const char* text) {
        *why = text;
        return false;
    };
    int free_count = 0;
    const PortMapEntry* last = nullptr;
    for (const PortMapEntry* e = pm.free_list.head; e; e = e->free_next) {
        if (++free_count > portmap_entries) return fail("free list longer than the table");
        if (e->in_use) return fail("entry in use on the free list");
        if (e->use_next || e->use_prev || e->hash_next) return fail("free entry still linked");
        last = e;
    }
    if (last != pm.free_list.tail) return fail("free list tail");
    int use_count = 0;
    last = nullptr;
    for (const PortMapEntry* e = pm.use_list.head; e; e = e->use_next) {
        if (++use_count > portmap_entries) return fail("use list longer than the table");
        if (!e->in_use) return fail("free entry on the use list");
        if (e->use_prev != last) return fail("use list back link");
        if (e == &pm.entries[portmap_entries]) return fail("the spare entry is in use");
        bool found = false;
        int steps = 0;
        for (const PortMapEntry* c = pm.hash[bucket_of(e)]; c && steps <= portmap_entries; c = c->hash_next, steps++)
            found |= c == e;
        if (!found) return fail("entry in use missing from its bucket");
        last = e;
    }
    if (last != pm.use_list.tail) return fail("use list tail");
    if (free_count + use_count != portmap_entries) return fail("entries lost from both lists");
    int chained = 0;
    for (uint32_t h = 0; h < portmap_hash_buckets; h++) {
        for (const PortMapEntry* c = pm.hash[h]; c; c = c->hash_next) {
            if (++chained > use_count) return fail("more chained entries than entries in use");
            if (bucket_of(c) != h) return fail("entry in the wrong bucket");
        }
    }
    if (chained != use_count) return fail("entries in use outside every chain");
    return true;
}
