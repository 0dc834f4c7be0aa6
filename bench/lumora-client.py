#!/usr/bin/python3
# The clients of bench/lumora-stall: raw X connections (little-endian, unix socket) to a tarvo
# whose screen is served by the GL library inside the proxy.
#
#   lumora-client.py DISPLAY fill|lists|many|shader|program CAP
#
# A hostile GL client (its own process) makes a GLX context current on a mapped 1280x1024
# window; then a bystander (a plain X client) does GetInputFocus round trips for 1 s, then the
# hostile client starts its work while the bystander goes on with its round trips until the
# hostile client has its answer, or CAP seconds have passed:
#   fill   NewList(1, GL_COMPILE), then GLXRender requests of 4000 Color4fv each until one is
#          refused with BadAlloc (the client's lumoraMemory is full), then EndList and GetError.
#   lists  list 1 = [Rectfv(-1,-1,1,1)], list 2 = 1000 x CallList(1), list 3 = 1000 x
#          CallList(2) (made before the bystander starts, with blending on so that every
#          rectangle reads and writes every pixel), then one GLXRender of CallList(3): 10^6
#          window-filling rectangles, then GetError.
#   many   the same lists, then 40 such GLXRenders back to back, then GetError.
#   shader a GLSL fragment shader whose loop runs LOOP (default 60000) times a pixel, then one
#          GLXRender of Viewport(256x256) and one Rect over it with the shader (one call of the
#          library, which runs to its end), then Finish and GetError.
#   program a GLSL fragment shader of STEPS (default 2000) steps that depend each on the one
#          before, compiled, linked and in use before the bystander starts (those calls are the
#          library's compile); then one GLXRender of Viewport(8x8), a Rect and Enable(GL_BLEND):
#          the library makes the program's machine code for the rectangle's draw, which it
#          makes at the state change that follows the rectangle; then Finish and GetError.
# Prints:
#   baseline <ms>    the bystander's worst round trip before the hostile client starts
#   worst <ms>       its worst round trip while the hostile client works (">CAP000" when a round
#                    trip did not come back within the cap)
#   p50 <ms>         its median round trip then
#   trips <n>        round trips done then
#   hostile <s>      the hostile client's time from its first request to its answer ("-" at the cap)
#   glerror <hex>    the GL error its final GetError answered
#   requests <n>     (fill) the GLXRender requests recorded before the first BadAlloc
# Exit status 3 when the cap was reached (tarvo is likely still busy: the caller ends it).
#
#   lumora-client.py DISPLAY compile REQUESTS CAP
#
# The time to compile one list of REQUESTS x 0.3 and REQUESTS x 0.95 such requests (then EndList
# and GetError; the best of up to three, the list deleted in between), one client, no bystander;
# each fraction stops at CAP seconds (exit status 3):
#   compile <fraction> <s> <requests> [X-errors <codes>]
#
#   lumora-client.py DISPLAY crowd N SECONDS CAP [gears]
#
# N hostile GL clients (each its own process, its own window and the lists of 'lists') each send
# CallList(3) and GetError again and again, all at once, while the bystander does round trips
# for SECONDS (each at most CAP); with 'gears', glxgears runs beside them meanwhile (through the
# display, its GL as GLX protocol). Prints baseline, worst, p50 and trips as above, then:
#   answered <n>     the hostile clients' GetErrors answered meanwhile (their requests done)
#   gears <fps>      glxgears' frames per second meanwhile (its reports after the first)
import multiprocessing
import subprocess
import os
import select
import struct
import sys
import time

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from rawconn import Closed, open_connection, recv_exactly  # noqa: E402

