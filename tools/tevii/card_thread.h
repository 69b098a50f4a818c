// One open device's thread: joinable, woken through an eventfd that its
// loop polls, stopped and joined by the device's close. A close made from
// the thread itself (a callback that stops the device) only asks it to end;
// the next start, or the destructor, joins it.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

class card_thread {
public:
    card_thread();
    ~card_thread();
    card_thread(const card_thread&) = delete;
    card_thread& operator=(const card_thread&) = delete;

    // Runs body on a new thread. False when the descriptor could not be
    // made or when called from the thread of an earlier run.
    bool start(std::function<void()> body);
    // Asks the loop to end and joins it (not when called from it).
    void stop();
    // Joins a loop that was asked to end from inside itself.
    void reap();
    bool running() const { return thread_.joinable() && !stopping_.load(); }
    bool stopping() const { return stopping_.load(std::memory_order_acquire); }
    bool on_this_thread() const { return thread_.joinable() && thread_.get_id() == std::this_thread::get_id(); }

    // The descriptor the loop polls; readable after wake().
    int wake_fd() const { return wake_fd_; }
    void wake();
    // Called by the loop when wake_fd() is readable.
    void drain();

private:
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
