// The connecting window's settings download, over real HTTP against the
// reference server's account service and a hostile one played by the test,
// and its close rules and stage texts.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QNetworkReply>
#include <QPushButton>
#include <QTimer>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/ui/support/account_service.h"
#include "tests/ui/support/ui_testing.h"
#include "ui/core/md5.h"
#include "ui/modal.h"
#include "ui/mycoolthread.h"
#include "ui/qrconnectform.h"
#include "ui/splashform.h"
#include "ui/statform.h"

namespace {

using ui_testing::account_reply;
using ui_testing::account_service;
using ui_testing::modal_script;
using ui_testing::wait_for;
using ui_testing::working_dir;

testing::Environment* const qt = testing::AddGlobalTestEnvironment(new ui_testing::qt_environment);

class UiDownload : public ::testing::Test {
protected:
    void SetUp() override {
        form = std::make_unique<QrConnectForm>();
        splash = form->splash;
        QObject::connect(splash, &SplashForm::DownloadFinished, [this] { finished.push_back(splash->configValid); });
        // The test plays the owner's part itself.
        QObject::disconnect(splash, SIGNAL(DownloadFinished()), form.get(), SLOT(SetDownloadedData()));
    }
    void TearDown() override {
        delete form->statForm;
        delete form->thread;
        delete form->subscriptions;
        form.reset();
        unsetenv("QUORIN_ACCOUNT_HOST");
    }

    // The account service with alice:secret and the given answer.
    void serve(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--user", "alice:secret", "--account", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(rs.start(wd.dir(), args));
        std::string line;
        ASSERT_GE(rs.proc.wait_line("ACCOUNT ", 10, &line), 0);
        setenv("QUORIN_ACCOUNT_HOST", ("127.0.0.1:" + line.substr(8)).c_str(), 1);
    }
    // A server that takes the connection and never answers.
    void serve_silently() {
        uint16_t port = 0;
        silent = e2e::tcp_listen("127.0.0.1", 0, &port);
        ASSERT_GE(silent, 0);
        setenv("QUORIN_ACCOUNT_HOST", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }
    // The test's own service, answering with the given replies in turn.
    void serve_hostile(const std::vector<account_reply>& replies) {
        hostile = std::make_unique<account_service>();
        hostile->replies = replies;
        setenv("QUORIN_ACCOUNT_HOST", hostile->host().toLatin1().constData(), 1);
    }
    void download(const QString& password) {
        splash->login = "alice";
        splash->md = account_digest("alice", password);
        splash->startDownload();
    }
    bool download_done() {
        return wait_for([this] { return !finished.empty() || !script.questions.empty(); });
    }

    working_dir wd;
    modal_script script;
    e2e::refserver_proc rs;
    std::unique_ptr<QrConnectForm> form;
    SplashForm* splash = nullptr;
    std::vector<bool> finished;
    int silent = -1;
    std::unique_ptr<account_service> hostile;

public:
    ~UiDownload() override { e2e::close_fd(silent); }
};

TEST_F(UiDownload, ValidAnswerIsReported) {
    serve({"--account-csv", "alice=0::2066::17"});
    download("secret");
    EXPECT_EQ(splash->ui.StatusLabel->text(), "connecting... 30");
    EXPECT_TRUE(splash->ui.ConnectCancelButton->isEnabled());
    ASSERT_TRUE(download_done());
    EXPECT_EQ(finished, std::vector<bool>{true});
    EXPECT_EQ(splash->port, 2066);
    EXPECT_EQ(splash->clientNumber, 17);
    EXPECT_EQ(splash->satIp, "0");
    EXPECT_EQ(splash->ui.StatusLabel->text(), "read data...");
    EXPECT_FALSE(splash->ui.ConnectCancelButton->isEnabled());
    EXPECT_FALSE(splash->timer.isActive());
    EXPECT_TRUE(script.questions.empty());
}

TEST_F(UiDownload, RefusedLoginOffersManualEntry) {
    serve();
    struct manual_case {
        bool ok;
        QString typed;
        std::vector<bool> finished;
    } cases[] = {{false, "", {}}, {true, "0::2040::3", {true}}};
    for (const manual_case& c : cases) {
        finished.clear();
        script.questions.clear();
        script.texts = {{c.ok, c.typed}};
        splash->show();
        download("wrong");
        ASSERT_TRUE(wait_for([this] { return !script.questions.empty(); }));
        EXPECT_EQ(script.questions[0].kind, "text");
        EXPECT_EQ(script.questions[0].title, "Error recieving data.");
        EXPECT_TRUE(script.questions[0].text.startsWith("Got error:")) << script.questions[0].text.toStdString();
        EXPECT_TRUE(script.questions[0].text.contains(" on https://127.0.0.1:"));
        QCoreApplication::processEvents();
        EXPECT_EQ(finished, c.finished);
        if (!c.ok) {
            EXPECT_FALSE(splash->isVisible()) << "cancelled: back to the connect dialog";
            EXPECT_TRUE(form->isVisible());
        } else {
            EXPECT_EQ(splash->port, 2040);
        }
    }
}

// The manual-entry label carries the server's reason phrase.
TEST(UiDownloadManualEntry, ShowsTheErrorAsPlainText) {
    const QString label = "Got error:server replied: <img src=\"x\"><b>Gone</b>";
    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        ASSERT_NE(box, nullptr);
        for (QLabel* l : box->findChildren<QLabel*>())
            if (l->text() == label) {
                shown = l->text();
                format = l->textFormat();
            }
        static_cast<QDialog*>(box)->reject();
    });
    QString answer = "kept?";
    EXPECT_FALSE(modal::get_text(nullptr, "Error recieving data.", label, &answer));
    EXPECT_EQ(shown, label);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_TRUE(answer.isEmpty());
}

