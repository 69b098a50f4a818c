#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "protocol/md5.h"

#ifndef QUORIN_BIN_DIR
#define QUORIN_BIN_DIR "build/bin"
#endif

namespace e2e {

double mono_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool wait_until(const std::function<bool()>& pred, double timeout_s, double step_s) {
    const double end = mono_now() + timeout_s;
    for (;;) {
        if (pred()) return true;
        if (mono_now() > end) return false;
        std::this_thread::sleep_for(std::chrono::duration<double>(step_s));
    }
}

// ---------------------------------------------------------------- files

std::string bin_path(const std::string& name) {
    // Another build's programs can be tried without rebuilding the tests.
    const char* dir = std::getenv("QUORIN_E2E_BIN_DIR");
    return std::string(dir && *dir ? dir : QUORIN_BIN_DIR) + "/" + name;
}

bool bin_exists(const std::string& name) { return access(bin_path(name).c_str(), X_OK) == 0; }

temp_dir::temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quorin-e2e-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
}

temp_dir::~temp_dir() {
    if (path_.empty() || keep_ || std::getenv("QUORIN_E2E_KEEP")) return;
    const std::string cmd = "rm -rf '" + path_ + "'";
    int rc = std::system(cmd.c_str());
    (void)rc;
}

void temp_dir::write(const std::string& name, const std::string& text) const {
    std::ofstream f(file(name), std::ios::binary | std::ios::trunc);
    f << text;
}

std::string temp_dir::read(const std::string& name) const {
    std::ifstream f(file(name), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// ---------------------------------------------------------------- processes

process::~process() {
    kill_hard();
    if (reader_.joinable()) reader_.join();
}

bool process::start(const std::vector<std::string>& argv, const std::string& cwd, const std::string& stdout_file,
                    const std::string& stderr_file) {
    kill_hard();
    int pipefd[2] = {-1, -1};
    if (stdout_file.empty() && pipe2(pipefd, O_CLOEXEC) != 0) return false;
    // Everything the child needs is prepared before fork: the parent has
    // threads, so the child may only make async-signal-safe calls.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        int out = -1;
        if (stdout_file.empty()) {
            out = pipefd[1];
        } else {
            out = open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        if (out >= 0) dup2(out, 1);
        if (!stderr_file.empty()) {
            const int err = open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0) dup2(err, 2);
        }
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    pid_ = pid;
    reaped_ = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.clear();
        output_ended_ = false;
    }
    if (stdout_file.empty()) {
        close(pipefd[1]);
        const int fd = pipefd[0];
        reader_ = std::thread([this, fd] { reader(fd); });
    }
    return true;
}

void process::reader(int fd) {
    std::string partial;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial.append(buf, size_t(n));
        size_t nl;
        while ((nl = partial.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back(partial.substr(0, nl));
            partial.erase(0, nl + 1);
            cv_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (!partial.empty()) lines_.push_back(partial);
    output_ended_ = true;
    cv_.notify_all();
    close(fd);
}

std::vector<std::string> process::lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
}

size_t process::line_count() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_.size();
}

long process::wait_line(const std::string& needle, double timeout_s, std::string* line, size_t from) {
    std::unique_lock<std::mutex> lock(mu_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        for (size_t i = from; i < lines_.size(); i++) {
            if (lines_[i].find(needle) != std::string::npos) {
                if (line) *line = lines_[i];
                return long(i);
            }
        }
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (size_t i = from; i < lines_.size(); i++)
                if (lines_[i].find(needle) != std::string::npos) {
                    if (line) *line = lines_[i];
                    return long(i);
                }
            return -1;
        }
    }
}

size_t process::count_lines(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const std::string& l : lines_)
        if (l.find(needle) != std::string::npos) n++;
    return n;
}

bool process::running() {
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

void process::signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool process::wait_stopped(double timeout_s) {
    const std::string stat_path = "/proc/" + std::to_string(pid_) + "/stat";
    return wait_until(
        [&] {
            std::ifstream f(stat_path);
            std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            // "pid (comm) S ...": the state follows the last parenthesis.
            const size_t close_paren = text.rfind(')');
            return close_paren != std::string::npos && close_paren + 2 < text.size() &&
                   text[close_paren + 2] == 'T';
        },
        timeout_s, 0.005);
}

bool process::wait_exit(double timeout_s, int* status) {
    const bool ended = wait_until([this] { return !running(); }, timeout_s, 0.01);
    if (ended && status) *status = exit_code_;
    if (ended && reader_.joinable()) {
        // The last lines may still be in the pipe when the process is
        // reaped; a child that inherited the pipe may keep it open, so the
        // wait for its end is bounded.
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(5), [this] { return output_ended_; });
    }
    return ended;
}

