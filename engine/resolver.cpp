#include "engine/resolver.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/net.h"

namespace {

constexpr size_t workers_max = 4;
// Lookups queued or under way; more than this is a server asking for names
// faster than any resolver answers.
constexpr size_t lookups_max = 1024;

struct resolver_pool {
    pid_t owner = 0;
    int wake_r = -1;
    int wake_w = -1;
    std::mutex mu;
    std::condition_variable cv;
    bool stopping = false;
    std::deque<std::pair<uint64_t, std::string>> jobs;
    std::vector<name_result> done;
    std::vector<std::thread> workers;
    size_t idle = 0;
};

resolver_pool* pool = nullptr;

void worker(resolver_pool* p) {
    std::unique_lock<std::mutex> lock(p->mu);
    for (;;) {
        p->cv.wait(lock, [p] { return p->stopping || !p->jobs.empty(); });
        if (p->stopping) return;
        std::pair<uint64_t, std::string> job = std::move(p->jobs.front());
        p->jobs.pop_front();
        p->idle--;
        lock.unlock();
        uint32_t addr = 0;
        const bool ok = resolve_ipv4(job.second.c_str(), &addr);
        lock.lock();
        p->done.push_back(name_result{job.first, ok, addr});
        p->idle++;
        // A full pipe already holds a wake-up.
        const char one = 1;
        const ssize_t w = write(p->wake_w, &one, 1);
        (void)w;
    }
}

// A forked child has none of its parent's workers; their record, locks and
// all, belong to the parent and are left alone (only the child's copies of
// the descriptors are closed). The child starts a pool of its own.
resolver_pool* pool_here() {
    if (pool && pool->owner != getpid()) {
        close(pool->wake_r);
        close(pool->wake_w);
        pool = nullptr;
    }
    return pool;
}

resolver_pool* pool_start() {
    static bool at_exit = false;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
    pool = new resolver_pool();
    pool->owner = getpid();
    pool->wake_r = fds[0];
    pool->wake_w = fds[1];
    if (!at_exit) {
        at_exit = true;
        std::atexit(resolver_stop);
    }
    return pool;
}

}  // namespace

bool resolver_submit(uint64_t serial, const char* name) {
    resolver_pool* p = pool_here();
    if (!p) p = pool_start();
    if (!p) return false;
    std::lock_guard<std::mutex> lock(p->mu);
    const size_t busy = p->workers.size() - p->idle;
    if (p->jobs.size() + busy >= lookups_max) return false;
    if (p->idle <= p->jobs.size() && p->workers.size() < workers_max) {
        try {
            p->workers.emplace_back(worker, p);
            p->idle++;
        } catch (const std::system_error&) {
            if (p->workers.empty()) return false;
        }
    }
    p->jobs.emplace_back(serial, name);
    p->cv.notify_one();
    return true;
}

int resolver_wake_fd() {
    const resolver_pool* p = pool_here();
    return p ? p->wake_r : -1;
}

std::vector<name_result> resolver_take() {
    std::vector<name_result> out;
    resolver_pool* p = pool_here();
    if (!p) return out;
    // Workers write their wake-up under the lock too: a byte left behind
    // always stands for a result not yet taken.
    std::lock_guard<std::mutex> lock(p->mu);
    char drain[256];
    while (read(p->wake_r, drain, sizeof drain) > 0) {
    }
    out.swap(p->done);
    return out;
}

void resolver_stop() {
    resolver_pool* p = pool_here();
    if (!p) return;
    {
        std::lock_guard<std::mutex> lock(p->mu);
        p->stopping = true;
    }
    p->cv.notify_all();
    for (std::thread& t : p->workers) t.join();
    close(p->wake_r);
    close(p->wake_w);
    delete p;
    pool = nullptr;
}
