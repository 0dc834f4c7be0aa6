# Short-lived clients by the thousand, and a client that sleeps through their departures, for
# the scripts whose sleepers must read each departed client's ids as that client's however many
# came and went. A crowd client connects (a bare socket), makes a window, a child of the root
# whose geometry tells the client's number (WIDTH x HEIGHT at x, y = place(number)), maps it
# when asked, destroys it or leaves that to its close (odd numbers destroy it), does a round trip
# and closes; several clients run at a time. A sleeper selects SubstructureNotify on the root,
# reads nothing until it wakes, then takes what it was sent (wake), and every CreateNotify,
# MapNotify, UnmapNotify and DestroyNotify in it is checked against the windows the crowd made
# (check).
import struct, threading
from concurrent.futures import ThreadPoolExecutor

import rawx

WIDTH, HEIGHT = 7, 3  # no other window of the scripts has this size
AT_ONCE = 12          # crowd clients running at a time
CreateNotify, DestroyNotify, UnmapNotify, MapNotify, PropertyNotify = 16, 17, 18, 19, 28


def place(number):
    return number % 512, number // 512


def number_at(x, y):
    return y * 512 + x


class Crowd:
    # The clients of one display, numbered from 0 on in the order they were started; `windows`
    # maps each number to the window id its client made (a client that was refused has none).
    def __init__(self, name):
        self.name = name
        self.started = 0
        self.windows = {}
        self.refused = 0
        self.lock = threading.Lock()

    def one(self, number, mapped):
        try:
            c = rawx.Client(self.name)
        except rawx.Refused:
            with self.lock:
                self.refused += 1
            return
        wid = c.new_id()
        x, y = place(number)
        c.create_window(wid, x, y, WIDTH, HEIGHT)
        if mapped:
            c.send(struct.pack('<BxHI', 8, 2, wid))  # MapWindow
        if number % 2:
            c.send(struct.pack('<BxHI', 4, 2, wid))  # DestroyWindow
        c.round_trip()
        c.close()
        with self.lock:
            self.windows[number] = wid

    def run(self, count, mapped=lambda number: False, at_once=AT_ONCE):
        # `count` more clients, at_once of them at a time; returns when all have closed.
        first = self.started
        self.started += count
        with ThreadPoolExecutor(at_once) as pool:
            for _ in pool.map(lambda n: self.one(n, mapped(n)), range(first, first + count)):
                pass  # (a client's failure is raised here)


class Sleeper:
    def __init__(self, name, mask=rawx.SubstructureNotifyMask):
        self.client = rawx.Client(name, timeout=60.0)
        self.client.select_input(self.client.root, mask)
        self.client.round_trip()
        # From here on it reads nothing until wake().

    def wake(self):
        # Everything it was sent, in order, up to the reply to a round trip: its events (32 bytes
        # each; errors and other replies are left out).
        c = self.client
        c.send(struct.pack('<BxH', 43, 1))
        want = c.sequence & 0xffff
        events = []
        pending = b''
        while True:
            chunk = c.sock.recv(1 << 20)
            if not chunk:
                raise EOFError('the sleeper was closed')
            pending += chunk
            at = 0
            while len(pending) - at >= 32:
                code = pending[at]
                if code == 1:
                    extra = struct.unpack_from('<I', pending, at + 4)[0] * 4
                    if len(pending) - at < 32 + extra:
                        break
                    if struct.unpack_from('<H', pending, at + 2)[0] == want:
                        return events
                    at += 32 + extra
                    continue
                if code != 0:
                    events.append(pending[at:at + 32])
                at += 32
            pending = pending[at:]


def check(events, windows, known=frozenset()):
    # The crowd's CreateNotify must name the window its client made (by the number the geometry
    # tells) and not one that is there already; a MapNotify, UnmapNotify or DestroyNotify one the
    # crowd made that is there, or one of `known` (other windows the events may be about).
    # Anything else is wrong. Returns {'created', 'mapped', 'destroyed', 'wrong', 'others'}
    # (mapped: MapNotify of the crowd's windows; others: events of other kinds).
    there = set()
    counts = {'created': 0, 'mapped': 0, 'destroyed': 0, 'wrong': 0, 'others': 0}
    for e in events:
        code = e[0] & 0x7f
        if code == CreateNotify:
            window, x, y, width, height = struct.unpack_from('<IhhHH', e, 8)
            if (width, height) == (WIDTH, HEIGHT):
                if windows.get(number_at(x, y)) != window or window in there:
                    counts['wrong'] += 1
                    continue
                there.add(window)
                counts['created'] += 1
            elif window not in known:
                counts['wrong'] += 1
        elif code == DestroyNotify:
            window = struct.unpack_from('<I', e, 8)[0]
            if window in there:
                there.discard(window)
                counts['destroyed'] += 1
            elif window not in known:
                counts['wrong'] += 1
        elif code in (MapNotify, UnmapNotify):
            window = struct.unpack_from('<I', e, 8)[0]
            if window in there:
                counts['mapped'] += code == MapNotify
            elif window not in known:
                counts['wrong'] += 1
        else:
            counts['others'] += 1
    return counts


def frame_window(wm, root, wid, mark):
    """A reparenting manager's answer to a MapRequest (python-xlib): a frame made on the root,
    the window reparented into it, marked with the frame's id and mapped; the frame."""
    from Xlib import X, Xatom
    frame = root.create_window(20, 20, 80, 60, 2, wm.screen().root_depth, event_mask=X.SubstructureNotifyMask)
    w = wm.create_resource_object('window', wid)
    w.reparent(frame, 5, 5)
    w.change_property(mark, Xatom.CARDINAL, 32, [frame.id])
    w.map()
    frame.map()
    return frame
