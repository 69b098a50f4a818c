#include "protocol/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/hooks.h"
#include "protocol/packet.h"

namespace {

using bytes = std::vector<uint8_t>;

TEST(Wire, HeaderBytes) {
    uint8_t b[header_bytes + 1];
    b[header_bytes] = 0xAA;  // nothing is written past the header
    header_put(b, pkt_header{0x01020304, 5, 0x00010006, 0xFFFFFFFE, 0x43});
    bytes expected{0x04, 0x03, 0x02, 0x01, 5, 0, 0, 0, 6, 0, 1, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x43, 0xAA};
    EXPECT_EQ(bytes(b, b + sizeof b), expected);
    pkt_header h = header_get(b);
    EXPECT_EQ(h.session_id, 0x01020304u);
    EXPECT_EQ(h.packet_id, 5u);
    EXPECT_EQ(h.data_id, 0x00010006u);
    EXPECT_EQ(h.last_good, 0xFFFFFFFEu);
    EXPECT_EQ(h.flags, 0x43);
}

const uint8_t test_nonce[8] = {1, 2, 3, 4, 5, 6, 7, 8};
// printf '\x01\x02\x03\x04\x05\x06\x07\x08secret' | md5sum
const uint8_t test_digest[16] = {0xad, 0xcf, 0xa1, 0x21, 0x16, 0x93, 0xe4, 0x37,
                                 0x4b, 0x11, 0x14, 0x06, 0xc6, 0x21, 0x70, 0xc5};

login_fields test_login() {
    login_fields f{};
    f.session_id = 0xCAFEBABE;
    f.login = "alice";
    f.nonce = test_nonce;
    f.password = "secret";
    f.speed_in_first = 64000;
    f.speed_in_second = 0x01020304;
    f.mru = 1472;
    f.rdelay = 50;
    f.rmode = 3;
    return f;
}

TEST(Wire, LoginPacketBytes) {
    uint8_t b[login_packet_bytes];
    std::memset(b, 0xEE, sizeof b);
    build_login_packet(b, test_login());

    bytes header{0xBE, 0xBA, 0xFE, 0xCA, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00};
    EXPECT_EQ(bytes(b, b + 17), header);
    const uint8_t* body = b + 17;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(body)), "alice");
    for (int i = 5; i < 64; ++i) ASSERT_EQ(body[i], 0) << i;
    EXPECT_EQ(bytes(body + 64, body + 72), bytes(test_nonce, test_nonce + 8));
    EXPECT_EQ(bytes(body + 72, body + 88), bytes(test_digest, test_digest + 16));
    bytes tail{0x00, 0xFA, 0x00, 0x00,  // 64000
               0x04, 0x03, 0x02, 0x01,  // second speed
               0xC0, 0x05,              // 1472
               0x32, 0x00, 0x03, 0x00, 5, 16};
    EXPECT_EQ(bytes(body + 88, body + 104), tail);

    uint8_t d[16];
    login_digest(test_nonce, "secret", d);
    EXPECT_EQ(0, std::memcmp(d, test_digest, 16));
}

TEST(Wire, LoginNameKeepsAtMostFifteenCharacters) {
    login_fields f = test_login();
    f.login = "abcdefghijklmnopqrstuvwxyz";
    uint8_t b[login_packet_bytes];
    build_login_packet(b, f);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b + 17)), "abcdefghijklmno");
}

TEST(Wire, LoginParsesBack) {
    uint8_t b[login_packet_bytes];
    build_login_packet(b, test_login());
    login_view v{};
    ASSERT_TRUE(parse_login_packet(b, sizeof b, &v));
    EXPECT_STREQ(v.login, "alice");
    EXPECT_EQ(0, std::memcmp(v.nonce, test_nonce, 8));
    EXPECT_EQ(0, std::memcmp(v.digest, test_digest, 16));
    EXPECT_EQ(v.speed_in_first, 64000u);
    EXPECT_EQ(v.speed_in_second, 0x01020304u);
    EXPECT_EQ(v.mru, 1472);
    EXPECT_EQ(v.rdelay, 50);
    EXPECT_EQ(v.rmode, 3);
    EXPECT_EQ(v.version_a, 5);
    EXPECT_EQ(v.version_b, 16);
}

