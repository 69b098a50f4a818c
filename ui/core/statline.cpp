#include "ui/core/statline.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

constexpr int stat_field_count = 10;

enum class field_kind { u64, u32, percent };

constexpr field_kind field_kinds[stat_field_count] = {
    field_kind::u64, field_kind::u64, field_kind::u64,     field_kind::u64, field_kind::u32,
    field_kind::u32, field_kind::percent, field_kind::u32, field_kind::u32, field_kind::percent,
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// An optionally signed decimal integer filling [p, end) that fits `bits`
// bits either as an unsigned number or as a signed one; a negative value
// wraps as the engine's signed printing of an unsigned counter does.
bool read_integer(const char* p, const char* end, int bits, uint64_t* out) {
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    if (p == end || *p < '0' || *p > '9') return false;
    uint64_t magnitude = 0;
    auto r = std::from_chars(p, end, magnitude);
    if (r.ec != std::errc() || r.ptr != end) return false;
    const uint64_t unsigned_max = bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
    const uint64_t negative_max = uint64_t(1) << (bits - 1);
    if (negative ? magnitude > negative_max : magnitude > unsigned_max) return false;
    uint64_t v = negative ? uint64_t(0) - magnitude : magnitude;
    *out = bits == 64 ? v : v & unsigned_max;
    return true;
}

// A fixed-point number such as "10.00" filling [p, end).
bool read_percent(const char* p, const char* end, double* out) {
    const char* digits = p;
    if (digits < end && (*digits == '-' || *digits == '+')) digits++;
    if (digits == end || !((*digits >= '0' && *digits <= '9') || *digits == '.')) return false;
    if (*p == '+') p++;
    double v = 0;
    auto r = std::from_chars(p, end, v, std::chars_format::fixed);
    if (r.ec != std::errc() || r.ptr != end || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

}  // namespace

stat_line_status stat_line_parse(const char* bytes, size_t len, StatLine* out) {
    const char* end = bytes + len;
    const char* slash = static_cast<const char*>(std::memchr(bytes, '/', len));
    if (!slash) return stat_line_status::missing_field;
    if (slash == bytes) return stat_line_status::no_prefix;

    // The last field ends at the first blank; only blanks may follow it.
    const char* tail = slash + 1;
    while (tail < end && !is_blank(*tail)) tail++;
    for (const char* p = tail; p < end; p++)
        if (!is_blank(*p)) return stat_line_status::trailing_bytes;

    uint64_t ints[stat_field_count] = {};
    double percents[stat_field_count] = {};
    const char* p = slash + 1;
    for (int i = 0; i < stat_field_count; i++) {
        const char* field_end = static_cast<const char*>(std::memchr(p, '/', size_t(tail - p)));
        const bool last = i == stat_field_count - 1;
        if (last) {
            if (field_end) return stat_line_status::trailing_bytes;
            field_end = tail;
        } else if (!field_end) {
            return stat_line_status::missing_field;
        }
        bool good = false;
        switch (field_kinds[i]) {
            case field_kind::u64: good = read_integer(p, field_end, 64, &ints[i]); break;
            case field_kind::u32: good = read_integer(p, field_end, 32, &ints[i]); break;
            case field_kind::percent: good = read_percent(p, field_end, &percents[i]); break;
        }
        if (!good) return stat_line_status::bad_number;
        p = field_end + 1;
    }

    out->udp_in = ints[0];
    out->udp_out = ints[1];
    out->local_in = ints[2];
    out->local_out = ints[3];
    out->packets_in = uint32_t(ints[4]);
    out->lost_in = uint32_t(ints[5]);
    out->loss_in_pct = percents[6];
    out->packets_out = uint32_t(ints[7]);
    out->lost_out = uint32_t(ints[8]);
    out->loss_out_pct = percents[9];
    return stat_line_status::ok;
}
