// The account balance: the answer's tags, and the window's request over
// real HTTP against a small server played by the test (answers, errors, a
// server that never answers, hostile replies, the once-per-run notice, the
// update timer) and against the reference server's account service.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QAccessible>
#include <QNetworkReply>

#include "tests/e2e/harness.h"
#include "tests/ui/stat_testing.h"
#include "tests/ui/support/account_service.h"
#include "ui/core/balance.h"
#include "ui/core/md5.h"
#include "ui/statform.h"

namespace {

using ui_testing::account_reply;
using ui_testing::account_service;

TEST(UiStatBalance, Answers) {
    struct {
        const char* name;
        QByteArray body;
        bool valid;
        const char *tarif, *money, *traffic;
        bool active;
        const char *expire, *lastver;
    } const cases[] = {
        {"all six", "<r><tarif>Безлимит</tarif><money>12.50 ₽</money><traffic>3 GB</traffic><status>active</status>"
                    "<expire>2030-01-01</expire><lastver>5.0.16KORVEL</lastver></r>",
         true, "Безлимит", "12.50 ₽", "3 GB", true, "2030-01-01", "5.0.16KORVEL"},
        {"other status", "<tarif>T</tarif><status>Active</status>", true, "T", "", "", false, "", ""},
        {"empty status", "<tarif>T</tarif><status></status>", true, "T", "", "", false, "", ""},
        {"no closing tag", "<tarif>T</tarif><expire>soon<x>", true, "T", "", "", false, "soon<x>", ""},
        {"closing before opening", "</money><tarif>T</tarif><money>5", true, "T", "5", "", false, "", ""},
        {"NUL in traffic", QByteArray("<tarif>T</tarif><traffic>1\0GB</traffic>", 38), true, "T", "", "1", false, "",
         ""},
        {"no tariff", "<money>5</money><status>active</status>", false, "", "", "", false, "", ""},
        {"empty tariff", "<tarif></tarif><money>5</money>", false, "", "", "", false, "", ""},
        {"empty body", "", false, "", "", "", false, "", ""},
    };
    for (const auto& c : cases) {
        const BalanceAnswer a = balance_answer_parse(c.body);
        EXPECT_EQ(a.valid, c.valid) << c.name;
        EXPECT_EQ(a.tarif, QString::fromUtf8(c.tarif)) << c.name;
        EXPECT_EQ(a.money, QString::fromUtf8(c.money)) << c.name;
        EXPECT_EQ(a.traffic, QString::fromUtf8(c.traffic)) << c.name;
        EXPECT_EQ(a.active, c.active) << c.name;
        EXPECT_EQ(a.expire, QString::fromUtf8(c.expire)) << c.name;
        EXPECT_EQ(a.lastver, QByteArray(c.lastver)) << c.name;
    }
    EXPECT_FALSE(balance_newer_version(""));
    EXPECT_FALSE(balance_newer_version(client_version));
    EXPECT_TRUE(balance_newer_version("5.0.17KORVEL"));
    EXPECT_EQ(balance_url("127.0.0.1:8080", "a&b c", "0A").toEncoded().toStdString(),
              "http://127.0.0.1:8080/client.xml?login=a%26b%20c&md=0A");
}

const QByteArray full_answer = "<tarif>Home</tarif><money>42.00</money><traffic>1 GB</traffic>"
                               "<status>active</status><expire>2031-12-31</expire><lastver>5.0.16KORVEL</lastver>";

class UiStatBalanceWindow : public ::testing::Test {
protected:
    void SetUp() override {
        stat_test_app();
        service = std::make_unique<account_service>();  // its listener needs the application
        form = std::make_unique<StatForm>(nullptr);
        form->ui.login->setText("alice");
        form->setMd("0123ABCD");
        form->setAccountHost(service->host());
        form->setBalanceTimeout(300);
    }
    bool answered() {
        return stat_wait([&] { return form->ui.update_but->isEnabled(); });
    }
    std::unique_ptr<account_service> service;
    std::unique_ptr<StatForm> form;
};

TEST_F(UiStatBalanceWindow, AnswersOverHttp) {
    struct {
        const char* name;
        account_reply reply;
        const char *tarif, *balance, *status;
        QColor colour;
    } const cases[] = {
        {"blocked", account_service::ok("<tarif>Home</tarif><money>0</money><status>off</status>"), "Home", "0",
         "blocked", Qt::red},
        {"answer", account_service::ok(full_answer), "Home", "42.00", "active", Qt::darkGreen},
        {"lines ending in LF alone",
         account_service::raw("HTTP/1.0 200 OK\nContent-Length: " + QByteArray::number(full_answer.size()) + "\n\n" +
                              full_answer),
         "Home", "42.00", "active", Qt::darkGreen},
        {"to the end of the connection", account_service::flood(full_answer, 10, false), "Home", "42.00", "active",
         Qt::darkGreen},
        {"no tariff", account_service::ok("<html>login refused</html>"), "Recieve error: -1", "Recieve error: -1",
         "active", Qt::darkGreen},
        {"not found", account_service::raw("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"),
         "Recieve error: 203", "Recieve error: 203", "active", Qt::darkGreen},
        {"never answers", {{}, 0, 0, true}, "Recieve error: 5", "Recieve error: 5", "active", Qt::darkGreen},
    };
    bool first = true;
    for (const auto& c : cases) {
        service->replies = {c.reply};
        if (first)
            form->startStat(1);  // the console's port is of no interest here
        else
            form->ui.update_but->click();
        first = false;
        EXPECT_FALSE(form->ui.update_but->isEnabled()) << c.name;
        ASSERT_TRUE(answered()) << c.name << ": the button stays disabled";
        EXPECT_EQ(form->ui.tarif->text().toStdString(), c.tarif) << c.name;
        EXPECT_EQ(form->ui.balance->text().toStdString(), c.balance) << c.name;
        EXPECT_EQ(form->ui.status->text().toStdString(), c.status) << c.name;
        EXPECT_EQ(form->ui.status->palette().color(form->ui.status->foregroundRole()), c.colour) << c.name;
    }
    EXPECT_EQ(form->ui.traffic->text().toStdString(), "1 GB") << "kept from the last good answer";
    EXPECT_EQ(form->ui.expire->text().toStdString(), "2031-12-31");
    ASSERT_FALSE(service->targets.empty());
    EXPECT_EQ(service->targets[0], "/client.xml?login=alice&md=0123ABCD");
}

// What the label shows, as a reader of the screen gets it.
std::string shown(QLabel* label) {
    return QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name).toStdString();
}