void process::kill_hard() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        exit_code_ = 128 + SIGKILL;
    }
    if (reader_.joinable()) reader_.join();
}

// ---------------------------------------------------------------- sockets

namespace {

sockaddr_in make_addr(const std::string& addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    return a;
}

uint16_t free_port(int type) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) return 0;
    sockaddr_in a = make_addr("127.0.0.1", 0);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        socklen_t l = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

int poll_one(int fd, short events, double timeout_s) {
    pollfd p{fd, events, 0};
    const int ms = timeout_s <= 0 ? 0 : int(timeout_s * 1000) + 1;
    int r;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? p.revents : r;
}

}  // namespace

uint16_t free_tcp_port() { return free_port(SOCK_STREAM); }
uint16_t free_udp_port() { return free_port(SOCK_DGRAM); }

int tcp_connect(const std::string& addr, uint16_t port, double timeout_s) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    sockaddr_in a = make_addr(addr, port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS || poll_one(fd, POLLOUT, timeout_s) <= 0) {
            close(fd);
            return -1;
        }
        int err = 0;
        socklen_t el = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el);
        if (err) {
            close(fd);
            return -1;
        }
    }
    fcntl(fd, F_SETFL, flags);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int tcp_listen(const std::string& addr, uint16_t port, uint16_t* bound_port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = make_addr(addr, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1024) != 0) {
        close(fd);
        return -1;
    }
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    if (bound_port) *bound_port = ntohs(a.sin_port);
    return fd;
}

