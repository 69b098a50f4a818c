#include "protocol/session_core.h"

#include <algorithm>
#include <vector>

#include "protocol/hooks.h"
#include "protocol/wire.h"

namespace {

constexpr double rtt_max_s = 4.0;
// An acknowledged packet's round trip is taken a little pessimistically, so
// that one lucky sample does not make the timers too eager.
constexpr double rtt_sample_margin = 1.01;
// Beyond this the packet id would wrap within the session's life.
constexpr uint32_t packet_id_limit = 0xFFFF0000u;
constexpr int hdr_packet_id_off = 4;
constexpr int hdr_last_good_off = 12;

void add_counter(uint32_t* counter, uint32_t n) {
    if (counter) *counter += n;
}

}  // namespace

int session_core_zinit(session_core& s, int level) {
    if (!s.inflater_ready) {
        if (zstream_inflate_init(&s.inflater) != 0) return -1;
        s.inflater_ready = true;
    }
    if (!s.deflater_ready) {
        if (zstream_deflate_init(&s.deflater, level) != 0) return -1;
        s.deflater_ready = true;
    }
    return 0;
}

void session_core_release(session_core& s) {
    rx_window_free_all(s.window);

    // A sent packet may stand in array_d, several array_p slots and a queue
    // at once: free each one exactly once.
    std::vector<stx_packet*> held;
    for (uint32_t i = 0; i < s.array_d.used; i++) held.push_back(s.array_d.slots[i]);
    for (uint32_t i = 0; i < s.array_p.used; i++) held.push_back(s.array_p.slots[i]);
    held.insert(held.end(), s.resend_q.items.begin(), s.resend_q.items.end());
    held.insert(held.end(), s.pending_q.items.begin(), s.pending_q.items.end());
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    for (stx_packet* p : held)
        if (p) packet_free(p);
    std::fill(s.array_d.slots.begin(), s.array_d.slots.end(), nullptr);
    std::fill(s.array_p.slots.begin(), s.array_p.slots.end(), nullptr);
    s.array_d.used = 0;
    s.array_p.used = 0;
    s.resend_q.items.clear();
    s.pending_q.items.clear();
    s.reqs.items.clear();

    fifo_free(&s.in_cmds);
    fifo_free(&s.out_deflated);
    if (s.inflater_ready) {
        inflateEnd(&s.inflater);
        s.inflater_ready = false;
    }
    if (s.deflater_ready) {
        deflateEnd(&s.deflater);
        s.deflater_ready = false;
    }
}

// ---------------------------------------------------------------- receiving

int session_core_receive(session_core& s, stx_packet* p, double now, double min_rtt, const rx_counters& c) {
    if (!p) return -1;
    if (p->len < header_bytes || p->len > max_datagram_bytes) {
        proto_log(1, "Malformed datagram of %d bytes dropped s:%x(%s)\n", int(p->len), s.session_id, s.name);
        packet_free(p);
        return -1;
    }
    const pkt_header h = header_get(p->data);
    const int nreq = h.flags & flags_reqs_mask;
    const int reqs_end = header_bytes + nreq * resend_req_bytes;
    if (p->len < reqs_end) {
        proto_log(1, "Malformed datagram of %d bytes with %d requests dropped s:%x(%s)\n", int(p->len), nreq,
                  s.session_id, s.name);
        packet_free(p);
        return -1;
    }
    p->session_id = h.session_id;
    p->packet_id = h.packet_id;
    p->data_id = h.data_id;

    s.last_rx_time = now;
    if (id_after(h.last_good, s.peer_last_good)) s.peer_last_good = h.last_good;
    if (s.rtt < min_rtt) s.rtt = min_rtt;
    if (s.rtt > rtt_max_s) s.rtt = rtt_max_s;

    if (id_after(h.packet_id, s.last_rx_pid + 1)) {
        proto_log(1, "Packetloss recv, last %d, got %d s:%x(%s) last marked good p%d/d%d\n", int(s.last_rx_pid),
                  int(h.packet_id), s.session_id, s.name, int(s.last_good_pid), int(s.last_delivered));
        const uint32_t asked = resend_req_add_gap(s.reqs, s.last_rx_pid, h.packet_id, now);
        add_counter(c.resends_asked, asked);
        s.requested_count += asked;
    }

    if (p->len == header_bytes) {
        // A keepalive carries the next packet id without taking it.
        s.last_rx_pid = h.packet_id - 1;
        s.working = 1;
        packet_free(p);
        return 1;
    }

    if (id_after(h.packet_id, s.last_rx_pid)) s.last_rx_pid = h.packet_id;
    if (s.keepalive_s > keepalive_min_s) s.keepalive_s = keepalive_min_s;
    if (rx_window_store(s.window, p) != 0) {
        packet_free(p);
        return -1;
    }
    serve_resend_requests(s, p->data + header_bytes, nreq, c.resent);
    p->payload_off = uint16_t(reqs_end);
    s.data_received = 1;
    return 0;
}

