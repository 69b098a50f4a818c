#include "tools/dvb/ts.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::array<uint32_t, 256> crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; k++) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> crc_lut = crc_table();

size_t section_total_bytes(const uint8_t* header) {
    return section_header_bytes + ((size_t(header[1] & 0x0F) << 8) | header[2]);
}

// Abandons the section in progress, if any.
void lose_section(section_reassembler& r, mpe_counters& c) {
    if (r.collecting) c.sections_lost++;
    r.collecting = false;
    r.have = 0;
    r.need = 0;
}

// Appends up to n bytes to the section in progress; returns how many it took.
// A completed section goes to sink and ends collecting.
size_t section_append(section_reassembler& r, const uint8_t* p, size_t n, mpe_counters& c, section_sink sink,
                      void* ctx) {
    size_t used = 0;
    if (r.need == 0) {
        const size_t k = std::min(section_header_bytes - r.have, n);
        std::memcpy(r.buf.data() + r.have, p, k);
        r.have += k;
        used += k;
        if (r.have < section_header_bytes) return used;
        const size_t total = section_total_bytes(r.buf.data());
        if (total > section_max_bytes) {
            // The next section can only be found at the next announced start.
            c.section_errors++;
            r.collecting = false;
            r.have = 0;
            return n;
        }
        r.need = total;
    }
    DVB_CHECK(r.have <= r.need && r.need <= section_max_bytes);
    const size_t k = std::min(r.need - r.have, n - used);
    std::memcpy(r.buf.data() + r.have, p + used, k);
    r.have += k;
    used += k;
    if (r.have == r.need) {
        c.sections++;
        r.collecting = false;
        sink(ctx, r.buf.data(), r.need);
        r.have = 0;
        r.need = 0;
    }
    return used;
}

// Sections that begin at p, back to back, until stuffing or the packet's end.
void sections_from(section_reassembler& r, const uint8_t* p, size_t n, mpe_counters& c, section_sink sink,
                   void* ctx) {
    while (n > 0 && p[0] != section_stuffing_byte) {
        r.collecting = true;
        r.have = 0;
        r.need = 0;
        const size_t used = section_append(r, p, n, c, sink, ctx);
        DVB_CHECK(used <= n);
        if (r.collecting) return;  // goes on in the next packet
        p += used;
        n -= used;
    }
}

}  // namespace

