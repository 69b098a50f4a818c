#include "protocol/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex_lower(const uint8_t d[16]) {
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
        s += hex[d[i] >> 4];
        s += hex[d[i] & 15];
    }
    return s;
}

struct digest_case {
    std::string input;
    const char* expected;
};

// The RFC 1321 suite, then lengths around the 56-byte padding boundary and
// the block size (expected values from md5sum).
const digest_case cases[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
    {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
    {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
    {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
};

TEST(Md5, KnownDigestsInOneCall) {
    for (const auto& c : cases) {
        uint8_t d[16];
        md5_digest(c.input.data(), c.input.size(), d);
        EXPECT_EQ(hex_lower(d), c.expected) << "length " << c.input.size();
    }
}

TEST(Md5, PiecewiseUpdatesMatchAtEveryStride) {
    for (const auto& c : cases) {
        if (c.input.size() > 200) continue;
        for (size_t stride = 1; stride <= 70; ++stride) {
            md5_ctx ctx;
            md5_init(&ctx);
            for (size_t off = 0; off < c.input.size(); off += stride)
                md5_update(&ctx, c.input.data() + off, std::min(stride, c.input.size() - off));
            uint8_t d[16];
            md5_final(&ctx, d);
            ASSERT_EQ(hex_lower(d), c.expected) << "length " << c.input.size() << " stride " << stride;
        }
    }
}

TEST(Md5, HexUpperIsTheAccountDigest) {
    EXPECT_EQ(md5_hex_upper("userpass", 8), "63E780C3F321D13109C71BF81805476E");
    EXPECT_EQ(md5_hex_upper("", 0), "D41D8CD98F00B204E9800998ECF8427E");
}

}  // namespace
