// The account web service, for tests and the demo: plain HTTP on its own
// thread, answering "/client.csv" (the account's connection settings) and
// "/client.xml" (tariff and balance) for the server's accounts, whose login
// and password digest the request must carry.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "tools/refserver/options.h"

// Answers when an account has no configured one.
extern const char account_default_csv[];
extern const char account_default_xml[];

// The whole HTTP response to one request head (request line and headers).
// *event gets one line that tells what was answered.
std::string account_response(const std::string& head, const refserver_options& opts, std::string* event);

// Decodes %XX escapes; false on a malformed escape.
bool percent_decode(const std::string& in, std::string* out);

class account_service {
public:
    explicit account_service(const refserver_options& opts) : opts_(opts) {}
    ~account_service();
    account_service(const account_service&) = delete;
    account_service& operator=(const account_service&) = delete;

    // Binds and starts serving; prints "ACCOUNT <port>" on standard output.
    bool start();
    void stop();

private:
    void run();

    const refserver_options& opts_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};
