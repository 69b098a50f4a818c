#include "engine/startup.h"

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/config.h"
#include "engine/log.h"
#include "engine/loop.h"
#include "platform/dynlib.h"
#include "platform/msgbox.h"
#include "platform/signals.h"
#include "protocol/fifo.h"

namespace {

// Who answers a stop signal: while only the interface runs (no engine
// yet), the interface quits; otherwise the signal is kept for the engine's
// loop, which takes the console's shutdown road (headless, and with the
// interface once the engine has started). Changed under the lock by the
// main thread, the engine thread and the signal thread.
enum class process_phase { starting, interface_only, interface_quitting, engine };

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

void on_stop_signal(int signo) {
    decltype(ui.UIQuit) quit = nullptr;
    {
        std::lock_guard<std::mutex> g(proc.lock);
        if (proc.phase == process_phase::interface_only && ui.UIQuit) {
            proc.phase = process_phase::interface_quitting;
            quit = ui.UIQuit;
        } else if (proc.stop_signal == 0) {
            proc.stop_signal = signo;
        }
    }
    // Nothing of the engine runs yet: the interface ends as on its own quit.
    if (quit) quit();
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

void quorin_main(int argc, char** argv) {
    proc.main_thread = pthread_self();
    // Before any other thread: every thread started later holds the stop
    // signals back for the waiting thread.
    stop_signals_start(on_stop_signal);
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
    {
        std::lock_guard<std::mutex> g(proc.lock);
        // A stop signal ended the interface before the engine thread ran.
        if (proc.phase == process_phase::interface_quitting) return 0;
        proc.phase = process_phase::engine;
    }
    log_install_protocol_hooks();
    // Sockets whose peer went away must fail a send, not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    FILE* f = std::fopen(config_file_name, "r");
    if (!f) {
        message_box("Config file open error2", "Error");
        std::fprintf(stderr, "error opening config file\n");
        engine_fail_exit();
    }
    std::fclose(f);

    bind_tunnel_library();
    poll_reset();
    ui_progress(1);
    read_config();
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
