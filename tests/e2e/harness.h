// End-to-end harness: real processes (engine, reference server, link
// emulator) started in temporary working directories on loopback ports
// chosen at run time, small TCP data servers, minimal SOCKS clients and a
// console client. Everything a test starts is stopped and removed by the
// destructors.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// ---------------------------------------------------------------- files

std::string bin_path(const std::string& name);  // QUORIN_BIN_DIR/name
bool bin_exists(const std::string& name);

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    void keep() { keep_ = true; }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& text) const;
    std::string read(const std::string& name) const;  // "" when missing

private:
    std::string path_;
    bool keep_ = false;
};

// ---------------------------------------------------------------- processes

class process {
public:
    process() = default;
    ~process();
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    // Starts argv[0] (a path) in cwd. Standard output is captured line by
    // line, or written to stdout_file when that is given. Standard error goes
    // to stderr_file, or is inherited.
    bool start(const std::vector<std::string>& argv, const std::string& cwd, const std::string& stdout_file = "",
               const std::string& stderr_file = "");
    pid_t pid() const { return pid_; }
    bool running();

    // Captured lines (only without stdout_file).
    std::vector<std::string> lines();
    size_t line_count();
    // Waits for a line containing needle, looking at lines from index `from`
    // on. Returns the line index or -1 on time-out; *line gets the text.
    long wait_line(const std::string& needle, double timeout_s, std::string* line = nullptr, size_t from = 0);
    size_t count_lines(const std::string& needle);

    void signal(int sig);
    // After SIGSTOP: waits until the kernel shows the process stopped.
    bool wait_stopped(double timeout_s);
    // Returns true when the process has ended; *status gets the exit code
    // (or 128 + signal).
    bool wait_exit(double timeout_s, int* status = nullptr);
    void kill_hard();

private:
    void reader(int fd);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int exit_code_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    bool output_ended_ = false;
};

// ---------------------------------------------------------------- sockets

// A free loopback port at the time of asking (TCP or UDP).
uint16_t free_tcp_port();
uint16_t free_udp_port();

// Connects with a time-out; returns a blocking socket or -1.
int tcp_connect(const std::string& addr, uint16_t port, double timeout_s = 5);
int tcp_listen(const std::string& addr, uint16_t port, uint16_t* bound_port = nullptr);
bool send_all(int fd, const void* data, size_t n);
bool send_str(int fd, const std::string& s);
// Reads exactly n bytes within the time-out.
bool recv_exact(int fd, void* data, size_t n, double timeout_s = 10);
// Reads until end of file or time-out. Returns false on time-out or error.
bool recv_to_eof(int fd, std::string* out, double timeout_s = 10, size_t limit = 1 << 26);
// Reads what is there within the time-out (at least one byte unless EOF).
// Returns bytes read, 0 on EOF, -1 on time-out, -2 on error.
long recv_some(int fd, void* data, size_t n, double timeout_s);
// Waits for end of file or reset; true when the peer closed.
bool wait_closed(int fd, double timeout_s);
void close_fd(int& fd);

// Deterministic pseudo-random bytes, so that both ends can check a stream.
class byte_stream {
public:
    explicit byte_stream(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    void fill(uint8_t* out, size_t n);

private:
    uint64_t state_;
    uint64_t word_ = 0;
    int left_ = 0;
};

std::string md5_hex(const std::string& data);
std::string md5_hex_of_stream(uint64_t seed, uint64_t n);

// ---------------------------------------------------------------- data servers

// A TCP server on its own thread serving each connection on a thread:
//  echo:   writes back what it reads, half-closes on end of file;
//  source: writes `bytes` bytes of byte_stream(seed) then closes;
//  sink:   reads to end of file and records the byte count and MD5;
//  http:   reads one request, answers 200 with `bytes` bytes of
//          byte_stream(seed) as the body, closes.
class data_server {
public:
    enum kind { echo, source, sink, http };
    data_server(kind k, uint64_t bytes = 0, uint64_t seed = 1, const std::string& addr = "127.0.0.1",
                uint16_t port = 0);
    ~data_server();
    data_server(const data_server&) = delete;
    data_server& operator=(const data_server&) = delete;

    uint16_t port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    // errno of the last failed write of a source, echo or http connection
    // (0: none failed).
    int write_errno() const { return write_errno_.load(); }
    struct sink_result {
        uint64_t bytes;
        std::string md5;
    };
    // Waits until n connections finished in sink mode.
    bool wait_sinks(size_t n, double timeout_s, std::vector<sink_result>* out);
    // Waits until n connections were accepted.
    bool wait_accepted(int n, double timeout_s);

private:
    void accept_loop();
    void serve(int fd);

