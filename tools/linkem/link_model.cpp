#include "tools/linkem/link_model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace linkem {

uint64_t Rng::next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::uniform() {
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

bool Rng::chance_pct(double pct) {
    if (pct <= 0) return false;
    if (pct >= 100) return true;
    return uniform() * 100.0 < pct;
}

LinkDirection::LinkDirection(const LinkParams& params, uint64_t seed)
    : params_(params), rng_(seed) {}

int LinkDirection::submit(int64_t now_us, const uint8_t* data, size_t len) {
    stats_.arrived++;
    stats_.bytes_arrived += len;
    if (rng_.chance_pct(params_.loss_pct)) {
        stats_.lost++;
        return 0;
    }
    int copies = 1;
    if (rng_.chance_pct(params_.dup_pct)) {
        copies = 2;
        stats_.duplicated++;
    }
    int scheduled = 0;
    for (int i = 0; i < copies; i++) {
        if (schedule_copy(now_us, data, len)) scheduled++;
    }
    return scheduled;
}

bool LinkDirection::schedule_copy(int64_t now_us, const uint8_t* data, size_t len) {
    const double now = static_cast<double>(now_us);
    const double start_us = std::max(now, busy_until_us_);
    const size_t cost = len + held_entry_overhead_bytes;
    if (held_bytes_ + cost > params_.queue_bytes) {
        stats_.queue_dropped++;
        return false;
    }
    double serialize_us = 0;
    if (params_.rate_kbitps > 0) {
        // Backlog already waiting in front of this datagram.
        if (start_us - now > params_.queue_ms * 1000.0) {
            stats_.queue_dropped++;
            return false;
        }
        const double bits = static_cast<double>(len + params_.overhead_bytes) * 8.0;
        serialize_us = bits * 1000.0 / params_.rate_kbitps;
    }
    const double sent_us = start_us + serialize_us;
    busy_until_us_ = sent_us;

    double delay_us = params_.delay_ms * 1000.0;
    if (params_.jitter_ms > 0) {
        delay_us += (rng_.uniform() * 2.0 - 1.0) * params_.jitter_ms * 1000.0;
        delay_us = std::max(delay_us, 0.0);
    }
    int64_t depart_us = static_cast<int64_t>(std::ceil(sent_us + delay_us));
    if (rng_.chance_pct(params_.reorder_pct)) {
        // Held back out of line: the datagrams behind it go first.
        depart_us += static_cast<int64_t>(std::ceil(params_.reorder_gap_ms * 1000.0));
        stats_.reordered++;
    } else {
        depart_us = std::max(depart_us, last_in_order_us_);
        last_in_order_us_ = depart_us;
    }

    ScheduledDatagram d;
    d.depart_us = depart_us;
    d.seq = next_seq_++;
    d.data.assign(data, data + len);
    held_.push(std::move(d));
    held_bytes_ += cost;
    return true;
}

int64_t LinkDirection::next_departure_us() const {
    if (held_.empty()) return std::numeric_limits<int64_t>::max();
    return held_.top().depart_us;
}

bool LinkDirection::pop_due(int64_t now_us, std::vector<uint8_t>* out) {
    if (held_.empty() || held_.top().depart_us > now_us) return false;
    // priority_queue::top is const; the element is discarded right after,
    // so moving its payload out is safe.
    ScheduledDatagram& top = const_cast<ScheduledDatagram&>(held_.top());
    out->swap(top.data);
    held_.pop();
    held_bytes_ -= out->size() + held_entry_overhead_bytes;
    stats_.departed++;
    stats_.bytes_departed += out->size();
    return true;
}

}  // namespace linkem
