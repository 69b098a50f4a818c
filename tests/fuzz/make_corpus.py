#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/.

Each seed is a well-formed example of what its target decodes, in the
target's own input layout (see the comment at the top of each fuzz_*.cpp).
Run it again after changing a layout; the files are small and kept in the
repository."""
import os
import shutil
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.join(here, "corpus")


def put(target, name, data):
    d = os.path.join(root, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- wire pieces

def header(pid, did, good=0, flags=0x40, sid=0):
    return struct.pack("<IIIIB", sid, pid, did, good, flags)


def req(first, count):
    return struct.pack("<IB", first, count)


def c_open(sid, addr, port, name=b""):
    return bytes([0, len(name)]) + struct.pack(">H", port) + bytes(addr) + struct.pack("<H", sid) + name


def c_internal(svc, sid):
    return bytes([1 | (svc << 3)]) + struct.pack("<H", sid)


def c_stream(code, sid):
    return bytes([code]) + struct.pack("<H", sid)


def c_data(sid, payload):
    n = len(payload)
    return bytes([3 | ((n & 0x1F) << 3), (n >> 5) & 0x3F]) + struct.pack("<H", sid) + payload


def c_tunnel(packet):
    return bytes([6]) + struct.pack("<H", len(packet)) + packet


ipv4_packet = bytes([0x45, 0, 0, 28]) + bytes(8) + bytes([10, 0, 0, 2, 10, 0, 0, 1]) + bytes(8)

stream_life = (c_internal(1, 5) + c_data(5, b"hello") + c_stream(4, 5) + c_stream(5, 5) +
               c_data(5, b"x" * 300) + c_stream(7, 5) + c_stream(2, 5))


def rec(ctl, body):
    return bytes([ctl]) + struct.pack("<H", len(body)) + body


SID, RAW, TIMERS = 0x01, 0x02, 0x04


def advance(steps):
    return 0x08 | (steps << 4)


# ---------------------------------------------------------------- datagram

def datagram():
    t = "datagram"
    put(t, "keepalive", rec(SID | TIMERS, header(1, 1)))
    put(t, "stream_life", rec(SID | RAW | TIMERS, header(1, 1) + stream_life))
    put(t, "out_of_order",
        rec(SID | RAW, header(3, 3) + c_data(5, b"three")) +
        rec(SID | RAW, header(2, 2) + c_data(5, b"two")) +
        rec(SID | RAW | TIMERS, header(1, 1) + c_internal(1, 5) + c_data(5, b"one")))
    put(t, "resend_requests",
        rec(SID | RAW | TIMERS, header(1, 1) + c_internal(1, 9) + c_data(9, b"a" * 40)) +
        rec(SID | TIMERS, header(2, 2, 1, 0x42) + req(1, 1) + req(0, 0)))
    put(t, "gap", rec(SID | TIMERS, header(10, 1)) + rec(SID | TIMERS, header(600, 2)))
    put(t, "reset_reason", rec(SID, header(0xFFFF, 0xFFFF, 0, 0xC0) + b"balance is empty"))
    put(t, "reset_refused", rec(SID, header(0xFFFF, 0xFFFF, 0, 0xC0)))
    put(t, "unknown_session", rec(0, header(1, 1, sid=0x1234)) + rec(0, header(0, 0, 0, 0xC0, sid=0x99)))
    put(t, "short", rec(SID, header(1, 1)[:16]) + rec(SID, header(1, 1, 0, 0x42) + b"abc"))
    cz = zlib.compressobj(6)
    payload = cz.compress(c_internal(0, 1) + c_data(1, b"deflated by the server")) + cz.flush(zlib.Z_SYNC_FLUSH)
    put(t, "deflated", rec(SID | TIMERS, header(1, 1) + payload))
    put(t, "tunnel", rec(SID | RAW | TIMERS, header(1, 1) + c_tunnel(ipv4_packet)))
    put(t, "timeouts", rec(SID | TIMERS, header(1, 1)) + rec(advance(15) | SID | TIMERS, header(2, 1)) +
        rec(advance(15) | TIMERS, b""))
    put(t, "ack", rec(SID | RAW | TIMERS, header(1, 1, 0) + stream_life) +
        rec(advance(2) | SID | TIMERS, header(2, 2, 1)))


# ---------------------------------------------------------------- commands

def commands():
    t = "commands"
    put(t, "stream_life", bytes([7]) + stream_life)
    put(t, "opens", bytes([3]) + c_open(1, [10, 1, 2, 3], 80) + c_open(2, [127, 0, 0, 1], 80) +
        c_open(3, [0, 0, 0, 0], 80) + c_open(4, [10, 1, 2, 3], 0) + c_internal(31, 6))
    put(t, "named_open", bytes([1]) + c_open(7, [1, 0, 0, 0], 443, b"example.invalid"))
    put(t, "big_data", bytes([200]) + c_internal(2, 3) + c_data(3, bytes(range(256)) * 7 + b"z" * 255))
    put(t, "tunnel", bytes([9]) + c_tunnel(ipv4_packet) + bytes([6, 0xFF, 0xFF]))
    put(t, "stop_twice", bytes([0]) + c_internal(1, 4) + c_stream(4, 4) + c_stream(4, 4) + c_stream(5, 4) +
        c_stream(5, 4))


# ---------------------------------------------------------------- inflate

def inflate():
    t = "inflate"
    cz = zlib.compressobj(9)
    parts = [cz.compress(stream_life) + cz.flush(zlib.Z_SYNC_FLUSH),
             cz.compress(c_data(5, b"q" * 2000)) + cz.flush(zlib.Z_SYNC_FLUSH)]
    put(t, "two_packets", bytes([0]) + b"".join(struct.pack("<H", len(p)) + p for p in parts))
    whole = parts[0] + parts[1]
    put(t, "split_everywhere", bytes([3]) + b"".join(struct.pack("<H", 1) + whole[i:i + 1]
                                                       for i in range(min(len(whole), 60))))
    cz = zlib.compressobj(9)
    bomb = cz.compress(bytes(4 << 20)) + cz.flush(zlib.Z_SYNC_FLUSH)
    put(t, "bomb", bytes([0]) + struct.pack("<H", min(len(bomb), 0x7FF)) + bomb[:0x7FF])
    put(t, "garbage", bytes([1]) + struct.pack("<H", 8) + b"\x78\x9c\xff\xff\xff\xff\x00\x01")


# ---------------------------------------------------------------- config

def config():
    t = "config"
    put(t, "full", b"""# engine settings
