#!/usr/bin/python3
# The clients of bench/busy-bystander and bench/busy-desktop: raw X connections (little-endian,
# unix socket).
#
#   busy-client.py DISPLAY CLIENTS SECONDS [WORKERS [CAP [KIND [INTERVAL [PAUSE [MODE]]]]]]
#
# KIND "stream" (the default) is described below; KIND "trips": each busy client instead makes
# and destroys a window and then waits for a GetInputFocus reply before it does so again, without
# pause (busy as a program that works with the server round trip after round trip); the rate is
# then its round trips per second. KIND "mix": each busy client works as an ordinary program
# does, in batches of three round trips: it makes and maps a small window, changes and gets a
# property (the first reply); fills two rectangles, draws four lines and gets a 32x32 image of
# its window (the second); destroys the small window and asks GetInputFocus (the third); then it
# pauses PAUSE ms (default 100; each pause drawn between half and one and a half of it, so that
# the clients do not keep step; 0: none) before its next batch. The real server serves such
# clients quickly (500 of them pausing 100 ms leave it mostly idle); the rate is then their
# batches per second.
#
# MODE "bench" (the default): a bystander does GetInputFocus round trips for 2 s with nothing
# else connected (the baseline); then CLIENTS busy clients connect (spread over WORKERS
# processes, default 4), each with a mapped 32x32 window and a GC, and once all of them are there
# they start: KIND "stream" streams PolyFillRectangle and ChangeProperty requests into their
# sockets without pause, reading and discarding whatever comes back, so that their sockets stay
# full; after 1 s of that the bystander does round trips for SECONDS and records each; a round
# trip not answered within CAP seconds (default 60) ends its run, its worst shown as ">CAP000".
# Prints:
#   idle <p50> <p99> <worst> <trips>   the bystander's round trips in ms, alone
#   busy <p50> <p99> <worst> <trips>   the same beside the busy clients
#   rate <n>                           the busy clients' requests per second meanwhile (what
#                                      their full sockets took, so what the server was served)
#   active <n>                         busy clients whose requests were taken meanwhile
#   errors <n>                         X errors the busy clients got (mix; none expected)
# MODE "start": no warm-up. The bystander starts its round trips (one every INTERVAL ms) 1 s
# before the busy clients come, and goes on while they all ask to connect at once (each worker
# its share) and each starts its work as soon as its connection's answer is read, until all of
# them have had a batch answered and SECONDS more. Prints the
# "busy" line over that whole time, "joined <s>" (when the last of them had its first batch
# answered, from the first connection on), "rate", "active" and "errors" (over the time after
# they joined).
# MODE "crowd": only the busy clients, for SECONDS (forever when 0), no bystander; prints
# "joined <s>" once they have all been answered once (bench/busy-desktop's mix clients).
import ctypes
import heapq
import multiprocessing
import random
import select
import signal
import struct
import sys
import time

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from rawconn import Closed, finish_connection, open_connection, recv_exactly, start_connection  # noqa: E402

# A pair of requests of 60 bytes: PolyFillRectangle (20) and ChangeProperty of 16 bytes (40).
PAIR = 60
PAIRS_PER_BATCH = 32


class Conn:
    def __init__(self, number, started=None):
        """A new connection to display :number, or the one started (start_connection) there."""
        self.s, self.base, self.root = finish_connection(started) if started else open_connection(number)
        self.seq = 0

    def recvn(self, n, deadline=None):
        try:
            return recv_exactly(self.s, n, deadline)
        except Closed:
            sys.exit('connection closed')

    def send(self, request):
        self.s.sendall(request)
        self.seq += 1
        return self.seq

    def reply(self, seq, deadline=None):
        while True:
            head = self.recvn(32, deadline)
            body = self.recvn(struct.unpack('<I', head[4:8])[0] * 4, deadline) if head[0] == 1 else b''
            if head[0] in (0, 1) and struct.unpack('<H', head[2:4])[0] == seq & 0xFFFF:
                if head[0] == 0:
                    sys.exit('X error %d' % head[1])
                return head + body

    def round_trip(self, deadline=None):
        """The reply, or None when the deadline passed first."""
        try:
            return self.reply(self.send(struct.pack('<BxH', 43, 1)), deadline)
        except TimeoutError:
            return None


