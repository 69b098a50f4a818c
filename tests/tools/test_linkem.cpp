// Link emulator: the link model on simulated time, the option parser, and
// the relay program moving real datagrams over loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/linkem/link_model.h"
#include "tools/linkem/options.h"

using linkem::LinkDirection;
using linkem::LinkParams;

namespace {

struct Departure {
    int64_t at_us;
    uint32_t id;
};

std::vector<uint8_t> payload(uint32_t id, size_t len) {
    std::vector<uint8_t> p(std::max<size_t>(len, 4), 0xA5);
    std::memcpy(p.data(), &id, 4);
    return p;
}

uint32_t id_of(const std::vector<uint8_t>& p) {
    uint32_t id = 0;
    std::memcpy(&id, p.data(), 4);
    return id;
}

// Feeds `count` datagrams of `len` bytes, one every `spacing_us`, and drains
// the link at every microsecond where something is due, as the relay does.
std::vector<Departure> run_link(LinkDirection& link, int count, size_t len, int64_t spacing_us) {
    std::vector<Departure> out;
    std::vector<uint8_t> buf;
    auto drain_until = [&](int64_t t) {
        while (link.next_departure_us() <= t) {
            int64_t at = link.next_departure_us();
            ASSERT_TRUE(link.pop_due(at, &buf));
            out.push_back({at, id_of(buf)});
        }
    };
    for (int i = 0; i < count; i++) {
        int64_t now = i * spacing_us;
        drain_until(now);
        auto p = payload(static_cast<uint32_t>(i), len);
        link.submit(now, p.data(), p.size());
    }
    drain_until(INT64_MAX - 1);
    return out;
}

}  // namespace

TEST(LinkModel, LossRateFollowsPercentageForFixedSeed) {
    struct Case {
        double pct;
        uint64_t lo, hi;
    } cases[] = {{0, 0, 0}, {1, 150, 250}, {10, 1850, 2150}, {50, 9700, 10300}, {100, 20000, 20000}};
    for (const Case& c : cases) {
        LinkParams p;
        p.loss_pct = c.pct;
        LinkDirection link(p, 42);
        auto out = run_link(link, 20000, 100, 1000);
        SCOPED_TRACE(c.pct);
        EXPECT_GE(link.stats().lost, c.lo);
        EXPECT_LE(link.stats().lost, c.hi);
        EXPECT_EQ(out.size(), 20000 - link.stats().lost);
        EXPECT_EQ(link.held_count(), 0u);
        EXPECT_EQ(link.held_bytes(), 0u);
    }
}

TEST(LinkModel, SameSeedSameDecisionsOtherSeedOthers) {
    LinkParams p;
    p.loss_pct = 20;
    p.dup_pct = 5;
    p.jitter_ms = 3;
    p.delay_ms = 10;
    p.reorder_pct = 5;
    auto ids = [&](uint64_t seed) {
        LinkDirection link(p, seed);
        std::vector<std::pair<int64_t, uint32_t>> v;
        for (const Departure& d : run_link(link, 2000, 200, 500)) v.push_back({d.at_us, d.id});
        return v;
    };
    EXPECT_EQ(ids(7), ids(7));
    EXPECT_NE(ids(7), ids(8));
}

TEST(LinkModel, RateSpacesDeparturesBySerializationTime) {
    // 97 payload bytes + 28 header bytes = 1000 bits: 1 ms at 1000 kbit/s.
    LinkParams p;
    p.rate_kbitps = 1000;
    p.delay_ms = 100;
    LinkDirection link(p);
    std::vector<uint8_t> buf;
    auto d = payload(0, 97);
    for (int i = 0; i < 10; i++) ASSERT_EQ(link.submit(0, d.data(), d.size()), 1);
    for (int i = 1; i <= 10; i++) {
        int64_t due = 100000 + i * 1000;
        EXPECT_EQ(link.next_departure_us(), due);
        EXPECT_FALSE(link.pop_due(due - 1, &buf));
        EXPECT_TRUE(link.pop_due(due, &buf));
        EXPECT_EQ(buf.size(), 97u);
    }
    // After the queue has drained, a new datagram is not charged for the
    // idle time: it leaves one serialization time after its arrival.
    link.submit(500000, d.data(), d.size());
    EXPECT_EQ(link.next_departure_us(), 500000 + 1000 + 100000);
}

