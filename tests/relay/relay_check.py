#!/usr/bin/python3
"""Checks the test relay from outside: relay_check.py UPSTREAM RELAY CASE.

Cases: xdpyinfo, roundtrips, putimage, raw-b (DPMS and FBPM Info in 'B' byte order),
pipelined (DPMS Info between two GetProperty requests). Exit 0 when the case holds.
"""

import socket
import struct
import subprocess
import sys


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def xdpyinfo(display):
    out = subprocess.run(["xdpyinfo", "-display", display], capture_output=True, text=True,
                         timeout=60).stdout
    lines = out.splitlines()
    # The display's name and the extension list differ by design.
    kept, in_list = [], False
    for line in lines:
        if line.startswith("name of display") or line.startswith("number of extensions"):
            in_list = line.startswith("number of extensions")
            continue
        if in_list and line.startswith("    "):
            continue
        in_list = False
        kept.append(line)
    return kept


def case_xdpyinfo(upstream, relay):
    a, b = xdpyinfo(upstream), xdpyinfo(relay)
    if len(a) < 20 or a != b:
        fail("xdpyinfo differs:\n" + "\n".join(x for x in b if x not in a))


def case_roundtrips(upstream, relay):
    import Xlib.display
    d = Xlib.display.Display(relay)
    for i in range(10000):
        d.get_input_focus()
    atom = d.intern_atom("RELAY_CHECK_%d" % 7)
    if d.get_atom_name(atom) != "RELAY_CHECK_7":
        fail("atom name")
    d.close()


def connect(display, order):
    number = display.lstrip(":").split(".")[0]
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(20)
    s.connect("/tmp/.X11-unix/X" + number)
    e = "<" if order == "l" else ">"
    s.sendall(struct.pack(e + "BxHHHH2x", ord(order), 11, 0, 0, 0))
    head = recv(s, 8)
    if head[0] != 1:
        fail("setup refused")
    rest = recv(s, 4 * struct.unpack_from(e + "H", head, 6)[0])
    setup = head + rest
    resource_base = struct.unpack_from(e + "I", setup, 12)[0]
    vendor_len = struct.unpack_from(e + "H", setup, 24)[0]
    formats = setup[29]
    root_offset = 40 + vendor_len + (-vendor_len % 4) + 8 * formats
    root = struct.unpack_from(e + "I", setup, root_offset)[0]
    return s, e, resource_base, root


