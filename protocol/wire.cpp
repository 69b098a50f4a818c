#include "protocol/wire.h"

#include <cstring>

#include "protocol/md5.h"

void put_u16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint16_t get_u16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

uint32_t get_u32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void header_put(uint8_t* p, const pkt_header& h) {
    put_u32(p, h.session_id);
    put_u32(p + 4, h.packet_id);
    put_u32(p + 8, h.data_id);
    put_u32(p + 12, h.last_good);
    p[16] = h.flags;
}

pkt_header header_get(const uint8_t* p) {
    pkt_header h;
    h.session_id = get_u32(p);
    h.packet_id = get_u32(p + 4);
    h.data_id = get_u32(p + 8);
    h.last_good = get_u32(p + 12);
    h.flags = p[16];
    return h;
}

namespace {

// Offsets inside the login body.
constexpr int login_name_off = 0;
constexpr int login_name_bytes = 64;
constexpr int login_name_max = 15;  // the configuration keeps no more
constexpr int login_nonce_off = 64;
constexpr int login_digest_off = 72;
constexpr int login_speed_first_off = 88;
constexpr int login_speed_second_off = 92;
constexpr int login_mru_off = 96;
constexpr int login_rdelay_off = 98;
constexpr int login_rmode_off = 100;
constexpr int login_version_a_off = 102;
constexpr int login_version_b_off = 103;
constexpr uint8_t login_version_a = 5;
constexpr uint8_t login_version_b = 16;

}  // namespace

void login_digest(const uint8_t nonce[8], const char* password, uint8_t out[16]) {
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, nonce, 8);
    if (password) md5_update(&ctx, password, std::strlen(password));
    md5_final(&ctx, out);
}

void build_login_packet(uint8_t out[login_packet_bytes], const login_fields& f) {
    std::memset(out, 0, login_packet_bytes);
    header_put(out, pkt_header{f.session_id, 0, 0, 0, flags_login});

    uint8_t* body = out + header_bytes;
    if (f.login) std::memcpy(body + login_name_off, f.login, strnlen(f.login, login_name_max));
    static const uint8_t zero_nonce[8] = {0};
    const uint8_t* nonce = f.nonce ? f.nonce : zero_nonce;
    std::memcpy(body + login_nonce_off, nonce, 8);
    login_digest(nonce, f.password, body + login_digest_off);
    put_u32(body + login_speed_first_off, f.speed_in_first);
    put_u32(body + login_speed_second_off, f.speed_in_second);
    put_u16(body + login_mru_off, f.mru);
    put_u16(body + login_rdelay_off, f.rdelay);
    put_u16(body + login_rmode_off, f.rmode);
    body[login_version_a_off] = login_version_a;
    body[login_version_b_off] = login_version_b;
}

bool parse_login_packet(const uint8_t* p, size_t len, login_view* out) {
    if (!p || !out || len != size_t(login_packet_bytes)) return false;
    if ((p[16] & flags_kind_mask) != flags_login) return false;
    const uint8_t* body = p + header_bytes;
    std::memcpy(out->login, body + login_name_off, login_name_bytes);
    out->login[login_name_bytes] = 0;
    std::memcpy(out->nonce, body + login_nonce_off, 8);
    std::memcpy(out->digest, body + login_digest_off, 16);
    out->speed_in_first = get_u32(body + login_speed_first_off);
    out->speed_in_second = get_u32(body + login_speed_second_off);
    out->mru = get_u16(body + login_mru_off);
    out->rdelay = get_u16(body + login_rdelay_off);
    out->rmode = get_u16(body + login_rmode_off);
    out->version_a = body[login_version_a_off];
    out->version_b = body[login_version_b_off];
    return true;
}

void build_reset_packet(uint8_t out[header_bytes], uint32_t session_id) {
    header_put(out, pkt_header{session_id, 0, 0, 0, flags_reset});
}

size_t build_marked_reset(uint8_t* out, size_t cap, uint32_t session_id, const char* reason) {
    if (!out || cap < size_t(header_bytes)) return 0;
    header_put(out, pkt_header{session_id, reset_marker, reset_marker, 0, flags_reset});
    size_t n = 0;
    if (reason) {
        n = strnlen(reason, cap - header_bytes);
        std::memcpy(out + header_bytes, reason, n);
    }
    return header_bytes + n;
}

void resend_req_put(uint8_t* p, const resend_req_wire& r) {
    put_u32(p, r.first);
    p[4] = r.count;
}

resend_req_wire resend_req_get(const uint8_t* p) { return resend_req_wire{get_u32(p), p[4]}; }
