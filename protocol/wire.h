// Datagram formats of the session protocol: the 17-byte header, the 121-byte
// login packet, the reset packet and the 5-byte resend request. All
// multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int header_bytes = 17;
constexpr int login_packet_bytes = 121;
constexpr int login_body_bytes = 104;
constexpr int max_datagram_bytes = 1520;  // the receiver reads no more
constexpr int resend_req_bytes = 5;
constexpr int max_header_requests = 63;   // flags bits 0-5

constexpr uint8_t flags_login = 0x00;
constexpr uint8_t flags_data = 0x40;
constexpr uint8_t flags_reset = 0xC0;
constexpr uint8_t flags_kind_mask = 0xC0;
constexpr uint8_t flags_reqs_mask = 0x3F;

// Packet id and data id of a reset that carries a reason or refuses a login.
constexpr uint32_t reset_marker = 0xFFFF;
constexpr uint32_t magic_session_id = 0xFFFFFFFF;

struct pkt_header {
    uint32_t session_id;
    uint32_t packet_id;
    uint32_t data_id;
    uint32_t last_good;
    uint8_t flags;
};

void put_u16(uint8_t* p, uint16_t v);
void put_u32(uint8_t* p, uint32_t v);
uint16_t get_u16(const uint8_t* p);
uint32_t get_u32(const uint8_t* p);

void header_put(uint8_t* p, const pkt_header& h);
pkt_header header_get(const uint8_t* p);

// Fields of the login body other than the digest, which is computed here.
struct login_fields {
    uint32_t session_id;
    const char* login;        // at most 15 characters used, NUL-padded to 64
    const uint8_t* nonce;     // 8 bytes
    const char* password;     // digest input after the nonce, no terminator
    uint32_t speed_in_first;  // current/minimum
    uint32_t speed_in_second; // maximum
    uint16_t mru;             // as stored (mru minus 28)
    uint16_t rdelay;
    uint16_t rmode;
};

// MD5 of the 8 nonce bytes followed by the password characters.
void login_digest(const uint8_t nonce[8], const char* password, uint8_t out[16]);

// Writes exactly login_packet_bytes.
void build_login_packet(uint8_t out[login_packet_bytes], const login_fields& f);

// Parsed view of a received login body (for the service's side).
struct login_view {
    char login[65];
    uint8_t nonce[8];
    uint8_t digest[16];
    uint32_t speed_in_first, speed_in_second;
    uint16_t mru, rdelay, rmode;
    uint8_t version_a, version_b;  // 5 and 16
};
// p is the whole datagram, header included: exactly login_packet_bytes with
// login flags, else false. The login is NUL-terminated at 64 at the latest.
bool parse_login_packet(const uint8_t* p, size_t len, login_view* out);

// The plain 17-byte reset.
void build_reset_packet(uint8_t out[header_bytes], uint32_t session_id);
// A reset with the markers; reason may be null (login refused). Returns the
// length written (17 + reason length, bounded by cap).
size_t build_marked_reset(uint8_t* out, size_t cap, uint32_t session_id, const char* reason);

struct resend_req_wire {
    uint32_t first;
    uint8_t count;  // 0 means 256
};
void resend_req_put(uint8_t* p, const resend_req_wire& r);
resend_req_wire resend_req_get(const uint8_t* p);
inline uint32_t resend_count_of(uint8_t count_byte) { return count_byte ? count_byte : 256u; }

// Wrap-safe ordering of 32-bit ids: true when a comes after b.
inline bool id_after(uint32_t a, uint32_t b) { return int32_t(a - b) > 0; }
