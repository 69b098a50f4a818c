#include "protocol/commands.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol/wire.h"

namespace {

using bytes = std::vector<uint8_t>;

TEST(Commands, EncodersAreByteExact) {
    uint8_t b[300];
    ASSERT_EQ(cmd_put_open(b, htons(8080), inet_addr("10.1.2.3"), 0x0102, "host", 4), 14u);
    EXPECT_EQ(bytes(b, b + 14),
              (bytes{0, 4, 0x1F, 0x90, 10, 1, 2, 3, 0x02, 0x01, 'h', 'o', 's', 't'}));
    ASSERT_EQ(cmd_put_open(b, htons(80), inet_addr("192.168.0.1"), 7, nullptr, 9), 10u);
    EXPECT_EQ(bytes(b, b + 10), (bytes{0, 0, 0, 80, 192, 168, 0, 1, 7, 0}));

    ASSERT_EQ(cmd_put_open_internal(b, 31, 0xABCD), 3u);
    EXPECT_EQ(bytes(b, b + 3), (bytes{0xF9, 0xCD, 0xAB}));
    ASSERT_EQ(cmd_put_open_internal(b, 2, 1), 3u);
    EXPECT_EQ(b[0], 0x11);

    const struct {
        cmd_code code;
        uint8_t byte0;
    } stream_cmds[] = {{cmd_end, 2}, {cmd_stop, 4}, {cmd_continue, 5}, {cmd_shutdown, 7}};
    for (const auto& c : stream_cmds) {
        ASSERT_EQ(cmd_put_stream(b, c.code, 0x1234), 3u);
        EXPECT_EQ(bytes(b, b + 3), (bytes{c.byte0, 0x34, 0x12}));
    }

    ASSERT_EQ(cmd_put_tunnel_header(b, 1500), 3u);
    EXPECT_EQ(bytes(b, b + 3), (bytes{6, 0xDC, 0x05}));
}

TEST(Commands, DataLengthSplitsOverTwoBytes) {
    const struct {
        uint16_t len;
        uint8_t byte0, byte1;
    } cases[] = {{0, 0x03, 0x00}, {1, 0x0B, 0x00}, {31, 0xFB, 0x00}, {32, 0x03, 0x01}, {1444, 0x23, 0x2D},
                 {2047, 0xFB, 0x3F}};
    for (const auto& c : cases) {
        uint8_t b[4];
        ASSERT_EQ(cmd_put_data_header(b, c.len, 0x0201), 4u);
        EXPECT_EQ(b[0], c.byte0) << c.len;
        EXPECT_EQ(b[1], c.byte1) << c.len;
        EXPECT_EQ(b[2], 0x01);
        EXPECT_EQ(b[3], 0x02);
        EXPECT_EQ(cmd_data_length(b), c.len);
        b[1] |= 0xC0;  // bits 6-7 carry nothing
        EXPECT_EQ(cmd_data_length(b), c.len);
    }
}

// Records what the parser calls, data of consecutive calls for one stream
// joined, so that any split of the input gives the same record.
struct recorder {
    std::vector<std::string> events;
    bool refuse_tunnels = false;
    std::vector<uint16_t> tunnel_lens_asked;

