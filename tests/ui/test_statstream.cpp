// The console as a byte stream seen from the statistics window: lines and
// prompts however the reads cut them, commands that wait for the prompt, a
// console that floods the window and one that never prompts.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ui/stat_testing.h"
#include "ui/core/consolestream.h"
#include "ui/statform.h"

namespace {

// What each feed makes available: "P" for a prompt, else the line.
struct ReaderCase {
    const char* name;
    std::vector<std::string> feeds;
    std::vector<std::vector<std::string>> items;  // after each feed
    size_t dropped;
};

TEST(UiStatReader, Table) {
    const std::string stat = "[default][7]/1/2/3/4/5/6/0.00/8/9/0.00\n";
    const std::string long_line(1500, 'x');
    const std::vector<ReaderCase> cases = {
        {"greeting", {"Quorin>"}, {{"P"}}, 0},
        {"prompt cut in two", {"Quo", "rin>"}, {{}, {"P"}}, 0},
        {"answer and prompt", {"Quorin>" + stat + "Quorin>"}, {{"P", stat, "P"}}, 0},
        {"two lines in one read", {stat + stat}, {{stat, stat}}, 0},
        {"line cut in three", {"[default][7]/1/2", "/3/4/5/6/0.00", "/8/9/0.00\nQuorin>"}, {{}, {}, {stat, "P"}}, 0},
        {"prompt text inside a line", {"[Quorin>][7]/x\n"}, {{"[Quorin>][7]/x\n"}}, 0},
        {"a line that only starts like a prompt", {"Quo", "tes\n"}, {{}, {"Quotes\n"}}, 0},
        {"over-long line in one read", {long_line + "\n" + stat}, {{stat}}, 1},
        {"over-long line across reads", {long_line, long_line, "tail\n" + stat}, {{}, {}, {stat}}, 1},
        {"longest line kept", {std::string(1022, 'y') + "\n"}, {{std::string(1022, 'y') + "\n"}}, 0},
        {"a backlog of many lines", {std::string(20000, '\n')}, {std::vector<std::string>(20000, "\n")}, 0},
    };
    for (const ReaderCase& c : cases) {
        ConsoleReader reader;
        for (size_t f = 0; f < c.feeds.size(); f++) {
            reader.feed(c.feeds[f].data(), c.feeds[f].size());
            std::vector<std::string> got;
            for (;;) {
                const bool announced = reader.has_item();
                std::string line;
                const ConsoleReader::item item = reader.next(&line);
                EXPECT_EQ(announced, item != ConsoleReader::item::none) << c.name;
                if (item == ConsoleReader::item::none) break;
                got.push_back(item == ConsoleReader::item::prompt ? "P" : line);
            }
            EXPECT_EQ(got, c.items[f]) << c.name << ", feed " << f;
        }
        EXPECT_EQ(reader.dropped_lines(), c.dropped) << c.name;
    }
}

TEST(UiStatQueue, OneCommandPerPrompt) {
    ConsoleCommandQueue q;
    std::string cmd;
    // Nothing goes out before the engine's greeting.
    ASSERT_TRUE(q.push("show stat"));
    ASSERT_TRUE(q.push("set speed_in 64:128"));
    ASSERT_TRUE(q.push("show stat"));  // one query still waiting serves both
    EXPECT_EQ(q.pending(), 2u);
    EXPECT_FALSE(q.take(&cmd));

    const std::vector<std::string> order = {"show stat\n", "set speed_in 64:128\n", "set server a shutdown\n"};
    q.prompt_seen();
    ASSERT_TRUE(q.take(&cmd));
    EXPECT_EQ(cmd, order[0]);
    EXPECT_FALSE(q.take(&cmd)) << "a second command before the prompt would merge with the first";
    ASSERT_TRUE(q.push("set server a\nshutdown\n"));  // one command stays one line
    q.prompt_seen();
    ASSERT_TRUE(q.take(&cmd));
    EXPECT_EQ(cmd, order[1]);
    q.prompt_seen();
    ASSERT_TRUE(q.take(&cmd));
    EXPECT_EQ(cmd, order[2]);
    q.prompt_seen();
    EXPECT_FALSE(q.take(&cmd));
    EXPECT_TRUE(q.engine_ready());

    // A new connection waits for its own greeting; what waits is kept.
    ASSERT_TRUE(q.push("reset sessions"));
    q.restart();
    EXPECT_FALSE(q.take(&cmd));
    q.prompt_seen();
    ASSERT_TRUE(q.take(&cmd));
    EXPECT_EQ(cmd, "reset sessions\n");

    ASSERT_TRUE(q.push("show stat"));
    for (size_t i = 1; i < ConsoleCommandQueue::pending_limit; i++) EXPECT_TRUE(q.push("set speed_out " + std::to_string(i)));
    EXPECT_FALSE(q.push("set speed_out 1"));
    EXPECT_TRUE(q.push("show stat")) << "a query joins the one waiting";
    EXPECT_EQ(q.pending(), ConsoleCommandQueue::pending_limit);
}

TEST(UiStatReader, BacklogIsBounded) {
    ConsoleReader reader;
    const std::string stat = "[default][7]/1/2/3/4/5/6/0.00/8/9/0.00\n";
    std::string flood;
    while (flood.size() < 3 * ConsoleReader::backlog_limit_bytes) flood += stat;
    size_t fed = reader.feed(flood.data(), flood.size());
    EXPECT_EQ(fed, ConsoleReader::backlog_limit_bytes);
    EXPECT_EQ(reader.room(), 0u);
    std::string line;
    ASSERT_EQ(reader.next(&line), ConsoleReader::item::line);
    EXPECT_EQ(reader.room(), stat.size()) << "what was taken makes room";
    // Fed on as room is made, every line comes out once, in order.
    size_t lines = 1;
    while (reader.next(&line) == ConsoleReader::item::line) {
        lines++;
        EXPECT_EQ(line, stat);
        fed += reader.feed(flood.data() + fed, std::min(flood.size() - fed, reader.room()));
    }
    EXPECT_EQ(fed, flood.size());
    EXPECT_EQ(lines, flood.size() / stat.size());
    EXPECT_EQ(reader.backlog(), 0u);
}

class UiStatConsoleWindow : public ::testing::Test {
protected:
    void SetUp() override {
        stat_test_app();
        console = std::make_unique<FakeConsole>();  // its listener needs the application
        form = std::make_unique<StatForm>(nullptr);
        form->startStat(console->port());
        ASSERT_TRUE(stat_wait([&] { return console->peer != nullptr; }));
    }
    std::unique_ptr<FakeConsole> console;
    std::unique_ptr<StatForm> form;
};

// Lines faster than the window shows them (one per notification) wait in
// the kernel, not in the window; all of them are shown, in order.
TEST_F(UiStatConsoleWindow, FloodOfLinesIsHeldBounded) {
    console->send("Quorin>");
    ASSERT_TRUE(stat_wait([&] { return console->received == "show stat\n"; }));
    std::string flood;
    for (int i = 0; i < 20000; i++) flood += i % 2 ? "[default][7]/1/1/1/1/1/0/0.00/1/0/0.00\n" : "noise\n";
    flood += "[default][7]/2/1/1/1/1/0/0.00/1/0/0.00\n";
    int shown = 0;
    QObject::connect(form.get(), &StatForm::SetIcon, [&] { shown++; });
    console->send(flood);
    qint64 most = 0;
    ASSERT_TRUE(stat_wait([&] {
        most = std::max(most, form->consoleBytesHeld());
        return form->ui.udpin->text() == "2";
    }));
    EXPECT_EQ(shown, 10001);
    EXPECT_LE(most, qint64(2 * ConsoleReader::backlog_limit_bytes)) << flood.size();
}

// The engine ends the process after "shutdown"; a console that never
// prompts never takes it, and the interface then ends alone.
TEST_F(UiStatConsoleWindow, QuitGivesUpOnAConsoleThatNeverPrompts) {
    int quit_alone = 0;
    QObject::connect(form.get(), &StatForm::QuitWithoutEngine, [&] { quit_alone++; });
    form->setQuitWait(200);
    form->send_shut();
    EXPECT_EQ(quit_alone, 0) << "the engine is given its time";
    ASSERT_TRUE(stat_wait([&] { return quit_alone == 1; }));
    EXPECT_EQ(console->received, "");
}

}  // namespace
