#!/usr/bin/python3
# The differential check: the same request streams go to an Xvfb directly and, through tarvo,
# to an Xvfb of the same screens joined into one meta screen (2 and 4 heads of 640x480). Whenever
# the direct server survives a batch, the server behind tarvo (asked on its own display, not
# through tarvo) and tarvo itself must answer too; a batch that the server behind tarvo did not
# survive is replayed on a direct server of one screen of the meta screen's size, which tarvo
# shows its clients, and skipped when that one does not survive it either. The streams come from a seed: RENDER pictures
# on pixmaps and windows of every depth in every format, drawing with every operator and
# primitive with extreme fixed-point coordinates, glyphs, SHAPE rectangles and masks, pointer
# grabs confined to windows and warps across the heads' borders, from clients of both byte
# orders, with and without BIG-REQUESTS. Known triggers are fixed cases.
#
#   differential.py --tarvo BUILD/tarvo [--seed N] [--first N] [--batches N | --seconds S] [--heads 2,4]
#                   [--case NAME ...] [--only-cases] [--work DIR] [--verbose]
#
# Exits 0 when every batch that the direct server survived left both the server behind tarvo
# and tarvo answering; 1 otherwise (the batch, its seed and tarvo's log tail are printed).
# The ids, formats and roots each stream names are resolved on each connection: a request
# stream is a list of operations encoded for the connection it goes to.
import argparse
import os
import random
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ANSWER_MS = 20000   # the bound for a GetInputFocus answer after a batch (a busy machine)
START_MS = 30000    # the bound for a server or tarvo to come up


class Gone(Exception):
    """The connection broke or did not answer in time."""


# ----- A raw X client of either byte order ---------------------------------------------------

class XConn:
    def __init__(self, display, order, timeout_ms=START_MS):
        self.order = order
        self.E = '>' if order == 'B' else '<'
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout_ms / 1000)
        try:
            self.sock.connect('/tmp/.X11-unix/X%d' % display)
            self.sock.sendall(struct.pack(self.E + 'BxHHHHxx', ord(order), 11, 0, 0, 0))
            head = self._recv(8, time.time() + timeout_ms / 1000)
            if head[0] != 1:
                raise Gone('setup refused')
            setup = self._recv(struct.unpack(self.E + 'H', head[6:8])[0] * 4, time.time() + timeout_ms / 1000)
        except (OSError, socket.timeout) as e:
            self.sock.close()
            raise Gone(str(e))
        self.sock.setblocking(False)
        E = self.E
        self.id_base, self.id_mask = struct.unpack(E + 'II', setup[4:12])
        vendor, = struct.unpack(E + 'H', setup[16:18])
        self.max_length, = struct.unpack(E + 'H', setup[18:20])
        nscreens, nformats = setup[20], setup[21]
        at = 32 + vendor + (-vendor % 4) + 8 * nformats
        self.screens = []
        for _ in range(nscreens):
            root, = struct.unpack(E + 'I', setup[at:at + 4])
            width, height = struct.unpack(E + 'HH', setup[at + 20:at + 24])
            visual, = struct.unpack(E + 'I', setup[at + 32:at + 36])
            depth, ndepths = setup[at + 38], setup[at + 39]
            at += 40
            visuals = {}
            for _ in range(ndepths):
                d, nvis = setup[at], struct.unpack(E + 'H', setup[at + 2:at + 4])[0]
                at += 8
                for v in range(nvis):
                    visuals.setdefault(d, []).append(struct.unpack(E + 'I', setup[at:at + 4])[0])
                    at += 24
            self.screens.append(dict(root=root, width=width, height=height, visual=visual, depth=depth,
                                     visuals=visuals))
        self.next_id = 0
        self.sequence = 0
        self.big = False
        self.errors = 0
        self.ext = {}
        self.formats = []   # (id, type, depth, (r, rmask, g, gmask, b, bmask, a, amask))

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def new_id(self):
        self.next_id += 1
        return self.id_base | (self.next_id & self.id_mask)

    def _recv(self, n, deadline):
        data = b''
        while len(data) < n:
            left = deadline - time.time()
            if left <= 0:
                raise Gone('no answer in time')
            r, _, _ = select.select([self.sock], [], [], left)
            if not r:
                continue
            try:
                chunk = self.sock.recv(n - len(data))
            except BlockingIOError:
                continue
            except OSError as e:
                raise Gone(str(e))
            if not chunk:
                raise Gone('connection closed')
            data += chunk
        return data

    def _send_all(self, data, deadline):
        view = memoryview(data)
        while view:
            self.drain()
            left = deadline - time.time()
            if left <= 0:
                raise Gone('write blocked')
            _, w, _ = select.select([], [self.sock], [], min(left, 0.05))
            if not w:
                continue
            try:
                n = self.sock.send(view)
            except BlockingIOError:
                continue
            except OSError as e:
                raise Gone(str(e))
            view = view[n:]

    # Reads what has arrived (events and errors are counted and dropped, replies kept).
    def drain(self):
        self.pending = getattr(self, 'pending', b'')
        while True:
            try:
                chunk = self.sock.recv(65536)
            except BlockingIOError:
                break
            except OSError as e:
                raise Gone(str(e))
            if not chunk:
                raise Gone('connection closed')
            self.pending += chunk

    def request(self, major, minor, body, timeout_ms=ANSWER_MS):
        """Sends one request (the body after the 4-byte header, padded); returns its sequence."""
        body = body + b'\0' * (-len(body) % 4)
        words = 1 + len(body) // 4
        if self.big and (words > 0xffff or self.big_always):
            data = struct.pack(self.E + 'BBHI', major, minor, 0, words + 1) + body
        elif words > 0xffff:
            return None  # too long without BIG-REQUESTS: not sent
        else:
            data = struct.pack(self.E + 'BBH', major, minor, words) + body
        self._send_all(data, time.time() + timeout_ms / 1000)
        self.sequence = (self.sequence + 1) & 0xffff
        return self.sequence

    def reply(self, sequence, timeout_ms=ANSWER_MS):
        """The reply of the request (None for an error); events and other errors are dropped."""
        deadline = time.time() + timeout_ms / 1000
        self.drain()
        while True:
            while len(self.pending) < 32:
                self.pending += self._recv(32 - len(self.pending), deadline)
            m = self.pending[:32]
            size = 32
            if m[0] == 1 or m[0] & 0x7f == 35:
                size += 4 * struct.unpack(self.E + 'I', m[4:8])[0]
            while len(self.pending) < size:
                self.pending += self._recv(size - len(self.pending), deadline)
            m, self.pending = self.pending[:size], self.pending[size:]
            seq, = struct.unpack(self.E + 'H', m[2:4])
            if m[0] == 0:
                self.errors += 1
                if os.environ.get('DIFFERENTIAL_ERRORS'):
                    print('error %d on %d.%d' % (m[1], m[10], struct.unpack(self.E + 'H', m[8:10])[0]),
                          file=sys.stderr)
                if seq == sequence:
                    return None
            elif m[0] == 1 and seq == sequence:
                return m

    def sync(self, timeout_ms=ANSWER_MS):
        """A GetInputFocus round trip; raises Gone when it does not come back in time."""
        if self.reply(self.request(43, 0, b''), timeout_ms) is None:
            raise Gone('GetInputFocus failed')

    def extension(self, name):
        if name not in self.ext:
            r = self.reply(self.request(98, 0, struct.pack(self.E + 'Hxx', len(name)) + name.encode()))
            self.ext[name] = r[9] if r and r[8] else 0
        return self.ext[name]

    def enable_big(self, always):
        major = self.extension('BIG-REQUESTS')
        if not major:
            return False
        r = self.reply(self.request(major, 0, b''))
        self.big = r is not None
        self.big_always = always
        return self.big

    def query_formats(self):
        render = self.extension('RENDER')
        if not render:
            return
        self.reply(self.request(render, 0, struct.pack(self.E + 'II', 0, 11)))
        r = self.reply(self.request(render, 1, b''))
        if not r:
            return
        n, = struct.unpack(self.E + 'I', r[8:12])
        for k in range(n):
            f = r[32 + 28 * k:60 + 28 * k]
            fid, ftype, depth = struct.unpack(self.E + 'IBB', f[:6])
            self.formats.append((fid, ftype, depth, struct.unpack(self.E + '8H', f[8:24])))

    def format_for(self, depth, alpha_only=None, pick=0):
        """A format of the depth (the pick-th of them, wrapping); 0 when none."""
        fits = [f for f in self.formats if f[2] == depth and
                (alpha_only is None or alpha_only == (f[3][1] == 0 and f[3][7] != 0))]
        return fits[pick % len(fits)][0] if fits else 0


