// The transport-stream and MPE codec as pure functions: section framing
// across packets, CRC and continuity, every length bounded, encoder ->
// decoder round trips; and the rules that turn init's values into reader calls.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/dvb/dvb_testing.h"
#include "tools/dvb/tuning.h"

namespace {

using namespace dvb_testing;

const uint32_t sat_ip = inet_addr("10.0.0.1");
const uint32_t other_ip = inet_addr("10.0.0.2");
constexpr uint16_t pid = 0x0ABC;

bytes payload_of(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t(seed + i * 7);
    return b;
}

bytes packets_of(const std::vector<bytes>& sections, uint8_t first_cc = 0) {
    ts_packetizer t;
    t.pid = pid;
    t.next_cc = first_cc;
    return packetize(t, sections);
}

uint8_t* packet(bytes& stream, size_t i) { return stream.data() + i * ts_packet_bytes; }

void fix_crc(bytes& s) {
    const uint32_t crc = mpeg_crc32(s.data(), s.size() - 4);
    for (int i = 0; i < 4; i++) s[s.size() - 4 + i] = uint8_t(crc >> (24 - 8 * i));
}

struct decoded {
    std::vector<bytes> payloads;
    mpe_counters counters;
};

decoded decode(const bytes& stream) {
    decoded out;
    mpe_decap d;
    mpe_decap_reset(d, pid, sat_ip);
    for (size_t at = 0; at + ts_packet_bytes <= stream.size(); at += ts_packet_bytes)
        mpe_decap_packet(d, stream.data() + at, ts_packet_bytes,
                         [](void* ctx, const udp_datagram& u) {
                             static_cast<decoded*>(ctx)->payloads.emplace_back(u.payload, u.payload + u.payload_len);
                         },
                         &out);
    out.counters = d.counters;
    return out;
}

TEST(DvbTs, Crc32AndPacketHeader) {
    const std::string check = "123456789";
    EXPECT_EQ(mpeg_crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x0376E6E7u);
    struct row {
        uint8_t b1, b3, af_len;
        ts_status status;
        size_t payload_len;
    };
    const row rows[] = {
        {0x41, 0x1A, 0, ts_status::ok, 184},   // unit start, PID 0x123, payload only
        {0x01, 0x3A, 7, ts_status::ok, 176},   // adaptation field, then payload
        {0x01, 0x3A, 182, ts_status::ok, 1},   // the longest field that leaves payload
        {0x01, 0x2A, 183, ts_status::ok, 0},   // adaptation only
        {0x01, 0x3A, 183, ts_status::bad_adaptation, 0},
        {0x01, 0x2A, 100, ts_status::bad_adaptation, 0},
        {0x01, 0x0A, 0, ts_status::bad_control, 0},
    };
    for (const row& r : rows) {
        uint8_t p[ts_packet_bytes] = {ts_sync_byte, r.b1, 0x23, r.b3, r.af_len, 0x80};
        ts_packet t;
        ASSERT_EQ(ts_parse(p, sizeof p, &t), r.status) << int(r.af_len);
        if (r.status != ts_status::ok) continue;
        EXPECT_EQ(t.pid, 0x123);
        EXPECT_EQ(t.continuity, 0x0A);
        EXPECT_EQ(t.unit_start, (r.b1 & 0x40) != 0);
        EXPECT_EQ(t.discontinuity, r.af_len > 0 && (r.b3 & 0x20));
        EXPECT_EQ(t.payload_len, r.payload_len);
    }
    uint8_t p[ts_packet_bytes] = {0x46};
    ts_packet t;
    EXPECT_EQ(ts_parse(p, sizeof p, &t), ts_status::bad_sync);
    EXPECT_EQ(ts_parse(p, sizeof p - 1, &t), ts_status::bad_length);
}

// A section in front of the one under test moves its start, and its end,
// over every offset of a packet, the pointer_field's limits included.
TEST(DvbMpe, SectionFramedAtEveryOffsetOfAPacket) {
    for (size_t target_len : {size_t(1), size_t(150), size_t(400)}) {
        const bytes target = payload_of(target_len, 3);
        for (size_t filler = 0; filler <= 2 * ts_payload_max_bytes; filler++) {
            SCOPED_TRACE("filler " + std::to_string(filler) + " target " + std::to_string(target_len));
            const bytes stream = packets_of({section_for(other_ip, payload_of(filler, 9)), section_for(sat_ip, target)});
            const decoded d = decode(stream);
            ASSERT_EQ(d.payloads, std::vector<bytes>{target});
            EXPECT_EQ(d.counters.sections, 2u);
            EXPECT_EQ(d.counters.other_address, 1u);
            EXPECT_EQ(d.counters.ts_packets, stream.size() / ts_packet_bytes);
            EXPECT_EQ(d.counters.sections_lost + d.counters.section_errors + d.counters.crc_errors, 0u);
        }
    }
}

TEST(DvbMpe, RoundTripsSeveralToAPacketAndUpToTheLargest) {
    std::vector<bytes> sections, payloads;
    for (size_t n : {size_t(0), size_t(5), size_t(17), size_t(40), size_t(1520),
                     mpe_payload_max_bytes - ip_udp_header_bytes}) {
        payloads.push_back(payload_of(n, uint8_t(n)));
        sections.push_back(section_for(sat_ip, payloads.back()));
    }
    size_t total = 0;
    for (const bytes& s : sections) total += s.size();
    const bytes stream = packets_of(sections, 9);
    EXPECT_LE(stream.size() / ts_packet_bytes, total / (ts_payload_max_bytes - 1) + 1);  // packed back to back
    EXPECT_EQ(decode(stream).payloads, payloads);
    // What cannot be carried is refused, not cut.
    bytes out(section_max_bytes + 64);
    uint8_t mac[6] = {};
    EXPECT_EQ(mpe_build(mac, out.data(), mpe_payload_max_bytes + 1, out.data(), out.size()), 0u);
    EXPECT_EQ(mpe_build(mac, out.data(), 100, out.data(), 115), 0u);
    EXPECT_EQ(ipv4_udp_build(1, 2, 3, 4, 5, out.data(), 100, out.data() + 200, 127), 0u);
}

// Three datagrams in four packets; the middle one spans all four.
TEST(DvbMpe, DamageIsCountedAndCostsOnlyTheSectionsItTouches) {
    const bytes last = payload_of(30, 3);
    const bytes clean =
        packets_of({section_for(sat_ip, payload_of(100, 1)), section_for(sat_ip, payload_of(400, 2)),
                    section_for(sat_ip, last)});
    ASSERT_EQ(clean.size(), 4 * ts_packet_bytes);
    auto erase = [](bytes& s, size_t i) { s.erase(s.begin() + long(i * 188), s.begin() + long((i + 1) * 188)); };
    struct row {
        const char* name;
        std::function<void(bytes&)> damage;
        size_t datagrams;
        uint64_t mpe_counters::*counter;  // the one counter that moves, by one
        bool middle_lost;                // counted in sections_lost as well
    };
    const row rows[] = {
        {"intact", [](bytes&) {}, 3, nullptr, false},
        {"payload byte flipped", [](bytes& s) { packet(s, 2)[100] ^= 1; }, 2, &mpe_counters::crc_errors, false},
        {"packet lost", [&](bytes& s) { erase(s, 2); }, 2, &mpe_counters::discontinuities, true},
        {"packet repeated", [](bytes& s) { s.insert(s.begin() + 376, s.begin() + 188, s.begin() + 376); }, 3,
         &mpe_counters::duplicates, false},
        {"errored packet", [](bytes& s) { packet(s, 2)[1] |= 0x80; }, 2, &mpe_counters::ts_errors, true},
        {"scrambled packet", [](bytes& s) { packet(s, 2)[3] |= 0x80; }, 2, &mpe_counters::scrambled, true},
        // A lost start loses the sections that begin in that packet.
        {"pointer beyond the packet", [](bytes& s) { packet(s, 0)[4] = 184; }, 1, &mpe_counters::section_errors,
         false},
        {"length beyond 4096",
         [](bytes& s) {
             packet(s, 0)[6] = 0xBF;
             packet(s, 0)[7] = 0xFF;
         },
         1, &mpe_counters::section_errors, false},
        {"length beyond the next start", [](bytes& s) { packet(s, 0)[6] |= 0x0F; }, 1, &mpe_counters::sections_lost,
         false},
        {"first packet lost", [&](bytes& s) { erase(s, 0); }, 1, nullptr, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        bytes s = clean;
        r.damage(s);
        const decoded d = decode(s);
        EXPECT_EQ(d.payloads.size(), r.datagrams);
        EXPECT_EQ(d.payloads.back(), last);
        const mpe_counters& c = d.counters;
        const uint64_t moved = c.crc_errors + c.discontinuities + c.duplicates + c.ts_errors + c.scrambled +
                               c.section_errors + c.sections_lost;
        EXPECT_EQ(moved, (r.counter ? 1u : 0u) + (r.middle_lost ? 1u : 0u));
        if (r.counter) {
            EXPECT_EQ(c.*r.counter, 1u);
        }
        EXPECT_EQ(c.sections_lost, r.middle_lost || r.counter == &mpe_counters::sections_lost ? 1u : 0u);
    }
}

TEST(DvbMpe, SectionChecks) {
    const bytes payload = payload_of(40, 5);
    const uint8_t llc[8] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    struct row {
        size_t at;  // byte changed, then the CRC refreshed
        uint8_t value;
        mpe_status status;
    };
    const row rows[] = {
        {0, 0x3F, mpe_status::not_mpe},       {1, 0x30, mpe_status::no_crc},
        {2, 0x00, mpe_status::bad_length},    {5, 0xD1, mpe_status::scrambled},
        {7, 0x01, mpe_status::fragmented},    {5, 0xC3, mpe_status::not_ipv4},  // LLC/SNAP flag, no header
    };
    for (const row& r : rows) {
        bytes s = section_for(sat_ip, payload);
        s[r.at] = r.value;
        fix_crc(s);
        mpe_section out;
        EXPECT_EQ(mpe_parse(s.data(), s.size(), &out), r.status) << r.at;
    }
    bytes s = section_for(sat_ip, payload);
    mpe_section out;
    s.back() ^= 1;
    EXPECT_EQ(mpe_parse(s.data(), s.size(), &out), mpe_status::crc_error);
    EXPECT_EQ(mpe_parse(s.data(), 15, &out), mpe_status::too_short);
    // With an LLC/SNAP header for IPv4 the datagram follows it.
    s = section_for(sat_ip, payload);
    const bytes datagram(s.begin() + mpe_header_bytes, s.end() - 4);
    s[5] |= 0x02;
    s.insert(s.begin() + mpe_header_bytes, llc, llc + 8);
    s[2] = uint8_t(s[2] + 8);
    fix_crc(s);
    ASSERT_EQ(mpe_parse(s.data(), s.size(), &out), mpe_status::ok);
    EXPECT_EQ(bytes(out.datagram, out.datagram + out.datagram_len), datagram);
}

TEST(DvbMpe, DatagramLengthsAreBoundedByTheBytesGiven) {
    const bytes payload = payload_of(64, 8);
    uint8_t ip[ip_udp_header_bytes + 64];
    ASSERT_EQ(ipv4_udp_build(inet_addr("192.0.2.7"), 5555, sat_ip, 2080, 1, payload.data(), payload.size(), ip,
                             sizeof ip),
              sizeof ip);
    struct row {
        size_t at;         // byte set (header checksum refreshed) ...
        int value;         // ... -1: none
        size_t len;        // bytes given
        ip_status status;
    };
    const row rows[] = {
        {0, -1, 92, ip_status::ok},           {0, -1, 101, ip_status::ok},  // section stuffing after it
        {26, 0, 92, ip_status::ok},           // no UDP checksum (both bytes below)
        {0, -1, 19, ip_status::too_short},    {0, 0x65, 92, ip_status::not_ipv4},
        {0, 0x44, 92, ip_status::bad_header_length}, {0, 0x4F, 40, ip_status::bad_header_length},
        {2, 0x10, 92, ip_status::bad_total_length},  {0, -1, 91, ip_status::bad_total_length},
        {3, 19, 92, ip_status::bad_total_length},    {11, -2, 92, ip_status::bad_checksum},
        {6, 0x20, 92, ip_status::fragment},   {7, 0x01, 92, ip_status::fragment},
        {9, 6, 92, ip_status::not_udp},       {24, 0x01, 92, ip_status::bad_udp_length},
        {25, 7, 92, ip_status::bad_udp_length}, {30, -2, 92, ip_status::bad_udp_checksum},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.at) + "=" + std::to_string(r.value) + " len " + std::to_string(r.len));
        bytes d(ip, ip + sizeof ip);
        d.resize(r.len, 0xFF);
        if (r.value == -2) d[r.at] ^= 1;  // a checksummed byte changed behind the checksum's back
        if (r.value >= 0) {
            d[r.at] = uint8_t(r.value);
            if (r.at == 26) d[27] = 0;
            if (r.at == 3) d[2] = 0;
            if (r.at < ipv4_header_min_bytes) {
                d[10] = d[11] = 0;
                uint32_t sum = 0;
                for (size_t i = 0; i < ipv4_header_min_bytes; i += 2) sum += uint32_t(d[i] << 8 | d[i + 1]);
                while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
                d[10] = uint8_t(~sum >> 8);
                d[11] = uint8_t(~sum);
            }
        }
        udp_datagram u;
        ASSERT_EQ(ipv4_udp_parse(d.data(), d.size(), &u), r.status);
        if (r.status == ip_status::ok) {
            EXPECT_EQ(bytes(u.payload, u.payload + u.payload_len), payload);
        }
    }
}

