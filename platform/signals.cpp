#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <initializer_list>

namespace {

struct stop_signals {
    sigset_t taken;
    sigset_t before;  // the mask of the starting thread, for forked children
    stop_signal_fn on_signal = nullptr;
    pthread_t waiter{};
};
stop_signals state;

bool ignored(int signo) {
    struct sigaction now {};
    return sigaction(signo, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
}

void* wait_signals(void*) {
    for (;;) {
        const int signo = sigwaitinfo(&state.taken, nullptr);
        if (signo > 0)
            state.on_signal(signo);
        else if (errno != EINTR)
            return nullptr;
    }
}

// A child runs another program, or the fork's own code: neither expects the
// signals held back for a thread that the child does not have.
void unblock_in_child() { pthread_sigmask(SIG_SETMASK, &state.before, nullptr); }

}  // namespace

bool stop_signals_start(stop_signal_fn on_signal) {
    if (state.on_signal || !on_signal) return false;
    sigemptyset(&state.taken);
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        if (!ignored(signo)) sigaddset(&state.taken, signo);
    if (sigisemptyset(&state.taken)) return true;
    state.on_signal = on_signal;
    if (pthread_sigmask(SIG_BLOCK, &state.taken, &state.before) != 0) return false;
    // The waiter starts with the signals blocked too, as sigwaitinfo wants,
    // and lives as long as the process.
    if (pthread_create(&state.waiter, nullptr, wait_signals, nullptr) != 0) {
        pthread_sigmask(SIG_SETMASK, &state.before, nullptr);
        state.on_signal = nullptr;
        return false;
    }
    pthread_atfork(nullptr, nullptr, unblock_in_child);
    return true;
}