# ----- Servers ---------------------------------------------------------------------------------

def wait_answer(display, deadline):
    while time.time() < deadline:
        try:
            XConn(display, 'l', 2000).close()
            return True
        except Gone:
            time.sleep(0.05)
    return False


class Served:
    """A server process (proc) on display number: whether it runs, and answers a round trip."""

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def answers(self):
        if not self.alive():
            return False
        try:
            c = XConn(self.number, 'l', ANSWER_MS)
            c.sync(ANSWER_MS)
            c.close()
            return True
        except Gone:
            return False


def end_process(proc, grace):
    """Terminates proc if it still runs, killing it after grace seconds; its exit status."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.returncode


class Xvfb(Served):
    def __init__(self, screens, work, width=640):
        self.screens = screens
        self.width = width
        self.work = work
        self.proc = None
        self.number = None

    def start(self):
        r, w = os.pipe()
        args = ['Xvfb', '-displayfd', str(w), '-nolisten', 'tcp', '-noreset']
        for s in range(self.screens):
            args += ['-screen', str(s), '%dx480x24' % self.width]
        self.log = open(os.path.join(self.work, 'xvfb-%d-%d.log' % (self.screens, time.time_ns())), 'w')
        self.proc = subprocess.Popen(args, pass_fds=(w,), stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        os.close(w)
        text = b''
        deadline = time.time() + START_MS / 1000
        while not text.endswith(b'\n') and time.time() < deadline:
            ready, _, _ = select.select([r], [], [], 0.2)
            if ready:
                chunk = os.read(r, 64)
                if not chunk:
                    break
                text += chunk
        os.close(r)
        if not text.strip():
            raise RuntimeError('Xvfb did not start')
        self.number = int(text)
        if not wait_answer(self.number, deadline):
            raise RuntimeError('Xvfb :%d does not answer' % self.number)

    def stop(self):
        if self.proc:
            end_process(self.proc, 10)
        self.proc = None
        if self.log:
            self.log.close()
            self.log = None


def free_display():
    for n in random.SystemRandom().sample(range(300, 900), 600):
        if not os.path.exists('/tmp/.X%d-lock' % n) and not os.path.exists('/tmp/.X11-unix/X%d' % n):
            return n
    raise RuntimeError('no free display number')


class Tarvo(Served):
    def __init__(self, binary, xvfb, work):
        self.binary = binary
        self.xvfb = xvfb
        self.work = work
        self.proc = None

    def start(self):
        for _ in range(5):
            self.number = free_display()
            self.dir = tempfile.mkdtemp(prefix='tarvo.', dir=self.work)
            self.log = os.path.join(self.dir, 'tarvo.log')
            args = [self.binary, ':%d' % self.number, 'screen', ':%d.0' % self.xvfb.number, 'tags', 'anyScreen',
                    'noReset', 'on', 'logDestination', self.log, 'logTypes', 'steps']
            env = dict(os.environ, TARVO_HOME=SOURCE, TARVO_ETC=self.dir, TARVO_VAR=self.dir)
            out = open(os.path.join(self.dir, 'output.txt'), 'w')
            self.proc = subprocess.Popen(args, env=env, stdout=out, stderr=subprocess.STDOUT,
                                         start_new_session=True)
            out.close()
            deadline = time.time() + START_MS / 1000
            while time.time() < deadline and self.proc.poll() is None:
                if os.path.exists('/tmp/.X11-unix/X%d' % self.number) and wait_answer(self.number, deadline):
                    return
                time.sleep(0.05)
            self.stop()
        raise RuntimeError('tarvo did not start: ' + self.tail())

    def tail(self, lines=30):
        text = ''
        for name in ('output.txt', 'tarvo.log'):
            try:
                with open(os.path.join(self.dir, name), errors='replace') as f:
                    text += ''.join(f.readlines()[-lines:])
            except OSError:
                pass
        return text

    def stop(self):
        status = None
        if self.proc:
            status = end_process(self.proc, 20)
        self.proc = None
        return status


# ----- Operations: encoded for the connection they go to ----------------------------------------

# RENDER's operators: 0..13 (Clear..Add, Saturate), the disjoint and conjoint sets 0x10..0x1b and
# 0x20..0x2b, the blend modes 0x30..0x3e; a few invalid ones beside them.
OPS = list(range(0, 14)) + list(range(0x10, 0x1c)) + list(range(0x20, 0x2c)) + list(range(0x30, 0x3f)) + [14, 0x3f, 0xff]
DEPTHS = [1, 4, 8, 24, 32]
EXTREMES = [0, 1, 0x7fffffff, 0x80000000, 0xffffffff, 0x7fff0000, 0x80010000, 0x00010000, 0xffff0000,
            0x10000 * 640, 0x10000 * 639, 0x10000 * 1280, 0x40000000]


class Env:
    """What one stream has made on one connection: its objects under the stream's names."""

    def __init__(self, conn):
        self.c = conn
        self.ids = {}

    def id(self, name):
        if name is None:
            return 0
        if name not in self.ids:
            self.ids[name] = self.c.new_id()
        return self.ids[name]