TEST_F(UiDownload, MalformedAndOverLongAnswersAreRefused) {
    for (const char* answer : {"a::b", "0::2066::17::4", "1111111111111111111111111111111::2066::17"}) {
        SCOPED_TRACE(answer);
        serve({"--account-csv", std::string("alice=") + answer});
        finished.clear();
        script.questions.clear();
        script.messages = {QMessageBox::Cancel};
        download("secret");
        ASSERT_TRUE(wait_for([this] { return !finished.empty(); }));
        EXPECT_EQ(finished, std::vector<bool>{false});
        ASSERT_EQ(script.count("message"), 1);
        EXPECT_EQ(script.questions[0].title, "Recieve error");
        EXPECT_EQ(script.questions[0].text, "Error in recieved data. Possible invalid login or password");
        EXPECT_EQ(script.questions[0].buttons, QMessageBox::Retry | QMessageBox::Cancel);
        rs.proc.signal(SIGTERM);
        rs.proc.wait_exit(10);
    }
}

// What is not a plain answer is refused like a wrong one: a first part that
// is no address (it would go into the engine's file as it stands), a
// redirect's body, a body past a few KB (the transfer is given up).
TEST_F(UiDownload, HostileAnswersAreRefused) {
    const QByteArray valid = "0::2066::17";
    const qint64 flood_bytes = 64 << 20;
    const struct {
        const char* name;
        account_reply reply;
    } cases[] = {
        {"lines in the address", account_service::ok("x\nlog=/tmp/x.log::2066::5")},
        {"a name for the address", account_service::ok("sat.example::2066::5")},
        {"redirect", account_service::redirect(valid)},
        {"declared 64 MB", account_service::flood(valid, flood_bytes, true)},
        {"64 MB to the end of the connection", account_service::flood(valid, flood_bytes, false)},
    };
    std::vector<account_reply> replies;
    for (const auto& c : cases) replies.push_back(c.reply);
    serve_hostile(replies);
    for (const auto& c : cases) {
        finished.clear();
        script.questions.clear();
        script.messages = {QMessageBox::Cancel};
        download("secret");
        ASSERT_TRUE(download_done()) << c.name;
        EXPECT_EQ(finished, std::vector<bool>{false}) << c.name;
        ASSERT_EQ(script.questions.size(), 1u) << c.name;
        EXPECT_EQ(script.questions[0].title, "Recieve error") << c.name;
    }
    EXPECT_TRUE(wait_for([this] { return hostile->cut_short == 2; })) << "both floods were cut short";
}

