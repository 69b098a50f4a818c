// The statistics window's reading of the engine's console: the byte
// stream cut into reads of arbitrary sizes, split into prompts and lines,
// each line parsed as a statistics line.
//
// Input: u8 read size (0 reads everything at once), then the stream.
//
// A line that parses is printed again the way the engine prints it and
// parsed again: the counters must come back unchanged.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/core/consolestream.h"
#include "ui/core/statline.h"

namespace {

void check_round_trip(const StatLine& a) {
    char text[256];
    int n = std::snprintf(text, sizeof text, "p/%lld/%lld/%lld/%lld/%d/%d/%.2f/%d/%d/%.2f\n", (long long)a.udp_in,
                          (long long)a.udp_out, (long long)a.local_in, (long long)a.local_out, int(a.packets_in),
                          int(a.lost_in), a.loss_in_pct, int(a.packets_out), int(a.lost_out), a.loss_out_pct);
    if (n <= 0 || size_t(n) >= sizeof text) return;  // a per-cent figure too large to print here
    StatLine b;
    if (stat_line_parse(text, size_t(n), &b) != stat_line_status::ok) std::abort();
    if (a.udp_in != b.udp_in || a.udp_out != b.udp_out || a.local_in != b.local_in || a.local_out != b.local_out ||
        a.packets_in != b.packets_in || a.lost_in != b.lost_in || a.packets_out != b.packets_out ||
        a.lost_out != b.lost_out)
        std::abort();
}

void parse_line(const char* bytes, size_t n) {
    StatLine line;
    if (stat_line_parse(bytes, n, &line) == stat_line_status::ok) check_round_trip(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t read_size = data[0] ? data[0] : size;
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const size_t stream_bytes = size - 1;
    parse_line(stream, stream_bytes);

    ConsoleReader reader;
    std::string line;
    for (size_t at = 0; at < stream_bytes; at += read_size) {
        const size_t n = stream_bytes - at < read_size ? stream_bytes - at : read_size;
        reader.feed(stream + at, n);
        for (;;) {
            const bool announced = reader.has_item();
            const ConsoleReader::item item = reader.next(&line);
            if (announced != (item != ConsoleReader::item::none)) std::abort();
            if (item == ConsoleReader::item::none) break;
            if (item != ConsoleReader::item::line) continue;
            if (line.empty() || line.back() != '\n' || line.size() > ConsoleReader::line_limit_bytes) std::abort();
            parse_line(line.data(), line.size());
        }
    }
    return 0;
}