    void add(const std::string& e) { events.push_back(e); }
};

recorder& rec(void* ctx) { return *static_cast<recorder*>(ctx); }

cmd_handlers recording_handlers() {
    cmd_handlers h{};
    h.open = [](void* c, const cmd_open_req& r) {
        rec(c).add("open " + std::to_string(r.stream_id) + " " + std::to_string(ntohs(r.port_net)) + " " +
                   std::to_string(ntohl(r.addr_net)) + " [" + std::string(r.name, r.name_len) + "]" +
                   (std::strlen(r.name) == r.name_len ? "" : " unterminated"));
    };
    h.open_internal = [](void* c, uint8_t service, uint16_t sid) {
        rec(c).add("internal " + std::to_string(service) + " " + std::to_string(sid));
    };
    h.end = [](void* c, uint16_t sid) { rec(c).add("end " + std::to_string(sid)); };
    h.stop = [](void* c, uint16_t sid) { rec(c).add("stop " + std::to_string(sid)); };
    h.cont = [](void* c, uint16_t sid) { rec(c).add("continue " + std::to_string(sid)); };
    h.shutdown = [](void* c, uint16_t sid) { rec(c).add("shutdown " + std::to_string(sid)); };
    h.data = [](void* c, uint16_t sid, const uint8_t* b, uint32_t n) {
        auto& r = rec(c);
        std::string head = "data " + std::to_string(sid) + " ";
        std::string text(reinterpret_cast<const char*>(b), n);
        if (!r.events.empty() && r.events.back().compare(0, head.size(), head) == 0)
            r.events.back() += text;
        else
            r.add(head + text);
    };
    h.tunnel = [](void* c, const uint8_t* p, uint16_t len) {
        rec(c).add("tunnel " + std::to_string(len) + " " + std::string(reinterpret_cast<const char*>(p), len));
    };
    h.tunnel_len_ok = [](void* c, uint16_t len) {
        rec(c).tunnel_lens_asked.push_back(len);
        return !rec(c).refuse_tunnels;
    };
    return h;
}

// One command and what the parser reports for it.
struct command_case {
    bytes wire;
    std::string event;
};

bytes text_bytes(size_t n, char base) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(base + i % 23);
    return b;
}

command_case make_open(uint16_t sid, uint16_t port, uint32_t addr, const std::string& name) {
    uint8_t b[300];
    size_t n = cmd_put_open(b, htons(port), htonl(addr), sid, name.data(), uint8_t(name.size()));
    return {bytes(b, b + n), "open " + std::to_string(sid) + " " + std::to_string(port) + " " +
                                 std::to_string(addr) + " [" + name + "]"};
}

command_case make_data(uint16_t sid, size_t len, char base) {
    uint8_t h[4];
    cmd_put_data_header(h, uint16_t(len), sid);
    bytes payload = text_bytes(len, base);
    bytes w(h, h + 4);
    w.insert(w.end(), payload.begin(), payload.end());
    return {w, len ? "data " + std::to_string(sid) + " " + std::string(payload.begin(), payload.end()) : ""};
}

command_case make_stream(cmd_code code, uint16_t sid) {
    static const char* names[8] = {"", "", "end", "", "stop", "continue", "", "shutdown"};
    uint8_t b[3];
    cmd_put_stream(b, code, sid);
    return {bytes(b, b + 3), std::string(names[code]) + " " + std::to_string(sid)};
}

command_case make_internal(uint8_t service, uint16_t sid) {
    uint8_t b[3];
    cmd_put_open_internal(b, service, sid);
    return {bytes(b, b + 3), "internal " + std::to_string(service) + " " + std::to_string(sid)};
}

command_case make_tunnel(size_t len, char base) {
    uint8_t h[3];
    cmd_put_tunnel_header(h, uint16_t(len));
    bytes packet = text_bytes(len, base);
    bytes w(h, h + 3);
    w.insert(w.end(), packet.begin(), packet.end());
    return {w, "tunnel " + std::to_string(len) + " " + std::string(packet.begin(), packet.end())};
}

// Every kind of record, with bodies empty, short and long.
std::vector<command_case> all_kinds() {
    return {make_open(1, 443, 0x5DB8D822, ""),
            make_data(1, 5, 'a'),
            make_open(2, 80, 0x01020304, "www.example.org"),
            make_internal(3, 40000),
            make_data(2, 2047, 'A'),
            make_stream(cmd_stop, 2),
            make_data(3, 0, 'x'),
            make_stream(cmd_continue, 2),
            make_tunnel(60, '0'),
            make_open(9, 1, 0xFFFFFFFF, std::string(255, 'n')),
            make_tunnel(0, '0'),
            make_stream(cmd_shutdown, 1),
            make_data(65535, 1, 'q'),
            make_stream(cmd_end, 65535)};
}