TEST(Wire, LoginParserRefusesWhatIsNotALogin) {
    uint8_t b[login_packet_bytes + 1];
    build_login_packet(b, test_login());
    login_view v{};
    EXPECT_FALSE(parse_login_packet(b, login_packet_bytes - 1, &v));
    EXPECT_FALSE(parse_login_packet(b, login_packet_bytes + 1, &v));
    EXPECT_FALSE(parse_login_packet(b, 0, &v));
    EXPECT_FALSE(parse_login_packet(nullptr, login_packet_bytes, &v));
    b[16] = flags_data;
    EXPECT_FALSE(parse_login_packet(b, login_packet_bytes, &v));

    // A login field with no terminator is cut at 64 characters.
    build_login_packet(b, test_login());
    std::memset(b + 17, 'x', 64);
    ASSERT_TRUE(parse_login_packet(b, login_packet_bytes, &v));
    EXPECT_EQ(std::string(v.login), std::string(64, 'x'));
}

TEST(Wire, ResetPackets) {
    uint8_t b[64];
    build_reset_packet(b, 0x11223344);
    EXPECT_EQ(bytes(b, b + 17), (bytes{0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC0}));

    bytes marked_header{0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0xC0};
    ASSERT_EQ(build_marked_reset(b, sizeof b, 0x11223344, nullptr), 17u);
    EXPECT_EQ(bytes(b, b + 17), marked_header);

    ASSERT_EQ(build_marked_reset(b, sizeof b, 0x11223344, "balance"), 24u);
    EXPECT_EQ(bytes(b, b + 17), marked_header);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b + 17), 7), "balance");  // no terminator
}

TEST(Wire, MarkedResetIsBoundedByItsBuffer) {
    uint8_t b[24];
    std::memset(b, 0xEE, sizeof b);
    EXPECT_EQ(build_marked_reset(b, 20, 1, "a long reason text"), 20u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b + 17), 3), "a l");
    EXPECT_EQ(b[20], 0xEE);
    EXPECT_EQ(build_marked_reset(b, 16, 1, "x"), 0u);
}

TEST(Wire, ResendRequest) {
    uint8_t b[5];
    resend_req_put(b, resend_req_wire{0x0A0B0C0D, 0});
    EXPECT_EQ(bytes(b, b + 5), (bytes{0x0D, 0x0C, 0x0B, 0x0A, 0x00}));
    resend_req_wire r = resend_req_get(b);
    EXPECT_EQ(r.first, 0x0A0B0C0Du);
    EXPECT_EQ(resend_count_of(r.count), 256u);
    EXPECT_EQ(resend_count_of(77), 77u);
}

TEST(Packet, AllocatedZeroed) {
    stx_packet* p = packet_alloc();
    ASSERT_NE(p, nullptr);
    for (uint8_t c : p->data) ASSERT_EQ(c, 0);
    EXPECT_EQ(p->len, 0);
    EXPECT_EQ(p->freed, 0);
    packet_free(p);
    packet_free(nullptr);
}

// Hooks: where the wire core's logs and fatal errors go.
std::string last_log;
int last_where;
std::string last_fatal;

void record_log(int level, const char* fmt, va_list ap) {
    char buf[128];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    last_log = std::to_string(level) + ":" + buf;
}

void throwing_fatal(int where, const char* text) {
    last_where = where;
    last_fatal = text;
    throw std::runtime_error(text);
}

TEST(Hooks, LogsAreDroppedUntilAHookIsSet) {
    proto_set_hooks(nullptr, nullptr);
    last_log.clear();
    proto_log(0, "dropped %d", 1);
    EXPECT_EQ(last_log, "");
    proto_set_hooks(record_log, throwing_fatal);
    proto_log(1, "kept %d %s", 2, "x");
    EXPECT_EQ(last_log, "1:kept 2 x");
    EXPECT_THROW(proto_fatal(42, "boom"), std::runtime_error);
    EXPECT_EQ(last_where, 42);
    EXPECT_EQ(last_fatal, "boom");
    proto_set_hooks(nullptr, nullptr);
}

TEST(HooksDeathTest, FatalWithoutHookPrintsAndAborts) {
    proto_set_hooks(nullptr, nullptr);
    EXPECT_DEATH(proto_fatal(77, "test failure"), "CRITICAL ERROR: test failure LINE 77");
}

}  // namespace
