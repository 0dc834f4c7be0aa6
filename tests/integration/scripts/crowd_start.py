# A crowd that starts working beside a client that asks now and then:
#
#   crowd_start.py DISPLAY COUNT [PROCESSES [INTERVAL_MS]]
#
# A bystander (a bare connection) does a GetInputFocus round trip every INTERVAL_MS (default 20)
# from 1 s before the crowd comes. Then COUNT clients, spread over PROCESSES processes (default
# 4), ask to connect all at once, and each starts working as soon as its connection's answer is
# read and it has made its window, without pause, as programs do when they start: again and
# again a batch of three round trips, as an ordinary program's work goes (a small window made and
# mapped in its own, a property changed and read back; two fills, four lines and a 32x32
# GetImage of its window; the small window destroyed and GetInputFocus). The bystander asks on
# until every client has had a batch answered and 6 s more. Prints:
#   joined <n> of <COUNT>      clients that had a batch answered
#   errors <n>                 X errors the crowd got
#   asks <n>                   the bystander's round trips
#   median <ms>                their median
#   worst <ms>                 the longest of them (a round trip unanswered after 60 s ends the
#                              run with "worst >60000")
import ctypes, multiprocessing, select, signal, struct, sys, time

import rawx

AFTER = 6.0
CAP = 60.0


def batch_stage(c, stage, n, atom):
    # The stage's requests (the last of them answered) and their number.
    window, gc, small = c.base | 1, c.base | 2, c.base | 3
    if stage == 0:
        text = b'crowd %010d' % n
        return 4, (struct.pack('<BBHIIhhHHHHIII', 1, 0, 9, small, window, n % 16, n * 5 % 16, 16, 16, 0, 1, 0, 2,
                               n * 0x030507 & 0xFFFFFF) +
                   struct.pack('<BxHI', 8, 2, small) +
                   struct.pack('<BBHIIIB3xI', 18, 0, 6 + len(text) // 4, window, atom, 31, 8, len(text)) + text +
                   struct.pack('<BBHIIIII', 20, 0, 6, window, atom, 0, 0, 16))
    if stage == 1:
        fills = b''.join(struct.pack('<BxHIIhhHH', 70, 5, window, gc, (n + i * 9) % 24, i * 7, 8, 8) for i in range(2))
        lines = struct.pack('<BxHII', 66, 11, window, gc) + b''.join(
            struct.pack('<hhhh', 0, (n + i * 8) % 32, 31, (i * 8 + 5) % 32) for i in range(4))
        return 4, fills + lines + struct.pack('<BBHIhhHHI', 73, 2, 5, window, 0, 0, 32, 32, 0xFFFFFFFF)
    return 2, struct.pack('<BxHI', 4, 2, small) + struct.pack('<BxH', 43, 1)


def crowd(name, count, first, done, errors, joined):
    # One process's share of the crowd; done[k] counts client k's batches answered in full.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # ends with the script (PR_SET_PDEATHSIG)
    poll = select.poll()
    clients = {}  # fd -> [client, pending bytes, k, stage, batch, sequence awaited]
    atom = None

    def stage(fd):
        entry = clients[fd]
        c = entry[0]
        requests, data = batch_stage(c, entry[3], entry[4], atom)
        c.sock.setblocking(True)
        c.send(data, requests)
        c.sock.setblocking(False)
        entry[5] = c.sequence & 0xFFFF

    def serve(timeout):
        for fd, _ in poll.poll(timeout * 1000):
            entry = clients[fd]
            try:
                chunk = entry[0].sock.recv(262144)
            except (BlockingIOError, InterruptedError):
                continue
            if not chunk:
                sys.exit('crowd_start: a crowd client lost its connection')
            data = entry[1] + chunk
            while len(data) >= 32:
                size = 32 + (struct.unpack_from('<I', data, 4)[0] * 4 if data[0] == 1 else 0)
                if len(data) < size:
                    break
                if data[0] == 0:
                    with errors.get_lock():
                        errors.value += 1
                answered = data[0] in (0, 1) and struct.unpack_from('<H', data, 2)[0] == entry[5]
                data = data[size:]
                if answered:
                    entry[3] = (entry[3] + 1) % 3
                    if not entry[3]:
                        entry[4] += 1
                        done[entry[2]] += 1
                    stage(fd)
            entry[1] = data

    # All of them ask to connect at once; each goes to work as soon as its answer is read.
    pending = [rawx.Client(name, answer_later=True) for _ in range(count)]
    for k, c in enumerate(pending):
        c.take_setup()
        if atom is None:
            atom = c.intern_atom('CROWD_START')
        window, gc, number = c.base | 1, c.base | 2, first + k
        c.send(struct.pack('<BBHIIhhHHHHIII', 1, 0, 9, window, c.root, number % 40 * 32, number // 40 * 32 % 1024, 32,
                           32, 0, 1, 0, 2, number * 0x010101 & 0xFFFFFF))
        c.send(struct.pack('<BxHI', 8, 2, window))
        c.send(struct.pack('<BxHIIII', 55, 5, gc, window, 4, 0xFF8040))
        c.sock.setblocking(False)
        poll.register(c.sock.fileno(), select.POLLIN)
        clients[c.sock.fileno()] = [c, b'', k, 0, 0, 0]
        stage(c.sock.fileno())
        serve(0)
    while not all(done):
        serve(1.0)
    joined.set()
    while True:
        serve(1.0)


def ask(bystander):
    # One round trip: its time in seconds, or None when CAP passed first.
    bystander.sock.settimeout(CAP)
    began = time.monotonic()
    try:
        bystander.round_trip()
    except OSError:  # (socket.timeout)
        return None
    return time.monotonic() - began


def main():
    name, count = sys.argv[1], int(sys.argv[2])
    processes = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    interval = (float(sys.argv[4]) if len(sys.argv) > 4 else 20) / 1000
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    context = multiprocessing.get_context('fork')
    bystander = rawx.Client(name)
    errors = context.Value('Q', 0, lock=True)
    shares, events, procs, first = [], [], [], 0
    for p in range(processes):
        share = count // processes + (1 if p < count % processes else 0)
        done, joined = context.Array('Q', share, lock=False), context.Event()
        procs.append(context.Process(target=crowd, args=(name, share, first, done, errors, joined), daemon=True))
        shares.append(done)
        events.append(joined)
        first += share
    waits, capped = [], False
    began = time.monotonic()
    started = end = None
    try:
        while end is None or time.monotonic() < end:
            at = time.monotonic()
            if started is None and at >= began + 1:
                for p in procs:
                    p.start()
                started = at
            took = ask(bystander)
            if took is None:
                capped = True
                break
            waits.append(took)
            if end is None and started is not None:
                if all(e.is_set() for e in events):
                    end = time.monotonic() + AFTER
                elif not all(p.is_alive() for p in procs) or time.monotonic() > started + 300:
                    break
            time.sleep(max(0.0, at + interval - time.monotonic()))
    finally:
        for p in procs:
            if p.is_alive():
                p.terminate()
        for p in procs:
            p.join(10)
    waits.sort()
    print('joined %d of %d' % (sum(1 for done in shares for n in done if n > 0), count))
    print('errors %d' % errors.value)
    print('asks %d' % len(waits))
    print('median %.1f' % (waits[len(waits) // 2] * 1000))
    print('worst %s' % ('>%d' % (CAP * 1000) if capped else '%.1f' % (waits[-1] * 1000)))


if __name__ == '__main__':
    main()