void dvb_check_failed(const char* file, int line, const char* what) {
    std::fprintf(stderr, "dvb: internal error at %s:%d: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

uint32_t mpeg_crc32(const uint8_t* p, size_t n, uint32_t crc) {
    for (size_t i = 0; i < n; i++) crc = (crc << 8) ^ crc_lut[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

ts_status ts_parse(const uint8_t* p, size_t len, ts_packet* out) {
    if (len != ts_packet_bytes) return ts_status::bad_length;
    if (p[0] != ts_sync_byte) return ts_status::bad_sync;
    ts_packet t;
    t.error = (p[1] & 0x80) != 0;
    t.unit_start = (p[1] & 0x40) != 0;
    t.pid = uint16_t(((p[1] & 0x1F) << 8) | p[2]);
    t.scrambling = uint8_t(p[3] >> 6);
    const uint8_t control = (p[3] >> 4) & 0x03;
    t.continuity = p[3] & 0x0F;
    if (control == 0) return ts_status::bad_control;
    t.has_payload = (control & 0x01) != 0;
    size_t at = ts_header_bytes;
    if (control & 0x02) {
        const size_t af_len = p[at];
        // Without payload the field fills the packet; with it, at least one
        // payload byte remains.
        if (t.has_payload ? af_len > ts_payload_max_bytes - 2 : af_len != ts_payload_max_bytes - 1)
            return ts_status::bad_adaptation;
        if (af_len > 0) t.discontinuity = (p[at + 1] & 0x80) != 0;
        at += 1 + af_len;
    }
    if (t.has_payload) {
        t.payload = p + at;
        t.payload_len = len - at;
    }
    *out = t;
    return ts_status::ok;
}

void section_reset(section_reassembler& r) {
    r.last_cc = -1;
    r.collecting = false;
    r.have = 0;
    r.need = 0;
}

void section_feed(section_reassembler& r, const ts_packet& p, mpe_counters& c, section_sink sink, void* ctx) {
    if (p.error) {
        // Nothing in an errored packet can be trusted, its counter included.
        c.ts_errors++;
        lose_section(r, c);
        r.last_cc = -1;
        return;
    }
    if (!p.has_payload) return;  // adaptation only: the counter does not move
    if (r.last_cc >= 0 && !p.discontinuity) {
        if (p.continuity == r.last_cc) {
            c.duplicates++;
            return;
        }
        if (p.continuity != ((r.last_cc + 1) & 0x0F)) {
            c.discontinuities++;
            lose_section(r, c);
        }
    } else if (p.discontinuity) {
        lose_section(r, c);
    }
    r.last_cc = p.continuity;
    if (p.scrambling != 0) {
        c.scrambled++;
        lose_section(r, c);
        return;
    }
    const uint8_t* b = p.payload;
    size_t n = p.payload_len;
    if (!p.unit_start) {
        // No section starts here: what follows a completed one is stuffing.
        if (r.collecting) section_append(r, b, n, c, sink, ctx);
        return;
    }
    const size_t pointer = b[0];
    b++;
    n--;
    if (pointer > n) {
        c.section_errors++;
        lose_section(r, c);
        return;
    }
    if (r.collecting) {
        section_append(r, b, pointer, c, sink, ctx);
        lose_section(r, c);  // still open where the next one starts: cut short
    }
    sections_from(r, b + pointer, n - pointer, c, sink, ctx);
}

void ts_packetize(ts_packetizer& t, const section_ref* sections, size_t count, std::vector<uint8_t>& out) {
    std::vector<uint8_t> stream;
    std::vector<size_t> starts;  // offsets of the sections in stream
    for (size_t i = 0; i < count; i++) {
        if (sections[i].len == 0) continue;
        starts.push_back(stream.size());
        stream.insert(stream.end(), sections[i].bytes, sections[i].bytes + sections[i].len);
    }
    size_t pos = 0;
    size_t next = 0;  // the first start at or after pos
    while (pos < stream.size()) {
        while (next < starts.size() && starts[next] < pos) next++;
        const size_t gap = next < starts.size() ? starts[next] - pos : SIZE_MAX;
        uint8_t pkt[ts_packet_bytes];
        std::memset(pkt, section_stuffing_byte, sizeof pkt);
        pkt[0] = ts_sync_byte;
        pkt[2] = uint8_t(t.pid & 0xFF);
        pkt[3] = uint8_t(0x10 | (t.next_cc & 0x0F));  // payload only
        t.next_cc = uint8_t((t.next_cc + 1) & 0x0F);
        size_t at = ts_header_bytes;
        size_t take = ts_payload_max_bytes;
        bool unit_start = false;
        if (gap < ts_payload_max_bytes - 1) {
            // A start within reach of the pointer_field.
            unit_start = true;
            pkt[at++] = uint8_t(gap);
            take = ts_payload_max_bytes - 1;
        } else if (gap == ts_payload_max_bytes - 1) {
            // The start would fall on the last byte, in a packet that cannot
            // announce it: the previous section ends here, one stuffing byte
            // follows, and the next packet starts with the new section.
            take = ts_payload_max_bytes - 1;
        }
        pkt[1] = uint8_t((unit_start ? 0x40 : 0x00) | ((t.pid >> 8) & 0x1F));
        take = std::min(take, stream.size() - pos);
        std::memcpy(pkt + at, stream.data() + pos, take);
        pos += take;
        out.insert(out.end(), pkt, pkt + ts_packet_bytes);
    }
}