void serve_resend_requests(session_core& s, const uint8_t* reqs, int count, uint32_t* resent) {
    if (!reqs || count <= 0) return;
    count = std::min(count, max_header_requests);
    send_array& ap = s.array_p;
    for (int r = 0; r < count; r++) {
        const resend_req_wire req = resend_req_get(reqs + r * resend_req_bytes);
        uint32_t first = req.first;
        uint8_t count_byte = req.count;
        if (id_after(ap.first, first)) {
            proto_log(1, "ERROR! Invalid packetloss offset? %d < %d\n", int(first), int(ap.first));
            const uint32_t behind = ap.first - first;
            if (behind >= count_byte) continue;  // a count byte of 0 (256 ids) lands here too
            first = ap.first;
            count_byte = uint8_t(count_byte - behind);
        }
        int64_t offset = int32_t(first - ap.first);
        int64_t n = resend_count_of(count_byte);
        if (offset < 0) {
            proto_log(0, "ERROR Invalid packet id %d requested, try to ignore. First packet in array %d. s:%x(%s)\n",
                      int(first), int(ap.first), s.session_id, s.name);
            if (offset + n < 1) {
                proto_log(0, "Possible i'm going to die?!\n");
                continue;
            }
            proto_log(0, "ERROR EXPERIMENTAL WORKAROUND, updating resend request\n");
            n += offset;
            offset = 0;
        }
        if (offset + n > int64_t(ap.used)) {
            s.close_mark = 1;
            proto_log(0, "Possible i'm going to die?! Situation 2, out of array bounds\n");
            continue;
        }
        add_counter(resent, uint32_t(n));
        for (int64_t i = offset + n - 1; i >= offset; i--) {
            stx_packet* p = ap.slots[size_t(i)];
            if (!p) {
                proto_log(0, "DEBUG/ERROR Whoops!? %s\n", s.name);
                continue;
            }
            if (p->state != pkt_state_queued) {
                p->state = pkt_state_queued;
                packet_queue_push(s.resend_q, p, s.name);
            }
            if (p->resend_count < UINT16_MAX) p->resend_count++;
            if (p->resend_count > resend_limit) {
                proto_log(0, "This packet most probably blocked, resent more than 50 times, terminating session\n");
                s.close_mark = 1;
            }
        }
    }
}

// ---------------------------------------------------------------- acknowledgement

int clean_acked(session_core& s, uint32_t g, double now) {
    send_array& ad = s.array_d;
    send_array& ap = s.array_p;
    if (id_after(ad.first, g)) {
        proto_log(0,
                  "WTF? last good less then first?. I'm going to die?. Close session. Last good: %d d_first %d d_used "
                  "%d p_first %d p_used %d\n",
                  int(g), int(ad.first), int(ad.used), int(ap.first), int(ap.used));
        s.close_mark = 1;
        return -1;
    }
    if (g - ad.first >= ad.used) {
        proto_log(0,
                  "Packet id violation. I'm going to die?. Last good: %d d_first %d d_used %d p_first %d p_used %d\n",
                  int(g), int(ad.first), int(ad.used), int(ap.first), int(ap.used));
        s.close_mark = 1;
        return -1;
    }
    int result = 0;
    for (int64_t i = int64_t(g - ad.first); i >= 0; i--) {
        stx_packet* p = ad.slots[size_t(i)];
        if (!p) continue;
        ad.slots[size_t(i)] = nullptr;
        if (p->resend_count == 0) {
            const double sample = now - p->sent;
            if (sample < s.rtt) s.rtt = sample * rtt_sample_margin;
            if (send_array_shrink(ap, p->packet_id) != 0) {
                proto_log(0,
                          "requested shrink array_p more then we have?. I'm going to die?. Close session. id: %d "
                          "d_first %d d_used %d p_first %d p_used %d\n",
                          int(p->packet_id), int(ad.first), int(ad.used), int(ap.first), int(ap.used));
                s.close_mark = 1;
                result = -1;
                // Its slot stays behind: clear it before the packet goes.
                array_p_forget(ap, p->data_id);
            }
        } else {
            array_p_forget(ap, p->data_id);
        }
        if (p->sent > s.newest_acked_sent) s.newest_acked_sent = p->sent;
        QUORIN_CHECK(s.bytes_in_flight >= p->len && s.packets_in_flight > 0);
        s.bytes_in_flight = s.bytes_in_flight >= p->len ? s.bytes_in_flight - p->len : 0;
        if (s.packets_in_flight) s.packets_in_flight--;
        if (p->state == pkt_state_queued) {
            // A packet put off for want of allowance waits in the pending queue.
            if (packet_queue_remove(s.resend_q, p) || packet_queue_remove(s.pending_q, p))
                proto_log(0, "!!!!!! TODO !!!!!! This packet is in resent queue. %s\n", s.name);
            else
                proto_log(1, "DEBUG: Bad, not found %s\n", s.name);
        }
        packet_free(p);
    }
    send_array_shrink(ad, g);
    return result;
}