def busy_batch(c, k, atom):
    """Sets up the client's window and GC; its stream's batch of requests."""
    window, gc = c.base | 1, c.base | 2
    x, y = k * 37 % 1240, k * 53 % 980
    c.send(struct.pack('<BBHIIhhHHHHIII', 1, 0, 9, window, c.root, x, y, 32, 32, 0, 1, 0, 0x0002, k * 0x010101))
    c.send(struct.pack('<BxHI', 8, 2, window))
    c.send(struct.pack('<BxHIIII', 55, 5, gc, window, 0x4, 0x00FF8040))
    batch = b''
    for n in range(PAIRS_PER_BATCH):
        batch += struct.pack('<BxHIIhhHH', 70, 5, window, gc, n % 16, n % 16, 16, 16)
        batch += struct.pack('<BBHIIIB3xI', 18, 0, 10, window, atom, 31, 8, 16) + b'busy client %04d' % (n * 7 % 10000)
    assert len(batch) == PAIR * PAIRS_PER_BATCH
    return batch


def trips_loop(conns, sent):
    """Each connection: CreateWindow, DestroyWindow, GetInputFocus, and the next batch once the
    reply of the last came; sent counts the batches answered."""
    poll = select.poll()
    streams = {}
    for k, c in enumerate(conns):
        c.s.setblocking(False)
        poll.register(c.s.fileno(), select.POLLIN)
        streams[c.s.fileno()] = [c, b'', k, 0]

    def batch(stream):
        c, _, k, n = stream
        window = c.base | (3 + n % 1000)
        c.s.sendall(struct.pack('<BBHIIhhHHHHIII', 1, 0, 9, window, c.root, n % 400, 0, 20, 10, 0, 1, 0, 0x0002, n) +
                    struct.pack('<BxHI', 4, 2, window) + struct.pack('<BxH', 43, 1))
        stream[3] = n + 1

    for stream in streams.values():
        c = stream[0]
        c.s.setblocking(True)
        batch(stream)
        c.s.setblocking(False)
    while streams:
        for fd, events in poll.poll():
            stream = streams.get(fd)
            if stream is None:
                continue
            c = stream[0]
            try:
                chunk = c.s.recv(65536)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                chunk = b''
            if not chunk:
                poll.unregister(fd)
                del streams[fd]
                continue
            data = stream[1] + chunk
            answered = False
            while len(data) >= 32:
                size = 32 + (struct.unpack('<I', data[4:8])[0] * 4 if data[0] == 1 else 0)
                if len(data) < size:
                    break
                if data[0] == 1:
                    answered = True
                data = data[size:]
            stream[1] = data
            if answered:
                sent[stream[2]] += 1
                c.s.setblocking(True)
                batch(stream)
                c.s.setblocking(False)


