#include "engine/timers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/log.h"
#include "engine/loop.h"
#include "engine/session.h"
#include "engine/streams.h"
#include "platform/net.h"
#include "platform/sleep.h"
#include "protocol/session_core.h"
#include "protocol/window.h"
#include "protocol/wire.h"

namespace {

constexpr double no_rx_limit_s = 10.0;         // a session that never heard its server
constexpr double ack_stale_margin_s = 5.0;
constexpr double rate_window_slack_s = 0.05;
constexpr int64_t refill_min_bytes = 64;       // smaller refills wait to add up
constexpr int64_t wire_overhead_bytes = 42;    // what one datagram costs the bucket beyond its length
constexpr int udp_overhead_bytes = 28;
constexpr uint32_t send_error_pause_ms = 100;
constexpr double delay_inflight_speeds = 5.0;
constexpr double delay_inflight_max_speeds = 10.0;
constexpr uint64_t delay_queued_max_bytes = 50000000;
// Received commands answer with commands of their own (ends, stops): a peer
// that floods them must not grow our output without end. Local reading
// stops at delay_queued_max_bytes, so honest output stays below this; past
// it, received packets wait in the window until the output has drained.
constexpr uint64_t rx_pause_deflated_bytes = 64u << 20;
constexpr double speed_check_interval_s = 0.1;
constexpr uint32_t speed_check_min_bytes = 10000;
constexpr uint32_t speed_checks_per_status = 49;
constexpr uint32_t speed_steps = 50;           // min to max in this many good checks
constexpr int64_t loss_overload_percent = 50;
constexpr uint32_t overload_checks = 3;
constexpr double rtt_drift = 1.001;
constexpr double ratio_min = 0.05;
constexpr double ratio_max = 1.2;
constexpr double status_chunk_rate = 1000.0;
// zlib's inflate gives at most 1032 bytes for each compressed byte, so one
// datagram's payload yields about 1.5 MB at the very most; a stream that
// yields more from one packet is broken or hostile.
constexpr uint32_t inflate_max_ratio = 1032;
constexpr uint32_t max_inflated_per_packet = uint32_t(max_datagram_bytes - header_bytes) * inflate_max_ratio;

int64_t round_i64(double v) { return int64_t(std::llround(v)); }

// A send attempt that failed: it counts as loss and empties the bucket.
void note_send_failure(stx_session* s, int len, int err) {
    s->resent_bytes += uint32_t(len);
    s->resent_packets++;
    s->allowance = 0;
    log_msg(1, "send error (%d) oneshot %d burstavail %d\n", err, len, int(s->allowance));
    if (!sock_would_block(err)) sleep_ms(send_error_pause_ms);
}

void count_sent(stx_session* s, long sent) {
    s->udp_out += uint32_t(sent + udp_overhead_bytes);
    stats.udp_out += uint64_t(sent + udp_overhead_bytes);
    stats.datagrams_sent++;
}

void log_status_line(stx_session* s, uint32_t unit) {
    const int period_rate = s->period_time > 0 ? int(double(s->period_sent) / s->period_time) : 0;
    const double since_check = now - s->last_check;
    const int resend_rate = since_check > 0 ? int(double(s->resent_bytes) / since_check) : 0;
    log_msg(1,
            "B/G %d/%d|buf %dB+%dB+%dB/%dP?%dP %d/%d/%d (%s) spd %d/%d<%d sock %u rtt %f delay %d sd %d st %d drq %d c "
            "%f c/s %f DLT %d o %d t %f socktotl %d\n",
            int(s->resent_bytes / unit), int(s->sent_bytes / unit), int(s->queued_input), int(s->out_deflated.len),
            int(s->bytes_in_flight), int(s->packets_in_flight), int(s->array_p.used), int(s->peer_last_good),
            int(s->last_good_pid), int(s->last_delivered), s->name, period_rate, resend_rate, int(s->speed),
            unsigned(s->sockbuf), s->rtt, int(s->delay_count), int(s->streambuf_delay_count), int(s->stream_count),
            int(s->stop_count), s->compression_ratio, status_chunk_rate, int(marked_streams_total),
            int(s->allowance), now - s->last_rx_time, fd_poll.count);
}

bool output_backed_up(stx_session* s) {
    if (s->out_deflated.len <= rx_pause_deflated_bytes) return false;
    s->data_received = 1;  // taken up again in a later pass
    return true;
}

// The commands of each packet run before the next packet is inflated.
int execute_commands(session_core& core, void*) {
    auto& s = static_cast<stx_session&>(core);
    process_commands(&s);
    return s.close_mark || output_backed_up(&s) ? -1 : 0;
}

}  // namespace

