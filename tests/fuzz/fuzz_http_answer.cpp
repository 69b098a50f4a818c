// The account service's answer read as it arrives: the bytes cut into
// reads of arbitrary sizes must give what one read of them all gives, and
// neither the head nor the body may pass its bound.
//
// Input: u8 read size (0 reads everything at once), u8 head bound, u8 body
// bound (each 0 for the interface's own bounds), then the answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ui/core/http_answer.h"

namespace {

constexpr size_t head_max_bytes = 16384;
constexpr size_t body_max_bytes = 4096;

using state = HttpAnswerReader::state;

bool final_state(state s) { return s != state::head && s != state::body; }

// Reads the answer in pieces of read_size; the state after the end.
state read_answer(HttpAnswerReader& r, const char* bytes, size_t n, size_t read_size, size_t body_max) {
    state s = state::head;
    for (size_t at = 0; at < n && !final_state(s); at += read_size) {
        const size_t k = n - at < read_size ? n - at : read_size;
        s = r.feed(bytes + at, k);
        if (s != r.current() || r.body().size() > body_max) std::abort();
    }
    if (!final_state(s)) s = r.end();
    // A reader that has ended takes nothing more.
    const std::string body = r.body();
    if (r.feed(bytes, n) != s || r.end() != s || r.body() != body) std::abort();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const char* answer = reinterpret_cast<const char*>(data + 3);
    const size_t n = size - 3;
    const size_t read_size = data[0] ? data[0] : (n ? n : 1);
    const size_t head_max = data[1] ? data[1] : head_max_bytes;
    const size_t body_max = data[2] ? data[2] : body_max_bytes;

    HttpAnswerReader whole(head_max, body_max), pieces(head_max, body_max);
    const state a = read_answer(whole, answer, n, n ? n : 1, body_max);
    const state b = read_answer(pieces, answer, n, read_size, body_max);
    if (a != b || whole.body() != pieces.body() || whole.status() != pieces.status() ||
        whole.reason() != pieces.reason())
        std::abort();
    if (whole.status() < 0 || whole.status() > 999) std::abort();
    return 0;
}
