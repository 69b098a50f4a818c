#include "tools/refserver/resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

// Lookups waiting for the worker; more than this is a client flooding us.
constexpr size_t resolve_queue_max = 1024;

}  // namespace

bool resolve_from_hosts(const std::string& name, const char* path, uint32_t* addr_net) {
    in_addr a{};
    if (inet_pton(AF_INET, name.c_str(), &a) == 1) {
        *addr_net = a.s_addr;
        return true;
    }
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char line[1024];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) {
        if (char* hash = std::strchr(line, '#')) *hash = '\0';
        std::istringstream words(line);
        std::string addr, alias;
        if (!(words >> addr)) continue;
        in_addr candidate{};
        if (inet_pton(AF_INET, addr.c_str(), &candidate) != 1) continue;
        while (words >> alias) {
            if (strcasecmp(alias.c_str(), name.c_str()) == 0) {
                *addr_net = candidate.s_addr;
                found = true;
                break;
            }
        }
    }
    std::fclose(f);
    return found;
}

resolver::resolver(bool allow_dns) : allow_dns_(allow_dns) {}

resolver::~resolver() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (pipe_r_ >= 0) close(pipe_r_);
    if (pipe_w_ >= 0) close(pipe_w_);
}

bool resolver::start() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    pipe_r_ = fds[0];
    pipe_w_ = fds[1];
    thread_ = std::thread([this] { worker(); });
    return true;
}

bool resolver::submit(uint64_t ticket, const std::string& host) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (queue_.size() >= resolve_queue_max) return false;
        queue_.emplace_back(ticket, host);
    }
    cv_.notify_one();
    return true;
}

std::vector<resolve_result> resolver::take_results() {
    char drain[256];
    while (read(pipe_r_, drain, sizeof drain) > 0) {
    }
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<resolve_result> out;
    out.swap(done_);
    return out;
}

void resolver::worker() {
    for (;;) {
        std::pair<uint64_t, std::string> job;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        resolve_result r{job.first, false, 0};
        r.ok = resolve_from_hosts(job.second, "/etc/hosts", &r.addr_net);
        if (!r.ok && allow_dns_) {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* res = nullptr;
            if (getaddrinfo(job.second.c_str(), nullptr, &hints, &res) == 0 && res) {
                r.addr_net = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
                r.ok = true;
                freeaddrinfo(res);
            }
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            done_.push_back(r);
        }
        const char one = 1;
        // A full pipe already holds a wake-up; losing this byte is harmless.
        ssize_t w = write(pipe_w_, &one, 1);
        (void)w;
    }
}