def screen_of(env, s):
    return env.c.screens[s % len(env.c.screens)]


def op_create_window(env, name, screen, x, y, w, h, depth=0):
    c = env.c
    scr = screen_of(env, screen)
    visual = 0
    cls = 1
    if depth == 32 and 32 in scr['visuals']:
        visual = scr['visuals'][32][0]
    elif depth not in (0, scr['depth']):
        depth = 0
    if visual:
        # A depth-32 window needs a colormap and a border pixel of its own.
        cmap = env.id(name + '.cmap')
        c.request(78, 0, struct.pack(c.E + 'III', cmap, scr['root'], visual))
        body = struct.pack(c.E + 'IIhhHHHHIIIII', env.id(name), scr['root'], x, y, w, h, 0, cls, visual,
                           0x2008 | 2, 0, 0, cmap)
        c.request(1, depth, body)
    else:
        c.request(1, 0, struct.pack(c.E + 'IIhhHHHHII', env.id(name), scr['root'], x, y, w, h, 0, cls, 0, 0))
    c.request(8, 0, struct.pack(c.E + 'I', env.id(name)))  # MapWindow


def op_create_pixmap(env, name, screen, depth, w, h):
    c = env.c
    c.request(53, depth, struct.pack(c.E + 'IIHH', env.id(name), screen_of(env, screen)['root'], w, h))


def op_create_pixmap_on(env, name, drawable, depth, w, h):
    c = env.c
    c.request(53, depth, struct.pack(c.E + 'IIHH', env.id(name), env.id(drawable), w, h))


def op_create_picture(env, name, drawable, depth, pick, values=b'', mask=0, alpha_only=None):
    c = env.c
    render = c.extension('RENDER')
    fmt = c.format_for(depth, alpha_only, pick)
    c.request(render, 4, struct.pack(c.E + 'IIII', env.id(name), env.id(drawable), fmt, mask) + values)


def op_shapes(env, minor, op, src, dst, mask_depth, mask_pick, words, mask_alpha=None):
    """Trapezoids (10), Triangles (11), TriStrip (12), TriFan (13): words are 32-bit values."""
    c = env.c
    render = c.extension('RENDER')
    fmt = c.format_for(mask_depth, mask_alpha, mask_pick) if mask_depth else 0
    body = struct.pack(c.E + 'BxxxIIIhh', op, env.id(src), env.id(dst), fmt, 0, 0)
    body += struct.pack(c.E + '%dI' % len(words), *words)
    c.request(render, minor, body)


# ----- Known triggers ----------------------------------------------------------------------------