    kind kind_;
    uint64_t bytes_;
    uint64_t seed_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> write_errno_{0};
    std::thread acceptor_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::thread> workers_;
    std::vector<int> conn_fds_;
    std::vector<sink_result> sinks_;
};

// ---------------------------------------------------------------- SOCKS clients

// Each returns a connected socket past the handshake, or -1. *reply gets the
// proxy's reply bytes when given.
int socks5_connect_ip(uint16_t proxy_port, const std::string& ip, uint16_t port, std::string* reply = nullptr);
int socks5_connect_name(uint16_t proxy_port, const std::string& host, uint16_t port, std::string* reply = nullptr);
int socks4_connect(uint16_t proxy_port, const std::string& ip, uint16_t port, const std::string& user = "",
                   std::string* reply = nullptr);
int socks4a_connect(uint16_t proxy_port, const std::string& host, uint16_t port, const std::string& user = "u",
                    std::string* reply = nullptr);

// Reads `n` bytes of byte_stream(seed) from fd and checks them on the way;
// true when all arrived intact and (with expect_eof) the peer then closed.
bool check_stream(int fd, uint64_t seed, uint64_t n, double timeout_s, std::string* why = nullptr,
                  bool expect_eof = true);
// Writes n bytes of byte_stream(seed) to an echoing peer on a thread while
// reading them back; the connection stays open.
bool echo_roundtrip(int fd, uint64_t seed, uint64_t n, double timeout_s, std::string* why = nullptr);
// Writes n bytes of byte_stream(seed).
bool write_stream(int fd, uint64_t seed, uint64_t n);

// ---------------------------------------------------------------- console

class console {
public:
    ~console();
    bool open(uint16_t port, double timeout_s = 5);
    // Sends text as one block and returns everything up to the next prompt
    // (without it); "" and false on time-out.
    bool command(const std::string& text, std::string* reply, double timeout_s = 5);
    // Reads until the prompt; used after connecting.
    bool read_prompt(std::string* before, double timeout_s = 5);
    int fd() const { return fd_; }
    void close();

private:
    int fd_ = -1;
    std::string pending_;
};

constexpr const char* prompt = "Quorin>";

// The ten fields of the statistics line.
struct stat_line {
    uint64_t udp_in = 0, udp_out = 0, local_in = 0, local_out = 0;
    uint32_t received = 0, asked = 0;
    double asked_pct = 0;
    uint32_t sent = 0, resent = 0;
    double resent_pct = 0;
};
bool parse_stat_line(const std::string& reply, stat_line* out);

// ---------------------------------------------------------------- the stack

struct refserver_proc {
    process proc;
    uint16_t port = 0;          // UDP
    uint16_t control_port = 0;  // 0 when not asked for
    // Starts build/bin/refserver with the given extra arguments on
    // listen_addr:port (0: any free port) and waits for its LISTEN line.
    bool start(const temp_dir& dir, const std::vector<std::string>& args, const std::string& listen_addr = "127.0.0.1",
               uint16_t port = 0, bool control = false);
    // The STATS line through the control listener.
    bool stats(std::string* line);
    // One control line and the whole reply (for commands that reply and close).
    bool control(const std::string& line, std::string* reply);
    // "LOGIN ok <login> session <hex> ..." -> the session id.
    static uint32_t session_of(const std::string& login_line);
};

// Configuration text builders for quorin.conf.
struct remote_conf {
    std::string name = "srv";
    std::string server = "127.0.0.1";
    uint16_t port = 0;
    std::string login = "alice";
    std::string passwd = "secret";
    std::string speed_in = "20000000:20000000";
    std::string speed_out = "20000000:20000000";
    std::string extra;  // more lines
};
struct local_conf {
    local_conf(std::string mode, std::string addr = "127.0.0.1", uint16_t at = 0)
        : mode_line(std::move(mode)), listen_addr(std::move(addr)), port(at) {}
    std::string mode_line;  // e.g. "socks5=1", "service_ext=127.0.0.1:9", "mux=1"
    std::string listen_addr = "127.0.0.1";
    uint16_t port = 0;      // 0: a free port is chosen at start
    std::string remote = "srv";
    std::string extra;
};
std::string conf_text(uint16_t console_port, const std::vector<remote_conf>& remotes,
                      const std::vector<local_conf>& locals, const std::string& server_extra = "");

class engine_proc {
public:
    process proc;
    temp_dir* dir = nullptr;
    uint16_t console_port = 0;
    // Writes quorin.conf and starts the engine in dir; waits until the
    // console answers. On a port taken meanwhile it returns false.
    bool start(temp_dir& d, const std::string& conf, uint16_t console_at);
    std::string log() const;  // the engine's log file, "quorin.log"
    bool wait_log(const std::string& needle, double timeout_s, size_t count = 1) const;
    size_t log_count(const std::string& needle) const;
    std::string console_command(const std::string& text, double timeout_s = 5);
};

// A reference server and an engine logged in to it, in one temporary
// directory. Listener ports left at 0 are chosen when the engine starts (and
// chosen again should another process take one meanwhile).
struct stack {
    temp_dir dir;
    refserver_proc rs;
    engine_proc engine;
    std::vector<local_conf> locals;  // as started, ports filled in
    remote_conf remote;

    bool start_refserver(const std::vector<std::string>& args = {}, bool control = false);
    // For a failed test: the reference server's lines go to refserver.out
    // in the directory, and the directory is kept and named on stderr.
    void keep_for_diagnosis();
    // The engine with `remote` (its port set to the reference server's) and
    // the given listeners.
    bool start_engine(const std::vector<local_conf>& wanted, const std::string& server_extra = "",
                      const std::vector<remote_conf>& more_remotes = {});
    uint16_t port(size_t i) const { return locals.at(i).port; }
};

// Sleeps in small steps until pred() holds or the time-out passes.
bool wait_until(const std::function<bool()>& pred, double timeout_s, double step_s = 0.02);
double mono_now();

}  // namespace e2e
