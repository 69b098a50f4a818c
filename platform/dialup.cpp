#include "platform/dialup.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct dialup_state {
    std::mutex mu;
    bool paths_set = false;
    dialup_paths paths;
};

dialup_state& state() {
    static dialup_state s;
    return s;
}

std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

const char pid_prefix[] = "ppp-";
const char pid_suffix[] = ".pid";

bool ends_with(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string pid_file(const std::string& entry) { return dialup_get_paths().run_dir + "/" + pid_prefix + entry + pid_suffix; }

// The first line of a pid file; -1 when there is none.
pid_t read_pid(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return -1;
    long pid = -1;
    if (std::fscanf(f, "%ld", &pid) != 1) pid = -1;
    std::fclose(f);
    return pid > 0 ? pid_t(pid) : -1;
}

// Running and not a zombie: a pppd that ended but was not reaped yet is gone.
bool process_running(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", long(pid));
    FILE* f = std::fopen(path, "r");
    if (!f) return true;
    char line[512] = {0};
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got) return true;
    const char* close_paren = std::strrchr(line, ')');
    return !(close_paren && close_paren[1] == ' ' && close_paren[2] == 'Z');
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

dialup_paths dialup_default_paths() {
    return {env_or("QUORIN_PPP_PEERS", "/etc/ppp/peers"), env_or("QUORIN_PPP_RUNDIR", "/var/run"),
            env_or("QUORIN_PPPD", "/usr/sbin/pppd")};
}

dialup_paths dialup_get_paths() {
    dialup_state& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.paths_set) {
        s.paths = dialup_default_paths();
        s.paths_set = true;
    }
    return s.paths;
}

void dialup_set_paths(const dialup_paths& paths) {
    dialup_state& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.paths = paths;
    s.paths_set = true;
}

std::vector<std::string> dialup_entries() {
    std::vector<std::string> names;
    const std::string dir = dialup_get_paths().peers_dir;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue;
        struct stat st;
        if (stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

int dialup_connections(std::vector<dialup_connection>* out) {
    out->clear();
    const std::string dir = dialup_get_paths().run_dir;
    DIR* d = opendir(dir.c_str());
    if (!d) return errno ? errno : ENOENT;
    const size_t prefix_len = std::strlen(pid_prefix), suffix_len = std::strlen(pid_suffix);
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix_len, pid_prefix) != 0 || !ends_with(name, pid_suffix)) continue;
        if (name.size() <= prefix_len + suffix_len) continue;
        dialup_connection c;
        c.entry = name.substr(prefix_len, name.size() - prefix_len - suffix_len);
        c.pid = read_pid(dir + "/" + name);
        // A pid file left behind by a pppd that died is no connection.
        if (process_running(c.pid)) out->push_back(c);
    }
    closedir(d);
    std::sort(out->begin(), out->end(),
              [](const dialup_connection& a, const dialup_connection& b) { return a.entry < b.entry; });
    return 0;
}

int dialup_hang_up(const dialup_connection& c) {
    if (c.pid <= 0) return ESRCH;
    return kill(c.pid, SIGTERM) == 0 ? 0 : errno;
}

bool dialup_connection_alive(const dialup_connection& c) {
    return read_pid(pid_file(c.entry)) == c.pid && process_running(c.pid);
}

int dialup_dial_start(const std::string& entry, dialup_call* call) {
    const dialup_paths paths = dialup_get_paths();
    std::vector<std::string> args = {paths.pppd, "call", entry, "linkname", entry, "updetach"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return errno;
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        close(ready[0]);
        close(ready[1]);
        return err;
    }
    if (pid == 0) {
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        execv(argv[0], argv.data());
        const int err = errno;
        ssize_t n = write(ready[1], &err, sizeof err);
        (void)n;
        _exit(127);
    }
    close(ready[1]);
    // The pipe closes on a successful exec; a failed one sends its errno.
    int err = 0;
    const ssize_t n = read(ready[0], &err, sizeof err);
    close(ready[0]);
    if (n == ssize_t(sizeof err)) {
        waitpid(pid, nullptr, 0);
        return err ? err : ENOEXEC;
    }
    call->pid = pid;
    return 0;
}

int dialup_dial_poll(dialup_call* call, int* error) {
    if (call->pid <= 0) {
        *error = ECHILD;
        return -1;
    }
    int status = 0;
    const pid_t r = waitpid(call->pid, &status, WNOHANG);
    if (r == 0) return 0;
    call->pid = -1;
    if (r < 0) {
        *error = errno;
        return -1;
    }
    *error = exit_code(status);
    return *error == 0 ? 1 : -1;
}

void dialup_dial_cancel(dialup_call* call, int* error) {
    *error = 0;
    if (call->pid <= 0) return;
    kill(call->pid, SIGTERM);
    int status = 0;
    if (waitpid(call->pid, &status, 0) == call->pid) *error = exit_code(status);
    call->pid = -1;
}