TEST(LinkModel, RateKeepsLongRunThroughput) {
    // 1472-byte datagrams offered at twice the rate of 2000 kbit/s with a
    // queue long enough to hold them all: the last leaves when every bit
    // has been serialized.
    LinkParams p;
    p.rate_kbitps = 2000;
    p.queue_ms = 1e6;
    LinkDirection link(p);
    auto out = run_link(link, 1000, 1472, 3000);
    ASSERT_EQ(out.size(), 1000u);
    double bits = 1000.0 * (1472 + 28) * 8;
    EXPECT_NEAR(static_cast<double>(out.back().at_us), bits * 1000 / 2000, 2);
    for (size_t i = 1; i < out.size(); i++) EXPECT_GE(out[i].at_us - out[i - 1].at_us, 5999);
}

TEST(LinkModel, DelayAndJitterStayWithinBoundsAndKeepOrder) {
    LinkParams p;
    p.delay_ms = 100;
    p.jitter_ms = 20;
    LinkDirection link(p, 3);
    const int64_t spacing = 10000;
    auto out = run_link(link, 5000, 100, spacing);
    ASSERT_EQ(out.size(), 5000u);
    int64_t lo = INT64_MAX, hi = 0;
    for (size_t i = 0; i < out.size(); i++) {
        EXPECT_EQ(out[i].id, i);
        int64_t delay = out[i].at_us - static_cast<int64_t>(out[i].id) * spacing;
        lo = std::min(lo, delay);
        hi = std::max(hi, delay);
    }
    EXPECT_GE(lo, 80000);
    EXPECT_LE(hi, 120000);
    // The whole range is used, not only its middle.
    EXPECT_LT(lo, 81000);
    EXPECT_GT(hi, 119000);
}

TEST(LinkModel, ReorderLetsLaterDatagramsOvertake) {
    LinkParams p;
    p.delay_ms = 50;
    p.reorder_pct = 10;
    p.reorder_gap_ms = 5;
    LinkDirection link(p, 11);
    auto out = run_link(link, 10000, 100, 1000);
    ASSERT_EQ(out.size(), 10000u);
    EXPECT_GT(link.stats().reordered, 850u);
    EXPECT_LT(link.stats().reordered, 1150u);
    std::vector<bool> seen(10000, false);
    uint64_t overtaken = 0;
    for (size_t i = 0; i < out.size(); i++) {
        ASSERT_FALSE(seen[out[i].id]);
        seen[out[i].id] = true;
        if (i > 0 && out[i].id < out[i - 1].id) overtaken++;
        int64_t delay = out[i].at_us - static_cast<int64_t>(out[i].id) * 1000;
        EXPECT_TRUE(delay == 50000 || delay == 55000) << delay;
    }
    // Each held-back datagram is passed by the five that follow it.
    EXPECT_GT(overtaken, 800u);
}

TEST(LinkModel, DuplicatesArriveTwiceAtMost) {
    LinkParams p;
    p.dup_pct = 10;
    p.delay_ms = 1;
    LinkDirection link(p, 5);
    auto out = run_link(link, 10000, 64, 100);
    std::map<uint32_t, int> copies;
    for (const Departure& d : out) copies[d.id]++;
    EXPECT_EQ(copies.size(), 10000u);
    int twice = 0;
    for (auto& kv : copies) {
        EXPECT_LE(kv.second, 2);
        twice += kv.second == 2;
    }
    EXPECT_EQ(static_cast<uint64_t>(twice), link.stats().duplicated);
    EXPECT_GT(twice, 850);
    EXPECT_LT(twice, 1150);
    EXPECT_EQ(out.size(), 10000u + twice);
}