void process_rx(stx_session* s) {
    if (output_backed_up(s)) return;
    process_rx_core(*s, uint32_t(std::max(runtime.buflen, 1)), max_inflated_per_packet, execute_commands, nullptr);
}

void refill_allowance(stx_session* s) {
    int64_t add = round_i64(double(s->speed) * (now - s->last_refill));
    if (add <= refill_min_bytes) return;
    const int64_t burst = s->burst;
    if (s->allowance + add > burst) add = burst - s->allowance;
    // An allowance already above the burst (a budget share) only shrinks to it.
    if (add < 0) add = 0;
    if (!runtime.totalspeed) {
        s->allowance += int32_t(add);
    } else if (budget.pool == 0) {
        if (s->owed == 0) budget.demanding++;
        s->owed += add;
        budget.total_demand += add;
    } else if (budget.pool < add) {
        s->allowance += int32_t(budget.pool);
        if (s->owed == 0) budget.demanding++;
        s->owed += add - budget.pool;
        budget.total_demand += add - budget.pool;
        budget.pool = 0;
    } else {
        s->allowance += int32_t(add);
        budget.pool -= add;
    }
    if (s->allowance > burst) s->allowance = int32_t(burst);
    s->last_refill = now;
}

void reading_control(stx_session* s) {
    const int64_t in_flight = s->bytes_in_flight;
    const double v = s->speed;
    if (s->delayed) {
        if (in_flight < round_i64(s->undelay_factor * s->rtt * v)) sockets_undelay_all(s);
        return;
    }
    const bool stay = (in_flight <= round_i64(delay_inflight_speeds * v) || s->rtt <= now - s->last_rx_time) &&
                      in_flight <= round_i64(delay_inflight_max_speeds * v) &&
                      uint64_t(in_flight) + s->out_deflated.len <= delay_queued_max_bytes;
    if (!stay) {
        sockets_delay_all(s);
        s->delay_count++;
    }
}

void session_timers() {
    stx_session* s = session_head;
    if (!s) return;
    do {
        stx_session* next = s->next;
        cur_session = s;
        s->read_size = 0;

        const double silent = now - s->last_rx_time;
        if (s->last_rx_pid == 0 && silent > no_rx_limit_s) {
            log_msg(1, "Close session, no packets received from server\n");
            close_session(s);
            return;
        }
        if (silent > runtime.datatimeout_s) {
            log_msg(1, "Close session, seems no data/activity at specified timeout\n");
            close_session(s);
            return;
        }
        if (s->close_mark) {
            log_msg(1, "Close session, instruction from algoritm\n");
            close_session(s);
            return;
        }

        if (s->data_received) {
            s->data_received = 0;
            process_rx(s);
        }

        const uint32_t g = s->peer_last_good;
        const uint32_t d_first = s->array_d.first;
        if (!id_after(d_first, g) && !id_after(g, d_first + s->array_d.used)) clean_acked(*s, g, now);

        if (now - s->newest_acked_sent < 0) log_msg(1, "Negative offset in tm\n");
        if (s->rtt + ack_stale_margin_s < now - s->newest_acked_sent) s->newest_acked_sent = now - s->rtt;

        int64_t window = round_i64((now - s->newest_acked_sent + rate_window_slack_s) * double(s->speed) -
                                   double(uint64_t(s->bytes_in_flight) + s->out_deflated.len));
        window = std::min<int64_t>(window, s->burst);
        window = std::min<int64_t>(window, s->allowance);
        if (window >= s->packet_size) pack_streams(s, window);

        now = clock_now();
        refill_allowance(s);
        resend_all(s);
        reading_control(s);
        send_packets(s);
        speed_control(s);

        s = next;
    } while (s != session_head);
}

