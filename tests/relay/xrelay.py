#!/usr/bin/python3
"""A test relay that sits in front of an X server and answers extensions the server lacks.

Every client connection gets its own upstream connection. Requests pass through unchanged
unless an emulated extension, QueryExtension, ListExtensions or a rewritten version query is
involved. The relay keeps, for every request it sends upstream, the client request it stands
for, and rewrites the sequence number of every reply, error and event it passes back. A
request the relay answers itself goes upstream as GetInputFocus; that reply is replaced by the
answer (or dropped), so answers keep their place among the other replies.

Options:
  -upstream :N          the real server (unix socket)
  -displayfd FD         pick a free display number, listen on it, write the number to FD
  -emulate A,B,...      emulated extensions: DPMS, FBPM, CONTROL, XTEST1, ALLPLANES (SUN_ALLPLANES
                        1.0: its drawing goes upstream as the core requests, drawn with all
                        planes through inferiors by a GC of the relay's own connection, between
                        the client's earlier and later requests), MBUF (Multi-Buffering 1.1,
                        buffers as pixmaps of the relay's own connection), SCREEN-SAVER (the
                        older screen saver 1.0, its events made from MIT-SCREEN-SAVER's),
                        XIE (5.0, relay_xie.py), XPRINT (XpExtension 1.0, relay_xprint.py)
  -sent-event           every event the relay makes up is followed by a copy with bit 7 set
  -mbuf-alloc N         Multi-Buffering CreateImageBuffers makes at most N buffers
  -mbuf-bogus-visual    Multi-Buffering GetBufferInfo adds an unknown visual and a stereo entry
  -hide NAME            hide an upstream extension (repeatable)
  -version EXT=M.m      rewrite version replies of XTEST, XInputExtension, XC-MISC,
                        "Generic Event Extension", SHAPE or MIT-SCREEN-SAVER (RENDER and GLX:
                        at most that), or answer DPMS,
                        FBPM, SCREEN-SAVER, XIE with that version
  -bigreq-max N         BigReqEnable replies announce N units of 4 bytes
  -impervious           XTEST GrabControl True upstream before the client's first request
  -xtest1-size N        XTestExtension1 input-action array size (default 64)
  -xtest1-noack         never acknowledge XTestExtension1 input
  -xtest1-maxdelay MS   cap the delays XTestExtension1 input carries upstream (the real server
                        holds the connection back for a fake input's delay)
  -log FILE             one line per client request (bytes of those the relay answers)
  -capture FILE         every request, reply, error and event passed, per client connection
                        (capture.py reads it back): "N order l|B" once, then "N C SEQ HEX" for
                        a request as the client sent it, "N S SEQ HEX" for a message as it went
                        to the client (its sequence number rewritten); SEQ the client's request
                        count, not cut to 16 bits (events that the screen-saver and XVideo
                        emulations send on their own are left out)
  -xv S:TYPE:PORTS[:NAME]  a fake XVideo adaptor on screen S (repeatable): the relay answers
                        every request of the upstream XVideo opcode itself
"""

import os
import random
import select
import signal
import socket
import struct
import sys
import threading
import time

import relay_xie
import relay_xprint

X_QueryExtension = 98
X_ListExtensions = 99
X_GetInputFocus = 43
BAD_VALUE, BAD_MATCH, BAD_LENGTH = 2, 8, 16


class Options:
    upstream = None
    displayfd = None
    emulate = []
    hide = []
    versions = {}
    impervious = False
    xtest1_size = 64
    xtest1_noack = False
    xtest1_maxdelay = None
    log = None
    capture = None
    bigreq_max = None
    mbuf_alloc = None
    mbuf_bogus_visual = False
    sent_event = False
    xv = []  # (screen, type, ports, name)


OPTS = Options()
LOCK = threading.Lock()
LOG_FILE = None
CAPTURE_FILE = None
CAPTURE_LOCK = threading.Lock()  # its own: lines are written under other locks too
UPSTREAM_MAJORS = {}  # name -> major opcode of the upstream server's extensions we use
UPSTREAM_EVENTS = {}  # name -> first event of the upstream server's extensions we use
UPSTREAM_XV = {}      # the upstream XVideo's major, first event and first error (with -xv)
UPSTREAM_ROOTS = []   # the upstream root windows by screen


def log_line(text):
    if LOG_FILE is None:
        return
    with LOCK:
        LOG_FILE.write(text + "\n")
        LOG_FILE.flush()


def capture_line(conn, text):
    if CAPTURE_FILE is None:
        return
    with CAPTURE_LOCK:
        CAPTURE_FILE.write("%d %s\n" % (conn.number, text))
        CAPTURE_FILE.flush()


# ---------------------------------------------------------------------------------------------
# Shared state of the emulated extensions (one for all connections).

STATE = {
    "dpms_capable": True, "dpms_enabled": True, "dpms_level": 0,
    "dpms_timeouts": [600, 600, 600],
    "fbpm_capable": True, "fbpm_enabled": True, "fbpm_level": 0,
}


