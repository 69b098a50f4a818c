#include "engine/startup.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/config.h"
#include "engine/console.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "platform/dynlib.h"
#include "platform/files.h"
#include "platform/msgbox.h"
#include "platform/signals.h"
#include "platform/sleep.h"
#include "protocol/fifo.h"

namespace {

// Who answers a stop signal: while only the interface runs (no engine
// yet), the interface quits; while the engine prepares and has changed
// nothing on the machine, the process ends at once (stopped_early);
// otherwise the signal is kept for the bring-up's waits and the engine's
// loop, which take the console's shutdown road (headless, and with the
// interface). Changed under the lock by the main thread, the engine thread
// and the signal thread.
enum class process_phase { starting, interface_only, interface_quitting, engine_preparing, stopped_early, engine };

struct process_state {
    std::mutex lock;
    process_phase phase = process_phase::starting;
    std::atomic<int> stop_signal{0};
    // The interface runs on the main thread; the engine on a thread of its own.
    pthread_t main_thread{};
    bool interface_runs = false;
    std::atomic<bool> failed{false};  // a fatal error ends the process through the interface
};
process_state proc;

// The engine thread after a stop signal that ends the process elsewhere.
[[noreturn]] void engine_thread_ends() { pthread_exit(nullptr); }

// A stop signal while nothing on the machine has been changed: there is
// nothing to give back, and the engine thread may be held anywhere (a name
// lookup, say), so the process ends without it.
void end_before_changes(int signo) {
    log_msg(1, "Signal %d received\n", signo);
    bool through_interface;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        through_interface = proc.interface_runs && ui.UIQuit;
    }
    // The interface ends as on its own quit; the engine thread ends at its
    // next stop point.
    if (through_interface) {
        ui.UIQuit();
        return;
    }
    std::fflush(stdout);
    // exit() would run the destructors under the engine thread's feet.
    std::_Exit(255);
}

// The interface could not open its display: everything goes on as without
// the library.
void forget_interface() {
    std::lock_guard<std::mutex> g(proc.lock);
    ui = ui_bindings{};
    proc.interface_runs = false;
    if (proc.phase == process_phase::interface_only) proc.phase = process_phase::starting;
}

template <typename T>
void bind_symbol(void* lib, const char* name, T& slot) {
    slot = reinterpret_cast<T>(dynlib_symbol(lib, name));
}

}  // namespace

void take_stop_signal(int signo) {
    decltype(ui.UIQuit) quit = nullptr;
    bool end_now = false;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        if (proc.phase == process_phase::interface_only && ui.UIQuit) {
            proc.phase = process_phase::interface_quitting;
            quit = ui.UIQuit;
        } else {
            if (proc.stop_signal == 0) proc.stop_signal = signo;
            end_now = proc.phase == process_phase::engine_preparing;
            if (end_now) proc.phase = process_phase::stopped_early;
        }
    }
    // Nothing of the engine runs yet: the interface ends as on its own quit.
    if (quit) quit();
    if (end_now) end_before_changes(signo);
}

void engine_stop_point() {
    bool stopped;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        stopped = proc.phase == process_phase::stopped_early;
    }
    if (stopped) engine_thread_ends();
}

void engine_commit() {
    bool stopped;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        stopped = proc.phase == process_phase::stopped_early;
        if (proc.phase == process_phase::engine_preparing) proc.phase = process_phase::engine;
    }
    if (stopped) engine_thread_ends();
}

bool wait_unless_stopped(uint32_t ms) {
    for (;;) {
        if (stop_signal_received()) return false;
        if (ms == 0) return true;
        const uint32_t slice = ms < stop_check_ms ? ms : stop_check_ms;
        sleep_ms(slice);
        ms -= slice;
    }
}

void shutdown_if_stopped() {
    if (const int signo = stop_signal_received()) {
        log_msg(1, "Signal %d received\n", signo);
        shutdown_sequence();
    }
}

void quorin_main(int argc, char** argv) {
    proc.main_thread = pthread_self();
    // Before any other thread: every thread started later holds the stop
    // signals back for the waiting thread.
    stop_signals_start(take_stop_signal);
    runtime_defaults();
    last_compaction = clock_now();
    log_buffer();
    std::memset(log_line, 0, log_buffer_bytes);
    config_tables_alloc();
    scratch = static_cast<uint8_t*>(mymalloc(scratch_bytes, 1));

    std::printf("Buffer size fifo %d\n", int(fifo_node_bytes));
    std::printf("QuorIn(tm) %d.%d.%d%s, Build %s %s\n", quorin_version_major, quorin_version_minor,
                quorin_version_build, quorin_version_suffix, quorin_build_date, quorin_build_time);
    std::printf("Web: http://www.quorin.example.invalid/  Support: support@quorin.example.invalid\n");
    std::fflush(stdout);

    load_ui(argc, argv);
    std::exit(-1);
}