GL_COMPILE = 0x1300
ROP_CALL_LIST, ROP_COLOR4FV, ROP_RECTFV, ROP_ENABLE, ROP_BLEND_FUNC = 1, 16, 46, 139, 160
GL_BLEND, GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA = 0x0BE2, 0x0302, 0x0303
ROP_VIEWPORT, ROP_COMPILE_SHADER, ROP_ATTACH_SHADER, ROP_LINK_PROGRAM, ROP_USE_PROGRAM = 191, 240, 241, 242, 243
ROP_SHADER_SOURCE = 253
SOP_CREATE_SHADER_OBJECT, SOP_CREATE_PROGRAM_OBJECT = 168, 169
GL_FRAGMENT_SHADER = 0x8B30
GLX_RENDER, GLX_CREATE_CONTEXT, GLX_MAKE_CURRENT, GLX_GET_VISUAL_CONFIGS = 1, 3, 5, 14
SOP_NEW_LIST, SOP_END_LIST, SOP_DELETE_LISTS, SOP_GET_ERROR, SOP_FINISH = 101, 102, 103, 115, 108
BAD_ALLOC = 11
# The hostile clients draw on single-buffered windows, or with LUMORA_DOUBLE=1 into the back
# buffer of double-buffered ones.
DOUBLE_BUFFERED = os.environ.get('LUMORA_DOUBLE') == '1'
COLORS_PER_REQUEST = 4000


class Conn:
    """A raw little-endian X connection that counts its requests' sequence numbers."""

    def __init__(self, number):
        self.s, self.base, self.root = open_connection(number)
        self.seq = 0
        self.pending = b''
        self.errors = []  # (sequence, code) of errors seen

    def recvn(self, n, deadline=None):
        return recv_exactly(self.s, n, deadline)

    def send(self, request, deadline=None):
        if deadline is None:
            self.s.sendall(request)
        else:
            # Raises TimeoutError when the deadline passes first.
            self.s.settimeout(max(deadline - time.monotonic(), 0.001))
            try:
                self.s.sendall(request)
            finally:
                self.s.settimeout(None)
        self.seq += 1
        return self.seq

    def message(self, deadline=None):
        head = self.recvn(32, deadline)
        if head[0] == 1:
            return head + self.recvn(struct.unpack('<I', head[4:8])[0] * 4, deadline)
        if head[0] == 0:
            self.errors.append((struct.unpack('<H', head[2:4])[0], head[1]))
        return head

    def reply(self, seq, deadline=None):
        """The reply to request seq (None for an error); events and other errors are noted."""
        want = seq & 0xFFFF
        while True:
            m = self.message(deadline)
            if m[0] in (0, 1) and struct.unpack('<H', m[2:4])[0] == want:
                return m if m[0] == 1 else None

    def drain(self):
        """Reads what has arrived without waiting."""
        while select.select([self.s], [], [], 0)[0]:
            self.message()

    def round_trip(self, deadline=None):
        return self.reply(self.send(struct.pack('<BxH', 43, 1)), deadline)


