// Name lookups for open requests that carry a host name, done on a worker
// thread so that the server's loop never blocks on them. Results come back
// through a pipe that the loop polls.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct resolve_result {
    uint64_t ticket;
    bool ok;
    uint32_t addr_net;
};

class resolver {
public:
    // allow_dns: names that are neither dotted quads nor in /etc/hosts go to
    // the system resolver (which may leave the machine); otherwise they fail.
    explicit resolver(bool allow_dns);
    ~resolver();
    resolver(const resolver&) = delete;
    resolver& operator=(const resolver&) = delete;

    bool start();
    // False when too many lookups wait already.
    bool submit(uint64_t ticket, const std::string& host);
    int wake_fd() const { return pipe_r_; }
    std::vector<resolve_result> take_results();

private:
    void worker();

    bool allow_dns_;
    int pipe_r_ = -1;
    int pipe_w_ = -1;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::deque<std::pair<uint64_t, std::string>> queue_;
    std::vector<resolve_result> done_;
};

// Looks the name up as a dotted quad, then in the hosts file at path.
bool resolve_from_hosts(const std::string& name, const char* path, uint32_t* addr_net);
