// A stand-in user-interface library for the start-up tests. It writes what
// the engine handed it to the file named by QUORIN_TEST_UI_RECORD and
// returns the value of QUORIN_TEST_UI_RESULT from UIShowLoginForm. With
// QUORIN_TEST_UI_RUN set it runs the engine's start routine on a thread of
// its own and returns once that thread ends, as the real interface does;
// with QUORIN_TEST_UI_WAIT_QUIT it starts no engine and returns once
// UIQuit was called, as the real interface's login dialog would.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include "ui/ui_api.h"

namespace {

StartCallback start_routine = nullptr;
pthread_mutex_t quit_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t quit_called = PTHREAD_COND_INITIALIZER;
bool quit = false;

void record(const char* fmt, int value) {
    const char* path = std::getenv("QUORIN_TEST_UI_RECORD");
    if (!path) return;
    FILE* f = std::fopen(path, "a");
    if (!f) return;
    std::fprintf(f, fmt, value);
    std::fclose(f);
}

[[maybe_unused]] void* engine_thread(void* self) {
    start_routine(self);
    return nullptr;
}

}  // namespace

// Inside extern "C" a definition whose types differ from the header's is a
// compile error, not a silent C++ overload.
extern "C" {

#ifndef TEST_UI_NO_SHOW
int UIShowLoginForm(StartCallback start, int flag) {
    record("flag %d\n", flag);
    start_routine = start;
    if (std::getenv("QUORIN_TEST_UI_RUN")) {
        static int thread_object;
        pthread_t t;
        if (pthread_create(&t, nullptr, engine_thread, &thread_object) == 0) pthread_join(t, nullptr);
        record("engine thread ended %d\n", 0);
    } else if (std::getenv("QUORIN_TEST_UI_WAIT_QUIT")) {
        pthread_mutex_lock(&quit_lock);
        while (!quit) pthread_cond_wait(&quit_called, &quit_lock);
        pthread_mutex_unlock(&quit_lock);
    }
    const char* result = std::getenv("QUORIN_TEST_UI_RESULT");
    return result ? std::atoi(result) : 0;
}
#endif

void UIStartStat(int) { record("start stat %d\n", 0); }

void UIQuit() {
    record("quit %d\n", 0);
    pthread_mutex_lock(&quit_lock);
    quit = true;
    pthread_cond_broadcast(&quit_called);
    pthread_mutex_unlock(&quit_lock);
}

int UIProgress(ProgressStage stage) {
    record("progress %d\n", stage);
    return 0;
}

}  // extern "C"
