// The interface's MD5 class over the project's one MD5, for the account key
// `md` that the account web service checks.
#pragma once

#include <QString>

#include <cstdint>
#include <cstdio>

#include "protocol/md5.h"

class MD5 {
public:
    MD5();
    // Digests the whole file and closes it.
    explicit MD5(FILE* file);

    void reset();
    void update(const unsigned char* data, unsigned length);
    // Reads the file in chunks of up to 1024 bytes, then closes it.
    void update(FILE* file);
    void finalize();
    // 32 lower-case hexadecimal digits; new[], owned by the caller. Null
    // before finalize.
    char* hex_digest();
    // The 16 digest bytes; new[], owned by the caller. Null before finalize.
    unsigned char* raw_digest();

private:
    md5_ctx ctx_;
    uint8_t digest_[16];
    bool finalized_;
};

// Upper-case hexadecimal MD5 of the login followed by the password, as
// 8-bit text.
QString account_digest(const QString& login, const QString& password);
