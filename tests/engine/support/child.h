// Helpers for engine tests that must watch a process end: fatal errors and
// exits run in a forked child (or the built program) whose output and
// status are collected here. Also temporary folders and free loopback ports.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

struct child_result {
    bool exited = false;  // ended through exit, not a signal
    int code = -1;        // exit status (0..255)
    std::string out, err;
};

// Reads both pipes to their end, then reaps the child.
inline child_result collect(pid_t pid, int out_fd, int err_fd) {
    child_result r;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_pipes = 2;
    char buf[4096];
    while (open_pipes > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
                continue;
            }
            (i == 0 ? r.out : r.err).append(buf, size_t(n));
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.exited = WIFEXITED(status);
    r.code = r.exited ? WEXITSTATUS(status) : -1;
    return r;
}

// Runs fn in a forked child with stdout and stderr captured. A child whose
// fn returns exits with status 0.
inline child_result run_child(const std::function<void()>& fn) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return {};
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        close(out[1]);
        close(err[1]);
        fn();
        std::fflush(nullptr);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    return collect(pid, out[0], err[0]);
}

// A started program whose output is collected when it is waited for.
struct program {
    pid_t pid = -1;
    int out_fd = -1, err_fd = -1;
    child_result wait() { return collect(pid, out_fd, err_fd); }
};

inline program start_program(const std::string& path, const std::vector<std::string>& args, const std::string& cwd,
                             const std::vector<std::string>& env = {}) {
    int out[2], err[2];
    program p;
    if (pipe(out) != 0 || pipe(err) != 0) return p;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        close(out[0]);
        close(err[0]);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    p.pid = pid;
    p.out_fd = out[0];
    p.err_fd = err[0];
    return p;
}

inline child_result run_program(const std::string& path, const std::vector<std::string>& args, const std::string& cwd,
                                const std::vector<std::string>& env = {}) {
    return start_program(path, args, cwd, env).wait();
}

// A fresh folder under the system's temporary folder, removed on destruction.
struct temp_dir {
    std::string path;
    temp_dir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quorin-test-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) path = buf.data();
    }
    ~temp_dir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
    void write(const std::string& name, const std::string& text) const { std::ofstream(file(name)) << text; }
};

inline std::string read_file(const std::string& path) {
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A port that was free on 127.0.0.1 a moment ago.
inline int free_port(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

inline sockaddr_in loopback(int port, const char* ip = "127.0.0.1") {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, ip, &sa.sin_addr);
    return sa;
}

inline sockaddr_in local_address(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return sa;
}

inline int tcp_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the text ends with `until` or nothing more arrives within
// wait_ms (a guard against a hung test, not a timing check).
inline std::string read_until(int fd, const std::string& until, int wait_ms = 5000) {
    std::string got;
    char buf[4096];
    while (got.size() < until.size() || got.compare(got.size() - until.size(), until.size(), until) != 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

// Polls cond until it holds (true) or timeout_ms has passed (false).
template <typename Cond>
bool eventually(Cond cond, int timeout_ms = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace test_support