// Nothing of a reply that is not a plain answer reaches the labels: past a
// few KB, or not whole within the time-out, the transfer is given up; a
// redirect's body is not an answer; markup is shown as text.
TEST_F(UiStatBalanceWindow, HostileAnswersOverHttp) {
    const QByteArray tarif = "<tarif>Flood</tarif>";
    const qint64 flood_bytes = 64 << 20;
    struct {
        const char* name;
        account_reply reply;
        const char* tarif;
    } const cases[] = {
        {"declared 64 MB", account_service::flood(tarif, flood_bytes, true), "Recieve error: 5"},
        {"64 MB to the end of the connection", account_service::flood(tarif, flood_bytes, false), "Recieve error: 5"},
        {"a byte every 20 ms", account_service::trickle(tarif, 20), "Recieve error: 5"},
        {"redirect", account_service::redirect(tarif), "Recieve error: -1"},
        {"markup", account_service::ok("<tarif><b>Home</b></tarif><money><a href='http://x/'>42</a></money>"
                                       "<traffic><img src='x.png'>1 GB</traffic><expire>&lt;soon&gt;</expire>"),
         "<b>Home</b>"},
    };
    form->startStat(1);
    ASSERT_TRUE(answered());
    for (const auto& c : cases) {
        service->replies = {c.reply};
        form->ui.update_but->click();
        ASSERT_TRUE(answered()) << c.name << ": the button stays disabled";
        EXPECT_EQ(form->ui.tarif->text().toStdString(), c.tarif) << c.name;
    }
    EXPECT_TRUE(stat_wait([&] { return service->cut_short == 3; })) << "the floods and the trickle were cut short";
    EXPECT_EQ(shown(form->ui.tarif), "<b>Home</b>");
    EXPECT_EQ(shown(form->ui.balance), "<a href='http://x/'>42</a>");
    EXPECT_EQ(shown(form->ui.traffic), "<img src='x.png'>1 GB");
    EXPECT_EQ(shown(form->ui.expire), "&lt;soon&gt;");
}

