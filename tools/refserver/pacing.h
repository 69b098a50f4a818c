// The reference server's pacing: a token bucket filled at the rate that the
// client announced for its downstream. A datagram may go out while the
// allowance is positive and costs its length plus the IP and UDP headers, so
// the allowance can dip below zero by less than one datagram and the
// average rate still holds.
#pragma once

#include <algorithm>
#include <cstdint>

constexpr double ip_udp_overhead_bytes = 28;
// The bucket holds about 20 ms of sending: bursts stay well inside the
// client's UDP receive buffer.
constexpr double bucket_depth_s = 0.02;
constexpr double bucket_min_bytes = 4 * 1500;
constexpr double bucket_max_bytes = 131072;

struct token_bucket {
    double rate = 0;       // bytes per second
    double burst = 0;      // the bucket's size
    double allowance = 0;  // bytes that may go out now
    double last_refill = 0;
};

inline void bucket_set_rate(token_bucket& b, double rate, double now) {
    b.rate = rate > 1 ? rate : 1;
    b.burst = std::clamp(b.rate * bucket_depth_s, bucket_min_bytes, bucket_max_bytes);
    if (b.last_refill == 0) {
        b.allowance = b.burst;
        b.last_refill = now;
    }
    b.allowance = std::min(b.allowance, b.burst);
}

inline void bucket_refill(token_bucket& b, double now) {
    if (now <= b.last_refill) return;
    b.allowance = std::min(b.burst, b.allowance + b.rate * (now - b.last_refill));
    b.last_refill = now;
}

inline bool bucket_may_send(const token_bucket& b) { return b.allowance > 0; }

inline void bucket_take(token_bucket& b, double datagram_bytes) {
    b.allowance -= datagram_bytes + ip_udp_overhead_bytes;
}

// Seconds until a datagram may go out again (0 when it may now).
inline double bucket_wait_s(const token_bucket& b) {
    if (b.allowance > 0) return 0;
    return (1 - b.allowance) / b.rate;
}