bytes join(const std::vector<command_case>& cmds) {
    bytes all;
    for (const auto& c : cmds) all.insert(all.end(), c.wire.begin(), c.wire.end());
    return all;
}

std::vector<std::string> expected_events(const std::vector<command_case>& cmds) {
    std::vector<std::string> ev;
    for (const auto& c : cmds) {
        if (c.event.empty()) continue;
        // Data of back-to-back data commands for one stream joins as the
        // recorder joins it.
        if (c.event.compare(0, 5, "data ") == 0 && !ev.empty()) {
            std::string head = c.event.substr(0, c.event.find(' ', 5) + 1);
            if (ev.back().compare(0, head.size(), head) == 0) {
                ev.back() += c.event.substr(head.size());
                continue;
            }
        }
        ev.push_back(c.event);
    }
    return ev;
}

// Says where two event lists part, without printing kilobytes of data.
::testing::AssertionResult same_events(const std::vector<std::string>& got, const std::vector<std::string>& want) {
    for (size_t i = 0; i < got.size() && i < want.size(); ++i)
        if (got[i] != want[i])
            return ::testing::AssertionFailure()
                   << "event " << i << ": got '" << got[i].substr(0, 60) << "' (" << got[i].size() << " chars), want '"
                   << want[i].substr(0, 60) << "' (" << want[i].size() << " chars)";
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " events, want " << want.size();
    return ::testing::AssertionSuccess();
}

// Feeds the stream in pieces ending at the given offsets, parsing after each.
std::vector<std::string> parse_in_pieces(const bytes& stream, const std::vector<size_t>& cuts) {
    recorder r;
    cmd_parser p;
    byte_fifo in;
    cmd_handlers h = recording_handlers();
    size_t from = 0;
    for (size_t to : cuts) {
        fifo_write(&in, stream.data() + from, uint32_t(to - from));
        EXPECT_EQ(process_commands_core(p, in, h, &r), 0);
        from = to;
    }
    EXPECT_EQ(in.len, 0u);
    EXPECT_EQ(p.have, 0);
    fifo_free(&in);
    return r.events;
}

TEST(Commands, ParsesEveryKindInOneGo) {
    auto cmds = all_kinds();
    bytes stream = join(cmds);
    EXPECT_TRUE(same_events(parse_in_pieces(stream, {stream.size()}), expected_events(cmds)));
}

TEST(Commands, ASplitAtAnyOffsetChangesNothing) {
    auto cmds = all_kinds();
    bytes stream = join(cmds);
    auto expected = expected_events(cmds);
    for (size_t k = 0; k <= stream.size(); ++k)
        ASSERT_TRUE(same_events(parse_in_pieces(stream, {k, stream.size()}), expected)) << "split at " << k;
}

TEST(Commands, ByteByByte) {
    auto cmds = all_kinds();
    bytes stream = join(cmds);
    std::vector<size_t> cuts;
    for (size_t k = 1; k <= stream.size(); ++k) cuts.push_back(k);
    EXPECT_TRUE(same_events(parse_in_pieces(stream, cuts), expected_events(cmds)));
}

TEST(Commands, HeaderHeldUntilComplete) {
    recorder r;
    cmd_parser p;
    byte_fifo in;
    cmd_handlers h = recording_handlers();
    command_case open = make_open(5, 25, 0x0A000001, "");
    for (size_t i = 0; i < open.wire.size(); ++i) {
        EXPECT_TRUE(r.events.empty()) << i;
        fifo_write(&in, &open.wire[i], 1);
        uint16_t first2 = 0;
        int got = cmd_header(p, in, &first2);
        if (i + 1 < open.wire.size()) {
            EXPECT_EQ(got, -1);
        } else {
            EXPECT_EQ(got, 0);
            EXPECT_EQ(first2, 0x0000);
        }
        EXPECT_EQ(p.have, i + 1);
    }
    EXPECT_EQ(process_commands_core(p, in, h, &r), 0);
    EXPECT_EQ(r.events, std::vector<std::string>{open.event});
}

