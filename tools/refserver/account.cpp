#include "tools/refserver/account.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <map>
#include <vector>

#include "protocol/md5.h"

const char account_default_csv[] = "0::2066::1";
const char account_default_xml[] =
    "<account><tarif>Standard</tarif><money>100.00</money><traffic>1000 Mb</traffic><status>active</status>"
    "<expire>31.12.2030</expire><lastver>5.0.16KORVEL</lastver></account>";

namespace {

constexpr size_t head_limit_bytes = 8192;
constexpr double idle_limit_s = 10;
constexpr size_t connections_max = 64;

double mono_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string http(int code, const char* reason, const std::string& type, const std::string& body) {
    return "HTTP/1.0 " + std::to_string(code) + " " + reason + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::map<std::string, std::string> query_items(const std::string& query) {
    std::map<std::string, std::string> items;
    size_t at = 0;
    while (at <= query.size()) {
        size_t amp = query.find('&', at);
        if (amp == std::string::npos) amp = query.size();
        const std::string item = query.substr(at, amp - at);
        const size_t eq = item.find('=');
        std::string key, value;
        if (percent_decode(item.substr(0, eq), &key) &&
            percent_decode(eq == std::string::npos ? "" : item.substr(eq + 1), &value))
            items.emplace(key, value);
        at = amp + 1;
    }
    return items;
}

struct connection {
    std::string in, out;
    double since = 0;
};

}  // namespace

bool percent_decode(const std::string& in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size() || !std::isxdigit(uint8_t(in[i + 1])) || !std::isxdigit(uint8_t(in[i + 2])))
            return false;
        out->push_back(char(std::stoi(in.substr(i + 1, 2), nullptr, 16)));
        i += 2;
    }
    return true;
}

std::string account_response(const std::string& head, const refserver_options& opts, std::string* event) {
    const size_t line_end = head.find("\r\n");
    const std::string request_line = head.substr(0, line_end);
    const size_t sp1 = request_line.find(' ');
    const size_t sp2 = request_line.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) {
        *event = "bad request";
        return http(400, "Bad Request", "text/plain", "bad request\n");
    }
    if (request_line.compare(0, sp1, "GET") != 0) {
        *event = "method refused";
        return http(405, "Method Not Allowed", "text/plain", "only GET\n");
    }
    const std::string target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
    const size_t q = target.find('?');
    const std::string path = target.substr(0, q);
    const bool csv = path == "/client.csv", xml = path == "/client.xml";
    if (!csv && !xml) {
        *event = "not found " + path;
        return http(404, "Not Found", "text/plain", "not found\n");
    }
    const auto items = query_items(q == std::string::npos ? "" : target.substr(q + 1));
    const auto login_it = items.find("login"), md_it = items.find("md");
    const std::string login = login_it == items.end() ? "" : login_it->second;
    const auto user = opts.users.find(login);
    const std::string expected =
        user == opts.users.end() ? "" : md5_hex_upper((login + user->second).data(), login.size() + user->second.size());
    const std::string kind = csv ? "csv" : "xml";
    if (user == opts.users.end() || md_it == items.end() || md_it->second != expected) {
        *event = kind + " refused " + login;
        return http(403, "Forbidden", "text/plain", "access denied\n");
    }
    const auto& answers = csv ? opts.account_csv : opts.account_xml;
    const auto answer = answers.find(login);
    *event = kind + " ok " + login;
    if (csv) return http(200, "OK", "text/plain", answer == answers.end() ? account_default_csv : answer->second);
    return http(200, "OK", "text/xml", answer == answers.end() ? account_default_xml : answer->second);
}

account_service::~account_service() { stop(); }

bool account_service::start() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return false;
    const int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = opts_.account.addr_net;
    a.sin_port = htons(opts_.account.port);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 64) != 0) {
        std::perror("refserver: account listener");
        return false;
    }
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    socklen_t len = sizeof a;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    std::printf("ACCOUNT %u\n", unsigned(ntohs(a.sin_port)));
    std::fflush(stdout);
    thread_ = std::thread([this] { run(); });
    return true;
}

void account_service::stop() {
    if (thread_.joinable()) {
        const char byte = 1;
        ssize_t n = write(wake_[1], &byte, 1);
        (void)n;
        thread_.join();
    }
    for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void account_service::run() {
    std::map<int, connection> conns;
    for (;;) {
        std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        for (auto& c : conns) fds.push_back({c.first, short(c.second.out.empty() ? POLLIN : POLLOUT), 0});
        if (poll(fds.data(), nfds_t(fds.size()), 200) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        const double now = mono_s();
        if (fds[1].revents & POLLIN) {
            int fd;
            while ((fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                if (conns.size() >= connections_max) {
                    close(fd);
                    continue;
                }
                conns[fd].since = now;
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            const int fd = fds[i].fd;
            connection& c = conns[fd];
            bool done = false;
            if (fds[i].revents & POLLIN) {
                char buf[2048];
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    done = true;
                } else {
                    c.in.append(buf, size_t(n));
                    std::string event;
                    if (c.in.find("\r\n\r\n") != std::string::npos) {
                        c.out = account_response(c.in, opts_, &event);
                    } else if (c.in.size() > head_limit_bytes) {
                        event = "request too long";
                        c.out = http(431, "Request Header Fields Too Large", "text/plain", "too long\n");
                    }
                    if (!event.empty()) std::fprintf(stderr, "ACCOUNT %s\n", event.c_str());
                }
            } else if (fds[i].revents & POLLOUT) {
                const ssize_t n = send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
                if (n > 0) c.out.erase(0, size_t(n));
                if (n < 0 || c.out.empty()) done = true;
            } else if (fds[i].revents) {
                done = true;
            }
            if (!done && now - c.since > idle_limit_s) done = true;
            if (done) {
                close(fd);
                conns.erase(fd);
            }
        }
    }
    for (auto& c : conns) close(c.first);
}