void send_packets(stx_session* s) {
    const int64_t req_bytes = resend_req_size(s->reqs, now);
    for (;;) {
        const int64_t a = s->allowance;
        const int64_t d = s->out_deflated.len;
        const int64_t size = s->packet_size;
        const double since_send = now - s->last_send;
        const bool wanted = ((a > 60 && d > 0) || (a > 64 && req_bytes > 0)) &&
                            ((a > size && d + req_bytes >= size) || (since_send > s->flush_interval_s && d + req_bytes > 0));
        if (!wanted && !(a > header_bytes && since_send > s->keepalive_s)) break;
        // Nothing goes out before the server has answered the login.
        if (!s->working) break;
        int64_t n = std::min<int64_t>(size, d + req_bytes + header_bytes);
        if (a > 0 && a < n) n = a;
        if (n == header_bytes && since_send < s->keepalive_s) break;

        stx_packet* p = session_core_build_packet(*s, int(n), now);
        const int len = p->len;
        const bool keepalive = len == header_bytes;
        if (keepalive)
            session_core_keepalive_sent(*s);
        else
            session_core_commit_data(*s, p, now);
        s->allowance -= int32_t(len + wire_overhead_bytes);
        s->last_send = now;

        bool failed = false;
        for (int k = 0; k < runtime.packetretry; k++) {
            const long sent = session_sendto(s, p->data, size_t(len));
            if (sent < 0) {
                note_send_failure(s, len, sock_last_error());
                failed = true;
                continue;
            }
            failed = false;
            s->sent_bytes += uint32_t(len + wire_overhead_bytes);
            s->sent_packets++;
            count_sent(s, sent);
        }
        if (keepalive) {
            packet_free(p);
            break;
        }
        if (failed) break;
    }
}

void speed_control(stx_session* s) {
    if (!(now > s->last_check + speed_check_interval_s && s->sent_bytes + s->resent_bytes > speed_check_min_bytes))
        return;
    s->period_sent += s->sent_bytes;
    s->period_time += now - s->last_check;
    const uint32_t unit = (s->sent_bytes + s->resent_bytes) / 100;
    const int64_t loss = s->resent_bytes / unit;

    s->check_count++;
    if (s->check_count > speed_checks_per_status) {
        const uint64_t raw = s->packed_raw ? s->packed_raw : 1;
        s->compression_ratio = double(s->packed_compressed) / double(raw);
        if (s->compression_ratio < ratio_min || s->compression_ratio > ratio_max) s->compression_ratio = 1.0;
        s->rtt *= rtt_drift;
        // The line shows the period's rate, so it is written before the
        // period starts over.
        log_status_line(s, unit);
        s->check_count = 0;
        s->period_sent = 0;
        s->period_time = 0;
        s->delay_count = 0;
        s->stop_count = 0;
        s->streambuf_delay_count = 0;
        s->packed_compressed = 0;
        s->packed_raw = 0;
    }

    const int64_t lo = s->speed_min;
    const int64_t hi = s->speed_max;
    int64_t v = s->speed;
    if (loss <= s->loss_tolerance) {
        v = std::min<int64_t>(v + (hi - lo) / speed_steps, hi);
    } else {
        v = s->sent_bytes < 3 ? lo : v - round_i64(double(loss) * double(v) / 100.0);
        if (loss > loss_overload_percent) {
            if (s->overload_count < overload_checks) {
                s->overload_count++;
            } else {
                v = lo;
                s->overload_count = 0;
            }
        }
        v = std::max(std::min(v, hi), lo);
    }
    s->speed = uint32_t(std::max<int64_t>(v, 0));

    s->sent_bytes = 0;
    s->resent_bytes = 0;
    s->resent_packets = 0;
    s->last_check = now;
}

void resend_all(stx_session* s) {
    if (s->packets_in_flight == 0) return;
    while (stx_packet* p = packet_queue_pop(s->resend_q)) resend_packets(s, p);
    for (stx_packet* p : s->pending_q.items) packet_queue_push(s->resend_q, p, s->name);
    s->pending_q.items.clear();
}

void resend_packets(stx_session* s, stx_packet* p) {
    if (s->allowance < p->len) {
        packet_queue_push(s->pending_q, p, s->name);
        return;
    }
    const int len = p->len;
    s->allowance -= int32_t(len + wire_overhead_bytes);
    session_core_prepare_resend(*s, p, now);
    for (int k = 0; k < runtime.packetretry; k++) {
        s->resent_bytes += uint32_t(len + wire_overhead_bytes);
        s->resent_packets++;
        const long sent = session_sendto(s, p->data, size_t(len));
        if (sent < 0) {
            const int err = sock_last_error();
            s->allowance = 0;
            if (!sock_would_block(err)) {
                log_msg(1, "packet send error(%d) #While resending\n", err);
                sleep_ms(send_error_pause_ms);
            }
            continue;
        }
        count_sent(s, sent);
    }
}