TEST(Commands, DataIsHandedOverAsItArrives) {
    recorder r;
    cmd_parser p;
    byte_fifo in;
    cmd_handlers h = recording_handlers();
    command_case d = make_data(77, 100, 'a');
    fifo_write(&in, d.wire.data(), 4 + 30);
    EXPECT_EQ(process_commands_core(p, in, h, &r), 0);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0], "data 77 " + std::string(d.wire.begin() + 4, d.wire.begin() + 34));
    r.events.clear();
    fifo_write(&in, d.wire.data() + 34, 70);
    EXPECT_EQ(process_commands_core(p, in, h, &r), 0);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0], "data 77 " + std::string(d.wire.begin() + 34, d.wire.end()));
    EXPECT_EQ(p.have, 0);
}

TEST(Commands, OpenWaitsForTheWholeName) {
    recorder r;
    cmd_parser p;
    byte_fifo in;
    cmd_handlers h = recording_handlers();
    command_case o = make_open(4, 8080, 0x7F000001, "proxy.example.net");
    fifo_write(&in, o.wire.data(), 10 + 5);
    EXPECT_EQ(process_commands_core(p, in, h, &r), 0);
    EXPECT_TRUE(r.events.empty());
    fifo_write(&in, o.wire.data() + 15, uint32_t(o.wire.size() - 15));
    EXPECT_EQ(process_commands_core(p, in, h, &r), 0);
    EXPECT_EQ(r.events, std::vector<std::string>{o.event});
}

TEST(Commands, RefusedTunnelLengthBreaksTheStreamForGood) {
    recorder r;
    r.refuse_tunnels = true;
    cmd_parser p;
    byte_fifo in;
    cmd_handlers h = recording_handlers();
    bytes stream = join({make_stream(cmd_stop, 1), make_tunnel(3000, 'x'), make_stream(cmd_end, 1)});
    fifo_write(&in, stream.data(), 3 + 3);  // stop and the tunnel header only
    EXPECT_EQ(process_commands_core(p, in, h, &r), -1);
    EXPECT_EQ(r.tunnel_lens_asked, std::vector<uint16_t>{3000});
    fifo_write(&in, stream.data() + 6, uint32_t(stream.size() - 6));
    r.refuse_tunnels = false;
    EXPECT_EQ(process_commands_core(p, in, h, &r), -1);
    EXPECT_EQ(r.events, std::vector<std::string>{"stop 1"});
    EXPECT_EQ(r.tunnel_lens_asked.size(), 1u) << "asked once, when its header completed";
    fifo_free(&in);
}

TEST(Commands, TunnelLongerThanTheParserHoldsIsBroken) {
    recorder r;
    cmd_parser p;
    byte_fifo in;
    cmd_handlers h = recording_handlers();
    uint8_t hdr[3];
    cmd_put_tunnel_header(hdr, uint16_t(cmd_tunnel_max + 1));
    fifo_write(&in, hdr, 3);
    EXPECT_EQ(process_commands_core(p, in, h, &r), -1);
    EXPECT_TRUE(r.events.empty());
    fifo_free(&in);

    // The bound itself is taken.
    cmd_parser p2;
    command_case t = make_tunnel(cmd_tunnel_max, 't');
    fifo_write(&in, t.wire.data(), uint32_t(t.wire.size()));
    EXPECT_EQ(process_commands_core(p2, in, h, &r), 0);
    EXPECT_EQ(r.events, std::vector<std::string>{t.event});
}

