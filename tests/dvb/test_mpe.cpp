// The transport-stream and multiprotocol-encapsulation codec as pure
// functions: packets, section framing across packets, CRC and continuity,
// the IP/UDP checks with every length bounded, and encoder -> decoder round
// trips. Also the tuning rules that turn init's values into reader calls.
#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/dvb/mpe.h"
#include "tools/dvb/ts.h"
#include "tools/dvb/tuning.h"

namespace {

using bytes = std::vector<uint8_t>;

const uint32_t sat_ip = inet_addr("10.0.0.1");
const uint32_t other_ip = inet_addr("10.0.0.2");
const uint32_t server_ip = inet_addr("192.0.2.7");
constexpr uint16_t pid = 0x0ABC;

bytes text_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

bytes payload_of(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t(seed + i * 7);
    return b;
}

bytes ip_datagram(uint32_t dst, const bytes& payload, uint16_t dst_port = 2080) {
    bytes out(ip_udp_header_bytes + payload.size());
    const size_t n =
        ipv4_udp_build(server_ip, 5555, dst, dst_port, 1, payload.data(), payload.size(), out.data(), out.size());
    EXPECT_EQ(n, out.size());
    return out;
}

bytes section_of(const bytes& ip) {
    bytes out(section_max_bytes);
    uint8_t mac[6];
    mpe_mac_for(sat_ip, mac);
    out.resize(mpe_build(mac, ip.data(), ip.size(), out.data(), out.size()));
    EXPECT_FALSE(out.empty());
    return out;
}

bytes section_for(uint32_t dst, const bytes& payload) { return section_of(ip_datagram(dst, payload)); }

bytes packetize(const std::vector<bytes>& sections, uint16_t on_pid = pid, uint8_t first_cc = 0) {
    ts_packetizer t;
    t.pid = on_pid;
    t.next_cc = first_cc;
    std::vector<section_ref> refs;
    for (const bytes& s : sections) refs.push_back({s.data(), s.size()});
    bytes out;
    ts_packetize(t, refs.data(), refs.size(), out);
    return out;
}

// Recomputes a section's CRC after a test changed its bytes.
void fix_crc(bytes& s) {
    const uint32_t crc = mpeg_crc32(s.data(), s.size() - 4);
    for (int i = 0; i < 4; i++) s[s.size() - 4 + i] = uint8_t(crc >> (24 - 8 * i));
}

void fix_section_length(bytes& s) {
    const size_t len = s.size() - section_header_bytes;
    s[1] = uint8_t((s[1] & 0xF0) | ((len >> 8) & 0x0F));
    s[2] = uint8_t(len);
}

struct decoded {
    std::vector<bytes> payloads;
    std::vector<udp_datagram> datagrams;  // pointers not kept valid
    mpe_counters counters;
};

decoded decode(const bytes& stream, uint16_t on_pid = pid, uint32_t ip = sat_ip) {
    decoded out;
    mpe_decap d;
    mpe_decap_reset(d, on_pid, ip);
    for (size_t at = 0; at + ts_packet_bytes <= stream.size(); at += ts_packet_bytes)
        mpe_decap_packet(d, stream.data() + at, ts_packet_bytes,
                         [](void* ctx, const udp_datagram& u) {
                             auto* o = static_cast<decoded*>(ctx);
                             o->payloads.emplace_back(u.payload, u.payload + u.payload_len);
                             o->datagrams.push_back(u);
                         },
                         &out);
    out.counters = d.counters;
    return out;
}

uint8_t* packet(bytes& stream, size_t i) { return stream.data() + i * ts_packet_bytes; }

// ---------------------------------------------------------------- packets

TEST(DvbTs, Crc32IsTheMpegVariant) {
    const std::string check = "123456789";
    EXPECT_EQ(mpeg_crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x0376E6E7u);
    bytes s = section_for(sat_ip, text_bytes("x"));
    EXPECT_EQ(mpeg_crc32(s.data(), s.size()), 0u);  // a section with its CRC sums to 0
}

TEST(DvbTs, PacketHeaderFields) {
    struct row {
        const char* name;
        uint8_t b1, b2, b3;
        uint8_t af0, af1;  // adaptation length and flags, when present
        ts_status status;
        bool error, unit_start, has_payload, discontinuity;
        uint16_t pid;
        uint8_t scrambling, cc;
        size_t payload_len;
    };
    const row rows[] = {
        {"payload only", 0x41, 0x23, 0x1A, 0, 0, ts_status::ok, false, true, true, false, 0x123, 0, 10, 184},
        {"error flag", 0x9F, 0xFF, 0x10, 0, 0, ts_status::ok, true, false, true, false, 0x1FFF, 0, 0, 184},
        {"scrambled", 0x00, 0x01, 0xDF, 0, 0, ts_status::ok, false, false, true, false, 1, 3, 15, 184},
        {"adaptation then payload", 0x00, 0x10, 0x35, 7, 0x80, ts_status::ok, false, false, true, true, 0x10, 0, 5,
         176},
        {"longest adaptation with payload", 0x00, 0x10, 0x30, 182, 0, ts_status::ok, false, false, true, false, 0x10,
         0, 0, 1},
        {"adaptation only", 0x00, 0x10, 0x20, 183, 0, ts_status::ok, false, false, false, false, 0x10, 0, 0, 0},
        {"adaptation leaves no payload", 0x00, 0x10, 0x30, 183, 0, ts_status::bad_adaptation, false, false, false, false, 0, 0, 0, 0},
        {"adaptation only but short", 0x00, 0x10, 0x20, 100, 0, ts_status::bad_adaptation, false, false, false, false, 0, 0, 0, 0},
        {"reserved control", 0x00, 0x10, 0x00, 0, 0, ts_status::bad_control, false, false, false, false, 0, 0, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        uint8_t p[ts_packet_bytes] = {ts_sync_byte, r.b1, r.b2, r.b3, r.af0, r.af1};
        ts_packet t;
        ASSERT_EQ(ts_parse(p, sizeof p, &t), r.status);
        if (r.status != ts_status::ok) continue;
        EXPECT_EQ(t.error, r.error);
        EXPECT_EQ(t.unit_start, r.unit_start);
        EXPECT_EQ(t.has_payload, r.has_payload);
        EXPECT_EQ(t.discontinuity, r.discontinuity);
        EXPECT_EQ(t.pid, r.pid);
        EXPECT_EQ(t.scrambling, r.scrambling);
        EXPECT_EQ(t.continuity, r.cc);
        EXPECT_EQ(t.payload_len, r.payload_len);
        if (r.has_payload) {
            EXPECT_EQ(t.payload, p + ts_packet_bytes - r.payload_len);
        }
    }
    uint8_t p[ts_packet_bytes] = {0x46, 0x00, 0x10, 0x10};
    ts_packet t;
    EXPECT_EQ(ts_parse(p, sizeof p, &t), ts_status::bad_sync);
    p[0] = ts_sync_byte;
    EXPECT_EQ(ts_parse(p, sizeof p - 1, &t), ts_status::bad_length);
}

// ---------------------------------------------------------------- framing

// A section in front of the one under test moves its start, and so its end,
// across every offset of a packet, the pointer_field's limits included.
TEST(DvbMpe, SectionFramedAtEveryOffsetOfAPacket) {
    for (size_t target_len : {size_t(1), size_t(150), size_t(400)}) {
        const bytes target = payload_of(target_len, 3);
        for (size_t filler = 0; filler <= 2 * ts_payload_max_bytes; filler++) {
            SCOPED_TRACE("filler " + std::to_string(filler) + " target " + std::to_string(target_len));
            const bytes stream =
                packetize({section_for(other_ip, payload_of(filler, 9)), section_for(sat_ip, target)});
            const decoded d = decode(stream);
            ASSERT_EQ(d.payloads.size(), 1u);
            EXPECT_EQ(d.payloads[0], target);
            EXPECT_EQ(d.counters.sections, 2u);
            EXPECT_EQ(d.counters.other_address, 1u);
            EXPECT_EQ(d.counters.ts_packets, stream.size() / ts_packet_bytes);
            EXPECT_EQ(d.counters.sections_lost + d.counters.section_errors + d.counters.crc_errors +
                          d.counters.discontinuities + d.counters.mpe_errors + d.counters.ip_errors,
                      0u);
        }
    }
}

TEST(DvbMpe, SeveralSectionsInOnePacketAndAcrossPackets) {
    std::vector<bytes> sections, payloads;
    for (int i = 0; i < 12; i++) {
        payloads.push_back(payload_of(size_t(i * 11), uint8_t(i)));
        sections.push_back(section_for(sat_ip, payloads.back()));
    }
    const bytes stream = packetize(sections);
    EXPECT_LT(stream.size() / ts_packet_bytes, sections.size());  // packed, not one packet each
    const decoded d = decode(stream);
    EXPECT_EQ(d.payloads, payloads);
    EXPECT_EQ(d.counters.datagrams, 12u);
    size_t sum = 0;
    for (const bytes& p : payloads) sum += p.size();
    EXPECT_EQ(d.counters.bytes, sum);
}

TEST(DvbMpe, RoundTripKeepsAddressesPortsAndPayload) {
    for (size_t n : {size_t(0), size_t(17), size_t(1472), size_t(1520), mpe_payload_max_bytes - ip_udp_header_bytes}) {
        SCOPED_TRACE(n);
        const bytes payload = payload_of(n, 1);
        const decoded d = decode(packetize({section_of(ip_datagram(sat_ip, payload, 40000))}, pid, 9));
        ASSERT_EQ(d.payloads.size(), 1u);
        EXPECT_EQ(d.payloads[0], payload);
        EXPECT_EQ(d.datagrams[0].src_net, server_ip);
        EXPECT_EQ(d.datagrams[0].dst_net, sat_ip);
        EXPECT_EQ(d.datagrams[0].src_port, 5555);
        EXPECT_EQ(d.datagrams[0].dst_port, 40000);
    }
    // What cannot be carried is refused, not cut.
    bytes big(mpe_payload_max_bytes + 1), out(section_max_bytes + 64);
    uint8_t mac[6] = {};
    EXPECT_EQ(mpe_build(mac, big.data(), big.size(), out.data(), out.size()), 0u);
    const bytes small = payload_of(100, 0);
    EXPECT_EQ(ipv4_udp_build(1, 2, 3, 4, 5, small.data(), small.size(), out.data(), 127), 0u);
    EXPECT_EQ(mpe_build(mac, small.data(), small.size(), out.data(), 115), 0u);
}

TEST(DvbMpe, ContinuityCounterRunsOnAcrossCalls) {
    ts_packetizer t;
    t.pid = pid;
    t.next_cc = 14;
    const bytes s = section_for(sat_ip, payload_of(300, 2));  // two packets
    const section_ref ref{s.data(), s.size()};
    bytes stream;
    ts_packetize(t, &ref, 1, stream);
    ts_packetize(t, &ref, 1, stream);
    ASSERT_EQ(stream.size(), 4 * ts_packet_bytes);
    for (size_t i = 0; i < 4; i++) EXPECT_EQ(packet(stream, i)[3] & 0x0F, (14 + i) & 0x0F);
    EXPECT_EQ(decode(stream).counters.datagrams, 2u);
}

// ---------------------------------------------------------------- losses

// Three datagrams in four packets; the middle one spans all four.
struct loss_case {
    const char* name;
    std::function<void(bytes&)> mutate;
    size_t datagrams;
    mpe_counters expect;  // only the fields compared below
};

TEST(DvbMpe, DamageIsCountedAndOnlyTheDamagedSectionIsLost) {
    const bytes first = payload_of(100, 1), middle = payload_of(400, 2), last = payload_of(30, 3);
    const bytes clean = packetize({section_for(sat_ip, first), section_for(sat_ip, middle), section_for(sat_ip, last)});
    ASSERT_EQ(clean.size(), 4 * ts_packet_bytes);
    auto erase_packet = [](bytes& s, size_t i) {
        s.erase(s.begin() + long(i * ts_packet_bytes), s.begin() + long((i + 1) * ts_packet_bytes));
    };
    auto with = [](std::function<void(mpe_counters&)> f) {
        mpe_counters c;
        f(c);
        return c;
    };
    const loss_case cases[] = {
        {"intact", [](bytes&) {}, 3, {}},
        {"payload byte flipped", [](bytes& s) { packet(s, 2)[100] ^= 0x01; }, 2,
         with([](mpe_counters& c) { c.crc_errors = 1; })},
        {"packet lost inside a section", [&](bytes& s) { erase_packet(s, 2); }, 2,
         with([](mpe_counters& c) {
             c.discontinuities = 1;
             c.sections_lost = 1;
         })},
        {"packet repeated", [](bytes& s) { s.insert(s.begin() + 2 * 188, s.begin() + 188, s.begin() + 2 * 188); }, 3,
         with([](mpe_counters& c) { c.duplicates = 1; })},
        {"errored packet", [](bytes& s) { packet(s, 2)[1] |= 0x80; }, 2,
         with([](mpe_counters& c) {
             c.ts_errors = 1;
             c.sections_lost = 1;
         })},
        {"scrambled packet", [](bytes& s) { packet(s, 2)[3] |= 0x80; }, 2,
         with([](mpe_counters& c) {
             c.scrambled = 1;
             c.sections_lost = 1;
         })},
        // The sections that start in a packet lost to these are lost with it.
        {"pointer beyond the packet", [](bytes& s) { packet(s, 0)[4] = 184; }, 1,
         with([](mpe_counters& c) { c.section_errors = 1; })},
        {"section length beyond the next start", [](bytes& s) { packet(s, 0)[6] |= 0x0F; }, 1,
         with([](mpe_counters& c) { c.sections_lost = 1; })},
        {"section longer than 4096",
         [](bytes& s) {
             packet(s, 0)[6] |= 0x0F;
             packet(s, 0)[7] = 0xFF;
         },
         1, with([](mpe_counters& c) { c.section_errors = 1; })},
        {"first packet lost", [&](bytes& s) { erase_packet(s, 0); }, 1, {}},
    };
    for (const loss_case& lc : cases) {
        SCOPED_TRACE(lc.name);
        bytes s = clean;
        lc.mutate(s);
        const decoded d = decode(s);
        EXPECT_EQ(d.payloads.size(), lc.datagrams);
        EXPECT_EQ(d.counters.crc_errors, lc.expect.crc_errors);
        EXPECT_EQ(d.counters.discontinuities, lc.expect.discontinuities);
        EXPECT_EQ(d.counters.sections_lost, lc.expect.sections_lost);
        EXPECT_EQ(d.counters.duplicates, lc.expect.duplicates);
        EXPECT_EQ(d.counters.ts_errors, lc.expect.ts_errors);
        EXPECT_EQ(d.counters.scrambled, lc.expect.scrambled);
        EXPECT_EQ(d.counters.section_errors, lc.expect.section_errors);
        if (!d.payloads.empty()) {
            EXPECT_EQ(d.payloads.back(), last);
        }
    }
}

TEST(DvbMpe, SignalledDiscontinuityIsNotAGap) {
    bytes s = packetize({section_for(sat_ip, payload_of(20, 1))}, pid, 3);
    bytes t = packetize({section_for(sat_ip, payload_of(20, 2))}, pid, 9);
    // The second packet carries an adaptation field with the discontinuity
    // indicator: its payload moves back by two bytes.
    uint8_t* p = packet(t, 0);
    std::memmove(p + 6, p + 4, ts_packet_bytes - 6);
    p[3] = uint8_t((p[3] & 0xCF) | 0x30);
    p[4] = 1;
    p[5] = 0x80;
    s.insert(s.end(), t.begin(), t.end());
    const decoded d = decode(s);
    EXPECT_EQ(d.payloads.size(), 2u);
    EXPECT_EQ(d.counters.discontinuities, 0u);
}

TEST(DvbMpe, OtherPidsAndOtherAddressesAreLeftOut) {
    const bytes on_pid = packetize({section_for(sat_ip, payload_of(10, 1)), section_for(other_ip, payload_of(10, 2))});
    bytes mixed = packetize({section_for(sat_ip, payload_of(500, 3))}, uint16_t(pid + 1));
    mixed.insert(mixed.end(), on_pid.begin(), on_pid.end());
    const decoded d = decode(mixed);
    EXPECT_EQ(d.payloads.size(), 1u);
    EXPECT_EQ(d.counters.ts_packets, on_pid.size() / ts_packet_bytes);  // other PIDs are not counted
    EXPECT_EQ(d.counters.other_address, 1u);
    EXPECT_EQ(decode(mixed, pid, inet_addr("10.9.9.9")).counters.other_address, 2u);
}

// ---------------------------------------------------------------- sections and datagrams

TEST(DvbMpe, SectionChecks) {
    const bytes ip = ip_datagram(sat_ip, payload_of(40, 5));
    struct row {
        const char* name;
        std::function<void(bytes&)> mutate;
        mpe_status status;
    };
    const uint8_t llc[8] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    const row rows[] = {
        {"intact", [](bytes&) {}, mpe_status::ok},
        {"another table", [](bytes& s) {
             s[0] = 0x3F;
             fix_crc(s);
         }, mpe_status::not_mpe},
        {"checksum instead of CRC", [](bytes& s) {
             s[1] &= 0x7F;
             fix_crc(s);
         }, mpe_status::no_crc},
        {"length says more", [](bytes& s) { s[2]++; }, mpe_status::bad_length},
        {"length says less", [](bytes& s) { s[2]--; }, mpe_status::bad_length},
        {"CRC wrong", [](bytes& s) { s.back() ^= 1; }, mpe_status::crc_error},
        {"payload scrambled", [](bytes& s) {
             s[5] |= 0x10;
             fix_crc(s);
         }, mpe_status::scrambled},
        {"one of several sections", [](bytes& s) {
             s[7] = 1;
             fix_crc(s);
         }, mpe_status::fragmented},
        {"LLC/SNAP for IPv4",
         [&](bytes& s) {
             s[5] |= 0x02;
             s.insert(s.begin() + mpe_header_bytes, llc, llc + 8);
             fix_section_length(s);
             fix_crc(s);
         },
         mpe_status::ok},
        {"LLC/SNAP for another protocol",
         [&](bytes& s) {
             s[5] |= 0x02;
             s.insert(s.begin() + mpe_header_bytes, llc, llc + 8);
             s[mpe_header_bytes + 7] = 0x06;
             fix_section_length(s);
             fix_crc(s);
         },
         mpe_status::not_ipv4},
        {"LLC/SNAP flag without room",
         [&](bytes& s) {
             s.resize(mpe_header_bytes + 4);
             s[5] |= 0x02;
             fix_section_length(s);
             fix_crc(s);
         },
         mpe_status::not_ipv4},
        {"no room for a CRC", [](bytes& s) { s.resize(15); }, mpe_status::too_short},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        bytes s = section_of(ip);
        r.mutate(s);
        mpe_section out;
        ASSERT_EQ(mpe_parse(s.data(), s.size(), &out), r.status);
        if (r.status != mpe_status::ok) continue;
        EXPECT_EQ(bytes(out.datagram, out.datagram + out.datagram_len), ip);
        EXPECT_EQ(out.mac[0], 0x02);
        EXPECT_EQ(std::memcmp(out.mac + 2, &sat_ip, 4), 0);
    }
}

TEST(DvbMpe, DatagramLengthsAreBoundedByTheBytesGiven) {
    const bytes payload = payload_of(64, 8);
    auto refresh_ip_checksum = [](bytes& d) {
        d[10] = d[11] = 0;
        uint32_t sum = 0;
        const size_t ihl = size_t(d[0] & 0x0F) * 4;
        for (size_t i = 0; i + 1 < ihl && i + 1 < d.size(); i += 2) sum += uint32_t(d[i] << 8 | d[i + 1]);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        d[10] = uint8_t(~sum >> 8);
        d[11] = uint8_t(~sum);
    };
    struct row {
        const char* name;
        std::function<void(bytes&)> mutate;
        ip_status status;
        size_t payload_len;
    };
    const row rows[] = {
        {"intact", [](bytes&) {}, ip_status::ok, 64},
        {"section stuffing after the datagram", [](bytes& d) { d.insert(d.end(), 9, 0xFF); }, ip_status::ok, 64},
        {"no UDP checksum", [](bytes& d) { d[26] = d[27] = 0; }, ip_status::ok, 64},
        {"shorter than a header", [](bytes& d) { d.resize(19); }, ip_status::too_short, 0},
        {"IPv6", [](bytes& d) { d[0] = 0x65; }, ip_status::not_ipv4, 0},
        {"header length 4 words", [&](bytes& d) {
             d[0] = 0x44;
             refresh_ip_checksum(d);
         }, ip_status::bad_header_length,
         0},
        {"header length beyond the bytes", [&](bytes& d) {
             d.resize(40);
             d[0] = 0x4F;
         }, ip_status::bad_header_length,
         0},
        {"total length beyond the bytes", [&](bytes& d) {
             d[2] = 0x10;
             refresh_ip_checksum(d);
         },
         ip_status::bad_total_length, 0},
        {"total length shorter than the header", [&](bytes& d) {
             d[2] = 0;
             d[3] = 19;
             refresh_ip_checksum(d);
         },
         ip_status::bad_total_length, 0},
        {"datagram cut short", [](bytes& d) { d.resize(d.size() - 1); }, ip_status::bad_total_length, 0},
        {"header checksum wrong", [](bytes& d) { d[11] ^= 1; }, ip_status::bad_checksum, 0},
        {"more fragments", [&](bytes& d) {
             d[6] = 0x20;
             refresh_ip_checksum(d);
         }, ip_status::fragment, 0},
        {"later fragment", [&](bytes& d) {
             d[7] = 0x01;
             refresh_ip_checksum(d);
         }, ip_status::fragment, 0},
        {"TCP", [&](bytes& d) {
             d[9] = 6;
             refresh_ip_checksum(d);
         }, ip_status::not_udp, 0},
        {"UDP length beyond the datagram", [](bytes& d) { d[24] = 0x01; }, ip_status::bad_udp_length, 0},
        {"UDP length below its header", [](bytes& d) {
             d[24] = 0;
             d[25] = 7;
         }, ip_status::bad_udp_length, 0},
        {"no room for the UDP header",
         [&](bytes& d) {
             d.resize(24);
             d[2] = 0;
             d[3] = 24;
             refresh_ip_checksum(d);
         },
         ip_status::bad_udp_length, 0},
        {"UDP checksum wrong", [](bytes& d) { d[30] ^= 1; }, ip_status::bad_udp_checksum, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        bytes d = ip_datagram(sat_ip, payload);
        r.mutate(d);
        udp_datagram u;
        ASSERT_EQ(ipv4_udp_parse(d.data(), d.size(), &u), r.status);
        if (r.status != ip_status::ok) continue;
        EXPECT_EQ(u.payload_len, r.payload_len);
        EXPECT_EQ(bytes(u.payload, u.payload + u.payload_len), payload);
    }
}

// A section whose datagram is broken costs that datagram only.
TEST(DvbMpe, BrokenDatagramsAndSectionsAreCountedInTheStream) {
    bytes bad_ip = ip_datagram(sat_ip, payload_of(10, 1));
    bad_ip[9] = 1;  // ICMP, header checksum now wrong as well
    bytes other_table = section_for(sat_ip, payload_of(10, 2));
    other_table[0] = 0x00;
    fix_crc(other_table);
    const decoded d =
        decode(packetize({section_of(bad_ip), other_table, section_for(sat_ip, payload_of(10, 3))}));
    EXPECT_EQ(d.payloads.size(), 1u);
    EXPECT_EQ(d.counters.ip_errors, 1u);
    EXPECT_EQ(d.counters.mpe_errors, 1u);
    EXPECT_EQ(d.counters.sections, 3u);
}

// ---------------------------------------------------------------- tuning rules

TEST(DvbTuning, DiseqcCallForEachSwitchSetting) {
    struct row {
        int32_t type, position, polarisation;
        uint32_t frequency, lof_switch;
        bool send;
        uint32_t reader_type;
        uint8_t data;
    };
    const row rows[] = {
        {0, 0, 1, 11595000, 11700000, false, 0, 0},
        {0, 3, 1, 11595000, 11700000, false, 0, 0},
        {1, 1, 1, 11595000, 11700000, true, 1, 0},
        {1, 2, 0, 12000000, 11700000, true, 1, 1},
        {1, 3, 1, 11595000, 11700000, false, 0, 0},  // a simple switch has two positions
        {2, 1, 1, 11595000, 11700000, true, 2, 0xF0},
        {2, 1, 0, 11595000, 11700000, true, 2, 0xF2},  // horizontal
        {2, 1, 1, 11700000, 11700000, true, 2, 0xF0},  // at the switch: low band
        {2, 1, 1, 11700001, 11700000, true, 2, 0xF1},  // above: high band
        {2, 2, 1, 11595000, 11700000, true, 2, 0xF8},  // POS A/OPT B
        {2, 3, 1, 11595000, 11700000, true, 2, 0xF4},  // POS B/OPT A
        {2, 4, 0, 12000000, 11700000, true, 2, 0xFF},  // POS B/OPT B, horizontal, high
        {2, 0, 1, 11595000, 11700000, false, 0, 0},
        {2, 5, 1, 11595000, 11700000, false, 0, 0},
        {3, 1, 1, 11595000, 11700000, false, 0, 0},
        {-1, 1, 1, 11595000, 11700000, false, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.type) + "/" + std::to_string(r.position));
        const diseqc_call c = dvb_diseqc_for(r.type, r.position, r.polarisation, r.frequency, r.lof_switch);
        EXPECT_EQ(c.send, r.send);
        if (!r.send) continue;
        EXPECT_EQ(c.type, r.reader_type);
        EXPECT_EQ(c.data, r.data);
    }
}

TEST(DvbTuning, SignalFiguresForTheBars) {
    const std::pair<int32_t, int32_t> level[] = {{-45, 55}, {-100, 0}, {-120, 0}, {0, 100}, {30, 100},
                                                 {INT32_MIN, 0}, {INT32_MAX, 100}};
    for (auto [dbm, percent] : level) EXPECT_EQ(dvb_level_percent(dbm), percent) << dbm;
    const std::pair<int32_t, int32_t> quality[] = {{80, 80}, {0, 0}, {-5, 0}, {130, 100}};
    for (auto [q, percent] : quality) EXPECT_EQ(dvb_quality_percent(q), percent) << q;
}

}  // namespace