bool send_all(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool send_str(int fd, const std::string& s) { return send_all(fd, s.data(), s.size()); }

long recv_some(int fd, void* data, size_t n, double timeout_s) {
    const int ev = poll_one(fd, POLLIN, timeout_s);
    if (ev == 0) return -1;
    if (ev < 0) return -2;
    ssize_t r;
    do {
        r = recv(fd, data, n, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -2;
    return long(r);
}

bool recv_exact(int fd, void* data, size_t n, double timeout_s) {
    char* p = static_cast<char*>(data);
    const double end = mono_now() + timeout_s;
    while (n > 0) {
        const double left = end - mono_now();
        if (left <= 0) return false;
        const long r = recv_some(fd, p, n, left);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

bool recv_to_eof(int fd, std::string* out, double timeout_s, size_t limit) {
    char buf[65536];
    const double end = mono_now() + timeout_s;
    for (;;) {
        const double left = end - mono_now();
        if (left <= 0) return false;
        const long r = recv_some(fd, buf, sizeof buf, left);
        if (r == 0) return true;
        if (r < 0) return false;
        out->append(buf, size_t(r));
        if (out->size() > limit) return false;
    }
}

bool wait_closed(int fd, double timeout_s) {
    char buf[4096];
    const double end = mono_now() + timeout_s;
    for (;;) {
        const double left = end - mono_now();
        if (left <= 0) return false;
        const long r = recv_some(fd, buf, sizeof buf, left);
        if (r == 0 || r == -2) return true;
        if (r == -1) return false;
    }
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void byte_stream::fill(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (left_ == 0) {
            // xorshift64*: fast, and the same on both ends.
            state_ ^= state_ >> 12;
            state_ ^= state_ << 25;
            state_ ^= state_ >> 27;
            word_ = state_ * 0x2545F4914F6CDD1Dull;
            left_ = 8;
        }
        out[i] = uint8_t(word_);
        word_ >>= 8;
        left_--;
    }
}

std::string md5_hex(const std::string& data) { return md5_hex_upper(data.data(), data.size()); }

std::string md5_hex_of_stream(uint64_t seed, uint64_t n) {
    byte_stream bs(seed);
    md5_ctx ctx;
    md5_init(&ctx);
    uint8_t buf[65536];
    while (n > 0) {
        const size_t k = size_t(std::min<uint64_t>(n, sizeof buf));
        bs.fill(buf, k);
        md5_update(&ctx, buf, k);
        n -= k;
    }
    uint8_t digest[16];
    md5_final(&ctx, digest);
    char hex[33];
    for (int i = 0; i < 16; i++) std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);
    return hex;
}

bool write_stream(int fd, uint64_t seed, uint64_t n) {
    byte_stream bs(seed);
    uint8_t buf[65536];
    while (n > 0) {
        const size_t k = size_t(std::min<uint64_t>(n, sizeof buf));
        bs.fill(buf, k);
        if (!send_all(fd, buf, k)) return false;
        n -= k;
    }
    return true;
}

bool check_stream(int fd, uint64_t seed, uint64_t n, double timeout_s, std::string* why, bool expect_eof) {
    byte_stream bs(seed);
    uint8_t buf[65536], want[65536];
    uint64_t got = 0;
    const double end = mono_now() + timeout_s;
    auto fail = [&](const std::string& text) {
        if (why) *why = text + " after " + std::to_string(got) + " of " + std::to_string(n) + " bytes";
        return false;
    };
    while (got < n) {
        const double left = end - mono_now();
        if (left <= 0) return fail("time-out");
        const long r = recv_some(fd, buf, size_t(std::min<uint64_t>(sizeof buf, n - got)), left);
        if (r == 0) return fail("early end of file");
        if (r == -1) return fail("time-out");
        if (r < 0) return fail("error " + std::to_string(errno));
        bs.fill(want, size_t(r));
        if (std::memcmp(buf, want, size_t(r)) != 0) return fail("corrupt data");
        got += uint64_t(r);
    }
    if (expect_eof && !wait_closed(fd, std::max(1.0, end - mono_now()))) return fail("no end of file");
    return true;
}

bool echo_roundtrip(int fd, uint64_t seed, uint64_t n, double timeout_s, std::string* why) {
    bool written = false;
    std::thread writer([&] { written = write_stream(fd, seed, n); });
    const bool read_ok = check_stream(fd, seed, n, timeout_s, why, false);
    if (!read_ok) shutdown(fd, SHUT_RDWR);  // unblock the writer
    writer.join();
    return read_ok && written;
}

// ---------------------------------------------------------------- data servers

data_server::data_server(kind k, uint64_t bytes, uint64_t seed, const std::string& addr, uint16_t port)
    : kind_(k), bytes_(bytes), seed_(seed) {
    listen_fd_ = tcp_listen(addr, port, &port_);
    if (listen_fd_ >= 0) acceptor_ = std::thread([this] { accept_loop(); });
}

data_server::~data_server() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mu_);
        // Unblock workers stuck in a read or write.
        for (int fd : conn_fds_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : workers_)
        if (t.joinable()) t.join();
    if (listen_fd_ >= 0) close(listen_fd_);
}

void data_server::accept_loop() {
    while (!stop_) {
        if (poll_one(listen_fd_, POLLIN, 0.05) <= 0) continue;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(mu_);
        accepted_++;
        conn_fds_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
        cv_.notify_all();
    }
}

void data_server::serve(int fd) {
    char buf[65536];
    switch (kind_) {
    case echo:
        for (;;) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            if (!send_all(fd, buf, size_t(n))) break;
        }
        shutdown(fd, SHUT_WR);
        break;
    case source:
        if (!write_stream(fd, seed_, bytes_)) write_errno_ = errno ? errno : -1;
        shutdown(fd, SHUT_WR);
        break;
    case http: {
        std::string req;
        while (req.find("\r\n\r\n") == std::string::npos && req.size() < 65536) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            req.append(buf, size_t(n));
        }
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                 std::to_string(bytes_) + "\r\nConnection: close\r\n\r\n";
        if (send_all(fd, head.data(), head.size())) write_stream(fd, seed_, bytes_);
        shutdown(fd, SHUT_WR);
        break;
    }
    case sink: {
        md5_ctx ctx;
        md5_init(&ctx);
        uint64_t total = 0;
        for (;;) {
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            md5_update(&ctx, buf, size_t(n));
            total += uint64_t(n);
        }
        uint8_t digest[16];
        md5_final(&ctx, digest);
        char hex[33];
        for (int i = 0; i < 16; i++) std::snprintf(hex + 2 * i, 3, "%02X", digest[i]);
        std::lock_guard<std::mutex> lock(mu_);
        sinks_.push_back({total, hex});
        cv_.notify_all();
        break;
    }
    }
    // Drain until the peer closes so that nothing we wrote is reset away.
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
    std::lock_guard<std::mutex> lock(mu_);
    for (int& c : conn_fds_)
        if (c == fd) c = -1;
    close(fd);
}

