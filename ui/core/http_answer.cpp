#include "ui/core/http_answer.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr char status_magic[] = "HTTP/";
// "HTTP/1.0 200": the shortest status line.
constexpr size_t status_min_chars = 12;
// More digits than any length a bound allows; longer is too long anyway.
constexpr size_t content_length_max_digits = 15;

bool same_name(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(uint8_t(a[i])) != b[i]) return false;
    return true;
}

std::string trimmed(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool digits_only(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(uint8_t(c)); });
}

}  // namespace

HttpAnswerReader::HttpAnswerReader(size_t head_max_bytes, size_t body_max_bytes)
    : head_max_bytes_(head_max_bytes), body_max_bytes_(body_max_bytes) {}

HttpAnswerReader::state HttpAnswerReader::feed(const char* bytes, size_t n) {
    size_t at = 0;
    while (at < n && state_ == state::head) {
        const char c = bytes[at++];
        if (++head_bytes_ > head_max_bytes_) {
            state_ = state::too_long;
            release();
            return state_;
        }
        if (c != '\n') {
            line_.push_back(c);
            continue;
        }
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        state_ = head_line(line_);
        line_.clear();
    }
    if (state_ != state::head) std::string().swap(line_);
    if (state_ != state::body) return state_;
    size_t take = n - at;
    if (content_length_ >= 0) take = std::min(take, size_t(content_length_) - body_.size());
    if (body_.size() + take > body_max_bytes_) {
        state_ = state::too_long;
        release();
        return state_;
    }
    body_.append(bytes + at, take);
    if (content_length_ >= 0 && body_.size() == size_t(content_length_)) state_ = state::done;
    return state_;
}

HttpAnswerReader::state HttpAnswerReader::end() {
    if (state_ == state::head || (state_ == state::body && content_length_ >= 0)) state_ = state::cut_short;
    if (state_ == state::body) state_ = state::done;
    return state_;
}

void HttpAnswerReader::release() {
    std::string().swap(line_);
    std::string().swap(body_);
}

HttpAnswerReader::state HttpAnswerReader::head_line(const std::string& line) {
    if (!status_read_) {
        // "HTTP/d.d NNN reason"
        status_read_ = true;
        if (line.size() < status_min_chars || line.compare(0, 5, status_magic) != 0 ||
            !std::isdigit(uint8_t(line[5])) || line[6] != '.' || !std::isdigit(uint8_t(line[7])) || line[8] != ' ')
            return state::malformed;
        const size_t code_end = line.find(' ', 9);
        const std::string code = line.substr(9, code_end == std::string::npos ? std::string::npos : code_end - 9);
        if (code.size() != 3 || !digits_only(code)) return state::malformed;
        status_ = std::stoi(code);
        reason_ = code_end == std::string::npos ? std::string() : trimmed(line.substr(code_end + 1));
        return state::head;
    }
    if (line.empty()) return head_end();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || !same_name(line.substr(0, colon), "content-length")) return state::head;
    const std::string value = trimmed(line.substr(colon + 1));
    if (!digits_only(value)) return state::malformed;
    content_length_ = value.size() > content_length_max_digits ? (long long)(body_max_bytes_) + 1 : std::stoll(value);
    return state::head;
}

HttpAnswerReader::state HttpAnswerReader::head_end() {
    if (status_ < 200 || status_ > 299) return state::done;
    if (content_length_ > (long long)(body_max_bytes_)) return state::too_long;
    if (content_length_ == 0) return state::done;
    return state::body;
}
