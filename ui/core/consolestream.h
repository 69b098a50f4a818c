// The client side of the engine's console as a byte stream: what the
// engine sends back (lines and prompts) and what may be sent to it next.
//
// The console reads one block per command and acts on its first words, so
// two commands that reach it together merge into one: the client sends the
// next command only after the prompt that ends the previous answer.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

constexpr char console_prompt[] = "Quorin>";
constexpr size_t console_prompt_bytes = sizeof console_prompt - 1;

class ConsoleReader {
public:
    // A longer line cannot be a statistics line; it is dropped whole.
    static constexpr size_t line_limit_bytes = 1023;
    // What waits to be taken. The engine answers one command at a time in a
    // few lines; more than this is a flood, and the socket keeps the rest
    // until there is room. Above line_limit_bytes, so that a full backlog
    // always holds an item.
    static constexpr size_t backlog_limit_bytes = 65536;

    enum class item { none, prompt, line };

    // How much feed() takes now.
    size_t room() const;
    // Takes at most room() bytes; returns how many it took.
    size_t feed(const char* data, size_t n);
    // Takes the next whole item: a prompt where a line starts (the engine
    // ends every answer with one, and every answer line with a newline), or
    // a line up to and including its newline. A partial line, or the start
    // of what may still become a prompt, waits for the next feed.
    item next(std::string* line);
    // Whether next() would return an item now.
    bool has_item() const;
    void clear();
    size_t dropped_lines() const { return dropped_lines_; }
    size_t backlog() const { return buffer_.size() - head_; }

private:
    struct front {
        item kind;
        size_t bytes;     // what the item (or the dropped bytes) takes
        bool drop;        // bytes of an over-long line
        bool unfinished;  // the over-long line goes on in later feeds
    };
    front classify(size_t at, bool discarding) const;

    // Taken bytes stay in front of head_ until they are half the buffer:
    // moving the rest forward after every item would make a long backlog
    // cost its square.
    std::string buffer_;
    size_t head_ = 0;
    bool discarding_ = false;  // inside an over-long line
    size_t dropped_lines_ = 0;
};

class ConsoleCommandQueue {
public:
    // Enough for every command a user can click in the time the engine
    // takes to answer; more are refused.
    static constexpr size_t pending_limit = 64;

    // A new connection: the engine greets with a prompt before it reads.
    // Commands still waiting go out after that prompt.
    void restart();
    // The prompt came back: the engine is ready for the next command.
    void prompt_seen();
    // Queues one command; a line break inside it becomes a blank, and the
    // line ends with one newline. A statistics query already waiting is not
    // queued twice: one answer serves both. False when refused.
    bool push(const std::string& command);
    // The next command to write, when the engine is ready for it.
    bool take(std::string* command);
    size_t pending() const { return pending_.size(); }
    bool engine_ready() const { return ready_; }

private:
    std::deque<std::string> pending_;
    bool ready_ = false;
};
