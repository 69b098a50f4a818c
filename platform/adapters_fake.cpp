#include "platform/adapters_fake.h"

#include <mutex>

namespace adapters_fake {

namespace {

std::mutex mu;
std::vector<adapter_entry> entries;
std::vector<adapter_address> addrs;
std::vector<std::string> call_log;
int renew_error = 0;
int (*wait_answer)(uint32_t ms) = nullptr;

void note(const std::string& what) {
    std::lock_guard<std::mutex> g(mu);
    call_log.push_back(what);
}

const adapter_ops fake_ops = {
    [] {
        note("watch");
        return 1;
    },
    [](int, uint32_t ms) {
        note("wait " + std::to_string(ms));
        int (*answer)(uint32_t) = nullptr;
        {
            std::lock_guard<std::mutex> g(mu);
            answer = wait_answer;
        }
        return answer ? answer(ms) : 1;
    },
    [](int) {},
    [](std::vector<adapter_entry>* out) {
        note("list");
        std::lock_guard<std::mutex> g(mu);
        *out = entries;
        return 0;
    },
    [](std::vector<adapter_address>* out) {
        note("addresses");
        std::lock_guard<std::mutex> g(mu);
        *out = addrs;
        return 0;
    },
    [](const adapter_address& a) {
        note("release " + std::to_string(a.index));
        return 0;
    },
    [](const adapter_address& a) {
        note("renew " + std::to_string(a.index));
        std::lock_guard<std::mutex> g(mu);
        return renew_error;
    },
};

}  // namespace

void install(const std::vector<adapter_entry>& list, const std::vector<adapter_address>& addresses) {
    {
        std::lock_guard<std::mutex> g(mu);
        entries = list;
        addrs = addresses;
        call_log.clear();
        renew_error = 0;
        wait_answer = nullptr;
    }
    adapters_set_impl(&fake_ops);
}

void uninstall() { adapters_set_impl(nullptr); }

std::vector<std::string> calls() {
    std::lock_guard<std::mutex> g(mu);
    return call_log;
}

void answer_waits(int (*fn)(uint32_t ms)) {
    std::lock_guard<std::mutex> g(mu);
    wait_answer = fn;
}

void fail_renew(int err) {
    std::lock_guard<std::mutex> g(mu);
    renew_error = err;
}

}  // namespace adapters_fake