def busy(number, count, first, sent, pipe, kind='stream'):
    end_with_parent()
    conns = [Conn(number) for _ in range(count)]
    name = b'BUSY_BYSTANDER_BENCH'
    r = conns[0].reply(conns[0].send(struct.pack('<BBHH2x', 16, 0, 2 + (len(name) + 3) // 4, len(name)) +
                                     name + bytes(-len(name) % 4)))
    atom = struct.unpack('<I', r[8:12])[0]
    batches = [busy_batch(c, first + k, atom) for k, c in enumerate(conns)]
    for c in conns:
        c.round_trip()
    pipe.send('ready')
    pipe.recv()
    if kind == 'trips':
        return trips_loop(conns, sent)
    poll = select.poll()
    streams = {}
    for k, c in enumerate(conns):
        c.s.setblocking(False)
        poll.register(c.s.fileno(), select.POLLIN | select.POLLOUT)
        # The batch twice over, so that a slice from any offset holds a whole batch.
        streams[c.s.fileno()] = [c.s, memoryview(batches[k] * 2), 0, k]
    size = PAIR * PAIRS_PER_BATCH
    while streams:
        for fd, events in poll.poll():
            stream = streams.get(fd)
            if stream is None:
                continue
            s, data, offset, k = stream
            try:
                if events & (select.POLLIN | select.POLLHUP | select.POLLERR):
                    if not s.recv(65536):
                        poll.unregister(fd)
                        del streams[fd]
                        continue
                if events & select.POLLOUT:
                    n = s.send(data[offset:offset + size])
                    stream[2] = (offset + n) % size
                    sent[k] += n
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                poll.unregister(fd)
                del streams[fd]


# The mix's batch: its three stages, each ending with the one request that is answered.
STAGES = 3


def mix_setup(c, k):
    """The client's mapped 32x32 window and its GC, placed by its number k."""
    window, gc = c.base | 1, c.base | 2
    # Side by side (40 to a row of 1280 pixels; the 33rd row starts over at the top).
    x, y = k % 40 * 32, k // 40 * 32 % 1024
    c.send(struct.pack('<BBHIIhhHHHHIII', 1, 0, 9, window, c.root, x, y, 32, 32, 0, 1, 0, 0x0002, k * 0x010101))
    c.send(struct.pack('<BxHI', 8, 2, window))
    c.send(struct.pack('<BxHIIII', 55, 5, gc, window, 0x4, 0x00FF8040))


def mix_stage(c, stage, n, atom):
    """The requests of the stage of the client's batch n, the last of them answered; the number
    of requests."""
    window, gc, small = c.base | 1, c.base | 2, c.base | 3
    if stage == 0:
        text = b'mix client %05d' % (n % 100000)
        return 4, (struct.pack('<BBHIIhhHHHHIII', 1, 0, 9, small, window, n % 16, n * 5 % 16, 16, 16,
                               0, 1, 0, 0x0002, n * 0x030507 & 0xFFFFFF) +
                   struct.pack('<BxHI', 8, 2, small) +
                   struct.pack('<BBHIIIB3xI', 18, 0, 6 + len(text) // 4, window, atom, 31, 8, len(text)) + text +
                   struct.pack('<BBHIIIII', 20, 0, 6, window, atom, 0, 0, 16))
    if stage == 1:
        fills = b''.join(struct.pack('<BxHII', 70, 5, window, gc) + struct.pack('<hhHH', (n + i * 9) % 24, i * 7, 8, 8)
                         for i in range(2))
        lines = struct.pack('<BxHII', 66, 3 + 2 * 4, window, gc) + b''.join(
            struct.pack('<hhhh', 0, (n + i * 8) % 32, 31, (i * 8 + 5) % 32) for i in range(4))
        return 4, fills + lines + struct.pack('<BBHIhhHHI', 73, 2, 5, window, 0, 0, 32, 32, 0xFFFFFFFF)
    return 2, struct.pack('<BxHI', 4, 2, small) + struct.pack('<BxH', 43, 1)


class MixWorker:
    """The mix clients of one process: each does its batches and pauses between them; sent[k]
    counts the batches of client k answered in full, errors[0] the X errors they got."""

    def __init__(self, number, atom, pause, sent, errors):
        self.number, self.atom, self.pause = number, atom, pause
        self.sent, self.errors = sent, errors
        self.poll = select.poll()
        self.clients = {}   # fd -> [conn, pending bytes, k, stage, batch, sequence awaited]
        self.due = []       # heap of (time, fd): batches to start after their pause
        self.random = random.Random(number * 7919 + len(sent))

    def add(self, c, k, start_now=True):
        c.s.setblocking(False)
        self.poll.register(c.s.fileno(), select.POLLIN)
        self.clients[c.s.fileno()] = [c, b'', k, 0, 0, 0]
        if start_now:
            self.stage(c.s.fileno())
        else:
            heapq.heappush(self.due, (time.monotonic() + self.pause * self.random.random(), c.s.fileno()))

    def stage(self, fd):
        client = self.clients[fd]
        c, _, k, stage, n, _ = client
        count, data = mix_stage(c, stage, n, self.atom)
        c.s.setblocking(True)
        c.s.sendall(data)
        c.s.setblocking(False)
        c.seq += count
        client[5] = c.seq & 0xFFFF

    def answered(self, fd):
        """The stage's last request was answered: the next stage, or the next batch after the
        pause."""
        client = self.clients[fd]
        client[3] = (client[3] + 1) % STAGES
        if client[3]:
            return self.stage(fd)
        client[4] += 1
        self.sent[client[2]] += 1
        heapq.heappush(self.due, (time.monotonic() + self.pause * (0.5 + self.random.random()), fd))

    def run_once(self, timeout):
        """One pass: the batches due, then what came within timeout seconds (None: until the
        next batch is due)."""
        now = time.monotonic()
        while self.due and self.due[0][0] <= now:
            _, fd = heapq.heappop(self.due)
            if fd in self.clients:
                self.stage(fd)
        if timeout is None:
            timeout = max(0.0, self.due[0][0] - now) if self.due else 1.0
        for fd, events in self.poll.poll(timeout * 1000):
            client = self.clients.get(fd)
            if client is None:
                continue
            try:
                chunk = client[0].s.recv(262144)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                chunk = b''
            if not chunk:
                sys.exit('busy-client: a mix client lost its connection')
            data = client[1] + chunk
            while len(data) >= 32:
                size = 32 + (struct.unpack('<I', data[4:8])[0] * 4 if data[0] == 1 else 0)
                if len(data) < size:
                    break
                if data[0] == 0:
                    self.errors[0] += 1
                if data[0] in (0, 1) and struct.unpack('<H', data[2:4])[0] == client[5]:
                    client[1] = data[size:]
                    self.answered(fd)
                    data = client[1]
                    continue
                data = data[size:]
            client[1] = data


def intern(c, name):
    r = c.reply(c.send(struct.pack('<BBHH2x', 16, 0, 2 + (len(name) + 3) // 4, len(name)) +
                       name + bytes(-len(name) % 4)))
    return struct.unpack('<I', r[8:12])[0]


def end_with_parent():
    """A worker ends when the process that started it ends, however that ends."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def mix_busy(number, count, first, sent, errors, pipe, pause, joining):
    """The mix clients of one process. joining: they all ask to connect at once, and each starts
    its first batch as soon as its answer is read, what came for the others served between
    answers ("joined" is sent once every one had a batch answered); else all connect first,
    report "ready" and start on "go"."""
    end_with_parent()
    if not joining:
        conns = [Conn(number) for _ in range(count)]
        atom = intern(conns[0], b'BUSY_BYSTANDER_BENCH')
        for k, c in enumerate(conns):
            mix_setup(c, first + k)
        for c in conns:
            c.round_trip()
        pipe.send('ready')
        pipe.recv()
        worker = MixWorker(number, atom, pause, sent, errors)
        for k, c in enumerate(conns):
            worker.add(c, k, start_now=False)
        while True:
            worker.run_once(None)
    worker = None
    started = [start_connection(number) for _ in range(count)]
    for k in range(count):
        c = Conn(number, started[k])
        if worker is None:
            worker = MixWorker(number, intern(c, b'BUSY_BYSTANDER_BENCH'), pause, sent, errors)
        mix_setup(c, first + k)
        worker.add(c, k)
        worker.run_once(0)
    while not all(sent):
        worker.run_once(None)
    pipe.send('joined')
    while True:
        worker.run_once(None)


def stats(trips, capped):
    trips = sorted(trips)
    at = lambda q: trips[min(len(trips) - 1, int(q * (len(trips) - 1) + 0.5))] * 1000
    worst = '>%.0f' % (trips[-1] * 1000) if capped else '%.2f' % (trips[-1] * 1000)
    return '%.2f %.2f %s %d' % (at(0.5), at(0.99), worst, len(trips))


def measure(bystander, seconds, cap, interval=0.0, until=None):
    """Round trips for the seconds, one every interval seconds (0: one after the other); one that
    takes longer than cap ends the run (recorded as cap). until: a callable asked after each
    round trip; the seconds count from the first time it says True."""
    trips = []
    end = None if until else time.monotonic() + seconds
    while end is None or time.monotonic() < end:
        start = time.monotonic()
        if not bystander.round_trip(start + cap):
            trips.append(cap)
            return trips, True
        trips.append(time.monotonic() - start)
        if end is None and until():
            end = time.monotonic() + seconds
        if interval > 0:
            time.sleep(max(0.0, start + interval - time.monotonic()))
    return trips, False


def note(text):
    print('busy-client: %s' % text, file=sys.stderr, flush=True)


def main():
    number, clients, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    workers = max(1, min(clients, int(sys.argv[4]) if len(sys.argv) > 4 else 4))
    cap = float(sys.argv[5]) if len(sys.argv) > 5 else 60
    kind = sys.argv[6] if len(sys.argv) > 6 else 'stream'
    interval = float(sys.argv[7]) / 1000 if len(sys.argv) > 7 else 0.0
    pause = float(sys.argv[8]) / 1000 if len(sys.argv) > 8 else 0.1
    mode = sys.argv[9] if len(sys.argv) > 9 else 'bench'
    if mode not in ('bench', 'start', 'crowd') or kind not in ('stream', 'trips', 'mix'):
        sys.exit('busy-client: unknown mode %s or kind %s' % (mode, kind))
    if mode != 'bench' and kind != 'mix':
        sys.exit('busy-client: mode %s is for KIND mix' % mode)
    joining = mode != 'bench'
    # Ended by a signal, the busy clients are ended too (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    bystander = None
    if mode == 'bench':
        bystander = Conn(number)
        print('idle %s' % stats(*measure(bystander, 2, cap, interval)), flush=True)
    context = multiprocessing.get_context('fork')
    procs, counters, pipes = [], [], []
    errors = context.Array('Q', workers, lock=False)
    first = 0
    for w in range(workers):
        count = clients // workers + (1 if w < clients % workers else 0)
        sent = context.Array('Q', count, lock=False)
        mine, theirs = context.Pipe()
        if kind == 'mix':
            args = (number, count, first, sent, ErrorSlot(errors, w), theirs, pause, joining)
            p = context.Process(target=mix_busy, args=args, daemon=True)
        else:
            p = context.Process(target=busy, args=(number, count, first, sent, theirs, kind), daemon=True)
        procs.append(p)
        counters.append(sent)
        pipes.append(mine)
        first += count
    began = None
    try:
        if mode == 'start':
            bystander = Conn(number)
            trips, capped = measure(bystander, 1, cap, interval)
        began = time.monotonic()
        for p in procs:
            p.start()
        joined, at_join = [], []

        def all_joined():
            for mine in pipes:
                while mine.poll():
                    mine.recv()
                    joined.append(time.monotonic())
            for p in procs:
                if not p.is_alive():
                    sys.exit('busy-client: a worker of the busy clients ended')
            if len(joined) == len(pipes) and not at_join:
                at_join.append([list(sent) for sent in counters])
            return len(joined) == len(pipes)

        if mode == 'crowd':
            while not all_joined():
                time.sleep(0.05)
            print('joined %.2f' % (max(joined) - began), flush=True)
            while seconds <= 0 or time.monotonic() < max(joined) + seconds:
                time.sleep(0.5)
                all_joined()
            return
        if mode == 'start':
            more, capped = measure(bystander, seconds, cap, interval, until=all_joined) if not capped else ([], True)
            trips += more
            took_from = max(joined) if at_join else None
        else:
            # All connected before any of them works.
            for mine in pipes:
                if not mine.poll(300) or mine.recv() != 'ready':
                    sys.exit('the busy clients did not start')
            note('%d clients connected' % clients)
            for mine in pipes:
                mine.send('go')
            time.sleep(1)
            took_from = time.monotonic()
        before = at_join[0] if mode == 'start' and at_join else [list(sent) for sent in counters]
        if mode == 'bench':
            trips, capped = measure(bystander, seconds, cap, interval)
        took = time.monotonic() - took_from if took_from else 0
        after = [list(sent) for sent in counters]
    finally:
        for p in procs:
            if p.is_alive():
                p.terminate()
        for p in procs:
            p.join(10)
    print('busy %s' % stats(trips, capped))
    if mode == 'start':
        print('joined %s' % ('%.2f' % (max(joined) - began) if at_join else '-'))
    taken = [a - b for sa, sb in zip(after, before) for a, b in zip(sa, sb)]
    if kind == 'trips' or kind == 'mix':
        rate = sum(taken) / took if took > 0 else 0
    else:
        rate = sum(taken) / PAIR * 2 / took
    print('rate %.0f' % rate)
    print('active %d' % sum(1 for n in taken if n > 0))
    print('errors %d' % sum(errors))


class ErrorSlot:
    """One worker's count of X errors in the shared array (what its MixWorker adds to)."""

    def __init__(self, array, at):
        self.array, self.at = array, at

    def __getitem__(self, _):
        return self.array[self.at]

    def __setitem__(self, _, value):
        self.array[self.at] = value


if __name__ == '__main__':
    main()