// At the first start there are no settings of our own to fall back on: a
// wrong answer leaves the dialog offering the download alone, and nothing
// is written.
TEST_F(UiDownload, FirstStartWithAWrongAnswerReturnsToTheDownload) {
    serve_hostile({account_service::ok("\n[local]\nmux\nport=0::1::1")});
    QObject::connect(splash, SIGNAL(DownloadFinished()), form.get(), SLOT(SetDownloadedData()));
    QrConnectForm& f = *form;
    ASSERT_FALSE(f.ui.use_local_conf->isEnabled());
    f.show();
    f.ui.login->setEditText("alice");
    f.ui.password->setText("secret");
    script.messages = {QMessageBox::Cancel};
    f.ui.connect_button->click();
    ASSERT_TRUE(wait_for([&] { return f.isVisible(); }));
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].title, "Recieve error");
    EXPECT_EQ(script.count("exec"), 0) << "no settings dialog";
    EXPECT_FALSE(splash->isVisible());
    EXPECT_FALSE(f.ui.use_local_conf->isEnabled());
    EXPECT_FALSE(f.ui.use_local_conf->isChecked());
    EXPECT_TRUE(f.ui.download_conf->isChecked());
    EXPECT_EQ(f.ui.connect_button->text(), "Download");
    EXPECT_TRUE(f.sat_ip.isEmpty());
    EXPECT_NE(access(wd.file("quorin.conf").c_str(), F_OK), 0) << "nothing written";
}

TEST_F(UiDownload, RetryDownloadsAgainAndHandlesTheNewAnswer) {
    serve({"--account-csv", "alice=bad"});
    script.messages = {QMessageBox::Retry, QMessageBox::Retry, QMessageBox::Cancel};
    download("secret");
    ASSERT_TRUE(wait_for([this] { return !finished.empty(); }));
    EXPECT_EQ(script.count("message"), 3) << "each new request's answer was handled";
    EXPECT_EQ(finished, std::vector<bool>{false}) << "reported once, after the last answer";
    EXPECT_EQ(splash->reply, nullptr);
}

