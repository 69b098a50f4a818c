// Transport-stream packets and the private sections they carry: parsing one
// packet, putting sections back together across packets, and the other way
// round (sections cut into packets on a PID). No descriptor, no clock, no
// allocation on the receiving side: the tuner's capture thread runs this.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t ts_packet_bytes = 188;
constexpr size_t ts_header_bytes = 4;
constexpr size_t ts_payload_max_bytes = ts_packet_bytes - ts_header_bytes;
constexpr uint8_t ts_sync_byte = 0x47;
constexpr uint16_t ts_pid_max = 0x1FFF;
// A private section, its three header bytes and its CRC included.
constexpr size_t section_max_bytes = 4096;
constexpr size_t section_header_bytes = 3;
// Where a section's table id would stand, this byte ends the packet's sections.
constexpr uint8_t section_stuffing_byte = 0xFF;

// Only a bug reaches this: it reports and aborts.
[[noreturn]] void dvb_check_failed(const char* file, int line, const char* what);
#define DVB_CHECK(cond) ((cond) ? void(0) : dvb_check_failed(__FILE__, __LINE__, #cond))

// CRC-32 of MPEG-2 sections (polynomial 0x04C11DB7, MSB first, no final
// inversion). A section with its CRC appended sums to 0.
uint32_t mpeg_crc32(const uint8_t* p, size_t n, uint32_t crc = 0xFFFFFFFF);

struct ts_packet {
    bool error = false;          // transport_error_indicator
    bool unit_start = false;     // payload_unit_start_indicator
    uint16_t pid = 0;
    uint8_t scrambling = 0;      // transport_scrambling_control
    bool has_payload = false;
    uint8_t continuity = 0;
    bool discontinuity = false;  // signalled in the adaptation field
    const uint8_t* payload = nullptr;
    size_t payload_len = 0;
};

enum class ts_status {
    ok,
    bad_length,      // not 188 bytes
    bad_sync,        // first byte not 0x47
    bad_control,     // adaptation_field_control 00, which decoders discard
    bad_adaptation,  // adaptation field longer than the packet allows
};

ts_status ts_parse(const uint8_t* p, size_t len, ts_packet* out);

// Everything the receiving side counts, from packets to datagrams.
struct mpe_counters {
    uint64_t ts_packets = 0;       // packets on the PID
    uint64_t ts_errors = 0;        // errored or malformed packets on the PID
    uint64_t scrambled = 0;        // scrambled packets (unreadable)
    uint64_t discontinuities = 0;  // continuity counter gaps
    uint64_t duplicates = 0;       // repeated packets, dropped
    uint64_t sections_lost = 0;    // sections cut short by a gap or a pointer
    uint64_t section_errors = 0;   // pointer beyond the packet, length beyond 4096
    uint64_t sections = 0;         // complete sections handed on
    uint64_t crc_errors = 0;       // sections whose CRC-32 did not match
    uint64_t mpe_errors = 0;       // other tables, malformed or unsupported sections
    uint64_t ip_errors = 0;        // not an intact unfragmented IPv4 UDP datagram
    uint64_t other_address = 0;    // UDP datagrams for another destination
    uint64_t datagrams = 0;        // UDP datagrams kept
    uint64_t bytes = 0;            // their payload bytes
};

using section_sink = void (*)(void* ctx, const uint8_t* section, size_t len);

// The sections of one PID being put together. Sections start only in packets
// that say so (payload_unit_start_indicator and its pointer_field); a gap in
// the continuity counter loses the section in progress, and the next start
// resynchronises.
struct section_reassembler {
    int last_cc = -1;  // none yet
    bool collecting = false;
    size_t have = 0;
    size_t need = 0;   // 0 until the section's length is known
    std::array<uint8_t, section_max_bytes> buf{};
};

void section_reset(section_reassembler& r);

// One parsed packet of the reassembler's PID (the caller filters PIDs and
// counts the packet). Each completed section goes to sink before it returns.
void section_feed(section_reassembler& r, const ts_packet& p, mpe_counters& c, section_sink sink, void* ctx);

// The sending side: sections laid back to back in packets of one PID, each
// packet that holds a section start flagged and pointing at it, the last
// packet filled with stuffing. The continuity counter runs on across calls.
struct ts_packetizer {
    uint16_t pid = 0;
    uint8_t next_cc = 0;
};

struct section_ref {
    const uint8_t* bytes;
    size_t len;
};

// Appends whole 188-byte packets to out.
void ts_packetize(ts_packetizer& t, const section_ref* sections, size_t count, std::vector<uint8_t>& out);
