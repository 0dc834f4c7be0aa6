# Draws with RENDER over a raw X connection of either byte order and prints a digest of what it
# drew: composites (several operators, a mask, a bilinear transform, clip rectangles, an alpha
# map), rectangles, trapezoids, triangles, strips, fans, traps, glyphs of two glyph sets in
# one CompositeGlyphs8/16/32, solid and gradient sources, into a window that spans x 700 to
# 1000 and into a pixmap; destroys a window that holds three pictures. Every X error is printed
# as it comes.
# Arguments: the display name, 'l' or 'B'.
import hashlib
import os
import socket
import struct
import sys

name, order = sys.argv[1], sys.argv[2]
E = '<' if order == 'l' else '>'
number = name.split(':')[1].split('.')[0]
sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
sock.settimeout(20)
sock.connect('/tmp/.X11-unix/X' + number)


def recv(n):
    data = b''
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise SystemExit('connection closed')
        data += chunk
    return data


def pad(data):
    return data + b'\0' * (-len(data) % 4)


sock.sendall(struct.pack(E + 'BxHHHHxx', ord(order), 11, 0, 0, 0))
head = recv(8)
if head[0] != 1:
    raise SystemExit('setup failed')
setup = recv(struct.unpack(E + 'H', head[6:8])[0] * 4)
idBase, idMask = struct.unpack(E + 'II', setup[4:12])
vendorLength, = struct.unpack(E + 'H', setup[16:18])
formatCount, imageOrder = setup[21], setup[22]
at = 32 + vendorLength + (-vendorLength % 4) + 8 * formatCount
root, = struct.unpack(E + 'I', setup[at:at + 4])
rootVisual, = struct.unpack(E + 'I', setup[at + 32:at + 36])
rootDepth = setup[at + 38]

nextId = [1]


def newId():
    nextId[0] += 1
    return idBase | nextId[0]


sequence = [0]
errors = [0]


