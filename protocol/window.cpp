#include "protocol/window.h"

#include <algorithm>

#include "protocol/hooks.h"
#include "protocol/wire.h"

namespace {

// Drops the first n slots with one block move; the vacated tail is emptied.
void slots_drop_front(std::vector<stx_packet*>& slots, uint32_t used, uint32_t n) {
    std::move(slots.begin() + n, slots.begin() + used, slots.begin());
    std::fill(slots.begin() + (used - n), slots.begin() + used, nullptr);
}

bool req_push(resend_req_list& l, uint32_t first, uint8_t count, double now) {
    if (l.items.size() >= resend_req_list_max) return false;
    if (l.items.size() == l.items.capacity()) l.items.reserve(l.items.capacity() + window_step);
    l.items.push_back(resend_req{first, count, now});
    return true;
}

}  // namespace

// ---------------------------------------------------------------- receive window

int rx_window_store(rx_window& w, stx_packet* p) {
    const uint32_t data_id = p->data_id;
    if (id_after(w.first_id, data_id)) {
        proto_log(1, "debug: Packet is out of bounds! SFQ imperfection! %d %d\n", int(data_id), int(w.first_id));
        return 1;
    }
    const uint32_t index = data_id - w.first_id;
    if (index > rx_window_max_ahead) {
        proto_log(1, "debug: Packet too far ahead of the window, dropping %u (first %u, limit %u)\n", data_id,
                  w.first_id, rx_window_max_ahead);
        return 1;
    }
    const uint32_t capacity = uint32_t(w.slots.size());
    if (index >= capacity) {
        const uint32_t grow = ((index - capacity) / window_step + 1) * window_step;
        w.slots.resize(size_t(capacity) + grow, nullptr);
    }
    if (w.slots[index]) {
        proto_log(1, "debug: SFQ imperfection? Packet is duplicated? dropping %d %d\n", int(data_id),
                  int(w.first_id));
        return 1;
    }
    w.slots[index] = p;
    w.used = std::max(w.used, index + 1);
    w.count++;
    return 0;
}

int rx_window_advance(rx_window& w, uint32_t data_id) {
    if (id_after(w.first_id, data_id)) return 0;
    const uint32_t n = data_id + 1 - w.first_id;
    if (n > w.used) return -1;
    // Delivery empties the front before it advances; anything still held
    // there would otherwise be lost without being freed.
    for (uint32_t i = 0; i < n; i++) {
        if (w.slots[i]) {
            packet_free(w.slots[i]);
            w.slots[i] = nullptr;
            w.count--;
        }
    }
    slots_drop_front(w.slots, w.used, n);
    w.used -= n;
    w.first_id = data_id + 1;
    return 0;
}

void rx_window_free_all(rx_window& w) {
    for (stx_packet*& p : w.slots) {
        if (p) {
            packet_free(p);
            p = nullptr;
        }
    }
    w.used = 0;
    w.count = 0;
}

// ---------------------------------------------------------------- send arrays

void send_array_append(send_array& a, stx_packet* p) {
    if (a.used >= a.slots.size()) a.slots.resize(a.slots.size() + window_step, nullptr);
    a.slots[a.used++] = p;
}

stx_packet* send_array_at(const send_array& a, uint32_t id) {
    if (id_after(a.first, id)) return nullptr;
    const uint32_t index = id - a.first;
    if (index >= a.used) return nullptr;
    return a.slots[index];
}

int send_array_shrink(send_array& a, uint32_t id) {
    if (id_after(a.first, id)) return 0;
    const uint32_t n = id + 1 - a.first;
    if (n > a.used) return -1;
    slots_drop_front(a.slots, a.used, n);
    a.used -= n;
    a.first = id + 1;
    return 0;
}

void array_p_forget(send_array& p, uint32_t data_id) {
    for (uint32_t i = 0; i < p.used; i++) {
        if (p.slots[i] && p.slots[i]->data_id == data_id) p.slots[i] = nullptr;
    }
}

// ---------------------------------------------------------------- queues

void packet_queue_push(packet_queue& q, stx_packet* p, const char* who) {
    if (!p) return;
    if (p->freed) {
        proto_log(1, "debug: user %s\n", who ? who : "");
        proto_fatal(__LINE__, "freed packet\n");
    }
    if (q.items.size() + 1 >= q.items.capacity()) q.items.reserve(q.items.capacity() + queue_step);
    q.items.push_back(p);
}

bool packet_queue_remove(packet_queue& q, stx_packet* p) {
    auto it = std::find(q.items.begin(), q.items.end(), p);
    if (it == q.items.end()) return false;
    q.items.erase(it);
    return true;
}

stx_packet* packet_queue_pop(packet_queue& q) {
    if (q.items.empty()) return nullptr;
    stx_packet* p = q.items.back();
    q.items.pop_back();
    return p;
}

// ---------------------------------------------------------------- resend requests

void resend_req_add(resend_req_list& l, uint32_t first, uint8_t count, double now) {
    if (!req_push(l, first, count, now))
        proto_log(1, "Resend request list full (%u), not asking for %u+%u\n", resend_req_list_max, first,
                  resend_count_of(count));
}

uint32_t resend_req_add_gap(resend_req_list& l, uint32_t last, uint32_t pid, double now) {
    const uint32_t first = last + 1;
    if (!id_after(pid, first)) return 0;
    uint32_t ids = pid - first;
    if (ids > resend_gap_max_ids) {
        proto_log(1, "Packet id gap of %u from %u is implausible, asking for the first %u only\n", ids, last,
                  resend_gap_max_ids);
        ids = resend_gap_max_ids;
    }
    uint32_t asked = 0;
    uint32_t next = first;
    while (asked < ids) {
        const uint32_t run = std::min(ids - asked, resend_req_run);
        if (!req_push(l, next, uint8_t(run == resend_req_run ? 0 : run), now)) {
            proto_log(1, "Resend request list full (%u), not asking for %u ids from %u\n", resend_req_list_max,
                      ids - asked, next);
            break;
        }
        asked += run;
        next += run;
    }
    return asked;
}

uint32_t resend_req_size(const resend_req_list& l, double now) {
    uint32_t due = 0;
    for (const resend_req& r : l.items)
        if (now > r.stamp) due++;
    return due * resend_req_bytes;
}

int resend_req_emit(uint8_t* dst, int room, resend_req_list& l, double now) {
    const size_t max = room > 0 ? size_t(room / resend_req_bytes) : 0;
    size_t copied = 0;
    while (copied < max && copied < l.items.size() && now > l.items[copied].stamp) {
        const resend_req& r = l.items[copied];
        resend_req_put(dst + copied * resend_req_bytes, resend_req_wire{r.first, r.count});
        copied++;
    }
    l.items.erase(l.items.begin(), l.items.begin() + copied);
    return room - int(copied) * resend_req_bytes;
}
