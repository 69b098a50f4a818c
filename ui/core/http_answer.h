// The answer to an HTTP/1.0 GET, read as its bytes arrive. Its head
// (status line and headers) and its body each have a bound: an answer that
// goes past either is given up at once rather than held, whatever the peer
// keeps sending.
#pragma once

#include <cstddef>
#include <string>

class HttpAnswerReader {
public:
    enum class state {
        head,       // reading the status line and headers
        body,       // reading the body
        done,       // whole; what follows is not read
        too_long,   // past a bound
        malformed,  // not an HTTP answer
        cut_short,  // the connection ended before the answer did
    };

    HttpAnswerReader(size_t head_max_bytes, size_t body_max_bytes);

    // Takes the bytes that arrived; returns the state after them.
    state feed(const char* bytes, size_t n);
    // The peer ended the connection: a body without a length ends here.
    state end();
    state current() const { return state_; }
    // Frees what the reader holds, its state kept.
    void release();

    // Known once the head is read.
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }
    // An answer other than 2xx ends with its head: its body is never read.
    const std::string& body() const { return body_; }

private:
    state head_line(const std::string& line);
    state head_end();

    size_t head_max_bytes_, body_max_bytes_;
    state state_ = state::head;
    size_t head_bytes_ = 0;
    std::string line_;  // the head line being read
    bool status_read_ = false;
    int status_ = 0;
    std::string reason_;
    long long content_length_ = -1;  // -1: up to the end of the connection
    std::string body_;
};
