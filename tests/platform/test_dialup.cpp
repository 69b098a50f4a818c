// Dial-up over pppd, with a fake pppd and scratch peer and run directories.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialup.h"

namespace {

namespace fs = std::filesystem;

class DialupTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("quorin-dialup-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "peers");
        fs::create_directories(root / "run");
        saved = dialup_get_paths();
        dialup_set_paths({(root / "peers").string(), (root / "run").string(), QUORIN_TEST_DATA "/fake_pppd"});
        // The fake pppd finds the directories the way the library does.
        setenv("QUORIN_PPP_PEERS", (root / "peers").c_str(), 1);
        setenv("QUORIN_PPP_RUNDIR", (root / "run").c_str(), 1);
    }
    void TearDown() override {
        // Nothing a test dialled stays up.
        std::vector<dialup_connection> links;
        dialup_connections(&links);
        for (const dialup_connection& c : links) kill(c.pid, SIGKILL);
        dialup_set_paths(saved);
        unsetenv("QUORIN_PPP_PEERS");
        unsetenv("QUORIN_PPP_RUNDIR");
        fs::remove_all(root);
    }
    void peer(const std::string& name, const std::string& text = "") { std::ofstream(root / "peers" / name) << text; }

    // Dials and waits for the outcome: 1 up, -1 failed.
    int dial(const std::string& entry, int* error) {
        dialup_call call;
        const int err = dialup_dial_start(entry, &call);
        if (err != 0) {
            *error = err;
            return -1;
        }
        for (int i = 0; i < 3000; ++i) {
            const int state = dialup_dial_poll(&call, error);
            if (state != 0) return state;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return 0;
    }

    bool wait_gone(const dialup_connection& c) {
        for (int i = 0; i < 3000; ++i) {
            if (!dialup_connection_alive(c)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    fs::path root;
    dialup_paths saved;
};

TEST_F(DialupTest, EntriesAreThePeerFilesSorted) {
    peer("work");
    peer("home");
    peer(".hidden");
    fs::create_directories(root / "peers" / "subdir");
    EXPECT_EQ(dialup_entries(), (std::vector<std::string>{"home", "work"}));
    dialup_set_paths({(root / "missing").string(), (root / "run").string(), "/nonexistent"});
    EXPECT_TRUE(dialup_entries().empty());
}

TEST_F(DialupTest, DialledLinkIsAConnectionUntilHungUp) {
    peer("isp");
    int error = -1;
    ASSERT_EQ(dial("isp", &error), 1);
    EXPECT_EQ(error, 0);
    std::vector<dialup_connection> links;
    ASSERT_EQ(dialup_connections(&links), 0);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].entry, "isp");
    EXPECT_TRUE(dialup_connection_alive(links[0]));
    EXPECT_EQ(dialup_hang_up(links[0]), 0);
    EXPECT_TRUE(wait_gone(links[0]));
    ASSERT_EQ(dialup_connections(&links), 0);
    EXPECT_TRUE(links.empty());
}

TEST_F(DialupTest, FailedDialReportsPppdsExitStatus) {
    struct failure_case {
        const char* peer_text;
        int error;
    } cases[] = {{"fail 8\n", 8}, {"fail 19\n", 19}};
    for (const failure_case& c : cases) {
        peer("bad", c.peer_text);
        int error = 0;
        EXPECT_EQ(dial("bad", &error), -1) << c.peer_text;
        EXPECT_EQ(error, c.error) << c.peer_text;
    }
    int error = 0;
    EXPECT_EQ(dial("no-such-peer", &error), -1);
    EXPECT_EQ(error, 2) << "pppd's option error";
}

TEST_F(DialupTest, MissingPppdFailsToStart) {
    dialup_set_paths({(root / "peers").string(), (root / "run").string(), (root / "no-pppd").string()});
    dialup_call call;
    EXPECT_EQ(dialup_dial_start("isp", &call), ENOENT);
    EXPECT_EQ(call.pid, -1);
}

TEST_F(DialupTest, CancelStopsADialling) {
    peer("slow", "delay 30\n");
    dialup_call call;
    ASSERT_EQ(dialup_dial_start("slow", &call), 0);
    int error = 0;
    EXPECT_EQ(dialup_dial_poll(&call, &error), 0);
    dialup_dial_cancel(&call, &error);
    EXPECT_NE(error, 0);
    EXPECT_EQ(call.pid, -1);
    std::vector<dialup_connection> links;
    dialup_connections(&links);
    EXPECT_TRUE(links.empty());
}

TEST_F(DialupTest, StalePidFileIsNoConnection) {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    std::ofstream(root / "run" / "ppp-old.pid") << child << "\nppp0\n";
    std::ofstream(root / "run" / "unrelated.pid") << getpid() << "\n";
    std::vector<dialup_connection> links;
    ASSERT_EQ(dialup_connections(&links), 0);
    EXPECT_TRUE(links.empty());
    dialup_set_paths({(root / "peers").string(), (root / "no-run").string(), "/nonexistent"});
    EXPECT_NE(dialup_connections(&links), 0);
}

}  // namespace