[server]
qrid=fuzz
debug=1
ttcp=1
ldelay=0
buflen=9000
rcvbuf=5000
datatimeout=5
tcpnodelay=0
verboselog=1
minmeasuredrtt=150
port=127.0.0.1:0
control_socket=10.1.1.1:30000
log=quorin.log
tunnel=10.0.0.1:5
[services]
internal=3,127.0.0.1:8080
internal=40,127.0.0.1:1
ext_invalid_port=25,135,139,445
[remote]
name=alpha   \t
server=127.0.0.1:9000
login=averyveryverylonglogin
passwd=secret
speed_in=2000
speed_out=100:900
mtu=1500
[remote]
name=broken
[remote] # comment behind a header
name=beta
server=127.0.0.2:9001
[local]
remote=alpha
transparent
port=127.0.0.1:3000
[local]
remote=beta
service_int=2
port=3001
tun_init=manual
route=replace
dns=local
ptp_ip=10.0.0.9
tap_guid={0000}
[local]
remote=alpha
service_ext=127.0.0.1:80
mux
tunnel
""")
    put(t, "sections", b"[server]\n[server]\nqrid=x\n[services]\n[remote]\n[remote]\nname=a\n[local]\n[local]\n")
    put(t, "long_line", b"[server]\nqrid=" + b"q" * 1100 + b"\nport=\n")


# ---------------------------------------------------------------- handshake

def hs(ctl, body):
    return bytes([ctl, len(body)]) + body


READ, WRITE, CLOSE, NOSEND = 0x01, 0x02, 0x04, 0x08


def handshake():
    t = "handshake"
    socks4 = bytes([4, 1]) + struct.pack(">H", 80) + bytes([10, 1, 2, 3]) + b"user\x00"
    socks4a = bytes([4, 1]) + struct.pack(">H", 80) + bytes([0, 0, 0, 7]) + b"u\x00example\x00"
    greet = bytes([5, 1, 0])
    v5_ip = bytes([5, 1, 0, 1, 10, 1, 2, 3]) + struct.pack(">H", 443)
    v5_name = bytes([5, 1, 0, 3, 11]) + b"example.org" + struct.pack(">H", 443)
    put(t, "socks4", bytes([0]) + hs(READ, socks4) + hs(READ, b"GET / HTTP/1.0\r\n\r\n"))
    put(t, "socks4a", bytes([0]) + hs(READ, socks4a))
    put(t, "socks5_on_socks4", bytes([0]) + hs(READ, greet) + hs(READ, v5_ip) + hs(READ | WRITE, b"data"))
    put(t, "socks5", bytes([1]) + hs(READ, greet) + hs(READ, v5_name))
    put(t, "socks5_pipelined", bytes([1]) + hs(READ, greet + v5_ip + b"first data"))
    put(t, "socks5_short_name", bytes([3]) + hs(READ, bytes([5, 1, 0, 3, 10]) + b"abcdefghij"[:9]))
    put(t, "mux", bytes([2]) + hs(READ, bytes([10, 1, 2, 3, 0, 80, 0])) + hs(READ | CLOSE, b"payload"))
    put(t, "mux_split", bytes([2]) + hs(READ, bytes([10, 1])) + hs(READ, bytes([2, 3, 0])) +
        hs(READ, bytes([80, 0]) + b"xy"))
    put(t, "close_early", bytes([1]) + hs(READ | CLOSE, b"\x05"))
    put(t, "error_event", bytes([0]) + hs(NOSEND, b"") + hs(WRITE, b""))


# ---------------------------------------------------------------- console

def console():
    t = "console"

    def lines(*words):
        return b"".join(bytes([len(w)]) + w for w in words)

    put(t, "show", bytes([0]) + lines(b"show sessions\r\n", b"show session 1\r\n", b"show stat\r\n", b"help\n"))
    put(t, "set", bytes([0]) + lines(b"set speed_in 8000:1000\n", b"set speed_out 500\n",
                                     b"set server 127.0.0.1:5000\n", b"set server nosuchhost\n"))
    put(t, "reset", bytes([0]) + lines(b"reset sessions\n", b"reset session 5\n", b"show sessions\n"))
    put(t, "quit", bytes([0]) + lines(b"show\x00stat", b"quit\r\n", b"help\n"))
    put(t, "small_buffer", bytes([4]) + lines(b"show stat\r\n", b"sh", b""))


# ---------------------------------------------------------------- statline

def statline():
    t = "statline"
    answer = b"[default][4242]/100/200/300/400/10/1/10.00/20/2/10.00\n"
    put(t, "answers", bytes([0]) + b"Quorin>" + answer + b"Quorin>" + answer + b"Quorin>")
    put(t, "small_reads", bytes([5]) + b"Quorin>" + answer + b"Quorin>[default][1]/-1/0/0/0/-5/0/0.00/0/0/0.00\n")
    put(t, "long_line", bytes([200]) + b"x" * 1500 + b"\n" + answer)


# ---------------------------------------------------------------- mpe

def mpe():
    t = "mpe"

    def crc32_mpeg(data):
        crc = 0xFFFFFFFF
        for b in data:
            crc ^= b << 24
            for _ in range(8):
                crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
                crc &= 0xFFFFFFFF
        return crc

    def csum(data):
        if len(data) % 2:
            data += b"\0"
        s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
        while s >> 16:
            s = (s & 0xFFFF) + (s >> 16)
        return ~s & 0xFFFF

    def udp_ip(src, dst, sport, dport, payload):
        total = 28 + len(payload)
        hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, 1, 0x4000, 64, 17, 0, bytes(src), bytes(dst))
        hdr = hdr[:10] + struct.pack("!H", csum(hdr)) + hdr[12:]
        udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
        pseudo = bytes(src) + bytes(dst) + struct.pack("!BBH", 0, 17, len(udp))
        c = csum(pseudo + udp) or 0xFFFF
        return hdr + udp[:6] + struct.pack("!H", c) + udp[8:]

    def section(ip):
        length = 9 + len(ip) + 4
        body = bytes([0x3E, 0xB0 | (length >> 8), length & 0xFF, 1, 0, 0xC1, 0, 0, 0, 0, 0, 2]) + ip
        return body + struct.pack("!I", crc32_mpeg(body))

    def packets(pid, sec, cc=0):
        out = b""
        data = bytes([0]) + sec  # pointer_field, then the section
        first = True
        while data:
            chunk, data = data[:184], data[184:]
            out += bytes([0x47, (0x40 if first else 0) | (pid >> 8), pid & 0xFF, 0x10 | (cc & 15)])
            out += chunk + b"\xff" * (184 - len(chunk))
            first = False
            cc += 1
        return out

    sat = [10, 0, 0, 1]
    head = lambda ctl: bytes([ctl]) + struct.pack("!H", 0x123) + bytes(sat)
    keepalive = header(5, 5)
    one = section(udp_ip([192, 0, 2, 1], sat, 2080, 2080, keepalive))
    put(t, "keepalive", head(0x01) + packets(0x123, one))
    other = section(udp_ip([192, 0, 2, 1], [10, 0, 0, 2], 2080, 2080, b"elsewhere"))
    put(t, "other_address", head(0x01) + packets(0x123, other) + packets(0x123, one, 1))
    big = section(udp_ip([192, 0, 2, 1], sat, 2080, 2080, bytes(range(256)) * 6))
    put(t, "long_section", head(0x00) + packets(0x123, big, 7))
    put(t, "whole_section", head(0x02) + one)
    put(t, "round_trip", head(0x04) + keepalive + b"payload")


# ---------------------------------------------------------------- tun_packet

def csum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(src, dst, proto, body, frag=0):
    hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(body), 0x1234, frag, 64, proto, 0,
                      bytes(src), bytes(dst))
    return hdr[:10] + struct.pack("!H", csum(hdr)) + hdr[12:] + body


def tcp(src, dst, sport, dport, flags, payload=b""):
    seg = struct.pack("!HHIIBBHHH", sport, dport, 1, 0, 0x50, flags, 64240, 0, 0) + payload
    pseudo = bytes(src) + bytes(dst) + struct.pack("!BBH", 0, 6, len(seg))
    seg = seg[:16] + struct.pack("!H", csum(pseudo + seg)) + seg[18:]
    return ipv4(src, dst, 6, seg)


def udp(src, dst, sport, dport, payload):
    return ipv4(src, dst, 17, struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload)


def tun_packet():
    t = "tun_packet"
    own, peer, far = [10, 7, 0, 2], [10, 0, 0, 1], [198, 51, 100, 7]
    syn = tcp(own, far, 40000, 443, 0x02)
    put(t, "connection", rec(0, syn) + rec(0x01, b"") + rec(0, tcp(own, far, 40000, 443, 0x10, b"GET /")) +
        rec(0x02, struct.pack("!H", 30000)) + rec(0x04 | (8 << 4), tcp(own, far, 40001, 443, 0x02)))
    put(t, "reply", rec(0, syn) + rec(0, tcp(own, peer, 8118, 30000, 0x12)) +
        rec(0, tcp(own, peer, 8118, 30001, 0x12)))
    put(t, "to_engine", rec(0, udp(own, far, 5353, 53, b"query")) + rec(0, tcp([10, 7, 0, 3], far, 1, 1723, 0x02)) +
        rec(0, ipv4(own, far, 1, bytes([8, 0, 0xF7, 0xFF, 0, 0, 0, 0]))) +
        rec(0, ipv4(own, far, 17, b"\0" * 16, frag=0x00B9)))
    put(t, "dropped", rec(0, udp(own, [192, 168, 1, 1], 1, 2, b"x")) + rec(0, tcp(own, [172, 31, 0, 1], 1, 80, 2)) +
        rec(0, b"\x60" + b"\0" * 39) + rec(0, b"\x44" + b"\0" * 19) + rec(0, syn[:30]))
def tsdemux():
    t = "tsdemux"

    def packet(pid, cc):
        return bytes([0x47, (pid >> 8) & 0x1F, pid & 0xFF, 0x10 | cc]) + bytes([cc + 1]) * 184

    def cuts(*lengths):
        return bytes([len(lengths)]) + b"".join(struct.pack(">H", n) for n in lengths)

    stream = b"".join(packet(pid, i % 16) for i, pid in enumerate([0, 0x100, 0x1FFF, 0x101, 0x100] * 3))
    put(t, "aligned", bytes([6]) + cuts(188 * 3) + stream)
    put(t, "split", bytes([2]) + cuts(100, 200, 50, 0, 376) + stream)
    put(t, "junk", bytes([6]) + cuts(77, 300) + b"\x11" * 5 + stream[:400] + b"\x47\x00" + stream[400:])
    put(t, "whole_buffers", bytes([3]) + cuts(1000) + stream)


# ---------------------------------------------------------------- http_answer
def http_answer():
    t = "http_answer"
    body = b"0;alice;secret;127.0.0.1:25555;\r\n"
    put(t, "length", bytes([0, 0, 0]) + b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    put(t, "to_close", bytes([7, 0, 0]) + b"HTTP/1.0 200 OK\nServer: x\n\n" + body)
    put(t, "not_found", bytes([1, 0, 0]) + b"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found")
    put(t, "small_bounds", bytes([3, 40, 8]) + b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 60 + b"\r\n\r\n" + body)


# ---------------------------------------------------------------- route
def route():
    t = "route"

    def attr(kind, payload):
        n = 4 + len(payload)
        return struct.pack("<HH", n, kind) + payload + b"\0" * ((4 - n % 4) % 4)

    def u32(v):
        return struct.pack("<I", v)

    def ip(a, b, c, d):
        return bytes([a, b, c, d])

    def message(dst_len, attrs, proto=4, scope=0, flags=0):
        body = bytes([2, dst_len, 0, 0, 254, proto, scope, 1]) + u32(flags) + b"".join(attrs)
        return struct.pack("<IHHII", 16 + len(body), 24, 0, 0, 0) + body

    # RTA_METRICS (8) holding RTAX_MTU (2), RTAX_ADVMSS (8), RTAX_INITCWND (11).
    metrics = attr(8, attr(2, u32(1400)) + attr(8, u32(1300)) + attr(11, u32(10)))
    gateway_default = message(0, [attr(15, u32(254)), attr(6, u32(100)), attr(5, ip(10, 0, 0, 1)),
                                  attr(4, u32(2)), metrics])
    # RTA_MULTIPATH (9): rtnexthop {len u16, flags u8, hops u8, ifindex i32} then its attributes.
    def hop(weight, ifindex, gateway):
        extra = attr(5, gateway)
        return struct.pack("<HBBi", 8 + len(extra), 0, weight - 1, ifindex) + extra

    multipath = message(0, [attr(15, u32(254)), attr(6, u32(100)),
                            attr(9, hop(1, 2, ip(10, 0, 0, 1)) + hop(3, 3, ip(10, 0, 1, 1)))])
    host = message(32, [attr(1, ip(192, 0, 2, 7)), attr(7, ip(10, 0, 0, 2)), attr(4, u32(2))], proto=2, scope=253)
    put(t, "gateway_metrics", struct.pack("<H", 8191) + gateway_default)
    put(t, "two_hops", struct.pack("<H", 8191) + multipath)
    put(t, "host_small_buffer", struct.pack("<H", 40) + host)


if __name__ == "__main__":
    if os.path.isdir(root):
        shutil.rmtree(root)
    datagram()
    commands()
    inflate()
    config()
    handshake()
    console()
    statline()
    mpe()
    tun_packet()
    tsdemux()
    http_answer()
    route()