def trigger_trifan(env):
    """A big-endian client (BIG-REQUESTS) on two heads: a window on head 0, pixmaps of depth 32
    (32x32) and 8 (16x16), a picture on each in a format of its depth, one TriFan of 12 KB (op
    SoftLight, source the depth-8 picture, destination the depth-32 one, mask format a8, fixed
    points up to 0x7fffffff)."""
    op_create_window(env, 'w', 0, 10, 10, 100, 100)
    op_create_pixmap_on(env, 'p32', 'w', 32, 32, 32)
    op_create_pixmap_on(env, 'p8', 'w', 8, 16, 16)
    op_create_picture(env, 'pic32', 'p32', 32, 0)
    op_create_picture(env, 'pic8', 'p8', 8, 0)
    rng = random.Random(2)
    points = []
    for k in range((12288 - 28) // 8):
        points += [rng.choice([0x7fffffff, 0, rng.randrange(0x7fffffff), 0x10000 * rng.randrange(64)]),
                   rng.choice([0x7fffffff, 0, rng.randrange(0x7fffffff), 0x10000 * rng.randrange(64)])]
    op_shapes(env, 13, 0x38, 'pic8', 'pic32', 8, 0, points, mask_alpha=True)


def trigger_confine(env):
    """Two heads of 640x480: a window at x=540, 200x100 across the border, a SHAPE bounding
    rectangle (0,0,150,80), GrabPointer confined to it, WarpPointer across the border."""
    c = env.c
    op_create_window(env, 'w', 0, 540, 100, 200, 100)
    shape = c.extension('SHAPE')
    # ShapeRectangles: op Set, kind Bounding, ordering Unsorted, window, offset 0,0, one rectangle.
    c.request(shape, 1, struct.pack(c.E + 'BBBxIhhhhHH', 0, 0, 0, env.id('w'), 0, 0, 0, 0, 150, 80))
    c.sync()
    # GrabPointer(owner_events 0, window, mask ButtonPress|PointerMotion, async, async, confine w).
    c.reply(c.request(26, 0, struct.pack(c.E + 'IHBBIII', env.id('w'), 0x44, 1, 1, env.id('w'), 0, 0)))
    root = screen_of(env, 0)['root']
    for x, y in ((700, 150), (600, 120), (1000, 300), (100, 50)):
        c.request(41, 0, struct.pack(c.E + 'IIhhHHhh', 0, root, 0, 0, 0, 0, x, y))
    c.request(27, 0, struct.pack(c.E + 'I', 0))  # UngrabPointer


CASES = {
    'trifan-mask-format': (trigger_trifan, 'B', True),
    'confine-shaped-warp': (trigger_confine, 'l', False),
}


# ----- Generated streams -------------------------------------------------------------------------

def fixed_value(rng):
    if rng.random() < 0.4:
        return rng.choice(EXTREMES)
    return (rng.randrange(-200, 1500) << 16 | rng.randrange(0x10000)) & 0xffffffff


def short_value(rng, signed=True):
    v = rng.choice([0, 1, 639, 640, 641, 1279, 1280, 32767, -32768, -1, rng.randrange(-100, 1400)])
    return v if signed else v & 0xffff


class Stream:
    """One client's operations: built from a seed, encoded anew for each connection."""

    def __init__(self, rng, heads):
        self.rng = rng
        self.heads = heads
        self.ops = []
        self.drawables = []   # (name, depth)
        self.pictures = []
        self.windows = []
        self.glyphsets = []
        self.count = 0
        self.order = rng.choice('lB')
        self.big = rng.random() < 0.6
        self.big_always = rng.random() < 0.5
        self.no_confine = False

    def name(self, kind):
        self.count += 1
        return '%s%d' % (kind, self.count)

    def add(self, fn, *args):
        self.ops.append((fn, args))

    def any_picture(self, allow_none=False):
        if allow_none and (not self.pictures or self.rng.random() < 0.2):
            return None
        return self.rng.choice(self.pictures) if self.pictures else None

    def format_choice(self, depth):
        """(depth, alpha_only, pick) of a format: mostly of the depth, sometimes any."""
        rng = self.rng
        if rng.random() < 0.1:
            depth = rng.choice(DEPTHS + [16])
        return depth, rng.choice([None, None, None, None, None, True, False]), rng.randrange(8)

    # Objects
    def window(self):
        rng = self.rng
        name = self.name('w')
        width = 640 * self.heads
        x = rng.choice([rng.randrange(-100, width), 640 * rng.randrange(1, self.heads) - rng.randrange(1, 150)])
        depth = 32 if rng.random() < 0.2 else 0
        self.add(op_create_window, name, 0, x, rng.randrange(-50, 450), rng.randrange(1, 250), rng.randrange(1, 150),
                 depth)
        self.windows.append(name)
        self.drawables.append((name, depth or 24))

    def pixmap(self):
        rng = self.rng
        name = self.name('p')
        depth = rng.choice(DEPTHS)
        on = rng.choice(self.windows) if self.windows and rng.random() < 0.5 else None
        w, h = rng.choice([1, 16, 32, 64]), rng.choice([1, 16, 32, 64])
        if on:
            self.add(op_create_pixmap_on, name, on, depth, w, h)
        else:
            self.add(op_create_pixmap, name, 0, depth, w, h)
        self.drawables.append((name, depth))

    def picture(self):
        rng = self.rng
        if not self.drawables:
            return self.pixmap()
        drawable, depth = rng.choice(self.drawables)
        name = self.name('pic')
        d, alpha, pick = self.format_choice(depth)
        values, mask = b'', 0
        if rng.random() < 0.3:
            mask = 1  # repeat
            values = rng.choice([0, 1, 2, 3, 7])
        self.add(op_picture, name, drawable, d, pick, alpha, mask, values)
        self.pictures.append(name)

    def source(self):
        rng = self.rng
        name = self.name('src')
        kind = rng.choice(['solid', 'linear', 'radial', 'conical'])
        stops = [(fixed_value(rng) if rng.random() < 0.1 else rng.randrange(0x10001),
                  tuple(rng.randrange(0x10000) for _ in range(4))) for _ in range(rng.randrange(0, 6))]
        if rng.random() < 0.9:
            stops.sort()
        points = [fixed_value(rng) for _ in range(6)]
        self.add(op_source, name, kind, points, stops)
        self.pictures.append(name)

    def glyphset(self):
        rng = self.rng
        name = self.name('g')
        depth = rng.choice([1, 4, 8, 24, 32])
        self.add(op_glyphset, name, depth, rng.randrange(4),
                 [(rng.randrange(1, 300), rng.randrange(0, 20), rng.randrange(0, 20), short_value(rng), short_value(rng))
                  for _ in range(rng.randrange(1, 5))])
        self.glyphsets.append(name)

    # Drawing
    def draw(self):
        rng = self.rng
        if not self.pictures:
            return self.picture()
        dst = self.any_picture()
        src = self.any_picture()
        op = rng.choice(OPS)
        kind = rng.randrange(10)
        if kind == 0:
            self.add(op_composite, op, src, self.any_picture(True), dst,
                     [short_value(rng) for _ in range(6)] + [short_value(rng, False) for _ in range(2)])
        elif kind in (1, 2, 3, 4):
            minor = 10 + kind - 1
            mask = rng.choice([0, 8, 8, 1, 4, 32, 24, 16])
            per = {10: 10, 11: 6, 12: 2, 13: 2}[minor]
            n = rng.randrange(0, 24)
            if self.big and rng.random() < 0.03:
                n = rng.choice([1500, 16500]) // per  # a request past 64 KB, or past 256 KB
            words = [fixed_value(rng) for _ in range(per * n + (4 if minor in (12, 13) else 0))]
            self.add(op_shapes, minor, op, src, dst, mask, rng.randrange(8), words, rng.choice([None, True, False]))
        elif kind == 5:
            rects = [(short_value(rng), short_value(rng), short_value(rng, False), short_value(rng, False))
                     for _ in range(rng.randrange(1, 6))]
            self.add(op_fill, op, dst, tuple(rng.randrange(0x10000) for _ in range(4)), rects)
        elif kind == 6 and self.glyphsets:
            self.add(op_glyphs, rng.choice([23, 24, 25]), op, src, dst, rng.choice([0, 8, 1, 32]), rng.randrange(8),
                     rng.choice(self.glyphsets), rng.choice(self.glyphsets),
                     [rng.randrange(0, 300) for _ in range(rng.randrange(1, 12))], short_value(rng), short_value(rng))
        elif kind == 7:
            self.add(op_traps, dst, short_value(rng), short_value(rng),
                     [fixed_value(rng) for _ in range(6 * rng.randrange(1, 8))])
        elif kind == 8:
            self.add(op_transform, dst, [fixed_value(rng) if rng.random() < 0.5 else rng.choice([0, 0x10000])
                                         for _ in range(9)])
            self.add(op_filter, dst, rng.choice(['nearest', 'bilinear', 'fast', 'good', 'best', 'convolution',
                                                 'binomial', 'gaussian', 'separable-convolution']),
                     [fixed_value(rng) for _ in range(rng.choice([0, 2, 3, 4, 11]))])
        elif kind == 9 and rng.random() < 0.3:
            cursor = self.name('cur')
            self.add(op_cursor, cursor, dst, short_value(rng, False), short_value(rng, False),
                     rng.choice(self.windows) if self.windows else None)
        else:
            self.add(op_change, dst, rng.choice(self.pictures), rng.choice(self.drawables)[0],
                     [short_value(rng) for _ in range(4)], rng.randrange(1 << 13))
            if rng.random() < 0.5:
                self.add(op_clip_rects, dst, short_value(rng), short_value(rng),
                         [(short_value(rng), short_value(rng), short_value(rng, False), short_value(rng, False))
                          for _ in range(rng.randrange(0, 5))])

    # Shapes and the pointer
    def shape(self):
        rng = self.rng
        if not self.windows:
            return self.window()
        window = rng.choice(self.windows)
        if rng.random() < 0.6:
            rects = [(short_value(rng), short_value(rng), rng.randrange(0, 300), rng.randrange(0, 200))
                     for _ in range(rng.randrange(0, 4))]
            self.add(op_shape_rects, window, rng.randrange(5), rng.randrange(3), short_value(rng), short_value(rng),
                     rects)
        else:
            pixmaps = [n for n, d in self.drawables if d == 1]
            self.add(op_shape_mask, window, rng.randrange(5), rng.randrange(3), short_value(rng), short_value(rng),
                     rng.choice(pixmaps) if pixmaps and rng.random() < 0.8 else None)

    def pointer(self):
        rng = self.rng
        confine = rng.choice(self.windows) if self.windows and rng.random() < 0.7 else None
        if self.no_confine:
            confine = None
        grab = rng.choice(self.windows) if self.windows else None
        warps = []
        for _ in range(rng.randrange(1, 5)):
            border = 640 * rng.randrange(1, self.heads)
            warps.append((border + rng.randrange(-120, 120), rng.randrange(-20, 500)))
        self.add(op_pointer, grab, confine, warps, rng.random() < 0.3)

    def build(self, length):
        rng = self.rng
        for _ in range(rng.randrange(1, 3)):
            self.window()
        for _ in range(rng.randrange(1, 4)):
            self.pixmap()
        for _ in range(length):
            r = rng.random()
            if r < 0.12:
                self.picture()
            elif r < 0.17:
                self.pixmap()
            elif r < 0.20:
                self.window()
            elif r < 0.25:
                self.source()
            elif r < 0.28:
                self.glyphset()
            elif r < 0.33:
                self.shape()
            elif r < 0.37:
                self.pointer()
            elif r < 0.39 and self.pictures:
                self.add(op_free_picture, self.pictures.pop(rng.randrange(len(self.pictures))))
            else:
                self.draw()
        return self


def op_picture(env, name, drawable, depth, pick, alpha, mask, value):
    c = env.c
    values = struct.pack(c.E + 'I', value) if mask else b''
    c.request(c.extension('RENDER'), 4, struct.pack(c.E + 'IIII', env.id(name), env.id(drawable),
                                                    c.format_for(depth, alpha, pick), mask) + values)


def op_free_picture(env, name):
    c = env.c
    c.request(c.extension('RENDER'), 7, struct.pack(c.E + 'I', env.id(name)))


def op_source(env, name, kind, points, stops):
    c = env.c
    E = c.E
    tail = struct.pack(E + 'I', len(stops)) + b''.join(struct.pack(E + 'I', s) for s, _ in stops) + \
        b''.join(struct.pack(E + '4H', *colour) for _, colour in stops)
    if kind == 'solid':
        colour = stops[0][1] if stops else (0, 0, 0, 0xffff)
        c.request(c.extension('RENDER'), 33, struct.pack(E + 'I4H', env.id(name), *colour))
    elif kind == 'linear':
        c.request(c.extension('RENDER'), 34, struct.pack(E + '5I', env.id(name), *points[:4]) + tail)
    elif kind == 'radial':
        c.request(c.extension('RENDER'), 35, struct.pack(E + '7I', env.id(name), *points[:6]) + tail)
    else:
        c.request(c.extension('RENDER'), 36, struct.pack(E + '4I', env.id(name), *points[:3]) + tail)


def op_glyphset(env, name, depth, pick, glyphs):
    c = env.c
    E = c.E
    render = c.extension('RENDER')
    c.request(render, 17, struct.pack(E + 'II', env.id(name), c.format_for(depth, None, pick)))
    bpp = {1: 1, 4: 8, 8: 8, 24: 32, 32: 32}[depth]
    ids = b''.join(struct.pack(E + 'I', g[0]) for g in glyphs)
    infos = b''.join(struct.pack(E + 'HHhhhh', g[1], g[2], 0, 0, g[3], g[4])
                     for g in glyphs)
    data = b''
    for g in glyphs:
        stride = ((g[1] * bpp + 31) // 32) * 4
        data += bytes((k * 37) & 0xff for k in range(stride * g[2]))
    c.request(render, 20, struct.pack(E + 'II', env.id(name), len(glyphs)) + ids + infos + data)


def op_composite(env, op, src, mask, dst, coords):
    c = env.c
    c.request(c.extension('RENDER'), 8, struct.pack(c.E + 'BxxxIII6h2H', op, env.id(src), env.id(mask), env.id(dst),
                                                    *coords))


def op_fill(env, op, dst, colour, rects):
    c = env.c
    body = struct.pack(c.E + 'BxxxI4H', op, env.id(dst), *colour)
    body += b''.join(struct.pack(c.E + 'hhHH', *r) for r in rects)
    c.request(c.extension('RENDER'), 26, body)


def op_glyphs(env, minor, op, src, dst, mask_depth, mask_pick, glyphset, other, glyphs, x, y):
    c = env.c
    E = c.E
    fmt = c.format_for(mask_depth, None, mask_pick) if mask_depth else 0
    size = {23: 1, 24: 2, 25: 4}[minor]
    code = {1: 'B', 2: 'H', 4: 'I'}[size]
    half = len(glyphs) // 2
    items = b''
    for k, part in enumerate((glyphs[:half], glyphs[half:])):
        if not part:
            continue
        if k == 1:  # a glyph-set change between the two runs
            items += struct.pack(E + 'B3xhh', 255, 0, 0) + struct.pack(E + 'I', env.id(other))
        chars = b''.join(struct.pack(E + code, g & ((1 << (8 * size)) - 1)) for g in part)
        items += struct.pack(E + 'B3xhh', len(part), x, y) + chars + b'\0' * (-len(chars) % 4)
    c.request(c.extension('RENDER'), minor, struct.pack(E + 'BxxxIIIIhh', op, env.id(src), env.id(dst), fmt,
                                                        env.id(glyphset), 0, 0) + items)


def op_traps(env, dst, x, y, words):
    c = env.c
    c.request(c.extension('RENDER'), 32, struct.pack(c.E + 'Ihh', env.id(dst), x, y) +
              struct.pack(c.E + '%dI' % len(words), *words))


def op_transform(env, picture, matrix):
    c = env.c
    c.request(c.extension('RENDER'), 28, struct.pack(c.E + '10I', env.id(picture), *matrix))


def op_filter(env, picture, name, params):
    c = env.c
    body = struct.pack(c.E + 'IH2x', env.id(picture), len(name)) + name.encode() + b'\0' * (-len(name) % 4)
    c.request(c.extension('RENDER'), 30, body + struct.pack(c.E + '%dI' % len(params), *params))


def op_change(env, picture, alpha_map, clip, origins, mask):
    c = env.c
    E = c.E
    values = b''
    table = [('I', 1), ('I', env.id(alpha_map)), ('i', origins[0]), ('i', origins[1]), ('i', origins[2]),
             ('i', origins[3]), ('I', env.id(clip)), ('I', 1), ('I', 1), ('I', 1), ('I', 1), ('I', 0), ('I', 1)]
    for bit, (code, value) in enumerate(table):
        if mask >> bit & 1:
            values += struct.pack(E + code, value)
    c.request(c.extension('RENDER'), 5, struct.pack(E + 'II', env.id(picture), mask) + values)


def op_clip_rects(env, picture, x, y, rects):
    c = env.c
    c.request(c.extension('RENDER'), 6, struct.pack(c.E + 'Ihh', env.id(picture), x, y) +
              b''.join(struct.pack(c.E + 'hhHH', *r) for r in rects))


def op_shape_rects(env, window, operation, kind, x, y, rects):
    c = env.c
    shape = c.extension('SHAPE')
    c.request(shape, 1, struct.pack(c.E + 'BBBxIhh', operation, kind, 0, env.id(window), x, y) +
              b''.join(struct.pack(c.E + 'hhHH', *r) for r in rects))


def op_shape_mask(env, window, operation, kind, x, y, pixmap):
    c = env.c
    c.request(c.extension('SHAPE'), 2, struct.pack(c.E + 'BBxxIhhI', operation, kind, env.id(window), x, y,
                                                   env.id(pixmap)))


def op_cursor(env, name, picture, x, y, window):
    """CreateCursor from the picture, shown on the window."""
    c = env.c
    c.request(c.extension('RENDER'), 27, struct.pack(c.E + 'IIHH', env.id(name), env.id(picture), x, y))
    if window:
        c.request(2, 0, struct.pack(c.E + 'III', env.id(window), 0x4000, env.id(name)))


def op_pointer(env, grab, confine, warps, release):
    c = env.c
    root = screen_of(env, 0)['root']
    if grab:
        c.request(26, 0, struct.pack(c.E + 'IHBBIII', env.id(grab), 0x44, 1, 1, env.id(confine), 0, 0))
    for x, y in warps:
        c.request(41, 0, struct.pack(c.E + 'IIhhHHhh', 0, root, 0, 0, 0, 0, x, y))
    if release:
        c.request(27, 0, struct.pack(c.E + 'I', 0))


# ----- Running ---------------------------------------------------------------------------------

def run_stream(display, order, big, big_always, encode, bound_ms):
    """Runs the operations on a new connection and waits for a GetInputFocus answer: None when
    it came in time, else what went wrong."""
    try:
        c = XConn(display, order, bound_ms)
    except Gone as e:
        return 'connection: %s' % e
    try:
        if big:
            c.enable_big(big_always)
        c.query_formats()
        c.extension('SHAPE')
        encode(Env(c))
        c.sync(bound_ms)
        run_stream.last = (c.sequence, c.errors)
        return None
    except Gone as e:
        return str(e)
    finally:
        c.close()


class Pair:
    """An Xvfb of `heads` screens and tarvo joining them; restarted after a failure."""

    def __init__(self, heads, binary, work):
        self.heads = heads
        self.binary = binary
        self.work = work
        self.xvfb = self.tarvo = None

    def start(self):
        self.xvfb = Xvfb(self.heads, self.work)
        self.xvfb.start()
        self.tarvo = Tarvo(self.binary, self.xvfb, self.work)
        self.tarvo.start()

    def stop(self):
        status = self.tarvo.stop() if self.tarvo else None
        if self.xvfb:
            self.xvfb.stop()
        self.xvfb = self.tarvo = None
        return status


class Differential:
    def __init__(self, args):
        self.args = args
        self.failures = []
        self.batches = 0
        self.direct_failed = 0
        self.wide_failed = 0
        self.pairs = {}
        self.direct = {}

    def ensure(self, heads):
        if heads not in self.direct or not self.direct[heads].alive():
            if heads in self.direct:
                self.direct[heads].stop()
            self.direct[heads] = Xvfb(heads, self.args.work)
            self.direct[heads].start()
        pair = self.pairs.get(heads)
        if not pair or not pair.tarvo or not pair.tarvo.alive() or not pair.xvfb.alive():
            if pair:
                pair.stop()
            pair = self.pairs[heads] = Pair(heads, self.args.tarvo, self.args.work)
            pair.start()
        return self.direct[heads], pair

    # The records stay registered until they are stopped: an end meanwhile (SIGTERM) still stops
    # them in stop().
    def restart(self, heads):
        if heads in self.direct:
            self.direct[heads].stop()
            del self.direct[heads]
        if heads in self.pairs:
            # tarvo ends cleanly on SIGTERM: another status (a sanitizer's report) is a failure.
            status = self.pairs[heads].stop()
            del self.pairs[heads]
            if status not in (0, None):
                self.failures.append('tarvo on %d heads ended with status %s' % (heads, status))

    def check(self, label, heads, order, big, big_always, encode):
        """One batch on both sides; False when the direct server survived it and the side of
        tarvo did not."""
        direct, pair = self.ensure(heads)
        self.batches += 1
        bound = ANSWER_MS
        failure = run_stream(direct.number, order, big, big_always, encode, bound)
        if failure or not direct.answers():
            # The direct server did not survive: nothing to compare; both start afresh.
            self.direct_failed += 1
            if self.args.verbose:
                print('%s: direct server failed (%s): skipped' % (label, failure), flush=True)
            self.restart(heads)
            return True
        # Through tarvo every head does the work of the direct server: a bound per head.
        bound = ANSWER_MS * (heads + 1)
        direct_counts = getattr(run_stream, 'last', None)
        failure = run_stream(pair.tarvo.number, order, big, big_always, encode, bound)
        if self.args.verbose:
            print('%s on %d heads: direct (requests, errors) %s, through tarvo %s' %
                  (label, heads, direct_counts, getattr(run_stream, 'last', None)), flush=True)
        problems = []
        if failure:
            problems.append('through tarvo: ' + failure)
        if not pair.xvfb.answers():
            problems.append('the Xvfb behind tarvo does not answer' +
                            ('' if pair.xvfb.alive() else ' (it ended: %s)' % pair.xvfb.proc.returncode))
        if not pair.tarvo.answers():
            problems.append('tarvo does not answer' + ('' if pair.tarvo.alive() else ' (it ended)'))
        if not problems:
            return True
        # tarvo shows its heads as one screen of the meta screen's size: where the batch kills a
        # direct server of that one screen too (a window off the direct screens but shown on a
        # head, drawn with what the server cannot survive), the server's fault is not tarvo's.
        if (not pair.xvfb.alive() or not pair.xvfb.answers()) and self.wide_fails(heads, order, big, big_always, encode):
            self.wide_failed += 1
            if self.args.verbose:
                print('%s on %d heads: one screen of the meta screen\'s size did not survive either: skipped'
                      % (label, heads), flush=True)
            self.restart(heads)
            return True
        text = '%s on %d heads (%s%s): %s' % (label, heads, order, ', BIG-REQUESTS' if big else '',
                                              '; '.join(problems))
        print('FAIL ' + text, flush=True)
        print('  tarvo log tail:\n' + pair.tarvo.tail(), flush=True)
        try:
            with open(pair.xvfb.log.name, errors='replace') as f:
                print('  Xvfb log tail:\n' + ''.join(l for l in f.readlines()[-15:] if '_XSERVTrans' not in l))
        except (OSError, AttributeError):
            pass
        self.failures.append(text)
        self.restart(heads)
        return False

    def wide_fails(self, heads, order, big, big_always, encode):
        """Whether the batch leaves a fresh direct server of one screen, as wide as the meta
        screen of `heads` heads, without an answer."""
        wide = Xvfb(1, self.args.work, 640 * heads)
        try:
            wide.start()
            failure = run_stream(wide.number, order, big, big_always, encode, ANSWER_MS)
            return bool(failure) or not wide.answers()
        finally:
            wide.stop()

    def stop(self):
        status = 0
        for heads in list(self.pairs):
            s = self.pairs[heads].stop()
            del self.pairs[heads]
            if s not in (0, None):
                self.failures.append('tarvo on %d heads ended with status %s' % (heads, s))
        for heads in list(self.direct):
            self.direct.pop(heads).stop()
        return status


def main():
    global ANSWER_MS
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--tarvo', required=True)
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('--batches', type=int, default=20)
    parser.add_argument('--first', type=int, default=0, help='number of the first batch (to repeat a late one)')
    parser.add_argument('--seconds', type=int, default=0, help='run batches until this many seconds passed')
    parser.add_argument('--length', type=int, default=40, help='operations per batch')
    parser.add_argument('--heads', default='2,4')
    parser.add_argument('--case', action='append', default=[], help='fixed cases to run (default: all)')
    parser.add_argument('--skip-case', action='append', default=[])
    parser.add_argument('--only-cases', action='store_true')
    parser.add_argument('--no-confine', action='store_true',
                        help='generated streams grab the pointer without confining it to a shaped window')
    parser.add_argument('--answer-ms', type=int, default=ANSWER_MS,
                        help='the bound for an answer after a batch (per head through tarvo)')
    parser.add_argument('--work', default=None)
    parser.add_argument('--stop-on-failure', action='store_true', help='end at the first failing batch')
    parser.add_argument('--verbose', action='store_true')
    args = parser.parse_args()
    ANSWER_MS = args.answer_ms
    own_work = args.work is None
    args.work = args.work or tempfile.mkdtemp(prefix='tarvo-differential.')
    os.makedirs(args.work, exist_ok=True)
    heads_list = [int(h) for h in args.heads.split(',')]
    run = Differential(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    start = time.time()
    try:
        for name in args.case or list(CASES):
            if name in args.skip_case:
                continue
            fn, order, big = CASES[name]
            for heads in heads_list:
                run.check('case ' + name, heads, order, big, True, fn)
        if not args.only_cases:
            index = args.first
            while ((time.time() - start < args.seconds) if args.seconds else index < args.first + args.batches) and \
                    not (args.stop_on_failure and run.failures):
                heads = heads_list[index % len(heads_list)]
                rng = random.Random('%d/%d' % (args.seed, index))
                stream = Stream(rng, heads)
                stream.no_confine = args.no_confine
                stream.build(args.length)
                ops = stream.ops
                run.check('seed %d batch %d' % (args.seed, index), heads, stream.order, stream.big,
                          stream.big_always, lambda env, ops=ops: [fn(env, *a) for fn, a in ops])
                index += 1
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # the servers are stopped whatever comes
        run.stop()
        if own_work and not run.failures:
            subprocess.run(['rm', '-rf', args.work])
    print('%d batches in %.0f s, %d skipped (the direct server did not survive), %d skipped (one screen of '
          'the meta screen\'s size did not survive either), %d failures' %
          (run.batches, time.time() - start, run.direct_failed, run.wide_failed, len(run.failures)))
    for f in run.failures:
        print('  ' + f)
    if run.failures:
        print('logs in ' + args.work)
    return 1 if run.failures else 0


if __name__ == '__main__':
    sys.exit(main())
