#include "ui/core/consolestream.h"

#include <algorithm>
#include <cstring>

namespace {

const std::string stat_query = "show stat\n";

}  // namespace

size_t ConsoleReader::room() const { return backlog_limit_bytes - backlog(); }

size_t ConsoleReader::feed(const char* data, size_t n) {
    if (head_ > 0 && head_ >= buffer_.size() / 2) {
        buffer_.erase(0, head_);
        head_ = 0;
    }
    const size_t taken = std::min(n, room());
    buffer_.append(data, taken);
    return taken;
}

ConsoleReader::front ConsoleReader::classify(size_t at, bool discarding) const {
    const size_t left = buffer_.size() - at;
    if (left == 0) return {item::none, 0, false, false};
    const char* p = buffer_.data() + at;
    const char* newline = static_cast<const char*>(std::memchr(p, '\n', left));
    if (discarding) {
        if (!newline) return {item::none, left, true, true};
        return {item::none, size_t(newline - p) + 1, true, false};
    }
    const size_t compared = std::min(left, console_prompt_bytes);
    if (std::memcmp(p, console_prompt, compared) == 0) {
        if (compared == console_prompt_bytes) return {item::prompt, console_prompt_bytes, false, false};
        return {item::none, 0, false, false};
    }
    if (!newline) {
        if (left > line_limit_bytes) return {item::none, left, true, true};
        return {item::none, 0, false, false};
    }
    const size_t bytes = size_t(newline - p) + 1;
    if (bytes > line_limit_bytes) return {item::none, bytes, true, false};
    return {item::line, bytes, false, false};
}

ConsoleReader::item ConsoleReader::next(std::string* line) {
    for (;;) {
        const front f = classify(head_, discarding_);
        if (f.drop) {
            if (!discarding_) dropped_lines_++;
            discarding_ = f.unfinished;
            head_ += f.bytes;
            continue;
        }
        if (f.kind == item::line) line->assign(buffer_, head_, f.bytes);
        head_ += f.bytes;
        return f.kind;
    }
}

bool ConsoleReader::has_item() const {
    size_t at = head_;
    bool discarding = discarding_;
    for (;;) {
        const front f = classify(at, discarding);
        if (!f.drop) return f.kind != item::none;
        discarding = f.unfinished;
        at += f.bytes;
    }
}

void ConsoleReader::clear() {
    buffer_.clear();
    head_ = 0;
    discarding_ = false;
}

void ConsoleCommandQueue::restart() { ready_ = false; }

void ConsoleCommandQueue::prompt_seen() { ready_ = true; }

bool ConsoleCommandQueue::push(const std::string& command) {
    std::string line = command;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    line += '\n';
    if (line == stat_query && std::find(pending_.begin(), pending_.end(), line) != pending_.end()) return true;
    if (pending_.size() >= pending_limit) return false;
    pending_.push_back(std::move(line));
    return true;
}

bool ConsoleCommandQueue::take(std::string* command) {
    if (!ready_ || pending_.empty()) return false;
    *command = std::move(pending_.front());
    pending_.pop_front();
    ready_ = false;
    return true;
}
