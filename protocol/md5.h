// MD5 message digest (RFC 1321): the login digest of the engine and the
// account digest of the interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct md5_ctx {
    uint32_t state[4];
    uint64_t bit_count;
    uint8_t buffer[64];
};

void md5_init(md5_ctx* ctx);
void md5_update(md5_ctx* ctx, const void* data, size_t len);
void md5_final(md5_ctx* ctx, uint8_t digest[16]);
void md5_transform(uint32_t state[4], const uint8_t block[64]);

void md5_digest(const void* data, size_t len, uint8_t digest[16]);
// Upper-case hexadecimal, 32 characters.
std::string md5_hex_upper(const void* data, size_t len);
