// One direction of an emulated link: loss, duplication, a serialization
// queue at a fixed rate, propagation delay with jitter, and reordering.
// Nothing here reads a clock or touches a socket: the caller passes the
// arrival time of each datagram and collects the copies whose departure
// time has come, so the whole behaviour runs on simulated time in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <queue>
#include <vector>

namespace linkem {

// Deterministic generator (splitmix64): the same seed and the same arrivals
// give the same drops, copies and departures on every run.
struct Rng {
    uint64_t state = 0;

    explicit Rng(uint64_t seed = 1) : state(seed) {}
    uint64_t next();
    // Uniform in [0, 1).
    double uniform();
    // True with the given percentage (0 never, 100 always).
    bool chance_pct(double pct);
};

struct LinkParams {
    double loss_pct = 0;        // datagrams lost at random on arrival
    double dup_pct = 0;         // datagrams that arrive twice
    double delay_ms = 0;        // one-way propagation delay
    double jitter_ms = 0;       // delay varies uniformly by +-jitter_ms
    double rate_kbitps = 0;     // serialization rate; 0 = unlimited
    double reorder_pct = 0;     // datagrams held back so later ones overtake
    double reorder_gap_ms = 10; // how long such a datagram is held back
    // Tail drop once the serialization queue holds more than this much
    // sending time (only with a rate) ...
    double queue_ms = 1000;
    // ... or once everything held by this direction, queued or in the delay
    // line, would exceed this many bytes. Bounds memory under any flood.
    size_t queue_bytes = 16u << 20;
    // Bytes added to each datagram for the rate: the IP and UDP headers that
    // a real link carries.
    size_t overhead_bytes = 28;
};

// Bookkeeping cost of one held datagram, charged against queue_bytes besides
// its payload so that a flood of tiny datagrams is bounded as well.
constexpr size_t held_entry_overhead_bytes = 64;

struct LinkStats {
    uint64_t arrived = 0;
    uint64_t lost = 0;          // random loss
    uint64_t queue_dropped = 0; // copies refused by the queue bound
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
    uint64_t departed = 0;
    uint64_t bytes_arrived = 0;
    uint64_t bytes_departed = 0;
};

struct ScheduledDatagram {
    int64_t depart_us = 0;
    uint64_t seq = 0; // keeps equal departure times in arrival order
    std::vector<uint8_t> data;
};

struct LinkDirection {
    explicit LinkDirection(const LinkParams& params, uint64_t seed = 1);

    // A datagram arrives at now_us. Returns how many copies were scheduled
    // (0 when lost or refused by the queue bound, 2 when duplicated).
    int submit(int64_t now_us, const uint8_t* data, size_t len);

    // Departure time of the next held datagram; INT64_MAX when none.
    int64_t next_departure_us() const;

    // Takes the next datagram whose departure time is not after now_us.
    // Returns false when none is due.
    bool pop_due(int64_t now_us, std::vector<uint8_t>* out);

    size_t held_count() const { return held_.size(); }
    size_t held_bytes() const { return held_bytes_; }
    const LinkStats& stats() const { return stats_; }
    const LinkParams& params() const { return params_; }

    LinkDirection(const LinkDirection&) = delete;
    LinkDirection& operator=(const LinkDirection&) = delete;

private:
    struct Later {
        bool operator()(const ScheduledDatagram& a, const ScheduledDatagram& b) const {
            if (a.depart_us != b.depart_us) return a.depart_us > b.depart_us;
            return a.seq > b.seq;
        }
    };

    bool schedule_copy(int64_t now_us, const uint8_t* data, size_t len);

    LinkParams params_;
    Rng rng_;
    std::priority_queue<ScheduledDatagram, std::vector<ScheduledDatagram>, Later> held_;
    size_t held_bytes_ = 0;
    // The serialization queue is busy until this time (fractional us, so
    // that many short transmissions do not lose time to rounding).
    double busy_until_us_ = 0;
    // Latest departure of a datagram that keeps its place in line: jitter
    // varies the delay but does not let datagrams overtake one another.
    int64_t last_in_order_us_ = INT64_MIN;
    uint64_t next_seq_ = 0;
    LinkStats stats_;
};

}  // namespace linkem
