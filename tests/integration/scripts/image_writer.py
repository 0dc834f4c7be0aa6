# A python-xlib program that writes before it reads: it draws an image of WIDTH x HEIGHT pixels
# into its window (mapped at the root's origin) as python-xlib's image helper draws one, PutImage
# requests of the largest length the server takes, all queued and then sent by one flush, which
# is one blocking send, while 40 000 PropertyNotify events wait unread for it: another client, a
# bystander connected from the start, changes a property of its window that often before it
# draws. With "grab" it holds the server instead and sends 40 000 property changes of its own
# before the image (400 RotateProperties of 100 properties: python-xlib joins its queue anew for
# each request, so 40 000 requests in one flush would take it seconds), whose events fill its
# output while it sends the image; once that is sent it lets go. Then it reads everything, makes
# a round trip and reads sample points of its window back, and the bystander makes a round trip.
# Prints
#   events 40000
#   image right at 18 of 18 points
#   bystander answered
# or, when the program is not through after WAIT seconds, what it was doing then.
# Arguments: the display name, WIDTH, HEIGHT, optionally "grab".
import os, struct, sys, threading

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import rawx  # noqa: E402

WAIT = 60  # seconds: a program that is not through by then is stuck
CHANGES = 40000
PROPERTIES = 100
PropertyNotify = 28

# Pixel (x, y) as bytes in the image's order: blue x + y, green 3x ^ 0x55 (y >> 8), red y.
ADD = [bytes((i + k) & 255 for i in range(256)) for k in range(256)]
XOR = [bytes(i ^ k for i in range(256)) for k in range(256)]


def expected(x, y):
    return bytes([(x + y) & 255, ((3 * x) & 255) ^ ((y >> 8) * 0x55 & 255), y & 255])


def rows(width, first, count):
    xs = bytes(x & 255 for x in range(width))
    xs3 = bytes((3 * x) & 255 for x in range(width))
    data = bytearray(4 * width * count)
    for n in range(count):
        y = first + n
        row = memoryview(data)[4 * width * n:4 * width * (n + 1)]
        row[0::4] = xs.translate(ADD[y & 255])
        row[1::4] = xs3.translate(XOR[(y >> 8) * 0x55 & 255])
        row[2::4] = bytes([y & 255]) * width
    return bytes(data)


def samples(width, height):
    points = [(0, 0), (width - 1, height - 1)]
    points += [((i * 997) % width, (i * 613 + i * i) % height) for i in range(16)]
    return points


def program(name, width, height, grab, stage, out):
    from Xlib import X, Xatom, display
    d = display.Display(name)
    screen = d.screen()
    window = screen.root.create_window(0, 0, width, height, 0, screen.root_depth, X.InputOutput, X.CopyFromParent,
                                       background_pixel=screen.black_pixel, override_redirect=True,
                                       event_mask=X.PropertyChangeMask)
    window.map()
    gc = window.create_gc()
    atom = d.intern_atom('_TARVO_WRITER')
    d.sync()
    bystander = rawx.Client(name, timeout=WAIT)
    bystander.round_trip()
    if grab:
        properties = [d.intern_atom('_TARVO_WRITER_%d' % n) for n in range(PROPERTIES)]
        for n, property in enumerate(properties):
            window.change_property(property, Xatom.INTEGER, 32, [n])
        d.sync()
        while d.pending_events():  # (the events of making them)
            d.next_event()
        stage[0] = 'taking the server'
        d.grab_server()
        d.sync()
        for _ in range(CHANGES // PROPERTIES):
            window.rotate_properties(properties, 1)
        d.flush()  # (sent as its own flush: their events come back while the image is made)
    else:
        stage[0] = 'changes of its property by another client'
        change = struct.pack('<BBHIIIB3xII', 18, 0, 7, window.id, atom, Xatom.INTEGER, 32, 1, 1)
        for _ in range(CHANGES // 5000):
            bystander.send(change * 5000, 5000)
        bystander.round_trip()
    stage[0] = 'sending the image (%d bytes of PutImage requests in one flush%s)' % (
        4 * width * height, ', holding the server' if grab else '')
    stride = 4 * width
    split = ((d.display.info.max_request_length << 2) - 24) // stride
    for y in range(0, height, split):
        h = min(split, height - y)
        window.put_image(gc, 0, y, width, h, X.ZPixmap, 24, 0, rows(width, y, h))
    d.flush()
    if grab:
        d.ungrab_server()
    stage[0] = 'reading its events after the image'
    d.sync()
    events = 0
    while d.pending_events():
        events += d.next_event().type == PropertyNotify
    out.append('events %d' % events)
    stage[0] = 'reading the image back'
    points = samples(width, height)
    right = 0
    for x, y in points:
        pixel = window.get_image(x, y, 1, 1, X.ZPixmap, 0xffffffff).data
        right += pixel[:3] == expected(x, y)
    out.append('image right at %d of %d points' % (right, len(points)))
    stage[0] = 'the bystander\'s round trip'
    bystander.round_trip()
    out.append('bystander answered')
    d.close()
    bystander.close()


def main():
    name, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    stage, out = ['connecting'], []

    def run():
        try:
            program(name, width, height, sys.argv[4:5] == ['grab'], stage, out)
        except Exception as e:
            out.append('failed while %s: %r' % (stage[0], e))
        stage[0] = None

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(WAIT)
    for line in out:
        print(line)
    if stage[0] is not None:
        print('not through after %d s: %s' % (WAIT, stage[0]))
    sys.stdout.flush()
    os._exit(0)  # (a program stuck in its send is not waited for)


main()
