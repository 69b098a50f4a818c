#include "tools/tevii/card_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

card_thread::card_thread() : wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

card_thread::~card_thread() {
    stop();
    if (thread_.joinable()) thread_.detach();  // only when destroyed from its own thread
    if (wake_fd_ >= 0) close(wake_fd_);
}

bool card_thread::start(std::function<void()> body) {
    if (wake_fd_ < 0 || on_this_thread()) return false;
    if (thread_.joinable()) thread_.join();  // ended from inside itself
    drain();
    stopping_.store(false);
    thread_ = std::thread(std::move(body));
    return true;
}

void card_thread::stop() {
    stopping_.store(true, std::memory_order_release);
    wake();
    if (thread_.joinable() && !on_this_thread()) thread_.join();
}

void card_thread::reap() {
    if (thread_.joinable() && stopping() && !on_this_thread()) thread_.join();
}

void card_thread::wake() {
    const uint64_t one = 1;
    ssize_t n = write(wake_fd_, &one, sizeof one);
    (void)n;
}

void card_thread::drain() {
    uint64_t count = 0;
    ssize_t n = read(wake_fd_, &count, sizeof count);
    (void)n;
}