class Conn:
    """One client connection and its upstream twin."""

    def __init__(self, number, client):
        self.number = number
        self.client = client
        self.upstream = None
        self.e = "<"
        self.cseq = 0            # the client's request count
        self.useq = 0            # our upstream request count
        self.records = []        # [useq, cseq, kind, data] in upstream order
        self.last_useq_seen = 0
        self.last_cseq_out = 0
        self.xtest1_pending_delay = 0
        self.ubuf = bytearray()
        self.own = None          # the relay's own connection for drawing (made when needed)
        self.client_lock = threading.Lock()  # writes to the client (other threads add events)

    # -- encoding helpers in the client's byte order
    def pack(self, fmt, *values):
        return struct.pack(self.e + fmt, *values)

    def unpack(self, fmt, data, offset=0):
        return struct.unpack_from(self.e + fmt, data, offset)

    def reply(self, body24=b"", extra=b""):
        """A reply packet; the sequence number is filled in when it goes out."""
        body = (body24 + bytes(24))[:24]
        return bytes([1, 0]) + b"\0\0" + self.pack("I", len(extra) // 4) + body + extra

    def reply_with_byte1(self, byte1, body24=b"", extra=b""):
        packet = bytearray(self.reply(body24, extra))
        packet[1] = byte1
        return bytes(packet)

    def error(self, code, major, minor, value=0):
        return bytes([0, code]) + b"\0\0" + self.pack("IHB", value, minor, major) + bytes(21)

    def event(self, code, body=b""):
        return bytes([code, 0]) + b"\0\0" + (body + bytes(28))[:28]

    # -- upstream requests
    def send_upstream(self, data, kind="pass", extra=None):
        self.useq += 1
        self.records.append([self.useq, self.cseq, kind, extra])
        self.upstream.sendall(data)

    def answer(self, packets):
        """Sends GetInputFocus upstream; its reply becomes the packets (a list, maybe empty)."""
        self.send_upstream(self.pack("BBH", X_GetInputFocus, 0, 1), "answer", packets)

    # -- the client side
    def handle_request(self, req):
        self.cseq += 1
        major = req[0]
        minor = req[1]
        length = len(req) // 4
        ext = EMULATED_BY_MAJOR.get(major)
        answered = ext is not None or (major == X_QueryExtension and self.query_name(req) in
                                       (EMULATED_NAMES | set(OPTS.hide)))
        text = "client %d seq %d major %d minor %d length %d" % (self.number, self.cseq, major,
                                                                  minor, length)
        if answered:
            text += " bytes " + req.hex()
        log_line(text)
        capture_line(self, "C %d %s" % (self.cseq, req.hex()))
        if ext is not None:
            if not ext["sizes"](minor, len(req)):
                self.answer([self.error(BAD_LENGTH, major, minor)])
                return
            ext["handle"](self, req)
            return
        if major == X_QueryExtension:
            name = self.query_name(req)
            if name in OPTS.hide:
                self.answer([self.reply(b"")])  # present False
                return
            if name in EMULATED_NAMES:
                entry = EMULATED_BY_NAME[name]
                body = bytes([1, entry["major"], entry["first_event"], entry["first_error"]])
                self.answer([self.reply(body)])
                return
            self.send_upstream(req)
            return
        if major == X_ListExtensions:
            self.send_upstream(req, "rewrite", rewrite_list_extensions)
            return
        req = mbuf_core_request(self, req)
        rewrite = version_rewriter(major, minor)
        if rewrite:
            self.send_upstream(req, "rewrite", rewrite)
            return
        self.send_upstream(req)

    def query_name(self, req):
        if len(req) < 8:
            return None
        n = self.unpack("H", req, 4)[0]
        return req[8:8 + n].decode("latin-1")

    # -- the upstream side
    def feed_upstream(self, data):
        """Takes bytes from the upstream connection and handles every whole packet."""
        ubuf = self.ubuf
        ubuf += data
        while len(ubuf) >= 32:
            size = 32
            if ubuf[0] == 1 or (ubuf[0] & 0x7F) == 35:
                size += 4 * self.unpack("I", ubuf, 4)[0]
            if len(ubuf) < size:
                break
            packet = bytes(ubuf[:size])
            del ubuf[:size]
            self.handle_packet(packet)

    def sync_upstream(self):
        """Waits until upstream has handled every request sent so far."""
        self.send_upstream(self.pack("BBH", X_GetInputFocus, 0, 1), "drop")
        target = self.useq
        while self.last_useq_seen < target:
            data = self.upstream.recv(262144)
            if not data:
                raise EOFError
            self.feed_upstream(data)

    def handle_packet(self, packet):
        seq16 = self.unpack("H", packet, 2)[0]
        full = self.last_useq_seen + ((seq16 - self.last_useq_seen) & 0xFFFF)
        if full > self.useq:  # older than what we saw: keep the last one
            full = self.last_useq_seen
        self.last_useq_seen = full
        while self.records and self.records[0][0] < full:
            self.records.pop(0)
        record = self.records[0] if self.records and self.records[0][0] == full else None
        cseq = record[1] if record else self.last_cseq_out
        out = [packet]
        if record and packet[0] == 1:
            if record[2] == "answer":
                out = record[3]
                if OPTS.sent_event:
                    out = [copy for item in out for copy in
                           ((item, bytes([item[0] | 0x80]) + item[1:]) if item[0] > 1 else (item,))]
            elif record[2] == "drop":
                out = []
            elif record[2] == "rewrite":
                out = [record[3](self, packet)]
        elif record and packet[0] == 0 and record[2] == "answer":
            out = record[3]
        for item in out:
            item = bytearray(item)
            if item[0] & 0x7F != 11:  # KeymapNotify carries no sequence number
                item[2:4] = self.pack("H", cseq & 0xFFFF)
            capture_line(self, "S %d %s" % (cseq, bytes(item).hex()))
            with self.client_lock:
                self.client.sendall(bytes(item))
        self.last_cseq_out = cseq


def rewrite_list_extensions(conn, packet):
    count = packet[1]
    names, pos = [], 32
    for _ in range(count):
        if pos >= len(packet):
            break
        n = packet[pos]
        names.append(packet[pos + 1:pos + 1 + n])
        pos += 1 + n
    names = [n for n in names if n.decode("latin-1") not in OPTS.hide]
    names += [e["name"].encode("latin-1") for e in ACTIVE]
    data = b"".join(bytes([len(n)]) + n for n in names)
    data += bytes(-len(data) % 4)
    return bytes([1, len(names)]) + packet[2:4] + conn.pack("I", len(data) // 4) + bytes(24) + data


# ===== SHAPE and screen-saver versions =====
# Version replies of these upstream extensions (16-bit major and minor at 8) that -version
# rewrites.
VERSIONED_SAVER_SHAPE = ("SHAPE", "MIT-SCREEN-SAVER")
# ===== end of SHAPE and screen-saver versions =====


def version_rewriter(major, minor):
    if OPTS.bigreq_max is not None and major == UPSTREAM_MAJORS.get("BIG-REQUESTS") and minor == 0:
        def bigreq(conn, packet):
            p = bytearray(packet)
            p[8:12] = conn.pack("I", OPTS.bigreq_max)
            return bytes(p)
        return bigreq
    for name in ("XC-MISC", "Generic Event Extension") + VERSIONED_SAVER_SHAPE:
        if name in OPTS.versions and major == UPSTREAM_MAJORS.get(name) and minor == 0:
            vmaj, vmin = OPTS.versions[name]

            def sixteen(conn, packet, vmaj=vmaj, vmin=vmin):
                p = bytearray(packet)
                p[8:12] = conn.pack("HH", vmaj, vmin)
                return bytes(p)
            return sixteen
    if "XTEST" in OPTS.versions and major == UPSTREAM_MAJORS.get("XTEST") and minor == 0:
        vmaj, vmin = OPTS.versions["XTEST"]

        def xtest(conn, packet):
            p = bytearray(packet)
            p[1] = vmaj
            p[8:10] = conn.pack("H", vmin)
            return bytes(p)
        return xtest
    if "XInputExtension" in OPTS.versions and major == UPSTREAM_MAJORS.get("XInputExtension") \
            and minor in (1, 47):
        vmaj, vmin = OPTS.versions["XInputExtension"]

        def xinput(conn, packet):
            p = bytearray(packet)
            p[8:12] = conn.pack("HH", vmaj, vmin)
            return bytes(p)
        return xinput
    if "RENDER" in OPTS.versions and major == UPSTREAM_MAJORS.get("RENDER") and minor == 0:
        cap = OPTS.versions["RENDER"]

        def render(conn, packet):
            # 32-bit major and minor at 8: the upstream answer, at most the given version.
            p = bytearray(packet)
            answer = min(tuple(conn.unpack("II", p, 8)), cap)
            p[8:16] = conn.pack("II", *answer)
            return bytes(p)
        return render
    if "GLX" in OPTS.versions and major == UPSTREAM_MAJORS.get("GLX") and minor == 7:
        glx_cap = OPTS.versions["GLX"]

        def glx(conn, packet):
            # GLX QueryVersion: 32-bit major and minor at 8, at most the given version.
            p = bytearray(packet)
            answer = min(tuple(conn.unpack("II", p, 8)), glx_cap)
            p[8:16] = conn.pack("II", *answer)
            return bytes(p)
        return glx
    return None


# ---------------------------------------------------------------------------------------------
# DPMS 1.1

def dpms_handle(conn, req):
    minor = req[1]
    s = STATE
    with LOCK:
        if minor == 0:
            conn.answer([conn.reply(conn.pack("HH", *OPTS.versions.get("DPMS", (1, 1))))])
        elif minor == 1:
            conn.answer([conn.reply(bytes([1 if s["dpms_capable"] else 0]))])
        elif minor == 2:
            conn.answer([conn.reply(conn.pack("HHH", *s["dpms_timeouts"]))])
        elif minor == 3:
            standby, suspend, off = conn.unpack("HHH", req, 4)
            if (off and ((suspend and off < suspend) or (standby and off < standby))) or \
                    (suspend and standby and suspend < standby):
                conn.answer([conn.error(BAD_VALUE, req[0], minor)])
            else:
                s["dpms_timeouts"] = [standby, suspend, off]
                conn.answer([])
        elif minor == 4:
            if s["dpms_capable"]:
                s["dpms_enabled"] = True
            conn.answer([])
        elif minor == 5:
            s["dpms_enabled"] = False
            conn.answer([])
        elif minor == 6:
            force_level(conn, req, "dpms")
        elif minor == 7:
            conn.answer([conn.reply(conn.pack("HB", s["dpms_level"], 1 if s["dpms_enabled"] else 0))])
        else:
            conn.answer([conn.error(1, req[0], minor)])  # BadRequest


def force_level(conn, req, prefix):
    """ForceLevel of DPMS or FBPM: BadMatch while disabled, BadValue above level 3."""
    level = conn.unpack("H", req, 4)[0]
    if not STATE[prefix + "_enabled"]:
        conn.answer([conn.error(BAD_MATCH, req[0], req[1])])
    elif level > 3:
        conn.answer([conn.error(BAD_VALUE, req[0], req[1], level)])
    else:
        STATE[prefix + "_level"] = level
        conn.answer([])


DPMS_SIZES = {0: 8, 1: 4, 2: 4, 3: 12, 4: 4, 5: 4, 6: 8, 7: 4}
FBPM_SIZES = {0: 8, 1: 4, 4: 8, 5: 4, 6: 8, 7: 4}


# FBPM 1.1

def fbpm_handle(conn, req):
    minor = req[1]
    s = STATE
    with LOCK:
        if minor == 0:
            conn.answer([conn.reply(conn.pack("HH", *OPTS.versions.get("FBPM", (1, 1))))])
        elif minor == 1:
            conn.answer([conn.reply(bytes([1 if s["fbpm_capable"] else 0]))])
        elif minor == 4:
            level = conn.unpack("H", req, 4)[0]
            if level > 3:
                conn.answer([conn.error(BAD_VALUE, req[0], minor, level)])
            else:
                s["fbpm_enabled"] = True
                s["fbpm_level"] = level
                conn.answer([])
        elif minor == 5:
            s["fbpm_enabled"] = False
            conn.answer([])
        elif minor == 6:
            force_level(conn, req, "fbpm")
        elif minor == 7:
            conn.answer([conn.reply(conn.pack("HB", s["fbpm_level"], 1 if s["fbpm_enabled"] else 0))])
        else:
            conn.answer([conn.error(1, req[0], minor)])


# "MORWENTECH CONTROL" 1.0: each fake input goes upstream as XTEST FakeInput (same layout).

def control_handle(conn, req):
    minor = req[1]
    if minor == 0:
        conn.answer([conn.reply_with_byte1(1, conn.pack("H", 0))])
    elif minor == 1:
        xtest = UPSTREAM_MAJORS.get("XTEST")
        if xtest is None:
            conn.answer([conn.error(1, req[0], minor)])
            return
        data = bytearray(req)
        data[0] = xtest
        data[1] = 2  # X_XTestFakeInput
        conn.send_upstream(bytes(data), "drop")
        conn.answer([])
    else:
        conn.answer([conn.error(1, req[0], minor)])


def control_size(minor, size):
    if minor == 0:
        return size == 8
    if minor == 1:
        return size >= 36 and (size - 36) % 32 == 0
    return True


# "XTestExtension1": actions become XTEST FakeInput requests on the core devices.

def xtest_fake(conn, type_, detail, delay, x=0, y=0):
    xtest = UPSTREAM_MAJORS["XTEST"]
    data = conn.pack("BBHBBHII8xhh7xB", xtest, 2, 9, type_, detail, 0, delay, 0, x, y, 0)
    conn.send_upstream(data, "drop")


def xtest1_actions(conn, actions):
    """Sends the packed actions upstream; False when they are malformed."""
    pos = 0
    while pos < len(actions):
        header = actions[pos]
        device = header >> 4
        kind = header & 3
        if device == 15:
            if pos + 8 > len(actions):
                return False
            conn.xtest1_pending_delay += conn.unpack("I", actions, pos + 4)[0]
            pos += 8
            continue
        if kind == 0:
            break  # zero fill ends the list
        if kind == 3:
            if pos + 8 > len(actions):
                return False
            x, y, delay = conn.unpack("hhH", actions, pos + 2)
            size = 8
        else:
            if pos + 4 > len(actions):
                return False
            delay = conn.unpack("H", actions, pos + 2)[0]
            size = 4
        delay += conn.xtest1_pending_delay
        conn.xtest1_pending_delay = 0
        delay = min(delay, 0xFFFFFFFF)
        if OPTS.xtest1_maxdelay is not None:
            delay = min(delay, OPTS.xtest1_maxdelay)
        if kind == 1:
            code = actions[pos + 1]
            release = header & 4
            if code >= 8:
                xtest_fake(conn, 3 if release else 2, code, delay)
            else:
                xtest_fake(conn, 5 if release else 4, code, delay)
        elif kind == 2:
            motion = actions[pos + 1]
            dx = motion & 15
            dy = motion >> 4
            if header & 4:
                dx = -dx
            if header & 8:
                dy = -dy
            xtest_fake(conn, 6, 1, delay, dx, dy)
        else:
            xtest_fake(conn, 6, 0, delay, x, y)
        pos += size
    return True


def xtest1_handle(conn, req):
    minor = req[1]
    entry = EMULATED_BY_NAME["XTestExtension1"]
    if minor == 1:
        if "XTEST" not in UPSTREAM_MAJORS:
            conn.answer([conn.error(1, req[0], minor)])
            return
        ack = conn.unpack("I", req, 4)[0]
        if not xtest1_actions(conn, req[8:72]):
            conn.answer([conn.error(BAD_VALUE, req[0], minor)])
            return
        if ack == 1 and not OPTS.xtest1_noack:
            conn.answer([conn.event(entry["first_event"] + 1)])
        else:
            conn.answer([])
    elif minor in (2, 3, 4):
        conn.answer([])
    elif minor == 5:
        conn.answer([conn.reply(conn.pack("I", OPTS.xtest1_size))])
    else:
        conn.answer([conn.error(1, req[0], minor)])


XTEST1_SIZES = {1: 72, 2: 8, 3: 4, 4: 4, 5: 4}


# SUN_ALLPLANES 1.0: the five drawing requests go upstream as the core ones with all planes.

ALLPLANES_CORE = {1: "poly_point", 2: "poly_line", 3: "poly_segment", 4: "poly_rectangle",
                  5: "poly_fill_rectangle"}


def allplanes_size(minor, size):
    if minor == 0:
        return size == 4
    if minor in (1, 2):
        return size >= 12 and size % 4 == 0
    if minor in (3, 4, 5):
        return size >= 8 and (size - 8) % 8 == 0
    return True


def allplanes_own(conn):
    if conn.own is None:
        import Xlib.display
        conn.own = Xlib.display.Display(OPTS.upstream)
        conn.own.set_error_handler(lambda *_: None)
    return conn.own


def allplanes_handle(conn, req):
    minor = req[1]
    if minor == 0:
        conn.answer([conn.reply(conn.pack("HH", *OPTS.versions.get("SUN_ALLPLANES", (1, 0))))])
        return
    if minor not in ALLPLANES_CORE:
        conn.answer([conn.error(1, req[0], minor)])
        return
    from Xlib import X
    drawable_id = conn.unpack("I", req, 4)[0]
    start = 12 if minor in (1, 2) else 8
    values = conn.unpack("%dh" % ((len(req) - start) // 2), req, start)
    # The client's earlier requests are drawn first; its later ones wait for ours.
    conn.sync_upstream()
    own = allplanes_own(conn)
    drawable = own.create_resource_object("window", drawable_id)
    gc = drawable.create_gc(foreground=0xFFFFFFFF, plane_mask=0xFFFFFFFF,
                            subwindow_mode=X.IncludeInferiors, graphics_exposures=False)
    if minor in (1, 2):
        points = [(values[k], values[k + 1]) for k in range(0, len(values) - 1, 2)]
        getattr(drawable, ALLPLANES_CORE[minor])(gc, req[8], points)
    elif minor == 3:
        segments = [tuple(values[k:k + 4]) for k in range(0, len(values) - 3, 4)]
        drawable.poly_segment(gc, segments)
    else:
        rects = [(values[k], values[k + 1], values[k + 2] & 0xFFFF, values[k + 3] & 0xFFFF)
                 for k in range(0, len(values) - 3, 4)]
        getattr(drawable, ALLPLANES_CORE[minor])(gc, rects)
    gc.free()
    own.sync()
    conn.answer([])


# ===== Multi-Buffering =====
# Multi-Buffering 1.1 (-emulate MBUF). Every image buffer of a window is a pixmap of the
# window's size and depth on the connection's own display connection; the displayed buffer is
# the window itself, its pixmap holding nothing meanwhile. Core requests that name a buffer
# (below) go upstream with the buffer's pixmap in its place, or with the window while the buffer
# is displayed. The work on the own connection happens after the client's earlier requests
# (sync upstream first) and before its later ones (own sync before the answer).
# -mbuf-alloc N: CreateImageBuffers makes and reports at most N buffers.
# -mbuf-bogus-visual: GetBufferInfo lists one visual the server does not have and one stereo
# entry besides every real visual.

MBUF_LOCK = threading.RLock()
MBUF_BUFFERS = {}   # buffer id -> {"window", "index", "pixmap", "owner", "masks": {conn number: mask}}
MBUF_WINDOWS = {}   # window id -> {"buffers": [ids], "displayed", "action", "hint", "owner"}
# Background pixels that CreateWindow and ChangeWindowAttributes gave (a pixmap has none to
# clear to, and a window's part off the screen cannot be cleared and read back).
MBUF_BACKGROUNDS = {}
X_CreateWindow, X_ChangeWindowAttributes = 1, 2
CW_BACK_PIXMAP, CW_BACK_PIXEL = 0x1, 0x2
MBUF_BOGUS_VISUAL = 0x7ffffff0
MBUF_UPDATE_NOTIFY_MASK = 0x04000000
BAD_WINDOW, BAD_ACCESS, BAD_ID_CHOICE, BAD_DRAWABLE = 3, 10, 14, 9

# Core requests that may name a buffer, and the byte offsets of the drawables they name.
MBUF_CORE_DRAWABLES = {14: (4,), 53: (8,), 55: (8,), 97: (8,), 62: (4, 8), 63: (4, 8)}
MBUF_CORE_DRAWABLES.update({major: (4,) for major in range(64, 78)})
X_DestroyWindow = 4


def mbuf_size(minor, size):
    exact = {0: 4, 2: 8, 5: 8, 7: 8, 8: 8, 10: 20}
    at_least = {1: 12, 3: 8, 4: 12, 6: 12, 9: 44}
    if minor in exact:
        return size == exact[minor]
    if minor in at_least:
        return size >= at_least[minor]
    return True


def mbuf_drawable(buffer_id):
    """The upstream drawable of a buffer (its window while displayed), or None."""
    record = MBUF_BUFFERS.get(buffer_id)
    if record is None:
        return None
    window = MBUF_WINDOWS[record["window"]]
    return record["window"] if window["displayed"] == record["index"] else record["pixmap"]


def mbuf_core_request(conn, req):
    """A core request with every buffer it names replaced by its drawable; DestroyWindow also
    forgets the window's buffers."""
    if "MBUF" not in OPTS.emulate or len(req) < 12:
        return req
    major = req[0]
    if major == X_DestroyWindow:
        with MBUF_LOCK:
            mbuf_forget_window(conn.unpack("I", req, 4)[0])
            MBUF_BACKGROUNDS.pop(conn.unpack("I", req, 4)[0], None)
        return req
    if major in (X_CreateWindow, X_ChangeWindowAttributes):
        window_id = conn.unpack("I", req, 4)[0]
        mask_at = 28 if major == X_CreateWindow else 8
        if len(req) >= mask_at + 4:
            mask = conn.unpack("I", req, mask_at)[0]
            values = mask_at + 4
            if mask & CW_BACK_PIXMAP:
                values += 4
            with MBUF_LOCK:
                if mask & CW_BACK_PIXEL and len(req) >= values + 4:
                    MBUF_BACKGROUNDS[window_id] = conn.unpack("I", req, values)[0]
                elif mask & CW_BACK_PIXMAP:
                    MBUF_BACKGROUNDS.pop(window_id, None)
        return req
    offsets = MBUF_CORE_DRAWABLES.get(major)
    if not offsets:
        return req
    with MBUF_LOCK:
        if not MBUF_BUFFERS:
            return req
        data = bytearray(req)
        for offset in offsets:
            target = mbuf_drawable(conn.unpack("I", req, offset)[0])
            if target is not None:
                data[offset:offset + 4] = conn.pack("I", target)
        return bytes(data)


def mbuf_own(conn):
    return allplanes_own(conn)


def mbuf_free_pixmaps(ids):
    for buffer_id in ids:
        record = MBUF_BUFFERS.pop(buffer_id, None)
        if record is None:
            continue
        owner = record["owner"]
        if owner.own is not None:
            try:
                owner.own.create_resource_object("pixmap", record["pixmap"]).free()
                owner.own.flush()
            except Exception:
                pass


def mbuf_forget_window(window_id):
    window = MBUF_WINDOWS.pop(window_id, None)
    if window is not None:
        mbuf_free_pixmaps(window["buffers"])


def mbuf_forget_connection(conn):
    """The buffers that a closing connection made (its own connection takes the pixmaps)."""
    with MBUF_LOCK:
        for window_id in [w for w, rec in MBUF_WINDOWS.items() if rec["owner"] is conn]:
            for buffer_id in MBUF_WINDOWS.pop(window_id)["buffers"]:
                MBUF_BUFFERS.pop(buffer_id, None)


def mbuf_bad_buffer(conn, req, buffer_id):
    entry = EMULATED_BY_NAME["Multi-Buffering"]
    return conn.error(entry["first_error"], req[0], req[1], buffer_id)


def mbuf_ids(conn, req, start):
    count = (len(req) - start) // 4
    return list(conn.unpack("%dI" % count, req, start))


def mbuf_create(conn, req):
    from Xlib import error as xerror
    window_id = conn.unpack("I", req, 4)[0]
    action, hint = req[8], req[9]
    ids = mbuf_ids(conn, req, 12)
    conn.sync_upstream()
    own = mbuf_own(conn)
    try:
        geometry = own.create_resource_object("window", window_id).get_geometry()
        own.create_resource_object("window", window_id).get_attributes()
    except xerror.XError:
        conn.answer([conn.error(BAD_WINDOW, req[0], req[1], window_id)])
        return
    with MBUF_LOCK:
        old = MBUF_WINDOWS.get(window_id, {"buffers": []})["buffers"]
        for k, buffer_id in enumerate(ids):
            if (buffer_id in MBUF_BUFFERS and buffer_id not in old) or buffer_id in ids[:k]:
                conn.answer([conn.error(BAD_ID_CHOICE, req[0], req[1], buffer_id)])
                return
        mbuf_forget_window(window_id)
        if OPTS.mbuf_alloc is not None:
            ids = ids[:OPTS.mbuf_alloc]
        drawable = own.create_resource_object("window", window_id)
        for index, buffer_id in enumerate(ids):
            pixmap = drawable.create_pixmap(geometry.width, geometry.height, geometry.depth)
            MBUF_BUFFERS[buffer_id] = {"window": window_id, "index": index, "pixmap": pixmap.id,
                                       "owner": conn, "masks": {}}
        if ids:
            MBUF_WINDOWS[window_id] = {"buffers": ids, "displayed": 0, "action": action,
                                       "hint": hint, "owner": conn}
        own.sync()
    conn.answer([conn.reply(conn.pack("H", len(ids)))])


def mbuf_show(own, window, new_index):
    """Makes buffer new_index the displayed one of the window record; the old buffer keeps what
    the update action says."""
    from Xlib import X
    old_index = window["displayed"]
    if old_index == new_index:
        return
    window_id = MBUF_BUFFERS[window["buffers"][0]]["window"]
    drawable = own.create_resource_object("window", window_id)
    old_pixmap = own.create_resource_object("pixmap", MBUF_BUFFERS[window["buffers"][old_index]]["pixmap"])
    new_pixmap = own.create_resource_object("pixmap", MBUF_BUFFERS[window["buffers"][new_index]]["pixmap"])
    geometry = drawable.get_geometry()
    width, height = geometry.width, geometry.height
    gc = drawable.create_gc(graphics_exposures=False, subwindow_mode=X.ClipByChildren)
    action = window["action"]
    if action == 1:  # Background: the old buffer becomes the window's background
        mbuf_fill_background(old_pixmap, window_id, drawable, 0, 0, width, height)
    elif action == 3:  # Copied: the old buffer gets the new image
        old_pixmap.copy_area(gc, new_pixmap, 0, 0, width, height, 0, 0)
    else:  # Undefined, Untouched: the old buffer keeps its image
        old_pixmap.copy_area(gc, drawable, 0, 0, width, height, 0, 0)
    drawable.copy_area(gc, new_pixmap, 0, 0, width, height, 0, 0)
    gc.free()
    window["displayed"] = new_index


def mbuf_fill_background(pixmap, window_id, window, x, y, width, height):
    """Fills a buffer's pixmap with the window's background pixel (as far as the relay saw it
    given), else with what clearing the window shows."""
    pixel = MBUF_BACKGROUNDS.get(window_id)
    if pixel is None:
        window.clear_area(x, y, width, height)
        gc = window.create_gc(graphics_exposures=False)
        pixmap.copy_area(gc, window, x, y, width, height, x, y)
    else:
        gc = pixmap.create_gc(foreground=pixel, graphics_exposures=False)
        pixmap.fill_rectangle(gc, x, y, width, height)
    gc.free()


def mbuf_display(conn, req):
    from Xlib import error as xerror
    ids = mbuf_ids(conn, req, 8)
    entry = EMULATED_BY_NAME["Multi-Buffering"]
    with MBUF_LOCK:
        windows = set()
        for buffer_id in ids:
            record = MBUF_BUFFERS.get(buffer_id)
            if record is None:
                conn.answer([mbuf_bad_buffer(conn, req, buffer_id)])
                return
            if record["window"] in windows:
                conn.answer([conn.error(BAD_MATCH, req[0], req[1], buffer_id)])
                return
            windows.add(record["window"])
    conn.sync_upstream()
    own = mbuf_own(conn)
    events = []
    stamp = int(time.monotonic() * 1000) & 0xFFFFFFFF
    with MBUF_LOCK:
        for buffer_id in ids:
            record = MBUF_BUFFERS.get(buffer_id)
            if record is None:
                continue
            try:
                mbuf_show(own, MBUF_WINDOWS[record["window"]], record["index"])
            except xerror.XError:  # the window went without a DestroyWindow of its own
                mbuf_forget_window(record["window"])
                events.append(mbuf_bad_buffer(conn, req, buffer_id))
                continue
            if record["masks"].get(conn.number, 0) & MBUF_UPDATE_NOTIFY_MASK:
                events.append(conn.event(entry["first_event"] + 1, conn.pack("II", buffer_id, stamp)))
        own.sync()
    conn.answer(events)


def mbuf_clear_area(conn, req):
    buffer_id = conn.unpack("I", req, 4)[0]
    x, y, width, height = conn.unpack("hhHH", req, 8)
    with MBUF_LOCK:
        record = MBUF_BUFFERS.get(buffer_id)
        if record is None:
            conn.answer([mbuf_bad_buffer(conn, req, buffer_id)])
            return
    conn.sync_upstream()
    own = mbuf_own(conn)
    with MBUF_LOCK:
        target = mbuf_drawable(buffer_id)
        if target == record["window"]:
            own.create_resource_object("window", target).clear_area(x, y, width, height, req[19])
        elif target is not None:
            pixmap = own.create_resource_object("pixmap", target)
            geometry = pixmap.get_geometry()
            mbuf_fill_background(pixmap, record["window"], own.create_resource_object("window", record["window"]),
                                 x, y, width or geometry.width - x, height or geometry.height - y)
        own.sync()
    conn.answer([])


def mbuf_buffer_info(conn, req):
    from Xlib import error as xerror
    drawable_id = conn.unpack("I", req, 4)[0]
    conn.sync_upstream()
    own = mbuf_own(conn)
    try:
        root = own.create_resource_object("window", drawable_id).get_geometry().root.id
    except xerror.XError:
        conn.answer([conn.error(BAD_DRAWABLE, req[0], req[1], drawable_id)])
        return
    entries = []
    for number in range(own.screen_count()):
        screen = own.screen(number)
        if screen.root.id != root:
            continue
        for depth in screen.allowed_depths:
            for visual in depth.visuals:
                entries.append(conn.pack("IHBx", visual.visual_id, 0, depth.depth))
    stereo = []
    if OPTS.mbuf_bogus_visual:
        entries.append(conn.pack("IHBx", MBUF_BOGUS_VISUAL, 0, 24))
        stereo.append(entries[0])
    conn.answer([conn.reply(conn.pack("HH", len(entries), len(stereo)), b"".join(entries + stereo))])


def mbuf_handle(conn, req):
    minor = req[1]
    if minor == 0:
        conn.answer([conn.reply(bytes([1, 1]))])
    elif minor == 1:
        mbuf_create(conn, req)
    elif minor == 2:
        with MBUF_LOCK:
            mbuf_forget_window(conn.unpack("I", req, 4)[0])
        conn.answer([])
    elif minor == 3:
        mbuf_display(conn, req)
    elif minor == 4:
        window_id, mask = conn.unpack("II", req, 4)
        with MBUF_LOCK:
            window = MBUF_WINDOWS.get(window_id)
            if window is None:
                conn.answer([conn.error(BAD_MATCH, req[0], minor, window_id)])
                return
            if mask & 1 and len(req) >= 16:
                window["hint"] = conn.unpack("I", req, 12)[0] & 0xFF
        conn.answer([])
    elif minor == 5:
        window_id = conn.unpack("I", req, 4)[0]
        with MBUF_LOCK:
            window = MBUF_WINDOWS.get(window_id)
            if window is None:
                conn.answer([conn.error(BAD_ACCESS, req[0], minor, window_id)])
                return
            ids = list(window["buffers"])
            body = conn.pack("HBBB", window["displayed"], window["action"], window["hint"], 0)
        conn.answer([conn.reply(body, conn.pack("%dI" % len(ids), *ids))])
    elif minor == 6:
        buffer_id, mask = conn.unpack("II", req, 4)
        with MBUF_LOCK:
            record = MBUF_BUFFERS.get(buffer_id)
            if record is None:
                conn.answer([mbuf_bad_buffer(conn, req, buffer_id)])
                return
            if mask & 1 and len(req) >= 16:
                record["masks"][conn.number] = conn.unpack("I", req, 12)[0]
        conn.answer([])
    elif minor == 7:
        buffer_id = conn.unpack("I", req, 4)[0]
        with MBUF_LOCK:
            record = MBUF_BUFFERS.get(buffer_id)
            if record is None:
                conn.answer([mbuf_bad_buffer(conn, req, buffer_id)])
                return
            body = conn.pack("IIHB", record["window"], record["masks"].get(conn.number, 0),
                             record["index"], 0)
        conn.answer([conn.reply(body)])
    elif minor == 8:
        mbuf_buffer_info(conn, req)
    elif minor == 9:
        conn.answer([conn.error(BAD_MATCH, req[0], minor)])  # no stereo visuals
    elif minor == 10:
        mbuf_clear_area(conn, req)
    else:
        conn.answer([conn.error(1, req[0], minor)])
# ===== end of Multi-Buffering =====


# ===== SCREEN-SAVER =====
# The older "SCREEN-SAVER" 1.0 (-emulate SCREEN-SAVER; -version SCREEN-SAVER=M.m answers that
# version). Enable and Disable turn the saver events on and off per connection and screen (byte
# 1 of their reply is 1; a screen the server lacks is BadValue). The relay's own connection
# selects MIT-SCREEN-SAVER notifications on every root; a watcher thread turns the saver going
# on (off) into the first (second) event for each connection that has that root's screen
# enabled: the upstream root at 4, the time at 8, the connection's latest sequence number.

SAVER_LOCK = threading.Lock()
SAVER_ENABLED = {}   # Conn -> set of enabled screen numbers
SAVER_ROOTS = []     # root ids by screen number, once the watcher runs


def saver_size(minor, size):
    return size == 8 if minor in (0, 1, 2) else True


def saver_start_watcher():
    """Opens the relay's own connection and starts the watcher (once). Holds SAVER_LOCK."""
    if SAVER_ROOTS:
        return
    import Xlib.display
    from Xlib.ext import screensaver
    display = Xlib.display.Display(OPTS.upstream)
    first_event = display.query_extension(screensaver.extname).first_event
    for number in range(display.screen_count()):
        root = display.screen(number).root
        root.screensaver_select_input(screensaver.NotifyMask)
        SAVER_ROOTS.append(root.id)
    display.sync()
    threading.Thread(target=saver_watch, args=(display, first_event), daemon=True).start()


def saver_watch(display, first_event):
    entry = EMULATED_BY_NAME["SCREEN-SAVER"]
    while True:
        try:
            e = display.next_event()
        except Exception:
            return
        if e.type & 0x7F != first_event or e.state not in (0, 1):
            continue  # only the saver going on (1) or off (0)
        root = e.root.id
        screen = SAVER_ROOTS.index(root) if root in SAVER_ROOTS else -1
        code = entry["first_event"] + (0 if e.state == 1 else 1)
        with SAVER_LOCK:
            targets = [c for c, screens in SAVER_ENABLED.items() if screen in screens]
        for conn in targets:
            packet = bytearray(conn.event(code, conn.pack("II", root, e.timestamp)))
            try:
                with conn.client_lock:
                    packet[2:4] = conn.pack("H", conn.last_cseq_out & 0xFFFF)
                    conn.client.sendall(bytes(packet))
            except OSError:
                pass


def saver_forget_connection(conn):
    with SAVER_LOCK:
        SAVER_ENABLED.pop(conn, None)


def saver_handle(conn, req):
    minor = req[1]
    if minor == 0:
        conn.answer([conn.reply(conn.pack("HH", *OPTS.versions.get("SCREEN-SAVER", (1, 0))))])
    elif minor in (1, 2):
        screen = conn.unpack("I", req, 4)[0]
        with SAVER_LOCK:
            saver_start_watcher()
            if screen >= len(SAVER_ROOTS):
                conn.answer([conn.error(BAD_VALUE, req[0], minor, screen)])
                return
            screens = SAVER_ENABLED.setdefault(conn, set())
            if minor == 1:
                screens.add(screen)
            else:
                screens.discard(screen)
        conn.answer([conn.reply_with_byte1(1)])
    else:
        conn.answer([conn.error(1, req[0], minor)])
# ===== end of SCREEN-SAVER =====


# ===== XVideo =====
# Fake adaptors behind the XVideo that Xvfb lists without any (-xv S:TYPE:PORTS[:NAME],
# repeatable): the relay answers every request of Xvfb's XVideo opcode itself, with Xvfb's event
# and error codes. Adaptors of screen S have ports from 64 + 256 x S in option order; formats:
# every visual of the screen's root depth. Attributes XV_COLORKEY and XV_BRIGHTNESS are kept per
# port; a grab holds a port until UngrabPort or the holder's close.

XV_LOCK = threading.RLock()
XV = {"display": None, "ports": {}, "grabs": {}, "values": {}, "video": {}, "port_select": {}}
XV_IMAGE_FORMATS = (0x32595559, 0x32315659)  # YUY2, YV12
XV_SIZES = {0: 4, 1: 8, 2: 8, 3: 12, 4: 12, 7: 32, 8: 32, 9: 12, 10: 12, 11: 12, 12: 20, 13: 16,
            14: 12, 15: 8, 16: 8, 17: 16, 19: 52}


def xv_size(minor, size):
    if minor in (5, 6):
        return size >= 32
    if minor == 18:
        return size >= 40
    return XV_SIZES.get(minor, size) == size


def xv_setup():
    """The relay's own connection, the adaptors' ports and the attribute atoms (once)."""
    with XV_LOCK:
        if XV["display"] is not None:
            return
        import Xlib.display
        display = Xlib.display.Display(OPTS.upstream)
        XV["colorkey"] = display.intern_atom("XV_COLORKEY")
        XV["brightness"] = display.intern_atom("XV_BRIGHTNESS")
        XV["roots"] = [display.screen(n).root.id for n in range(display.screen_count())]
        next_port = {}
        for number, (screen, type_, ports, name) in enumerate(OPTS.xv):
            base = next_port.get(screen, 64 + 256 * screen)
            next_port[screen] = base + ports
            for p in range(base, base + ports):
                XV["ports"][p] = screen
                XV["values"][p] = {XV["colorkey"]: 0x0101fe, XV["brightness"]: 0}
            OPTS.xv[number] = (screen, type_, ports, name, base)
        XV["display"] = display


def xv_adaptors_of(screen):
    display = XV["display"]
    info = display.screen(screen)
    visuals = [v.visual_id for d in info.allowed_depths if d.depth == info.root_depth for v in d.visuals]
    return [(a, info.root_depth, visuals) for a in OPTS.xv if a[0] == screen]


def xv_send_event(conn, packet):
    packet = bytearray(packet)
    try:
        with conn.client_lock:
            packet[2:4] = conn.pack("H", conn.last_cseq_out & 0xFFFF)
            conn.client.sendall(bytes(packet))
    except OSError:
        pass


def xv_notify_video(drawable, reason, port):
    entry = UPSTREAM_XV
    with XV_LOCK:
        targets = [c for c, on in XV["video"].get(drawable, {}).items() if on]
    for c in targets:
        packet = bytearray(c.event(entry["first_event"], c.pack("III", int(time.time() * 1000) & 0xFFFFFFFF,
                                                                drawable, port)))
        packet[1] = reason
        xv_send_event(c, packet)


def xv_forget_connection(conn):
    with XV_LOCK:
        for port in [p for p, holder in XV["grabs"].items() if holder is conn]:
            del XV["grabs"][port]
        for table in (XV["video"], XV["port_select"]):
            for selections in table.values():
                selections.pop(conn, None)


def xv_image_size(format_id, width, height):
    """Planes, size, width, height, pitches, offsets as X servers compute them."""
    width = (width + 1) & ~1
    if format_id == XV_IMAGE_FORMATS[1]:
        height = (height + 1) & ~1
        pitch0 = (width + 3) & ~3
        pitch1 = ((width >> 1) + 3) & ~3
        size0, size1 = pitch0 * height, pitch1 * (height >> 1)
        return 3, size0 + 2 * size1, width, height, [pitch0, pitch1, pitch1], [0, size0, size0 + size1]
    return 1, width * 2 * height, width, height, [width * 2], [0]


def xv_format_entry(conn, format_id):
    guid = struct.pack("<I", format_id) + bytes.fromhex("00001000800000aa00389b71")
    if format_id == XV_IMAGE_FORMATS[0]:
        return (conn.pack("IBBxx", format_id, 1, 0) + guid + conn.pack("BBxxBxxx", 16, 1, 0) + bytes(12) +
                conn.pack("Bxxx", 0) + conn.pack("9I", 8, 8, 8, 1, 2, 2, 1, 1, 1) + b"YUYV".ljust(32, b"\0") +
                conn.pack("B11x", 0))
    return (conn.pack("IBBxx", format_id, 1, 0) + guid + conn.pack("BBxxBxxx", 12, 3, 0) + bytes(12) +
            conn.pack("Bxxx", 1) + conn.pack("9I", 8, 8, 8, 1, 2, 2, 1, 2, 2) + b"YVU".ljust(32, b"\0") +
            conn.pack("B11x", 0))


def xv_handle(conn, req):
    xv_setup()
    entry = UPSTREAM_XV
    minor = req[1]
    bad_port = entry["first_error"]
    if minor == 0:
        conn.answer([conn.reply(conn.pack("HH", 2, 2))])
        return
    if minor == 1:
        window = conn.unpack("I", req, 4)[0]
        try:
            with XV_LOCK:
                root = XV["display"].create_resource_object("window", window).get_geometry().root.id
        except Exception:
            conn.answer([conn.error(3, req[0], minor, window)])
            return
        screen = XV["roots"].index(root) if root in XV["roots"] else 0
        extra = b""
        adaptors = xv_adaptors_of(screen)
        for (s, type_, ports, name, base), depth, visuals in adaptors:
            raw = name.encode()
            extra += conn.pack("IHHHBx", base, len(raw), ports, len(visuals), type_) + raw + bytes(-len(raw) % 4)
            for v in visuals:
                extra += conn.pack("IBxxx", v, depth)
        conn.answer([conn.reply(conn.pack("H", len(adaptors)), extra)])
        return
    if minor == 10:
        drawable, on = conn.unpack("IB", req, 4)
        with XV_LOCK:
            XV["video"].setdefault(drawable, {})[conn] = bool(on)
        conn.answer([])
        return
    port = conn.unpack("I", req, 4)[0]
    if port not in XV["ports"]:
        conn.answer([conn.error(bad_port, req[0], minor, port)])
        return
    if minor == 2:
        raw = b"XV_IMAGE"
        extra = conn.pack("IHHHxxii", 1, len(raw), 2048, 2048, 1, 1) + raw
        conn.answer([conn.reply(conn.pack("H", 1), extra)])
    elif minor == 3:
        with XV_LOCK:
            holder = XV["grabs"].get(port)
            status = 2 if holder is not None and holder is not conn else 0
            if status == 0:
                XV["grabs"][port] = conn
        conn.answer([conn.reply_with_byte1(status)])
    elif minor == 4:
        with XV_LOCK:
            if XV["grabs"].get(port) is conn:
                del XV["grabs"][port]
        conn.answer([])
    elif minor in (5, 6, 9):
        drawable = conn.unpack("I", req, 8)[0]
        conn.answer([])
        xv_notify_video(drawable, 1 if minor == 9 else 0, port)
    elif minor == 11:
        with XV_LOCK:
            XV["port_select"].setdefault(port, {})[conn] = bool(req[8])
        conn.answer([])
    elif minor == 12:
        conn.answer([conn.reply(conn.pack("HH", *conn.unpack("HH", req, 12)))])
    elif minor in (13, 14):
        attribute = conn.unpack("I", req, 8)[0]
        with XV_LOCK:
            values = XV["values"][port]
            if attribute not in values:
                conn.answer([conn.error(BAD_MATCH, req[0], minor, attribute)])
                return
            if minor == 14:
                conn.answer([conn.reply(conn.pack("i", values[attribute]))])
                return
            values[attribute] = conn.unpack("i", req, 12)[0]
            targets = [c for c, on in XV["port_select"].get(port, {}).items() if on]
        conn.answer([])
        for c in targets:
            xv_send_event(c, c.event(entry["first_event"] + 1,
                                     c.pack("IIIi", int(time.time() * 1000) & 0xFFFFFFFF, port, attribute,
                                            values[attribute])))
    elif minor == 15:
        extra = b""
        text = 0
        for name, low, high in (("XV_COLORKEY", 0, 0xFFFFFF), ("XV_BRIGHTNESS", -1000, 1000)):
            raw = name.encode() + b"\0"
            raw += bytes(-len(raw) % 4)
            extra += conn.pack("Iiii", 3, low, high, len(raw)) + raw
            text += len(raw)
        conn.answer([conn.reply(conn.pack("II", 2, text), extra)])
    elif minor == 16:
        extra = b"".join(xv_format_entry(conn, f) for f in XV_IMAGE_FORMATS)
        conn.answer([conn.reply(conn.pack("I", len(XV_IMAGE_FORMATS)), extra)])
    elif minor == 17:
        format_id, width, height = conn.unpack("IHH", req, 8)
        if format_id not in XV_IMAGE_FORMATS:
            conn.answer([conn.error(BAD_MATCH, req[0], minor, format_id)])
            return
        planes, size, width, height, pitches, offsets = xv_image_size(format_id, width, height)
        extra = conn.pack("%dI" % (2 * planes), *(pitches + offsets))
        conn.answer([conn.reply(conn.pack("IIHH", planes, size, width, height), extra)])
    elif minor == 18:
        format_id = conn.unpack("I", req, 16)[0]
        width, height = conn.unpack("HH", req, 36)
        if format_id in XV_IMAGE_FORMATS and len(req) - 40 < xv_image_size(format_id, width, height)[1]:
            conn.answer([conn.error(BAD_LENGTH, req[0], minor)])
        else:
            conn.answer([])
    elif minor == 19:
        drawable, _, shmseg, _, offset = conn.unpack("IIIII", req, 8)
        packets = []
        if req[48] and "MIT-SHM" in UPSTREAM_EVENTS:
            packets.append(conn.event(UPSTREAM_EVENTS["MIT-SHM"], conn.pack("IHBxII", drawable, 19, req[0], shmseg,
                                                                             offset)))
        conn.answer(packets)
    else:
        conn.answer([])
# ===== end of XVideo =====


def exact_sizes(table):
    return lambda minor, size: table.get(minor, size) == size


# The one table of emulations: option name, extension name, version, event and error counts,
# request handler and request size check. Majors, first events and first errors are handed out
# from 255, 127 and 255 downwards, in the order of this table, to those that are switched on.
EMULATIONS = [
    {"option": "DPMS", "name": "DPMS", "events": 0, "errors": 0,
     "handle": dpms_handle, "sizes": exact_sizes(DPMS_SIZES)},
    {"option": "FBPM", "name": "FBPM", "events": 0, "errors": 0,
     "handle": fbpm_handle, "sizes": exact_sizes(FBPM_SIZES)},
    {"option": "CONTROL", "name": "MORWENTECH CONTROL", "events": 0, "errors": 0,
     "handle": control_handle, "sizes": control_size},
    {"option": "XTEST1", "name": "XTestExtension1", "events": 2, "errors": 0,
     "handle": xtest1_handle, "sizes": exact_sizes(XTEST1_SIZES)},
    {"option": "ALLPLANES", "name": "SUN_ALLPLANES", "events": 0, "errors": 0,
     "handle": allplanes_handle, "sizes": allplanes_size},
    {"option": "MBUF", "name": "Multi-Buffering", "events": 2, "errors": 1,
     "handle": mbuf_handle, "sizes": mbuf_size},
    {"option": "SCREEN-SAVER", "name": "SCREEN-SAVER", "events": 2, "errors": 0,
     "handle": saver_handle, "sizes": saver_size},
    {"option": "XIE", "name": "XIE", "events": 5, "errors": 7,
     "handle": lambda conn, req: relay_xie.handle(conn, req, EMULATED_BY_NAME["XIE"], OPTS.versions,
                                                  allplanes_own),
     "sizes": relay_xie.sizes},
    {"option": "XPRINT", "name": "XpExtension", "events": 2, "errors": 3,
     "handle": lambda conn, req: relay_xprint.handle(conn, req, EMULATED_BY_NAME["XpExtension"], OPTS.versions,
                                                     lambda: UPSTREAM_ROOTS),
     "sizes": relay_xprint.sizes},
    # Under the upstream server's own codes (see assign_upstream_codes).
    {"option": "XV", "name": "XVideo", "events": 2, "errors": 3, "upstream": True,
     "handle": xv_handle, "sizes": xv_size},
]
ACTIVE = []
EMULATED_BY_MAJOR = {}
EMULATED_BY_NAME = {}
EMULATED_NAMES = set()


def assign_codes():
    major, event, error = 255, 127, 255
    for entry in EMULATIONS:
        if entry["option"] not in OPTS.emulate:
            continue
        e = dict(entry)
        e["major"] = major
        major -= 1
        if e["events"]:
            e["first_event"] = event - e["events"] + 1
            event -= e["events"]
        else:
            e["first_event"] = 0
        if e["errors"]:
            e["first_error"] = error - e["errors"] + 1
            error -= e["errors"]
        else:
            e["first_error"] = 0
        ACTIVE.append(e)
        EMULATED_BY_MAJOR[e["major"]] = e
        EMULATED_BY_NAME[e["name"]] = e
        EMULATED_NAMES.add(e["name"])


def assign_upstream_codes():
    """Rows answered under the upstream extension's own major, events and errors (-xv)."""
    for entry in EMULATIONS:
        if not entry.get("upstream") or entry["option"] != "XV" or not OPTS.xv or not UPSTREAM_XV:
            continue
        e = dict(entry)
        e.update(UPSTREAM_XV)
        UPSTREAM_XV.update(e)
        EMULATED_BY_MAJOR[e["major"]] = UPSTREAM_XV


# ---------------------------------------------------------------------------------------------
# Connections

def recv_exact(sock, n, buf):
    while len(buf) < n:
        data = sock.recv(max(65536, n - len(buf)))
        if not data:
            raise EOFError
        buf += data
    return buf


def upstream_socket():
    number = OPTS.upstream.lstrip(":").split(".")[0]
    path = "/tmp/.X11-unix/X" + number
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(path)
    except OSError:
        sock.close()
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.connect("\0" + path)
    return sock


def serve(conn):
    client = conn.client
    try:
        up = upstream_socket()
    except OSError:
        client.close()
        return
    conn.upstream = up
    try:
        cbuf = bytearray()
        recv_exact(client, 12, cbuf)
        conn.e = "<" if cbuf[0] == ord("l") else ">"
        capture_line(conn, "order " + ("l" if conn.e == "<" else "B"))
        n, d = conn.unpack("HH", cbuf, 6)
        setup_len = 12 + n + (-n % 4) + d + (-d % 4)
        recv_exact(client, setup_len, cbuf)
        up.sendall(bytes(cbuf[:setup_len]))
        del cbuf[:setup_len]
        ubuf = bytearray()
        recv_exact(up, 8, ubuf)
        total = 8 + 4 * conn.unpack("H", ubuf, 6)[0]
        recv_exact(up, total, ubuf)
        client.sendall(bytes(ubuf[:total]))
        accepted = ubuf[0] == 1
        del ubuf[:total]
        conn.ubuf = ubuf
        if not accepted:
            return
        if OPTS.impervious and "XTEST" in UPSTREAM_MAJORS:
            conn.send_upstream(conn.pack("BBHB3x", UPSTREAM_MAJORS["XTEST"], 3, 2, 1), "drop")
        while True:
            readable, _, _ = select.select([client, up], [], [])
            if client in readable:
                data = client.recv(262144)
                if not data:
                    return
                cbuf += data
                while len(cbuf) >= 4:
                    length = conn.unpack("H", cbuf, 2)[0]
                    if length == 0:
                        if len(cbuf) < 8:
                            break
                        length = conn.unpack("I", cbuf, 4)[0]
                        if length < 2:
                            return  # a big request shorter than its own header: give up
                    size = 4 * length
                    if len(cbuf) < size:
                        break
                    req = bytes(cbuf[:size])
                    del cbuf[:size]
                    conn.handle_request(req)
            if up in readable:
                data = up.recv(262144)
                if not data:
                    return
                conn.feed_upstream(data)
    except (EOFError, OSError):
        pass
    finally:
        client.close()
        up.close()
        mbuf_forget_connection(conn)
        saver_forget_connection(conn)
        xv_forget_connection(conn)
        relay_xie.forget_connection(conn)
        relay_xprint.forget_connection(conn)
        if conn.own is not None:
            try:
                conn.own.close()
            except Exception:
                pass


# ---------------------------------------------------------------------------------------------
# Start-up

CLEANUP = []


def cleanup(*_):
    for path in CLEANUP:
        try:
            os.unlink(path)
        except OSError:
            pass
    os._exit(0)


def listen_on_free_display():
    for _ in range(500):
        number = random.randint(30000, 59999)
        lock = "/tmp/.X%d-lock" % number
        path = "/tmp/.X11-unix/X%d" % number
        if os.path.exists(path):
            continue
        try:
            fd = os.open(lock, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o444)
        except OSError:
            continue
        os.write(fd, b"%10d\n" % os.getpid())
        os.close(fd)
        sockets = []
        try:
            abstract = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            abstract.bind("\0" + path)
            sockets.append(abstract)
            os.makedirs("/tmp/.X11-unix", exist_ok=True)
            filed = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            filed.bind(path)
            sockets.append(filed)
        except OSError:
            for s in sockets:
                s.close()
            os.unlink(lock)
            continue
        CLEANUP.extend([path, lock])
        for s in sockets:
            s.listen(64)
        return number, sockets
    raise SystemExit("xrelay: no free display number")


def parse_args(argv):
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "-upstream":
            OPTS.upstream = argv[i + 1]; i += 1
        elif a == "-displayfd":
            OPTS.displayfd = int(argv[i + 1]); i += 1
        elif a == "-emulate":
            OPTS.emulate = [x for x in argv[i + 1].split(",") if x]; i += 1
        elif a == "-hide":
            OPTS.hide.append(argv[i + 1]); i += 1
        elif a == "-version":
            name, _, value = argv[i + 1].partition("=")
            vmaj, _, vmin = value.partition(".")
            OPTS.versions[name] = (int(vmaj), int(vmin or 0)); i += 1
        elif a == "-impervious":
            OPTS.impervious = True
        elif a == "-xtest1-size":
            OPTS.xtest1_size = int(argv[i + 1]); i += 1
        elif a == "-xtest1-maxdelay":
            OPTS.xtest1_maxdelay = int(argv[i + 1]); i += 1
        elif a == "-xtest1-noack":
            OPTS.xtest1_noack = True
        elif a == "-bigreq-max":
            OPTS.bigreq_max = int(argv[i + 1], 0); i += 1
        elif a == "-mbuf-alloc":
            OPTS.mbuf_alloc = int(argv[i + 1]); i += 1
        elif a == "-sent-event":
            OPTS.sent_event = True
        elif a == "-mbuf-bogus-visual":
            OPTS.mbuf_bogus_visual = True
        elif a == "-log":
            OPTS.log = argv[i + 1]; i += 1
        elif a == "-capture":
            OPTS.capture = argv[i + 1]; i += 1
        elif a == "-xv":
            words = argv[i + 1].split(":", 3)
            screen = int(words[0])
            index = sum(1 for x in OPTS.xv if x[0] == screen)
            name = words[3] if len(words) > 3 else "relay %d.%d" % (screen, index)
            OPTS.xv.append((screen, int(words[1]), int(words[2]), name)); i += 1
        else:
            raise SystemExit("xrelay: unknown option " + a)
        i += 1
    known = {e["option"] for e in EMULATIONS}
    for name in OPTS.emulate:
        if name not in known:
            raise SystemExit("xrelay: unknown emulation " + name)
    if OPTS.upstream is None or OPTS.displayfd is None:
        raise SystemExit("xrelay: -upstream and -displayfd are required")


def query_upstream():
    import Xlib.display
    display = Xlib.display.Display(OPTS.upstream)
    UPSTREAM_ROOTS.extend(display.screen(n).root.id for n in range(display.screen_count()))
    for name in ("XTEST", "XInputExtension", "XC-MISC", "Generic Event Extension", "BIG-REQUESTS", "RENDER", "GLX") \
            + VERSIONED_SAVER_SHAPE:
        info = display.query_extension(name)
        if info is not None:
            UPSTREAM_MAJORS[name] = info.major_opcode
    for name in ("XVideo", "MIT-SHM"):
        info = display.query_extension(name)
        if info is not None:
            UPSTREAM_EVENTS[name] = info.first_event
            if name == "XVideo":
                UPSTREAM_XV.update({"major": info.major_opcode, "first_event": info.first_event,
                                    "first_error": info.first_error})
    display.close()


def main():
    global LOG_FILE, CAPTURE_FILE
    parse_args(sys.argv[1:])
    assign_codes()
    query_upstream()
    assign_upstream_codes()
    if OPTS.log:
        LOG_FILE = open(OPTS.log, "a")
    if OPTS.capture:
        CAPTURE_FILE = open(OPTS.capture, "a")
    signal.signal(signal.SIGTERM, cleanup)
    signal.signal(signal.SIGINT, cleanup)
    signal.signal(signal.SIGHUP, cleanup)
    number, sockets = listen_on_free_display()
    os.write(OPTS.displayfd, b"%d\n" % number)
    os.close(OPTS.displayfd)
    count = 0
    try:
        while True:
            readable, _, _ = select.select(sockets, [], [])
            for s in readable:
                client, _ = s.accept()
                count += 1
                conn = Conn(count, client)
                threading.Thread(target=serve, args=(conn,), daemon=True).start()
    finally:
        cleanup()


if __name__ == "__main__":
    main()