// Headers that never end are given up at their own bound, or when they
// arrive too slowly for it, at the time-out; either way the transfer really
// ends: the service sees its connection closed, and the process holds no
// more than it did. A new request ends the one before it the same way.
TEST_F(UiStatBalanceWindow, EndlessHeadersAreCutOff) {
    const long start_kb = ui_testing::resident_kb();
    const account_reply slow_head = {"HTTP/1.1 200 OK\r\nX-Slow: ", 0, 20, false};
    const struct {
        const char* name;
        account_reply reply;
    } cases[] = {
        {"one endless header line", account_service::endless_head(true)},
        {"endless header lines", account_service::endless_head(false)},
        {"a header line a byte every 20 ms", slow_head},
    };
    service->replies = {account_service::ok(full_answer)};
    form->startStat(1);
    ASSERT_TRUE(answered());
    for (const auto& c : cases) {
        const int closed = service->cut_short;
        service->replies = {c.reply};
        form->ui.update_but->click();
        ASSERT_TRUE(answered()) << c.name;
        EXPECT_EQ(form->ui.tarif->text().toStdString(), "Recieve error: 5") << c.name;
        EXPECT_TRUE(stat_wait([&] { return service->cut_short == closed + 1; }, 10000)) << c.name << ": still open";
    }
    EXPECT_LT(ui_testing::resident_kb(true), start_kb + 50 * 1024);

    form->setBalanceTimeout(balance_transfer_timeout_ms);
    service->replies = {slow_head, account_service::ok(full_answer)};
    const size_t asked = service->targets.size();
    form->send_bal_req();
    ASSERT_TRUE(stat_wait([&] { return service->targets.size() == asked + 1; }));
    const int closed = service->cut_short;
    form->send_bal_req();
    EXPECT_TRUE(stat_wait([&] { return service->cut_short == closed + 1; }, 10000)) << "the first request goes on";
    ASSERT_TRUE(answered());
    EXPECT_EQ(form->ui.tarif->text().toStdString(), "Home");
}

// Counts the notices; the first one stays open while another answer comes.
class NoticeCountingForm : public StatForm {
public:
    NoticeCountingForm() : StatForm(nullptr) {}
    int notices = 0;
    QString title;

protected:
    void showNewVersionNotice(const QString& t, const QString&) override {
        notices++;
        title = t;
        if (notices > 1) return;
        // As a modal box would: run the event loop until another answer is in.
        ui.tarif->setText("pending");
        send_bal_req();
        stat_wait([&] { return ui.tarif->text() != "pending"; });
    }
};

TEST_F(UiStatBalanceWindow, NewerVersionNoticeOncePerRun) {
    NoticeCountingForm counting;
    counting.ui.login->setText("alice");
    counting.setAccountHost(service->host());
    const account_reply newer = account_service::ok("<tarif>Home</tarif><lastver>5.1.0</lastver>");
    service->replies = {newer, newer, newer};
    counting.startStat(1);
    ASSERT_TRUE(stat_wait([&] { return counting.notices > 0 && service->targets.size() == 2; }));
    ASSERT_TRUE(stat_wait([&] { return counting.ui.update_but->isEnabled(); }));
    counting.ui.update_but->click();
    ASSERT_TRUE(stat_wait([&] { return service->targets.size() == 3 && counting.ui.update_but->isEnabled(); }));
    EXPECT_EQ(counting.notices, 1);
    EXPECT_EQ(counting.title.toStdString(), "New version available: 5.1.0");
}

TEST_F(UiStatBalanceWindow, UpdateTimer) {
    QTimer& timer = form->balanceTimer();
    form->ui.bal_timeout->setValue(7);
    EXPECT_FALSE(timer.isActive()) << "unchecked: changing the interval starts nothing";
    form->ui.bal_timeout->setValue(5);
    form->ui.is_update->setChecked(true);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), 300000);
    form->ui.bal_timeout->setValue(2);
    EXPECT_EQ(timer.interval(), 120000);
    form->ui.is_update->setChecked(false);
    EXPECT_FALSE(timer.isActive());

    // A tick asks for the balance like the button does.
    service->replies = {account_service::ok(full_answer)};
    form->startStat(1);
    ASSERT_TRUE(answered());
    service->replies = {account_service::ok("<tarif>Office</tarif>")};
    form->ui.is_update->setChecked(true);
    timer.setInterval(20);
    ASSERT_TRUE(stat_wait([&] { return form->ui.tarif->text() == "Office"; }));
}