def request(opcode, minor, body):
    body += bytes(-len(body) % 4)
    return struct.pack('<BBH', opcode, minor, 1 + len(body) // 4) + body


class Gl:
    """A GLX context current on a mapped window of the whole 1280x1024 screen."""

    def __init__(self, number):
        c = self.c = Conn(number)
        name = b'GLX'
        r = c.reply(c.send(request(98, 0, struct.pack('<H2x', len(name)) + name)))
        if not r or not r[8]:
            sys.exit('no GLX')
        self.major = r[9]
        visual = self.visual()
        colormap, window, context = c.base | 1, c.base | 2, c.base | 3
        c.send(request(78, 0, struct.pack('<III', colormap, c.root, visual)))
        c.s.sendall(struct.pack('<BBHIIhhHHHHII', 1, 24, 12, window, c.root, 0, 0, 1280, 1024, 0, 1, visual,
                                0x0002 | 0x0008 | 0x0200 | 0x2000) + struct.pack('<IIII', 0, 0, 1, colormap))
        c.seq += 1
        c.send(request(8, 0, struct.pack('<I', window)))
        c.send(self.glx(GLX_CREATE_CONTEXT, struct.pack('<IIIIB3x', context, visual, 0, 0, 0)))
        r = c.reply(c.send(self.glx(GLX_MAKE_CURRENT, struct.pack('<III', window, context, 0))))
        if not r:
            sys.exit('MakeCurrent failed: %r' % c.errors)
        self.tag = struct.unpack('<I', r[8:12])[0]

    def glx(self, minor, body):
        return request(self.major, minor, body)

    def visual(self):
        # GetVisualConfigs of screen 0: an RGBA TrueColor visual of 8 bits a colour, single-buffered.
        r = self.c.reply(self.c.send(self.glx(GLX_GET_VISUAL_CONFIGS, struct.pack('<I', 0))))
        count, per = struct.unpack('<II', r[8:16])
        for k in range(count):
            p = struct.unpack('<%dI' % per, r[32 + 4 * k * per:32 + 4 * (k + 1) * per])
            if p[1] == 4 and p[2] and p[3:6] == (8, 8, 8) and bool(p[11]) == DOUBLE_BUFFERED and not p[12]:
                return p[0]
        sys.exit('no RGBA visual')

    def render(self, commands):
        return self.glx(GLX_RENDER, struct.pack('<I', self.tag) + commands)

    def single(self, minor, *words):
        return self.glx(minor, struct.pack('<%dI' % (1 + len(words)), self.tag, *words))

    def gl_error(self, deadline=None):
        r = self.c.reply(self.c.send(self.single(SOP_GET_ERROR)), deadline)
        return struct.unpack('<I', r[8:12])[0] if r else None

    def colors(self):
        command = struct.pack('<HHffff', 20, ROP_COLOR4FV, 0.25, 0.5, 0.75, 1.0)
        return self.render(command * COLORS_PER_REQUEST)

    def make_lists(self):
        c = self.c
        # Blending, so that every rectangle reads and writes every pixel of the window (the
        # library drops what an opaque rectangle covering the whole window hides).
        c.send(self.render(struct.pack('<HHI', 8, ROP_ENABLE, GL_BLEND) +
                           struct.pack('<HHII', 12, ROP_BLEND_FUNC, GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA) +
                           struct.pack('<HHffff', 20, ROP_COLOR4FV, 0.5, 0.25, 0.125, 0.5)))
        c.send(self.single(SOP_NEW_LIST, 1, GL_COMPILE))
        c.send(self.render(struct.pack('<HHffff', 20, ROP_RECTFV, -1, -1, 1, 1)))
        c.send(self.single(SOP_END_LIST))
        for made, called in ((2, 1), (3, 2)):
            c.send(self.single(SOP_NEW_LIST, made, GL_COMPILE))
            c.send(self.render(struct.pack('<HHI', 8, ROP_CALL_LIST, called) * 1000))
            c.send(self.single(SOP_END_LIST))
        error = self.gl_error()
        if error or c.errors:
            sys.exit('making the lists: GL error 0x%x, X errors %r' % (error, c.errors))

    def call_list_3(self):
        return self.render(struct.pack('<HHI', 8, ROP_CALL_LIST, 3))


def fill(gl, limit=100000):
    """Compiles list 1 until a render request is refused: (requests recorded, GL error)."""
    c = gl.c
    c.send(gl.single(SOP_NEW_LIST, 1, GL_COMPILE))
    colors = gl.colors()
    first = c.seq + 1
    refused = None
    for _ in range(limit):
        c.send(colors)
        c.drain()
        refused = next((s for s, code in c.errors if code == BAD_ALLOC), None)
        if refused is not None:
            break
    c.send(gl.single(SOP_END_LIST))
    error = gl.gl_error()
    if refused is None:
        refused = next((s for s, code in c.errors if code == BAD_ALLOC), None)
    recorded = (refused - first) & 0xFFFF if refused is not None else limit
    return recorded, error


def make_shader(gl, case='shader'):
    """A program in use: one whose fragment shader loops LOOP times a pixel ('shader'), or one of
    STEPS dependent steps ('program', unseen by the library's shader cache)."""
    c = gl.c
    if case == 'program':
        steps = ''.join('  a = sin(a * %d.5 + 0.25);\n' % n for n in range(int(os.environ.get('STEPS', '2000'))))
        source = ('#version 110\n// %d %f\nvoid main() {\n  float a = gl_FragCoord.x;\n%s'
                  '  gl_FragColor = vec4(a);\n}\n' % (os.getpid(), time.time(), steps)).encode()
    else:
        loops = int(os.environ.get('LOOP', '60000'))
        source = ('#version 110\nvoid main() {\n  float a = 0.0;\n'
                  '  for (int i = 0; i < %d; i++) a = sin(a + gl_FragCoord.x * 0.001);\n'
                  '  gl_FragColor = vec4(fract(a), 0.0, 0.0, 1.0);\n}\n' % loops).encode()
    r = c.reply(c.send(gl.single(SOP_CREATE_SHADER_OBJECT, GL_FRAGMENT_SHADER)))
    shader = struct.unpack('<I', r[8:12])[0]
    r = c.reply(c.send(gl.single(SOP_CREATE_PROGRAM_OBJECT)))
    program = struct.unpack('<I', r[8:12])[0]
    text = source + bytes(-len(source) % 4)
    data = struct.pack('<III', shader, 1, len(source)) + text
    commands = struct.pack('<HH', 4 + len(data), ROP_SHADER_SOURCE) + data
    for opcode, words in ((ROP_COMPILE_SHADER, (shader,)), (ROP_ATTACH_SHADER, (program, shader)),
                          (ROP_LINK_PROGRAM, (program,)), (ROP_USE_PROGRAM, (program,))):
        commands += struct.pack('<HH%dI' % len(words), 4 + 4 * len(words), opcode, *words)
    c.send(gl.render(commands))
    error = gl.gl_error(time.monotonic() + 120)
    if error or c.errors:
        sys.exit('making the shader: GL error 0x%x, X errors %r' % (error, c.errors))


def hostile(number, case, pipe):
    gl = Gl(number)
    if case in ('lists', 'many'):
        gl.make_lists()
    if case in ('shader', 'program'):
        make_shader(gl, case)
    pipe.send('ready')
    pipe.recv()
    start = time.monotonic()
    info = {}
    if case in ('shader', 'program'):
        size = 256 if case == 'shader' else 8
        commands = (struct.pack('<HHiiii', 20, ROP_VIEWPORT, 0, 0, size, size) +
                    struct.pack('<HHffff', 20, ROP_RECTFV, -1, -1, 1, 1))
        if case == 'program':  # (the library draws the rectangle it kept back at this change)
            commands += struct.pack('<HHI', 8, ROP_ENABLE, GL_BLEND)
        gl.c.send(gl.render(commands))
        gl.c.reply(gl.c.send(gl.single(SOP_FINISH)))
        error = gl.gl_error()
    elif case == 'fill':
        info['requests'], error = fill(gl)
    else:
        for _ in range(40 if case == 'many' else 1):
            gl.c.send(gl.call_list_3())
        error = gl.gl_error()
    info['hostile'] = '%.3f' % (time.monotonic() - start)
    info['glerror'] = '0x%x' % error
    pipe.send(info)


def quiet_worst(bystander, cap):
    """The bystander's worst round trip in a second with nobody working beside it."""
    worst = 0.0
    end = time.monotonic() + 1
    while time.monotonic() < end:
        start = time.monotonic()
        bystander.round_trip(start + cap)
        worst = max(worst, time.monotonic() - start)
    return worst


def stall(number, case, cap):
    context = multiprocessing.get_context('fork')
    mine, theirs = context.Pipe()
    worker = context.Process(target=hostile, args=(number, case, theirs), daemon=True)
    worker.start()
    if not mine.poll(60) or mine.recv() != 'ready':
        sys.exit('the hostile client did not start')
    bystander = Conn(number)
    baseline = quiet_worst(bystander, cap)
    mine.send('go')
    deadline = time.monotonic() + cap
    trips = []
    info = None
    capped = False
    while info is None:
        start = time.monotonic()
        try:
            bystander.round_trip(deadline)
        except TimeoutError:
            capped = True
            trips.append(deadline - start)
            break
        trips.append(time.monotonic() - start)
        if mine.poll():
            info = mine.recv()
        elif time.monotonic() >= deadline:
            capped = True
            break
    trips.sort()
    print('baseline %.1f' % (baseline * 1000))
    print('worst %s' % ('>%d' % (cap * 1000) if capped else '%.1f' % (trips[-1] * 1000)))
    print('p50 %.1f' % (trips[len(trips) // 2] * 1000))
    print('trips %d' % len(trips))
    if capped:
        print('hostile -')
        worker.kill()
        sys.stdout.flush()
        os._exit(3)
    for key, value in info.items():
        print('%s %s' % (key, value))
    worker.join(5)


def compile_times(number, requests, cap):
    gl = Gl(number)
    c = gl.c
    colors = gl.colors()
    for fraction in (0.3, 0.95):
        count = max(1, round(fraction * requests))
        best = None
        deadline = time.monotonic() + cap
        for _ in range(3):
            start = time.monotonic()
            c.send(gl.single(SOP_NEW_LIST, 1, GL_COMPILE))
            try:
                for _ in range(count):
                    c.send(colors, deadline)
                c.send(gl.single(SOP_END_LIST), deadline)
                gl.gl_error(deadline)
            except TimeoutError:
                break
            took = time.monotonic() - start
            best = took if best is None else min(best, took)
            c.send(gl.single(SOP_DELETE_LISTS, 1, 1))
            gl.gl_error()
            if time.monotonic() + 3 * took > deadline:
                break
        refused = [code for _, code in c.errors]
        c.errors.clear()
        print('compile %s %s %d%s' % (fraction, '>%g' % cap if best is None else '%.4f' % best, count,
                                      ' X-errors %s' % ','.join(map(str, refused[:3])) if refused else ''))
        sys.stdout.flush()
        if best is None:
            os._exit(3)


def crowd_member(number, pipe, answered):
    gl = Gl(number)
    gl.make_lists()
    pipe.send('ready')
    pipe.recv()
    while True:
        gl.c.send(gl.call_list_3())
        if gl.gl_error() is None:
            return
        answered.value += 1


def crowd(number, count, seconds, cap, gears):
    context = multiprocessing.get_context('fork')
    members, pipes = [], []
    answered = context.Value('Q', 0, lock=False)
    for _ in range(count):
        mine, theirs = context.Pipe()
        p = context.Process(target=crowd_member, args=(number, theirs, answered), daemon=True)
        p.start()
        members.append(p)
        pipes.append(mine)
    for mine in pipes:
        if not mine.poll(120) or mine.recv() != 'ready':
            sys.exit('the hostile clients did not start')
    bystander = Conn(number)
    baseline = quiet_worst(bystander, cap)
    gearsrun = None
    if gears:
        env = dict(os.environ, DISPLAY=':%d' % number, LIBGL_ALWAYS_INDIRECT='1')
        gearsrun = subprocess.Popen(['stdbuf', '-oL', 'glxgears'], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    for mine in pipes:
        mine.send('go')
    trips, capped = [], False
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.monotonic()
        try:
            bystander.round_trip(start + cap)
        except TimeoutError:
            capped = True
            trips.append(cap)
            break
        trips.append(time.monotonic() - start)
    done = answered.value
    rates = []
    if gearsrun:
        gearsrun.terminate()
        out = gearsrun.communicate(timeout=30)[0]
        for line in out.splitlines():
            if 'frames in' in line:
                words = line.split()
                rates.append(float(words[-2]))
    trips.sort()
    print('baseline %.1f' % (baseline * 1000))
    print('worst %s' % ('>%d' % (cap * 1000) if capped else '%.1f' % (trips[-1] * 1000)))
    print('p50 %.1f' % (trips[len(trips) // 2] * 1000))
    print('trips %d' % len(trips))
    print('answered %d' % done)
    if gears:
        later = rates[1:] or rates
        print('gears %s' % ('%.1f' % (sum(later) / len(later)) if later else '-'))
    sys.stdout.flush()
    for p in members:
        p.kill()
    os._exit(3 if capped else 0)


def main():
    number, case = int(sys.argv[1]), sys.argv[2]
    if case == 'compile':
        return compile_times(number, int(sys.argv[3]), float(sys.argv[4]))
    if case == 'crowd':
        return crowd(number, int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]),
                     len(sys.argv) > 6 and sys.argv[6] == 'gears')
    return stall(number, case, float(sys.argv[3]))


if __name__ == '__main__':
    main()
