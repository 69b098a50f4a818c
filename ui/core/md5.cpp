#include "ui/core/md5.h"

#include <QDebug>

#include <cstring>

namespace {

constexpr size_t file_chunk_bytes = 1024;

}  // namespace

MD5::MD5() { reset(); }

MD5::MD5(FILE* file) {
    reset();
    update(file);
    finalize();
}

void MD5::reset() {
    md5_init(&ctx_);
    std::memset(digest_, 0, sizeof digest_);
    finalized_ = false;
}

void MD5::update(const unsigned char* data, unsigned length) {
    if (finalized_) {
        qDebug("MD5::update:  Can't update a finalized digest!");
        return;
    }
    md5_update(&ctx_, data, length);
}

void MD5::update(FILE* file) {
    unsigned char buf[file_chunk_bytes];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) update(buf, unsigned(n));
    std::fclose(file);
}

void MD5::finalize() {
    if (finalized_) {
        qDebug("MD5::finalize:  Already finalized this digest!");
        return;
    }
    md5_final(&ctx_, digest_);
    finalized_ = true;
}

char* MD5::hex_digest() {
    if (!finalized_) {
        qDebug("MD5::hex_digest:  Can't get digest if you haven't  finalized the digest!");
        return nullptr;
    }
    char* s = new char[33];
    for (int i = 0; i < 16; ++i) std::snprintf(s + 2 * i, 3, "%02x", digest_[i]);
    s[32] = 0;
    return s;
}

unsigned char* MD5::raw_digest() {
    if (!finalized_) {
        qDebug("MD5::raw_digest:  Can't get digest if you haven't  finalized the digest!");
        return nullptr;
    }
    unsigned char* d = new unsigned char[16];
    std::memcpy(d, digest_, 16);
    return d;
}

QString account_digest(const QString& login, const QString& password) {
    const QByteArray joined = (login + password).toLatin1();
    MD5 md5;
    md5.update(reinterpret_cast<const unsigned char*>(joined.constData()), unsigned(joined.size()));
    md5.finalize();
    char* hex = md5.hex_digest();
    const QString md = QString::fromLatin1(hex).toUpper();
    delete[] hex;
    return md;
}