TEST(DvbTuning, DiseqcCallsAndSignalFigures) {
    struct row {
        int32_t type, position, polarisation;
        uint32_t frequency;
        int call;  // -1: none; else (reader type << 8) | data
    };
    const row rows[] = {
        {0, 0, 1, 11595000, -1},       {0, 3, 1, 11595000, -1},       {1, 1, 1, 11595000, 0x100},
        {1, 2, 0, 12000000, 0x101},    {1, 3, 1, 11595000, -1},       {2, 1, 1, 11595000, 0x2F0},
        {2, 1, 0, 11595000, 0x2F2},    {2, 1, 1, 11700000, 0x2F0},    {2, 1, 1, 11700001, 0x2F1},
        {2, 2, 1, 11595000, 0x2F8},    {2, 3, 1, 11595000, 0x2F4},    {2, 4, 0, 12000000, 0x2FF},
        {2, 0, 1, 11595000, -1},       {2, 5, 1, 11595000, -1},       {3, 1, 1, 11595000, -1},
    };
    for (const row& r : rows) {
        const diseqc_call c = dvb_diseqc_for(r.type, r.position, r.polarisation, r.frequency, 11700000);
        EXPECT_EQ(c.send ? int(c.type << 8 | c.data) : -1, r.call) << r.type << "/" << r.position;
    }
    const int32_t level[][2] = {{-45, 55}, {-100, 0}, {-130, 0}, {0, 100}, {INT32_MIN, 0}, {INT32_MAX, 100}};
    for (auto& l : level) EXPECT_EQ(dvb_level_percent(l[0]), l[1]) << l[0];
    EXPECT_EQ(dvb_quality_percent(-5), 0);
    EXPECT_EQ(dvb_quality_percent(130), 100);
}

}  // namespace