bool data_server::wait_sinks(size_t n, double timeout_s, std::vector<sink_result>* out) {
    std::unique_lock<std::mutex> lock(mu_);
    const bool ok = cv_.wait_for(lock, std::chrono::duration<double>(timeout_s), [&] { return sinks_.size() >= n; });
    if (out) *out = sinks_;
    return ok;
}

bool data_server::wait_accepted(int n, double timeout_s) {
    return wait_until([&] { return accepted_.load() >= n; }, timeout_s);
}

// ---------------------------------------------------------------- SOCKS clients

namespace {

int socks_finish(int fd, const std::string& request, size_t reply_len, const std::string& expect_prefix,
                 std::string* reply) {
    if (!send_str(fd, request)) {
        close(fd);
        return -1;
    }
    std::string r(reply_len, '\0');
    if (!recv_exact(fd, &r[0], reply_len, 10)) {
        close(fd);
        return -1;
    }
    if (reply) *reply = r;
    if (r.compare(0, expect_prefix.size(), expect_prefix) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string port_bytes(uint16_t port) {
    std::string s(2, '\0');
    s[0] = char(port >> 8);
    s[1] = char(port & 0xFF);
    return s;
}

std::string ip_bytes(const std::string& ip) {
    in_addr a{};
    inet_pton(AF_INET, ip.c_str(), &a);
    return std::string(reinterpret_cast<const char*>(&a), 4);
}

int socks5_greet(uint16_t proxy_port) {
    const int fd = tcp_connect("127.0.0.1", proxy_port);
    if (fd < 0) return -1;
    char ans[2];
    if (!send_str(fd, std::string("\x05\x01\x00", 3)) || !recv_exact(fd, ans, 2, 10) || ans[0] != 5 || ans[1] != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int socks5_connect_ip(uint16_t proxy_port, const std::string& ip, uint16_t port, std::string* reply) {
    const int fd = socks5_greet(proxy_port);
    if (fd < 0) return -1;
    const std::string req = std::string("\x05\x01\x00\x01", 4) + ip_bytes(ip) + port_bytes(port);
    // The engine answers with the request's own bytes, the status set to 0.
    return socks_finish(fd, req, req.size(), std::string("\x05\x00\x00", 3), reply);
}

int socks5_connect_name(uint16_t proxy_port, const std::string& host, uint16_t port, std::string* reply) {
    const int fd = socks5_greet(proxy_port);
    if (fd < 0) return -1;
    const std::string req = std::string("\x05\x01\x00\x03", 4) + char(host.size()) + host + port_bytes(port);
    return socks_finish(fd, req, req.size(), std::string("\x05\x00\x00", 3), reply);
}

int socks4_connect(uint16_t proxy_port, const std::string& ip, uint16_t port, const std::string& user,
                   std::string* reply) {
    const int fd = tcp_connect("127.0.0.1", proxy_port);
    if (fd < 0) return -1;
    const std::string req = std::string("\x04\x01", 2) + port_bytes(port) + ip_bytes(ip) + user + '\0';
    return socks_finish(fd, req, 8, std::string("\x00\x5A", 2), reply);
}

int socks4a_connect(uint16_t proxy_port, const std::string& host, uint16_t port, const std::string& user,
                    std::string* reply) {
    const int fd = tcp_connect("127.0.0.1", proxy_port);
    if (fd < 0) return -1;
    const std::string req =
        std::string("\x04\x01", 2) + port_bytes(port) + std::string("\x00\x00\x00\x01", 4) + user + '\0' + host + '\0';
    return socks_finish(fd, req, 8, std::string("\x00\x5A", 2), reply);
}

// ---------------------------------------------------------------- console

console::~console() { close(); }

void console::close() { close_fd(fd_); }

bool console::open(uint16_t port, double timeout_s) {
    close();
    pending_.clear();
    // The engine may not have bound its console yet: a refused connect is
    // tried again until the time is up.
    const double end = mono_now() + timeout_s;
    while ((fd_ = tcp_connect("127.0.0.1", port, timeout_s)) < 0) {
        if (mono_now() >= end) return false;
        usleep(20000);
    }
    std::string before;
    return read_prompt(&before, timeout_s);
}

bool console::read_prompt(std::string* before, double timeout_s) {
    const double end = mono_now() + timeout_s;
    for (;;) {
        const size_t at = pending_.find(prompt);
        if (at != std::string::npos) {
            *before = pending_.substr(0, at);
            pending_.erase(0, at + std::strlen(prompt));
            return true;
        }
        const double left = end - mono_now();
        if (left <= 0) return false;
        char buf[4096];
        const long r = recv_some(fd_, buf, sizeof buf, left);
        if (r <= 0) return false;
        pending_.append(buf, size_t(r));
    }
}

bool console::command(const std::string& text, std::string* reply, double timeout_s) {
    reply->clear();
    if (fd_ < 0 || !send_str(fd_, text)) return false;
    return read_prompt(reply, timeout_s);
}

bool parse_stat_line(const std::string& reply, stat_line* out) {
    // "[qrid][pid]/a/b/c/d/e/f/g/h/i/j\n"
    const size_t close_bracket = reply.find("]/");
    if (close_bracket == std::string::npos) return false;
    std::vector<std::string> fields;
    std::stringstream ss(reply.substr(close_bracket + 2));
    std::string f;
    while (std::getline(ss, f, '/')) fields.push_back(f);
    if (fields.size() != 10) return false;
    for (std::string& x : fields)
        while (!x.empty() && (x.back() == '\n' || x.back() == '\r')) x.pop_back();
    try {
        out->udp_in = std::stoull(fields[0]);
        out->udp_out = std::stoull(fields[1]);
        out->local_in = std::stoull(fields[2]);
        out->local_out = std::stoull(fields[3]);
        out->received = uint32_t(std::stoul(fields[4]));
        out->asked = uint32_t(std::stoul(fields[5]));
        out->asked_pct = std::stod(fields[6]);
        out->sent = uint32_t(std::stoul(fields[7]));
        out->resent = uint32_t(std::stoul(fields[8]));
        out->resent_pct = std::stod(fields[9]);
    } catch (...) {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the stack

bool refserver_proc::start(const temp_dir& dir, const std::vector<std::string>& args, const std::string& listen_addr,
                           uint16_t udp_port, bool control) {
    std::vector<std::string> argv = {bin_path("refserver"), "--listen", listen_addr + ":" + std::to_string(udp_port)};
    if (control) {
        argv.push_back("--control");
        argv.push_back("127.0.0.1:0");
    }
    argv.insert(argv.end(), args.begin(), args.end());
    static std::atomic<int> serial{0};
    const std::string err = dir.file("refserver-" + std::to_string(serial++) + ".err");
    if (!proc.start(argv, dir.path(), "", err)) return false;
    std::string line;
    if (proc.wait_line("LISTEN ", 10, &line) < 0) return false;
    port = uint16_t(std::atoi(line.c_str() + 7));
    if (control) {
        if (proc.wait_line("CONTROL ", 10, &line) < 0) return false;
        control_port = uint16_t(std::atoi(line.c_str() + 8));
    }
    return port != 0;
}

bool refserver_proc::control(const std::string& line, std::string* reply) {
    int fd = tcp_connect("127.0.0.1", control_port);
    if (fd < 0) return false;
    reply->clear();
    const bool ok = send_str(fd, line + "\n") && recv_to_eof(fd, reply, 5);
    close_fd(fd);
    return ok;
}

bool refserver_proc::stats(std::string* line) {
    return control("STATS", line) && line->rfind("STATS ", 0) == 0;
}

uint32_t refserver_proc::session_of(const std::string& login_line) {
    const size_t at = login_line.find(" session ");
    if (at == std::string::npos) return 0;
    return uint32_t(std::strtoul(login_line.c_str() + at + 9, nullptr, 16));
}

std::string conf_text(uint16_t console_port, const std::vector<remote_conf>& remotes,
                      const std::vector<local_conf>& locals, const std::string& server_extra) {
    std::ostringstream c;
    c << "[server]\n"
      << "port=127.0.0.1:0\n"
      << "control_socket=" << console_port << "\n"
      << "log=quorin.log\n"
      << "debug=1\n"
      << server_extra;
    for (const remote_conf& r : remotes) {
        c << "[remote]\n"
          << "name=" << r.name << "\n"
          << "server=" << r.server << ":" << r.port << "\n"
          << "login=" << r.login << "\n"
          << "passwd=" << r.passwd << "\n"
          << "speed_in=" << r.speed_in << "\n"
          << "speed_out=" << r.speed_out << "\n"
          << r.extra;
    }
    for (const local_conf& l : locals) {
        c << "[local]\n"
          << "remote=" << l.remote << "\n"
          << l.mode_line << "\n"
          << "port=" << l.listen_addr << ":" << l.port << "\n"
          << l.extra;
    }
    return c.str();
}

bool engine_proc::start(temp_dir& d, const std::string& conf, uint16_t console_at) {
    dir = &d;
    console_port = console_at;
    d.write("quorin.conf", conf);
    // The engine loads the libraries that sit next to it: a copy of its own
    // in the directory keeps these runs headless.
    const std::string engine = d.file("quorin");
    std::error_code ec;
    if (!std::filesystem::exists(engine, ec)) {
        std::filesystem::create_hard_link(bin_path("quorin"), engine, ec);
        if (ec) std::filesystem::copy_file(bin_path("quorin"), engine, ec);
        if (ec) return false;
    }
    if (!proc.start({engine}, d.path(), d.file("stdout.txt"), d.file("stderr.txt"))) return false;
    console c;
    const bool up = wait_until(
        [&] {
            if (!proc.running()) return true;
            return c.open(console_port, 0.5);
        },
        15, 0.05);
    return up && proc.running();
}

std::string engine_proc::log() const { return dir ? dir->read("quorin.log") : ""; }

size_t engine_proc::log_count(const std::string& needle) const {
    const std::string text = log();
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) n++;
    return n;
}

bool engine_proc::wait_log(const std::string& needle, double timeout_s, size_t count) const {
    return wait_until([&] { return log_count(needle) >= count; }, timeout_s, 0.05);
}

std::string engine_proc::console_command(const std::string& text, double timeout_s) {
    console c;
    std::string reply;
    if (!c.open(console_port, timeout_s) || !c.command(text, &reply, timeout_s)) return "<no reply>";
    return reply;
}

bool stack::start_refserver(const std::vector<std::string>& args, bool control) {
    std::vector<std::string> all = {"--user", remote.login + ":" + remote.passwd};
    all.insert(all.end(), args.begin(), args.end());
    if (!rs.start(dir, all, "127.0.0.1", 0, control)) return false;
    remote.port = rs.port;
    return true;
}

void stack::keep_for_diagnosis() {
    if (rs.proc.running()) {
        rs.proc.signal(SIGUSR1);
        rs.proc.wait_line("DIAG", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (engine.proc.running()) {
        std::string text = engine.console_command("show stat\n", 2);
        text += engine.console_command("show sessions\n", 2);
        dir.write("console.out", text);
    }
    std::string text;
    for (const std::string& l : rs.proc.lines()) text += l + "\n";
    dir.write("refserver.out", text);
    dir.keep();
    int engine_status = -1, rs_status = -1;
    const bool engine_alive = !engine.proc.wait_exit(0, &engine_status);
    const bool rs_alive = !rs.proc.wait_exit(0, &rs_status);
    std::fprintf(stderr, "kept for diagnosis: %s (engine %s %d, refserver %s %d)\n", dir.path().c_str(),
                 engine_alive ? "running" : "ended", engine_status, rs_alive ? "running" : "ended", rs_status);
}

bool stack::start_engine(const std::vector<local_conf>& wanted, const std::string& server_extra,
                         const std::vector<remote_conf>& more_remotes) {
    for (int attempt = 0; attempt < 4; attempt++) {
        locals = wanted;
        for (local_conf& l : locals)
            if (l.port == 0) l.port = free_tcp_port();
        const uint16_t console_port = free_tcp_port();
        std::vector<remote_conf> remotes = {remote};
        remotes.insert(remotes.end(), more_remotes.begin(), more_remotes.end());
        engine.proc.kill_hard();
        if (engine.start(dir, conf_text(console_port, remotes, locals, server_extra), console_port)) return true;
        // A port taken between choosing and binding: choose again.
    }
    return false;
}

}  // namespace e2e
