// What the connecting window and the tray show, and what the account
// service's settings answer means.
#include <gtest/gtest.h>

#include <QLocale>

#include <cstdlib>
#include <string>
#include <vector>

#include "ui/core/client_config.h"
#include "ui/core/stage_text.h"
#include "ui/core/tray_text.h"

namespace {

TEST(UiStageTexts, SequencesShowTheirTexts) {
    struct sequence_case {
        std::vector<int> stages;
        std::vector<const char*> texts;
    } cases[] = {
        {{1, 2, 3, 4, 5, 6, 8, 9},
         {"Reading config", "Init TAP adapter", "Starting TAP adapter", "Waiting timeout...",
          "Configuring TAP using DHCP", "Setting routes", "All OK! Starting.", "Error starting TAP!!"}},
        {{0, 10, -1}, {"", "", ""}},
        // The repeat count of stage 7 runs on across the whole run.
        {{7, 7, 7, 6, 7, 7},
         {"Waiting for adapter init.. ", "Waiting for adapter init.. 1", "Waiting for adapter init.. 2",
          "Setting routes", "Waiting for adapter init.. ", "Waiting for adapter init.. 3"}},
    };
    for (const sequence_case& c : cases) {
        StageTexts texts;
        for (size_t i = 0; i < c.stages.size(); ++i)
            EXPECT_EQ(texts.text(c.stages[i]).toStdString(), c.texts[i]) << "stage " << c.stages[i] << " at " << i;
    }
}

TEST(UiClientConfig, AnswersAreThreePartsOfAtMost39Characters) {
    struct answer_case {
        std::string answer;
        bool valid;
        const char* sat_ip;
        int port, client;
    } cases[] = {
        {"0::2066::17", true, "0", 2066, 17},
        {"::::b", true, "", 0, 0},
        {"10.0.0.1::2080::254", true, "10.0.0.1", 2080, 254},
        {"10.0.0.1::x::y", true, "10.0.0.1", 0, 0},
        {"255.255.255.255::2066::" + std::string(16, '1'), true, "255.255.255.255", 2066, 0},
        {"255.255.255.255::2066::" + std::string(17, '1'), false, "", 0, 0},
        {"0::2066", false, "", 0, 0},
        {"0::2066::17::4", false, "", 0, 0},
        {"", false, "", 0, 0},
        {"access denied\n", false, "", 0, 0},
        // The first part goes into the engine's file as it stands: nothing
        // but an address may stand there.
        {"a::::b", false, "", 0, 0},
        {"x\nlog=/tmp/x.log::2066::5", false, "", 0, 0},
        {"1.2.3.4\n::2066::5", false, "", 0, 0},
        {"sat.example::2066::5", false, "", 0, 0},
        {"010.0.0.1::2066::5", false, "", 0, 0},
        {"1.2.3::2066::5", false, "", 0, 0},
        {" 1.2.3.4::2066::5", false, "", 0, 0},
    };
    for (const answer_case& c : cases) {
        ClientConfigReply r;
        EXPECT_EQ(parse_client_config(QString::fromStdString(c.answer), &r), c.valid) << c.answer;
        EXPECT_EQ(r.configValid, c.valid) << c.answer;
        if (!c.valid) continue;
        EXPECT_EQ(r.satIp.toStdString(), c.sat_ip) << c.answer;
        EXPECT_EQ(r.port, c.port) << c.answer;
        EXPECT_EQ(r.clientNumber, c.client) << c.answer;
    }
}

TEST(UiClientConfig, BodyEndsAtItsFirstZeroByte) {
    EXPECT_EQ(client_config_body_text(QByteArray("0::2066::17\0garbage", 19)), "0::2066::17");
    EXPECT_EQ(client_config_body_text(QByteArray("\xE9::1::2")), QString::fromLatin1("\xE9::1::2"));
}

TEST(UiClientConfig, TapAddressFromClientNumber) {
    struct tap_case {
        int client;
        const char* address;
    } cases[] = {{0, "10.0.0.1"}, {17, "10.0.0.18"}, {253, "10.0.0.254"}, {254, "10.0.1.1"}, {508, "10.0.2.1"}};
    for (const tap_case& c : cases) EXPECT_EQ(tap_address_for_client(c.client).toStdString(), c.address);
}

TEST(UiClientConfig, RequestCarriesEncodedLoginAndDigest) {
    setenv("QUORIN_ACCOUNT_HOST", "127.0.0.1:8081", 1);
    EXPECT_EQ(account_request_url("/client.csv", "alice", "ABCDEF").toString().toStdString(),
              "http://127.0.0.1:8081/client.csv?login=alice&md=ABCDEF");
    EXPECT_EQ(account_request_url("/client.csv", "a&b c=d?#", "AB").toString(QUrl::FullyEncoded).toStdString(),
              "http://127.0.0.1:8081/client.csv?login=a%26b%20c%3Dd%3F%23&md=AB");
    unsetenv("QUORIN_ACCOUNT_HOST");
    EXPECT_EQ(account_request_url("/client.xml", "x", "y").host().toStdString(), "account.quorin.example.invalid");
}

TEST(UiTrayText, TooltipUnitsAndCompression) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    struct bytes_case {
        long long bytes;
        const char* text;
    } cases[] = {{99999, "99,999 bytes"}, {100000, "100 Kb"}, {99999999, "99,999 Kb"}, {100000000, "100 Mb"},
                 {-5, "-5 bytes"}};
    for (const bytes_case& c : cases) EXPECT_EQ(byte_count_text(c.bytes).toStdString(), c.text) << c.bytes;
    EXPECT_EQ(tray_tooltip(100, 200, 57.1428f).toStdString(), "In: 100 bytes \n Out: 200 bytes \n Compression: 57.14 %");
}

}  // namespace