TEST_F(UiDownload, CountdownEndsInATimeout) {
    serve_silently();
    script.texts = {{false, ""}};
    download("secret");
    splash->download_timer_event();
    EXPECT_EQ(splash->ui.StatusLabel->text(), "connecting... 29");
    for (int i = 0; i < 29; ++i) splash->download_timer_event();
    ASSERT_EQ(script.count("text"), 1) << "the time-out is handled once";
    EXPECT_TRUE(script.questions[0].text.startsWith("Got error:Download timeout"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(finished.empty());
    EXPECT_EQ(splash->reply, nullptr);
    EXPECT_FALSE(splash->timer.isActive());
}

// Headers that never end are given up at their own bound, or when they
// arrive too slowly for it, at the countdown's end; either way the transfer
// really ends: the service sees its connection closed, and the process
// holds no more than it did.
TEST_F(UiDownload, EndlessHeadersAreCutOff) {
    const long start_kb = ui_testing::resident_kb();
    const struct {
        const char* name;
        account_reply reply;
        const char* box;
    } cases[] = {
        {"one endless header line", account_service::endless_head(true), "Recieve error"},
        {"endless header lines", account_service::endless_head(false), "Recieve error"},
        {"a header line a byte every 20 ms", {"HTTP/1.1 200 OK\r\nX-Slow: ", 0, 20, false}, "Error recieving data."},
    };
    std::vector<account_reply> replies;
    for (const auto& c : cases) replies.push_back(c.reply);
    serve_hostile(replies);
    int closed = 0;
    for (const auto& c : cases) {
        script.questions.clear();
        script.messages = {QMessageBox::Cancel};
        download("secret");
        if (c.reply.trickle_ms > 0) {
            ASSERT_TRUE(wait_for([&] { return hostile->targets.size() == size_t(closed + 1); }, 10)) << c.name;
            for (int i = 0; i < SplashForm::download_countdown_s; ++i) splash->download_timer_event();
        }
        ASSERT_TRUE(wait_for([this] { return !script.questions.empty(); }, 10)) << c.name;
        EXPECT_EQ(script.questions[0].title, c.box) << c.name;
        EXPECT_TRUE(wait_for([&] { return hostile->cut_short == closed + 1; }, 10)) << c.name << ": still open";
        closed = hostile->cut_short;
    }
    EXPECT_LT(ui_testing::resident_kb(true), start_kb + 50 * 1024);
}

TEST_F(UiDownload, CancelGivesUpQuietly) {
    serve_silently();
    download("secret");
    ASSERT_TRUE(splash->ui.ConnectCancelButton->isEnabled());
    splash->ui.ConnectCancelButton->click();
    EXPECT_EQ(finished, std::vector<bool>{false});
    EXPECT_FALSE(splash->timer.isActive());
    // Whatever the aborted request reports later is not handled again.
    wait_for([] { return false; }, 0.3);
    EXPECT_TRUE(script.questions.empty());
    EXPECT_EQ(finished.size(), 1u);
}

TEST_F(UiDownload, EscapeWhileTheEngineStartsReportsNothing) {
    splash->show();
    splash->reject();
    EXPECT_TRUE(finished.empty());
    EXPECT_TRUE(splash->isVisible());
}

TEST_F(UiDownload, CloseRules) {
    splash->show();
    EXPECT_FALSE(splash->close());
    EXPECT_TRUE(splash->isVisible());
    splash->canceled = true;
    EXPECT_TRUE(splash->close());
    EXPECT_TRUE(form->isVisible()) << "given up: back to the connect dialog";
    form->hide();
    splash->canceled = false;
    splash->closeAllowed = true;
    splash->show();
    EXPECT_TRUE(splash->close());
    EXPECT_FALSE(form->isVisible()) << "the engine is up: the dialog stays hidden";
}

TEST_F(UiDownload, StagesArriveThroughTheQueuedSignal) {
    const int stages[] = {1, 7, 7, 8};
    const char* texts[] = {"Reading config", "Waiting for adapter init.. ", "Waiting for adapter init.. 1",
                           "All OK! Starting."};
    for (int i = 0; i < 4; ++i) {
        form->emit_progress(stages[i]);
        const QString want = texts[i];
        EXPECT_TRUE(wait_for([&] { return splash->ui.StatusLabel->text() == want; })) << texts[i];
    }
}

TEST_F(UiDownload, WholeDownloadRoadFromTheDialog) {
    serve({"--account-csv", "alice=0::2046::5"});
    QObject::connect(splash, SIGNAL(DownloadFinished()), form.get(), SLOT(SetDownloadedData()));
    QrConnectForm& f = *form;
    f.show();
    f.ui.login->setEditText("alice");
    f.ui.password->setText("secret");
    script.execs = {[](QDialog*) { return 1; }};
    f.ui.connect_button->click();
    EXPECT_TRUE(splash->isVisible());
    EXPECT_FALSE(f.isVisible());
    ASSERT_TRUE(wait_for([&] { return script.count("exec") == 1; }));
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(splash->isVisible());
    EXPECT_EQ(f.ui.connect_button->text(), "Connect");
    const std::string conf = wd.read("quorin.conf");
    EXPECT_NE(conf.find("port=2046\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("login=alice\npasswd=secret\n"), std::string::npos) << conf;
}

}  // namespace
