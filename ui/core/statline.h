// The engine console's statistics line, the answer to "show stat": the
// prompt and the reply prefix "[name][pid]", then ten fields, each behind a
// "/": four 64-bit byte counters, two 32-bit packet counters, a per-cent
// figure, two more 32-bit counters and a second per-cent figure.
#pragma once

#include <cstddef>
#include <cstdint>

struct StatLine {
    uint64_t udp_in = 0;       // bytes received over UDP
    uint64_t udp_out = 0;      // bytes sent over UDP
    uint64_t local_in = 0;     // bytes read from local connections
    uint64_t local_out = 0;    // bytes written to local connections
    uint32_t packets_in = 0;   // datagrams received
    uint32_t lost_in = 0;      // resends asked for
    double loss_in_pct = 0;    // the engine's own figure; the window computes its own
    uint32_t packets_out = 0;  // datagrams sent
    uint32_t lost_out = 0;     // datagrams resent
    double loss_out_pct = 0;
};

enum class stat_line_status {
    ok,
    no_prefix,       // nothing stands before the first "/"
    missing_field,   // fewer than ten fields
    bad_number,      // a field is not a number of its width
    trailing_bytes,  // more than blanks after the tenth field
};

// Parses one line (its newline may be included). Numbers are read the C
// way whatever the process locale: "10.00", never "10,00". The engine prints
// its 32-bit counters signed, so "-5" is read as 2^32 - 5. out is written
// only when the result is ok.
stat_line_status stat_line_parse(const char* bytes, size_t len, StatLine* out);
