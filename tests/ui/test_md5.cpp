// The interface's MD5 class and the account key md.
#include <gtest/gtest.h>

#include <QtGlobal>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ui/core/md5.h"

namespace {

std::string hex_of(MD5& m) {
    std::unique_ptr<char[]> hex(m.hex_digest());
    return hex ? hex.get() : "(null)";
}

TEST(UiMd5, Rfc1321TestSuite) {
    struct rfc_case {
        const char* input;
        const char* hex;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const rfc_case& c : cases) {
        MD5 m;
        m.update(reinterpret_cast<const unsigned char*>(c.input), unsigned(std::strlen(c.input)));
        m.finalize();
        EXPECT_EQ(hex_of(m), c.hex) << c.input;
        std::unique_ptr<unsigned char[]> raw(m.raw_digest());
        ASSERT_TRUE(raw);
        char first[3];
        std::snprintf(first, sizeof first, "%02x", raw[0]);
        EXPECT_EQ(std::string(first), std::string(c.hex, 2));
    }
}

TEST(UiMd5, SplitUpdatesAndFilesGiveTheSameDigest) {
    const std::string text(1000, 'q');
    MD5 whole;
    whole.update(reinterpret_cast<const unsigned char*>(text.data()), unsigned(text.size()));
    whole.finalize();
    MD5 parts;
    for (size_t at = 0; at < text.size(); at += 77) {
        const size_t n = std::min<size_t>(77, text.size() - at);
        parts.update(reinterpret_cast<const unsigned char*>(text.data() + at), unsigned(n));
    }
    parts.finalize();
    EXPECT_EQ(hex_of(parts), hex_of(whole));

    FILE* f = std::tmpfile();
    ASSERT_TRUE(f);
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    MD5 from_file(f);
    EXPECT_EQ(hex_of(from_file), hex_of(whole));
}

std::string debug_output;
void capture(QtMsgType, const QMessageLogContext&, const QString& msg) { debug_output += msg.toStdString() + "\n"; }

TEST(UiMd5, MisuseIsReportedAndChangesNothing) {
    debug_output.clear();
    QtMessageHandler old = qInstallMessageHandler(capture);
    MD5 m;
    EXPECT_EQ(m.hex_digest(), nullptr);
    EXPECT_EQ(m.raw_digest(), nullptr);
    m.finalize();
    const std::string digest = hex_of(m);
    m.update(reinterpret_cast<const unsigned char*>("x"), 1);
    m.finalize();
    qInstallMessageHandler(old);
    EXPECT_EQ(hex_of(m), digest);
    EXPECT_EQ(debug_output,
              "MD5::hex_digest:  Can't get digest if you haven't  finalized the digest!\n"
              "MD5::raw_digest:  Can't get digest if you haven't  finalized the digest!\n"
              "MD5::update:  Can't update a finalized digest!\n"
              "MD5::finalize:  Already finalized this digest!\n");
    m.reset();
    m.finalize();
    EXPECT_EQ(hex_of(m), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(UiMd5, AccountKeyIsUpperCaseDigestOfLoginAndPassword) {
    EXPECT_EQ(account_digest("", "").toStdString(), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(account_digest("a", "bc"), account_digest("ab", "c"));
    EXPECT_EQ(account_digest("a", "bc").toStdString(), "900150983CD24FB0D6963F7D28E17F72");
}

}  // namespace
