#!/usr/bin/python3
# The clients of bench/busy-bystander: raw X connections (little-endian, unix socket).
#
#   busy-client.py DISPLAY CLIENTS SECONDS [WORKERS [CAP [KIND]]]
#
# KIND "stream" (the default) is described below; KIND "trips": each busy client instead makes
# and destroys a window and then waits for a GetInputFocus reply before it does so again, without
# pause (busy as a program that works with the server round trip after round trip); the rate is
# then its round trips per second.
#
# A bystander does GetInputFocus round trips for 2 s with nothing else connected (the
# baseline); then CLIENTS busy clients connect (spread over WORKERS processes, default 4), each
# with a mapped 32x32 window and a GC, and once all of them are there they stream
# PolyFillRectangle and ChangeProperty requests into their sockets without pause, reading and
# discarding whatever comes back, so that their sockets stay full; after 1 s of that the
# bystander does round trips for SECONDS and records each; a round trip not answered within CAP
# seconds (default 60) ends its run, its worst shown as ">CAP000". Prints:
#   idle <p50> <p99> <worst> <trips>   the bystander's round trips in ms, alone
#   busy <p50> <p99> <worst> <trips>   the same beside the busy clients
#   rate <n>                           the busy clients' requests per second meanwhile (what
#                                      their full sockets took, so what the server was served)
#   active <n>                         busy clients whose requests were taken meanwhile
import multiprocessing
import select
import struct
import sys
import time

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from rawconn import Closed, open_connection, recv_exactly  # noqa: E402

# A pair of requests of 60 bytes: PolyFillRectangle (20) and ChangeProperty of 16 bytes (40).
PAIR = 60
PAIRS_PER_BATCH = 32


class Conn:
    def __init__(self, number):
        self.s, self.base, self.root = open_connection(number)
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


def stats(trips, capped):
    trips = sorted(trips)
    at = lambda q: trips[min(len(trips) - 1, int(q * (len(trips) - 1) + 0.5))] * 1000
    worst = '>%.0f' % (trips[-1] * 1000) if capped else '%.2f' % (trips[-1] * 1000)
    return '%.2f %.2f %s %d' % (at(0.5), at(0.99), worst, len(trips))


def measure(bystander, seconds, cap, interval=0.0):
    """Round trips for the seconds, one every interval seconds (0: one after the other); one that
    takes longer than cap ends the run (recorded as cap)."""
    trips = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.monotonic()
        if not bystander.round_trip(start + cap):
            trips.append(cap)
            return trips, True
        trips.append(time.monotonic() - start)
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
    bystander = Conn(number)
    print('idle %s' % stats(*measure(bystander, 2, cap, interval)), flush=True)
    context = multiprocessing.get_context('fork')
    procs, counters, pipes = [], [], []
    first = 0
    for w in range(workers):
        count = clients // workers + (1 if w < clients % workers else 0)
        sent = context.Array('Q', count, lock=False)
        mine, theirs = context.Pipe()
        p = context.Process(target=busy, args=(number, count, first, sent, theirs, kind), daemon=True)
        p.start()
        procs.append(p)
        counters.append(sent)
        pipes.append(mine)
        first += count
    try:
        # All connected before any of them streams.
        for mine in pipes:
            if not mine.poll(300) or mine.recv() != 'ready':
                sys.exit('the busy clients did not start')
        note('%d clients connected' % clients)
        for mine in pipes:
            mine.send('go')
        time.sleep(1)
        before = [list(sent) for sent in counters]
        start = time.monotonic()
        trips, capped = measure(bystander, seconds, cap, interval)
        took = time.monotonic() - start
        after = [list(sent) for sent in counters]
    finally:
        for p in procs:
            p.terminate()
        for p in procs:
            p.join(10)
    taken = [a - b for sa, sb in zip(after, before) for a, b in zip(sa, sb)]
    print('busy %s' % stats(trips, capped))
    print('rate %.0f' % (sum(taken) / took if kind == 'trips' else sum(taken) / PAIR * 2 / took))
    print('active %d' % sum(1 for n in taken if n > 0))


if __name__ == '__main__':
    main()