// ---------------------------------------------------------------- delivery

int process_rx_core(session_core& s, uint32_t chunk_len, uint32_t max_inflated, rx_step_fn step, void* ctx) {
    rx_window& w = s.window;
    uint32_t delivered = 0;
    int result = 0;
    while (delivered < w.used && w.slots[delivered]) {
        stx_packet* p = w.slots[delivered];
        const uint32_t off = std::min<uint32_t>(p->payload_off, p->len);
        const uint32_t n = p->len - off;
        if (n > 0) {
            const int err = payload_inflate(&s.inflater, p->data + off, n, &s.in_cmds, chunk_len, max_inflated);
            if (err != Z_OK) {
                proto_log(0, "inflate error:%d:%d(upgrade client?)\n", err, int(p->data_id));
                s.close_mark = 1;
                result = -1;
                break;
            }
        }
        if (id_after(p->packet_id, s.last_good_pid) && p->packet_id - p->data_id == s.requested_count)
            s.last_good_pid = p->packet_id;
        s.last_delivered = p->data_id;
        w.slots[delivered] = nullptr;
        w.count--;
        packet_free(p);
        delivered++;
        if (step && step(s, ctx) < 0) {
            result = -1;
            break;
        }
    }
    if (rx_window_advance(w, s.last_delivered) != 0) {
        proto_log(1, "ERROR. Fault offset %d, used %d, first %d id %d close session\n",
                  int(s.last_delivered + 1 - w.first_id), int(w.used), int(w.first_id), int(s.last_delivered));
        s.close_mark = 1;
        return -1;
    }
    return result;
}

// ---------------------------------------------------------------- sending

stx_packet* session_core_build_packet(session_core& s, int n, double now) {
    n = std::clamp(n, header_bytes, max_datagram_bytes);
    stx_packet* p = packet_alloc();
    const int room = std::min((n - header_bytes) / resend_req_bytes, max_header_requests) * resend_req_bytes;
    const int req_bytes = room - resend_req_emit(p->data + header_bytes, room, s.reqs, now);
    const int nreq = req_bytes / resend_req_bytes;
    const uint32_t payload_off = uint32_t(header_bytes + req_bytes);
    const uint32_t payload = fifo_read(&s.out_deflated, p->data + payload_off, uint32_t(n) - payload_off);
    header_put(p->data, pkt_header{s.session_id, s.next_pid, s.next_did, s.last_delivered,
                                   uint8_t(flags_data | nreq)});
    p->session_id = s.session_id;
    p->packet_id = s.next_pid;
    p->data_id = s.next_did;
    p->payload_off = uint16_t(payload_off);
    p->len = uint16_t(payload_off + payload);
    p->sent = now;
    p->state = pkt_state_pending;
    return p;
}

void session_core_commit_data(session_core& s, stx_packet* p, double now) {
    if (!p || p->len <= header_bytes) proto_fatal(__LINE__, "keepalive committed as data\n");
    p->sent = now;
    s.keepalive_s = keepalive_min_s;
    s.next_did++;
    s.next_pid++;
    s.packets_in_flight++;
    s.bytes_in_flight += p->len;
    if (s.next_pid > packet_id_limit) {
        proto_log(1, "Close session (packed ID too high)\n");
        s.close_mark = 1;
    }
    send_array_append(s.array_d, p);
    send_array_append(s.array_p, p);
}

void session_core_prepare_resend(session_core& s, stx_packet* p, double now) {
    s.last_send = now;
    p->sent = now;
    p->state = pkt_state_pending;
    put_u32(p->data + hdr_last_good_off, s.last_delivered);
    p->packet_id = s.next_pid++;
    put_u32(p->data + hdr_packet_id_off, p->packet_id);
    send_array_append(s.array_p, p);
}

void session_core_keepalive_sent(session_core& s) {
    s.keepalive_s = std::min(s.keepalive_s * keepalive_growth, keepalive_max_s);
}