TEST(LinkModel, QueueBoundDropsTailByTimeAndByBytes) {
    {
        // 1 ms per datagram, room for 100 ms of backlog: 101 fit.
        LinkParams p;
        p.rate_kbitps = 1000;
        p.queue_ms = 100;
        LinkDirection link(p);
        auto d = payload(0, 97);
        int accepted = 0;
        for (int i = 0; i < 1000; i++) accepted += link.submit(0, d.data(), d.size());
        EXPECT_EQ(accepted, 101);
        EXPECT_EQ(link.stats().queue_dropped, 899u);
        // 10 ms later the backlog is 91 ms: room for 10 more.
        accepted = 0;
        for (int i = 0; i < 100; i++) accepted += link.submit(10000, d.data(), d.size());
        EXPECT_EQ(accepted, 10);
    }
    {
        // No rate, a long delay line: memory is bounded by the byte cap,
        // each datagram charged its payload plus the entry overhead.
        LinkParams p;
        p.delay_ms = 1000;
        p.queue_bytes = 10 * (1000 + linkem::held_entry_overhead_bytes);
        LinkDirection link(p);
        auto d = payload(0, 1000);
        for (int i = 0; i < 50; i++) link.submit(i, d.data(), d.size());
        EXPECT_EQ(link.held_count(), 10u);
        EXPECT_LE(link.held_bytes(), p.queue_bytes);
        auto tiny = payload(0, 0);
        for (int i = 0; i < 100000; i++) link.submit(100, tiny.data(), 0);
        EXPECT_LE(link.held_bytes(), p.queue_bytes);
        EXPECT_EQ(link.held_count(), 10u);
    }
}

TEST(LinkOptions, PerDirectionWinsOverPlainInAnyOrder) {
    const char* argv[] = {"linkem", "--down-rate", "8000", "--rate=512", "--listen", "127.0.0.1:0",
                          "--server", "127.0.0.1:9000", "--up-loss", "1.5", "--loss", "3",
                          "--delay", "300", "--seed", "99", "--down-jitter=4"};
    linkem::Options o;
    std::string err;
    ASSERT_TRUE(linkem::parse_options(sizeof argv / sizeof *argv, argv, &o, &err)) << err;
    EXPECT_EQ(o.listen.host, "127.0.0.1");
    EXPECT_EQ(o.listen.port, 0);
    EXPECT_EQ(o.server.port, 9000);
    EXPECT_EQ(o.up.rate_kbitps, 512);
    EXPECT_EQ(o.down.rate_kbitps, 8000);
    EXPECT_EQ(o.up.loss_pct, 1.5);
    EXPECT_EQ(o.down.loss_pct, 3);
    EXPECT_EQ(o.up.delay_ms, 300);
    EXPECT_EQ(o.down.delay_ms, 300);
    EXPECT_EQ(o.up.jitter_ms, 0);
    EXPECT_EQ(o.down.jitter_ms, 4);
    EXPECT_EQ(o.seed, 99u);
}

TEST(LinkOptions, RejectsBadInput) {
    struct Case {
        std::vector<const char*> args;
        const char* why;
    } cases[] = {
        {{"--listen", ":0"}, "both --listen and --server"},
        {{"--listen", ":0", "--server", "127.0.0.1:0"}, "non-zero port"},
        {{"--listen", "127.0.0.1", "--server", "127.0.0.1:1"}, "bad address"},
        {{"--listen", ":70000", "--server", "127.0.0.1:1"}, "bad address"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--loss", "101"}, "bad value"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--delay", "-1"}, "bad value"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--rate", "nan"}, "bad value"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--jitter", "5ms"}, "bad value"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--queue-bytes", "1e12"}, "bad value"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--sideways-loss", "1"}, "unknown option"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--seed", "-3"}, "bad value"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "--loss"}, "needs a value"},
        {{"--listen", ":0", "--server", "127.0.0.1:1", "stray"}, "unexpected argument"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"linkem"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        linkem::Options o;
        std::string err;
        SCOPED_TRACE(c.why);
        EXPECT_FALSE(linkem::parse_options(static_cast<int>(argv.size()), argv.data(), &o, &err));
        EXPECT_NE(err.find(c.why), std::string::npos) << err;
    }
    linkem::Endpoint ep;
    ASSERT_TRUE(linkem::parse_endpoint("[::1]:53", &ep));
    EXPECT_EQ(ep.host, "::1");
    EXPECT_EQ(ep.port, 53);
    EXPECT_FALSE(linkem::parse_endpoint("::1:53", &ep));
}