TEST(Commands, NullHandlersStillConsume) {
    cmd_parser p;
    byte_fifo in;
    cmd_handlers none{};
    bytes stream = join(all_kinds());
    fifo_write(&in, stream.data(), uint32_t(stream.size()));
    EXPECT_EQ(process_commands_core(p, in, none, nullptr), 0);
    EXPECT_EQ(in.len, 0u);
    EXPECT_EQ(p.have, 0);
}

TEST(Commands, AnyInputIsSurvived) {
    // Random bytes: the parser must stay inside its buffers and always
    // return, with every byte either consumed or held for a later command.
    std::mt19937 rng(12345);
    cmd_handlers h = recording_handlers();
    for (int round = 0; round < 300; ++round) {
        recorder r;
        cmd_parser p;
        byte_fifo in;
        for (int piece = 0; piece < 20; ++piece) {
            bytes junk(rng() % 700);
            for (auto& c : junk) c = uint8_t(rng());
            fifo_write(&in, junk.data(), uint32_t(junk.size()));
            int got = process_commands_core(p, in, h, &r);
            if (got < 0) {
                EXPECT_TRUE(p.broken);
                break;
            }
            EXPECT_LT(in.len, 10u) << "only an incomplete header may wait";
        }
        fifo_free(&in);
    }
}

// The command stream as it travels: deflated as commands are made (some
// sync-flushed, the rest flushed now and then), cut into payloads of random
// sizes, inflated in chunks and parsed after every payload.
TEST(Commands, RoundTripThroughDeflateAndInflate) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 20; ++round) {
        std::vector<command_case> cmds;
        for (int i = 0; i < 400; ++i) {
            uint16_t sid = uint16_t(rng() % 8);
            switch (rng() % 8) {
            case 0: cmds.push_back(make_open(sid, uint16_t(1 + rng() % 65535), rng(), std::string(rng() % 40, 'h'))); break;
            case 1: cmds.push_back(make_internal(uint8_t(rng() % 32), sid)); break;
            case 3: cmds.push_back(make_tunnel(rng() % 1500, char('0' + rng() % 10))); break;
            case 4: cmds.push_back(make_stream(cmd_code(2 + 2 * (rng() % 2)), sid)); break;
            case 5: cmds.push_back(make_stream(cmd_continue, sid)); break;
            case 6: cmds.push_back(make_stream(cmd_shutdown, sid)); break;
            default: cmds.push_back(make_data(sid, rng() % 2048, char('a' + rng() % 20))); break;
            }
        }

        z_stream def{}, inf{};
        ASSERT_EQ(zstream_deflate_init(&def, int(rng() % 10)), Z_OK);
        ASSERT_EQ(zstream_inflate_init(&inf), Z_OK);
        byte_fifo deflated, in;
        recorder r;
        cmd_parser p;
        cmd_handlers h = recording_handlers();
        bytes payload(1472);

        auto send_some = [&](bool all) {
            while (deflated.len && (all || deflated.len > 1472)) {
                uint32_t n = fifo_read(&deflated, payload.data(), 1 + rng() % 1472);
                ASSERT_EQ(payload_inflate(&inf, payload.data(), n, &in, 1 + rng() % 4076, 1u << 22), Z_OK);
                ASSERT_EQ(process_commands_core(p, in, h, &r), 0);
            }
        };
        for (const auto& c : cmds) {
            fifo_write_deflate(&deflated, c.wire.data(), uint32_t(c.wire.size()), &def, rng() % 3 == 0);
            if (rng() % 10 == 0) fifo_deflate(&deflated, &def);
            send_some(false);
        }
        fifo_deflate(&deflated, &def);
        send_some(true);

        EXPECT_TRUE(same_events(r.events, expected_events(cmds))) << "round " << round;
        EXPECT_EQ(in.len, 0u);
        fifo_free(&in);
        deflateEnd(&def);
        inflateEnd(&inf);
    }
}

}  // namespace