// The reference server's "/client.xml": its accounts, their digests and
// answers; and a listener that takes the request and never answers.
TEST(UiStatBalanceAccount, ReferenceServerAnswers) {
    ASSERT_TRUE(e2e::bin_exists("refserver")) << "the reference server was not built";
    stat_test_app();
    e2e::temp_dir dir;
    e2e::refserver_proc rs;
    ASSERT_TRUE(rs.start(dir, {"--user", "alice:secret", "--user", "a&b c:pw", "--user", "bob:hunter2", "--account",
                               "127.0.0.1:0", "--account-xml",
                               "bob=<tarif>Night</tarif><money>-3.10</money><traffic>0 Mb</traffic>"
                               "<status>blocked</status><expire>01.01.2020</expire><lastver></lastver>"}));
    std::string account_line;
    ASSERT_GE(rs.proc.wait_line("ACCOUNT ", 10, &account_line), 0);
    const QString account_host = "127.0.0.1:" + QString::fromStdString(account_line.substr(8));
    uint16_t silent_port = 0;
    int silent = e2e::tcp_listen("127.0.0.1", 0, &silent_port);
    ASSERT_GE(silent, 0);

    struct {
        const char *name, *login, *password, *host;
        const char *tarif, *balance, *traffic, *status, *expire;
        QColor colour;
    } const cases[] = {
        {"default answer", "alice", "secret", "", "Standard", "100.00", "1000 Mb", "active", "31.12.2030",
         Qt::darkGreen},
        {"blocked account", "bob", "hunter2", "", "Night", "-3.10", "0 Mb", "blocked", "01.01.2020", Qt::red},
        {"login that needs escaping", "a&b c", "pw", "", "Standard", "100.00", "1000 Mb", "active", "31.12.2030",
         Qt::darkGreen},
        // 403 from the service: Qt's "content access denied".
        {"wrong password", "alice", "guess", "", "Recieve error: 201", "Recieve error: 201", "requesting..",
         "requesting..", "requesting..", QColor()},
        {"unknown login", "carol", "x", "", "Recieve error: 201", "Recieve error: 201", "requesting..",
         "requesting..", "requesting..", QColor()},
        // The transfer time-out gives up: "operation canceled".
        {"never answers", "alice", "secret", "silent", "Recieve error: 5", "Recieve error: 5", "requesting..",
         "requesting..", "requesting..", QColor()},
    };
    for (const auto& c : cases) {
        StatForm form(nullptr);
        const QColor untouched = form.ui.status->palette().color(form.ui.status->foregroundRole());
        form.ui.login->setText(QString::fromUtf8(c.login));
        form.setMd(account_digest(QString::fromUtf8(c.login), QString::fromUtf8(c.password)));
        form.setAccountHost(std::string(c.host) == "silent" ? "127.0.0.1:" + QString::number(silent_port)
                                                            : account_host);
        form.setBalanceTimeout(500);
        form.startStat(1);  // no console here
        ASSERT_TRUE(stat_wait([&] { return form.ui.update_but->isEnabled(); })) << c.name;
        EXPECT_EQ(form.ui.tarif->text().toStdString(), c.tarif) << c.name;
        EXPECT_EQ(form.ui.balance->text().toStdString(), c.balance) << c.name;
        EXPECT_EQ(form.ui.traffic->text().toStdString(), c.traffic) << c.name;
        EXPECT_EQ(form.ui.status->text().toStdString(), c.status) << c.name;
        EXPECT_EQ(form.ui.expire->text().toStdString(), c.expire) << c.name;
        EXPECT_EQ(form.ui.status->palette().color(form.ui.status->foregroundRole()),
                  c.colour.isValid() ? c.colour : untouched)
            << c.name;
    }
    e2e::close_fd(silent);
}

}  // namespace