// The relay program itself on loopback: datagrams pass byte-exact in both
// directions, and answers follow the client when its address changes.
namespace {

int udp_socket_on_loopback(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// Waits for one datagram; a generous bound only turns a hang into a failure.
bool recv_one(int fd, std::vector<uint8_t>* out, sockaddr_in* from) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return false;
    out->resize(65535);
    socklen_t len = sizeof *from;
    ssize_t n = recvfrom(fd, out->data(), out->size(), 0, reinterpret_cast<sockaddr*>(from), &len);
    if (n < 0) return false;
    out->resize(static_cast<size_t>(n));
    return true;
}

bool send_to_port(int fd, const std::vector<uint8_t>& data, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(data.size());
}

struct RelayProcess {
    pid_t pid = -1;
    uint16_t port = 0;

    bool start(uint16_t server_port) {
        int out[2];
        if (pipe(out) != 0) return false;
        std::string bin = std::string(QUORIN_BIN_DIR) + "/linkem";
        std::string server = "127.0.0.1:" + std::to_string(server_port);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execl(bin.c_str(), "linkem", "--listen", "127.0.0.1:0", "--server", server.c_str(), "--delay", "2",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 && read(out[0], &c, 1) == 1) {
            line += c;
        }
        close(out[0]);
        if (line.compare(0, 7, "LISTEN ") != 0) return false;
        port = static_cast<uint16_t>(std::stoi(line.substr(7)));
        return port != 0;
    }

    int stop() {
        if (pid <= 0) return -1;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~RelayProcess() { stop(); }
};

}  // namespace

TEST(LinkRelay, RelaysBothWaysAndFollowsTheClient) {
    uint16_t server_port = 0, client_port = 0, moved_port = 0;
    int server = udp_socket_on_loopback(&server_port);
    int client = udp_socket_on_loopback(&client_port);
    int moved = udp_socket_on_loopback(&moved_port);
    ASSERT_GE(server, 0);
    ASSERT_GE(client, 0);
    ASSERT_GE(moved, 0);
    RelayProcess relay;
    ASSERT_TRUE(relay.start(server_port));

    std::vector<uint8_t> got;
    sockaddr_in from{};
    sockaddr_in relay_side{};
    for (uint32_t i = 0; i < 20; i++) {
        auto d = payload(i, 1 + i * 70);
        ASSERT_TRUE(send_to_port(client, d, relay.port));
        ASSERT_TRUE(recv_one(server, &got, &relay_side));
        EXPECT_EQ(got, d);
        auto answer = payload(1000 + i, 1400);
        ASSERT_EQ(sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&relay_side),
                         sizeof relay_side),
                  static_cast<ssize_t>(answer.size()));
        ASSERT_TRUE(recv_one(client, &got, &from));
        EXPECT_EQ(got, answer);
        EXPECT_EQ(ntohs(from.sin_port), relay.port);
    }

    // The client moves to another port: answers go there from then on.
    auto d = payload(77, 10);
    ASSERT_TRUE(send_to_port(moved, d, relay.port));
    ASSERT_TRUE(recv_one(server, &got, &relay_side));
    auto answer = payload(78, 10);
    sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&relay_side), sizeof relay_side);
    ASSERT_TRUE(recv_one(moved, &got, &from));
    EXPECT_EQ(got, answer);

    EXPECT_EQ(relay.stop(), 0);
    close(server);
    close(client);
    close(moved);
}