int load_ui(int argc, char** argv) {
    void* lib = dynlib_load(QUORIN_UI_DLL);
    if (!lib) {
        engine_main(nullptr);
        return 0;
    }
    // 0 asks the interface to connect at once with the existing configuration.
    int fast_start = 1;
    if (argc == 2) fast_start = std::strncmp(argv[1], "faststart", 9);

    bind_symbol(lib, "UIShowLoginForm", ui.UIShowLoginForm);
    bind_symbol(lib, "UIStartStat", ui.UIStartStat);
    bind_symbol(lib, "UIQuit", ui.UIQuit);
    bind_symbol(lib, "UIProgress", ui.UIProgress);
    if (!ui.UIShowLoginForm) {
        message_box("Invalid UI dll", "Error!");
        return 0;
    }
    bool stopped;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        stopped = proc.stop_signal != 0;
        if (!stopped) {
            proc.phase = process_phase::interface_only;
            proc.interface_runs = true;
        }
    }
    // Stopped before anything was shown: there is nothing to end.
    if (stopped) std::exit(1);
    const int result = ui.UIShowLoginForm(engine_main, fast_start);
    if (result == ui_result_no_display) {
        const char* display = std::getenv("DISPLAY");
        std::fprintf(stderr, "Cannot open display \"%s\": running without the interface\n", display ? display : "");
        std::fflush(stderr);
        forget_interface();
        engine_main(nullptr);
        return 0;
    }
    if (proc.failed || result != 1) std::exit(1);
    return 0;
}

void bind_tunnel_library() {
    tun = tun_bindings{};
    tunnel_available = 0;
    void* lib = dynlib_load(TUN_DLL);
    if (!lib) return;
    tunnel_available = 1;
    bind_symbol(lib, "InitTun", tun.InitTun);
    bind_symbol(lib, "SetTunMediaStatus", tun.SetTunMediaStatus);
    bind_symbol(lib, "SetTunPtP", tun.SetTunPtP);
    bind_symbol(lib, "SetTunDHCP", tun.SetTunDHCP);
    bind_symbol(lib, "SetTunDNS", tun.SetTunDNS);
    bind_symbol(lib, "SetTunRedirIP", tun.SetTunRedirIP);
    bind_symbol(lib, "SetTunTcpListenPort", tun.SetTunTcpListenPort);
    bind_symbol(lib, "GetTcpRedirDstIP", tun.GetTcpRedirDstIP);
    bind_symbol(lib, "GetTcpRedirDstPort", tun.GetTcpRedirDstPort);
    bind_symbol(lib, "StartTunThread", tun.StartTunThread);
    bind_symbol(lib, "SetTcpRedirPortFordel", tun.SetTcpRedirPortFordel);
    bind_symbol(lib, "SetTunControlPort", tun.SetTunControlPort);
    bind_symbol(lib, "SetTapGuid", tun.SetTapGuid);
    bind_symbol(lib, "end_work", tun.end_work);
    bind_symbol(lib, "recvbuf", tun.recvbuf);
    bind_symbol(lib, "sendbuf", tun.sendbuf);
    // The redirect lookups, the control port and end_work came later to the
    // library; an older library still carries packets without them.
    const bool complete = tun.recvbuf && tun.sendbuf && tun.InitTun && tun.SetTunMediaStatus && tun.SetTunPtP &&
                          tun.SetTunDHCP && tun.SetTunDNS && tun.SetTunRedirIP && tun.SetTunTcpListenPort &&
                          tun.StartTunThread && tun.SetTcpRedirPortFordel && tun.SetTapGuid;
    if (!complete) tunnel_available = 0;
}

int engine_main(void*) {
    int early;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        // A stop signal ended the interface before the engine thread ran.
        if (proc.phase == process_phase::interface_quitting) return 0;
        // Headless, one may have come before the engine started.
        early = proc.stop_signal;
        proc.phase = early ? process_phase::stopped_early : process_phase::engine_preparing;
    }
    if (early) {
        end_before_changes(early);
        engine_thread_ends();
    }
    log_install_protocol_hooks();
    // Sockets whose peer went away must fail a send, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    // A FIFO would hold the engine until some writer came; a directory
    // opens and reads as an empty file.
    const int fd = open_regular_file(config_file_name, O_RDONLY);
    if (fd < 0) {
        message_box("Config file open error2", "Error");
        std::fprintf(stderr, "error opening config file\n");
        engine_fail_exit();
    }
    close(fd);

    bind_tunnel_library();
    poll_reset();
    ui_progress(1);
    read_config();
    engine_commit();
    ui_progress(8);
    if (ui.UIStartStat) ui.UIStartStat(0);
    main_loop();
}

int ui_progress(int stage) { return ui.UIProgress ? ui.UIProgress(stage) : -1; }

int stop_signal_received() { return proc.stop_signal; }

void engine_fail_exit() {
    bool through_interface;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        through_interface =
            proc.interface_runs && ui.UIQuit && !pthread_equal(pthread_self(), proc.main_thread);
    }
    // Without the interface the process ends here. With it, an exit from
    // this thread would tear down what the interface's thread is using
    // (its windows, the libraries' statics): the interface ends first, as
    // on its own quit, and the main thread then exits with status 1.
    if (!through_interface) std::exit(1);
    proc.failed = true;
    ui.UIQuit();
    pthread_exit(nullptr);
}