def send(major, data, minor=0):
    body = pad(data)
    sock.sendall(struct.pack(E + 'BBH', major, minor, 1 + len(body) // 4) + body)
    sequence[0] = (sequence[0] + 1) & 0xffff
    return sequence[0]


def reply(seq):
    while True:
        m = recv(32)
        if m[0] == 0:
            code, = struct.unpack('B', m[1:2])
            s, = struct.unpack(E + 'H', m[2:4])
            errors[0] += 1
            print('X Error code %d request %d.%d' % (code, m[10], struct.unpack(E + 'H', m[8:10])[0]))
            if s == seq:
                return None
            continue
        if m[0] != 1:
            continue  # an event
        extra, = struct.unpack(E + 'I', m[4:8])
        m += recv(4 * extra)
        if struct.unpack(E + 'H', m[2:4])[0] == seq:
            return m


def sync():
    reply(send(43, b''))


seq = send(98, struct.pack(E + 'Hxx', 6) + b'RENDER')
r = reply(seq)
if not r or not r[8]:
    raise SystemExit('no RENDER')
R = r[9]


def render(minor, fmt, *values):
    send(R, struct.pack(E + fmt, *values) if fmt else b'', minor)


def renderRaw(minor, data):
    send(R, data, minor)


r = reply(send(R, struct.pack(E + 'II', 0, 11), 0))
# Formats: a8, argb32 and the root visual's.
r = reply(send(R, b'', 1))
nFormats, nScreens = struct.unpack(E + 'II', r[8:16])
a8 = argb = rootFormat = None
for k in range(nFormats):
    f = r[32 + 28 * k:60 + 28 * k]
    fid, ftype, depth = struct.unpack(E + 'IBB', f[:6])
    red, rmask, green, gmask, blue, bmask, alpha, amask = struct.unpack(E + '8H', f[8:24])
    if ftype == 1 and depth == 8 and amask == 0xff and not rmask:
        a8 = fid
    if ftype == 1 and depth == 32 and amask == 0xff and alpha == 24 and red == 16 and rmask == 0xff:
        argb = fid
at = 32 + 28 * nFormats
nDepths, = struct.unpack(E + 'I', r[at:at + 4])
at += 8
for d in range(nDepths):
    nVisuals, = struct.unpack(E + 'H', r[at + 2:at + 4])
    at += 8
    for v in range(nVisuals):
        visual, fid = struct.unpack(E + 'II', r[at:at + 8])
        if visual == rootVisual:
            rootFormat = fid
        at += 8
if not (a8 and argb and rootFormat):
    raise SystemExit('formats missing')


def fixed(v):
    return int(round(v * 65536)) & 0xffffffff


# The window across x 700..1000 and a pixmap, each with a picture.
window = newId()
send(1, struct.pack(E + 'IIhhHHHHIIII', window, root, 700, 100, 300, 120, 0, 1, 0, 0x202, 0x404040, 1),
     rootDepth)
send(8, struct.pack(E + 'I', window))
pixmap = newId()
send(53, struct.pack(E + 'IIHH', pixmap, root, 200, 100), rootDepth)
maskPixmap, alphaPixmap = newId(), newId()
send(53, struct.pack(E + 'IIHH', maskPixmap, root, 300, 120), 8)
send(53, struct.pack(E + 'IIHH', alphaPixmap, root, 300, 120), 8)
argbPixmap = newId()
send(53, struct.pack(E + 'IIHH', argbPixmap, root, 64, 64), 32)
sync()

wp, pp, mp, ap, sp = newId(), newId(), newId(), newId(), newId()
render(4, 'IIII', wp, window, rootFormat, 0)
render(4, 'IIII', pp, pixmap, rootFormat, 0)
render(4, 'IIII', mp, maskPixmap, a8, 0)
render(4, 'IIII', ap, alphaPixmap, a8, 0)
render(4, 'IIIII', sp, argbPixmap, argb, 1, 1)  # repeat

solid, red, half = newId(), newId(), newId()
render(33, 'IHHHH', solid, 0x2000, 0x8000, 0xf000, 0xffff)
render(33, 'IHHHH', red, 0xffff, 0, 0, 0xffff)
render(33, 'IHHHH', half, 0, 0, 0, 0x8000)


def stops(values):
    return b''.join(struct.pack(E + 'I', fixed(s)) for s, _ in values) + \
        b''.join(struct.pack(E + 'HHHH', *c) for _, c in values)


colours = [(0, (0xffff, 0, 0, 0xffff)), (0.5, (0, 0xffff, 0, 0x8000)), (1, (0, 0, 0xffff, 0xffff))]
linear, vertical, radial, conical = newId(), newId(), newId(), newId()
renderRaw(34, struct.pack(E + 'IIIIII', linear, 0, 0, fixed(300), fixed(40), 3) + stops(colours))
# The window's copy on a second head starts left of that head: pixman steps a gradient that
# changes along x from where the clipped drawing starts, and rounds differently by one there.
# Into the window go gradients that change along y only.
renderRaw(34, struct.pack(E + 'IIIIII', vertical, 0, 0, 0, fixed(40), 3) + stops(colours))
renderRaw(35, struct.pack(E + 'IIIIIIII', radial, fixed(150), fixed(60), fixed(150), fixed(60), 0, fixed(120), 3) +
          stops(colours))
renderRaw(36, struct.pack(E + 'IIIII', conical, fixed(100), fixed(50), fixed(45), 3) + stops(colours))

# Backgrounds: rectangles of several colours, on every picture.
render(26, 'BxxxIHHHHhhHHhhHH', 1, wp, 0x1000, 0x2000, 0x3000, 0xffff, 0, 0, 300, 120, 90, 10, 120, 60)
render(26, 'BxxxIHHHHhhHH', 1, pp, 0xffff, 0xffff, 0, 0xffff, 0, 0, 200, 100)
render(26, 'BxxxIHHHHhhHH', 1, mp, 0, 0, 0, 0x4000, 0, 0, 300, 120)
render(26, 'BxxxIHHHHhhHHhhHH', 1, mp, 0, 0, 0, 0xffff, 40, 10, 220, 50, 0, 80, 300, 20)
render(26, 'BxxxIHHHHhhHH', 1, ap, 0, 0, 0, 0xa000, 0, 0, 300, 120)
render(26, 'BxxxIHHHHhhHHhhHH', 1, sp, 0, 0, 0, 0, 0, 0, 64, 64, 8, 8, 48, 48)
render(26, 'BxxxIHHHHhhHH', 3, sp, 0xffff, 0x8000, 0, 0xc000, 16, 16, 32, 32)

# Composites: operators, a mask, gradients.
composite = 'BxxxIIIhhhhhhHH'
render(8, composite, 3, vertical, 0, wp, 0, 0, 0, 0, 0, 0, 300, 40)
render(8, composite, 3, radial, mp, wp, 0, 0, 0, 0, 0, 40, 300, 80)
render(8, composite, 12, solid, mp, wp, 0, 0, 0, 0, 50, 20, 200, 60)  # Add
render(8, composite, 1, conical, 0, pp, 0, 0, 0, 0, 0, 0, 200, 100)  # Src
render(8, composite, 3, sp, 0, pp, 0, 0, 0, 0, 20, 20, 64, 64)
# A bilinear transform of the argb picture, scaled and turned.
render(28, 'IIIIIIIIII', sp, fixed(0.7), fixed(0.3), 0, fixed(-0.3), fixed(0.7), 0, 0, 0, fixed(1))
renderRaw(30, struct.pack(E + 'IHxx', sp, 8) + pad(b'bilinear'))
render(8, composite, 3, sp, 0, wp, 0, 0, 0, 0, 60, 10, 200, 100)
# Clip rectangles on the window's picture, then an alpha map on a copy of the pixmap's picture.
renderRaw(6, struct.pack(E + 'Ihh', wp, 0, 0) + struct.pack(E + 'hhHHhhHH', 0, 0, 120, 120, 180, 30, 120, 60))
render(8, composite, 3, red, half, wp, 0, 0, 0, 0, 0, 0, 300, 120)
render(5, 'III', wp, 0x40, 0)  # clip mask None
withAlpha = newId()
render(4, 'IIIIIII', withAlpha, pixmap, rootFormat, 0x0e, ap, 10, 5)
render(8, composite, 3, linear, 0, withAlpha, 0, 0, 0, 0, 0, 0, 200, 100)
render(7, 'I', withAlpha)

# Trapezoids, triangles, strips, fans (through an a8 mask format), traps on the a8 picture.
trap = struct.pack(E + 'IIIIIIIIII', fixed(10), fixed(90), fixed(20), fixed(10), fixed(5), fixed(90),
                   fixed(180), fixed(10), fixed(260), fixed(90))
renderRaw(10, struct.pack(E + 'BxxxIIIhh', 3, solid, wp, a8, 0, 0) + trap)
points = [(fixed(x), fixed(y)) for x, y in [(20, 10), (280, 30), (150, 110), (40, 100), (260, 100), (100, 60)]]
flat = b''.join(struct.pack(E + 'II', *p) for p in points)
renderRaw(11, struct.pack(E + 'BxxxIIIhh', 3, red, pp, a8, 0, 0) + flat)
renderRaw(12, struct.pack(E + 'BxxxIIIhh', 3, vertical, wp, a8, 0, 0) + flat[:40])
renderRaw(13, struct.pack(E + 'BxxxIIIhh', 12, half, wp, 0, 0, 0) + flat[:32])
renderRaw(32, struct.pack(E + 'Ihh', mp, 5, 5) + struct.pack(E + '6I', fixed(10), fixed(50), fixed(5), fixed(0),
                                                                  fixed(80), fixed(60)))
render(8, composite, 3, solid, mp, pp, 0, 0, 0, 0, 0, 0, 200, 100)

# Two glyph sets of a8 glyphs, used together in one element list of each size.
first, second = newId(), newId()
render(17, 'II', first, a8)
render(17, 'II', second, a8)


def glyphs(gs, ids, seed):
    infos = b''.join(struct.pack(E + 'HHhhhh', 8, 10, 0, 9, 10, 0) for _ in ids)
    images = b''.join(bytes(((g * seed + x * 37 + y * 11) & 0xff) for y in range(10) for x in range(8))
                      for g in ids)
    renderRaw(20, struct.pack(E + 'II', gs, len(ids)) + b''.join(struct.pack(E + 'I', g) for g in ids) + infos +
              images)


glyphs(first, [1, 2, 3, 300, 70000], 5)
glyphs(second, [1, 2, 4, 300, 70000], 9)
render(18, 'II', newId(), second)


def elements(size, pack):
    out = b''
    for gs, dx, ids in [(None, 5, [1, 2, 3]), (second, 0, None), (None, 4, [1, 4, 300 if size > 1 else 2])]:
        if gs:
            out += struct.pack(E + 'BxxxhhI', 255, 0, 0, gs)
        else:
            out += struct.pack(E + 'Bxxxhh', len(ids), dx, 30) + pad(b''.join(struct.pack(E + pack, g) for g in ids))
    return out


for minor, size, pack, y in [(23, 1, 'B', 0), (24, 2, 'H', 30), (25, 4, 'I', 60)]:
    renderRaw(minor, struct.pack(E + 'BxxxIIIIhh', 3, red if size == 2 else solid, wp, a8, first, 0, 0) +
              elements(size, pack))
    renderRaw(minor, struct.pack(E + 'BxxxIIIIhh', 3, linear, pp, 0, first, 0, y) + elements(size, pack))
render(22, 'III', first, 3, 300)  # FreeGlyphs
render(19, 'I', first)
sync()


def digest(drawable, x, y, w, h):
    r = reply(send(73, struct.pack(E + 'IhhHHI', drawable, x, y, w, h, 0xffffffff), 2))
    if not r:
        return 'none'
    data = bytearray(r[32:])
    if r[1] == 24:  # the unused byte of 32-bit pixels
        for k in range(0 if imageOrder else 3, len(data), 4):
            data[k] = 0
    return '%d %s' % (r[1], hashlib.sha1(bytes(data)).hexdigest()[:16])


# A window that goes with three pictures on it: nothing more to free, and no error.
doomed = newId()
send(1, struct.pack(E + 'IIhhHHHHII', doomed, root, 10, 10, 50, 50, 0, 1, 0, 0), rootDepth)
for k in range(3):
    render(4, 'IIII', newId(), doomed, rootFormat, 0)
send(4, struct.pack(E + 'I', doomed))
sync()

print('window', digest(window, 0, 0, 300, 120))
print('window right of the border', digest(window, 100, 0, 200, 120))
print('pixmap', digest(pixmap, 0, 0, 200, 100))
print('mask', digest(maskPixmap, 0, 0, 300, 120))
for p in (wp, pp, mp, ap, sp, solid, red, half, linear, vertical, radial, conical):
    render(7, 'I', p)
if len(sys.argv) > 3:  # a third argument keeps the window a few seconds for a look
    import time
    time.sleep(float(sys.argv[3]))
send(4, struct.pack(E + 'I', window))
sync()
print('done', errors[0])