def recv(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            fail("connection closed")
        data += chunk
    return data


def packet(s, e):
    p = recv(s, 32)
    if p[0] == 1:
        p += recv(s, 4 * struct.unpack_from(e + "I", p, 4)[0])
    return p


def query_extension(s, e, name):
    n = name.encode()
    s.sendall(struct.pack(e + "BxHH2x", 98, 2 + (len(n) + 3) // 4, len(n)) + n +
              bytes(-len(n) % 4))
    p = packet(s, e)
    if p[0] != 1 or not p[8]:
        fail(name + " missing")
    return p[9]


def case_raw_b(upstream, relay):
    for order in ("B", "l"):
        s, e, _, _ = connect(relay, order)
        dpms = query_extension(s, e, "DPMS")
        fbpm = query_extension(s, e, "FBPM")
        # DPMS GetTimeouts, DPMS Info, FBPM Info, FBPM GetVersion
        s.sendall(struct.pack(e + "BBH", dpms, 2, 1) + struct.pack(e + "BBH", dpms, 7, 1) +
                  struct.pack(e + "BBH", fbpm, 7, 1) + struct.pack(e + "BBHI", fbpm, 0, 2, 0))
        p = packet(s, e)
        if struct.unpack_from(e + "H", p, 2)[0] != 3 or \
                struct.unpack_from(e + "HHH", p, 8) != (600, 600, 600):
            fail("DPMS GetTimeouts in %s order: %r" % (order, p[:14]))
        p = packet(s, e)
        if struct.unpack_from(e + "H", p, 2)[0] != 4 or struct.unpack_from(e + "H", p, 8)[0] != 0 \
                or p[10] != 1:
            fail("DPMS Info in %s order: %r" % (order, p[:12]))
        p = packet(s, e)
        if struct.unpack_from(e + "H", p, 2)[0] != 5 or p[10] != 1:
            fail("FBPM Info in %s order: %r" % (order, p[:12]))
        p = packet(s, e)
        if struct.unpack_from(e + "H", p, 2)[0] != 6 or \
                struct.unpack_from(e + "HH", p, 8) != (1, 1):
            fail("FBPM GetVersion in %s order: %r" % (order, p[:12]))
        s.close()


def case_pipelined(upstream, relay):
    s, e, _, root = connect(relay, "l")
    dpms = query_extension(s, e, "DPMS")
    get_property = struct.pack(e + "BBHIIIII", 20, 0, 6, root, 23, 0, 0, 100)  # RESOURCE_MANAGER
    s.sendall(get_property + struct.pack(e + "BBH", dpms, 7, 1) + get_property)
    replies = [packet(s, e) for _ in range(3)]
    seqs = [struct.unpack_from(e + "H", p, 2)[0] for p in replies]
    if seqs != [2, 3, 4]:
        fail("sequence numbers %r" % seqs)
    if replies[1][0] != 1 or replies[1][10] != 1 or len(replies[1]) != 32:
        fail("DPMS Info reply %r" % replies[1][:12])
    if replies[0][0] != 1 or replies[2][0] != 1:
        fail("GetProperty replies")
    s.close()


def case_putimage(upstream, relay):
    """A 300 KB PutImage through BIG-REQUESTS, read back with GetImage (python3-xlib has no
    big requests, so this is a raw exchange)."""
    for order in ("l", "B"):
        s, e, base, root = connect(relay, order)
        big = query_extension(s, e, "BIG-REQUESTS")
        s.sendall(struct.pack(e + "BBH", big, 0, 1))
        p = packet(s, e)
        if struct.unpack_from(e + "I", p, 8)[0] < 80000:
            fail("BIG-REQUESTS maximum too small")
        w, h, depth = 320, 240, 24  # 307200 bytes of pixels
        pixmap, gc = base | 1, base | 2
        s.sendall(struct.pack(e + "BBHIIHH", 53, depth, 4, pixmap, root, w, h) +
                  struct.pack(e + "BxHIII", 55, 4, gc, pixmap, 0))
        data = bytes((i * 7 + (i >> 12)) & 0xFF for i in range(w * h * 4))
        words = 7 + len(data) // 4  # 24-byte header with the extra length word
        s.sendall(struct.pack(e + "BBHIIIHHhhBB2x", 72, 2, 0, words, pixmap, gc, w, h, 0, 0, 0,
                              depth) + data)
        s.sendall(struct.pack(e + "BBHIhhHHI", 73, 2, 5, pixmap, 0, 0, w, h, 0xFFFFFFFF))
        p = packet(s, e)
        if p[0] != 1 or len(p) != 32 + len(data):
            fail("GetImage answered %r" % p[:8])
        got = p[32:]
        # Depth 24 keeps three bytes of every pixel; which three depends on the byte order.
        for i in range(0, w * h, 997):
            a, b = got[4 * i:4 * i + 4], data[4 * i:4 * i + 4]
            if (a[:3] != b[:3]) if order == "l" else (a[1:] != b[1:]):
                fail("pixel %d differs in %s order: %r %r" % (i, order, a, b))
        s.close()


CASES = {"xdpyinfo": case_xdpyinfo, "roundtrips": case_roundtrips, "putimage": case_putimage,
         "raw-b": case_raw_b, "pipelined": case_pipelined}

if __name__ == "__main__":
    CASES[sys.argv[3]](sys.argv[1], sys.argv[2])
    print("OK")
