#!/usr/bin/python3
# The client of bench/departure-memory.
#
#   departure-memory-client.py NUMBER DEPARTURES SLEEPER PID
#
# On display :NUMBER, served by tarvo with process id PID: with SLEEPER 1, first a raw client
# selects SubstructureNotify on the root and never reads (until the end); then 1000 short-lived
# clients come and go as a warm-up, and DEPARTURES more, 12 at a time (each connects, makes a
# window, waits for a round trip and closes). tarvo's resident set (VmRSS, kB) is read before
# those, right after the last one closed and once settled. Each figure but the one right after
# is read 9 s after the last departure: past the 7 s that tarvo keeps a destroyed window's event
# masks for events still in flight (a stream of 4000 windows a second keeps megabytes of them).
# Prints:
#   before <kB>
#   after <kB>
#   settled <kB>
#   seconds <s>      what the departures took
#   peak <kB>        tarvo's VmHWM once settled
# With a sleeper, it then reads everything it was sent and prints what it got:
#   woke <CreateNotify> <DestroyNotify>
import os
import struct
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from rawconn import open_connection, recv_exactly  # noqa: E402

number, departures, sleeping, pid = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == '1', int(sys.argv[4])


def status(field):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1])
    sys.exit('tarvo (pid %d) has no %s' % (pid, field))


def round_trip(s):
    # GetInputFocus; what comes before its reply (errors) is skipped.
    s.sendall(struct.pack('<BxH', 43, 1))
    while True:
        data = recv_exactly(s, 32)
        if data[0] == 1:
            return


def one(_):
    s, base, root = open_connection(number)
    # CreateWindow base|1, 10x10 child of the root, InputOutput, the parent's depth and visual.
    s.sendall(struct.pack('<BBHIIhhHHHHII', 1, 0, 8, base | 1, root, 0, 0, 10, 10, 0, 1, 0, 0))
    round_trip(s)
    s.close()


sleeper = None
if sleeping:
    sleeper, _, root = open_connection(number)
    sleeper.sendall(struct.pack('<BxHIII', 2, 4, root, 1 << 11, 1 << 19))  # SubstructureNotify on the root
    round_trip(sleeper)  # and nothing is read from here on until the end



def come_and_go(count):
    with ThreadPoolExecutor(12) as pool:
        for _ in pool.map(one, range(count)):
            pass


SETTLE = 9
come_and_go(1000)
time.sleep(SETTLE)
before = status('VmRSS')
start = time.monotonic()
come_and_go(departures)
seconds = time.monotonic() - start
after = status('VmRSS')
time.sleep(SETTLE)
print('before', before)
print('after', after)
print('settled', status('VmRSS'))
print('seconds', '%.1f' % seconds)
print('peak', status('VmHWM'))
sys.stdout.flush()

if sleeper:
    sleeper.sendall(struct.pack('<BxH', 43, 1))
    counts = {16: 0, 17: 0}
    pending = b''
    while True:
        chunk = sleeper.recv(1 << 20)
        if not chunk:
            sys.exit('the sleeper was closed')
        pending += chunk
        whole = len(pending) // 32 * 32
        # Only events and the one reply come: 32 bytes each.
        done = any(pending[at] == 1 for at in range(0, whole, 32))
        for at in range(0, whole, 32):
            if pending[at] & 0x7f in counts:
                counts[pending[at] & 0x7f] += 1
        pending = pending[whole:]
        if done:
            break
    print('woke', counts[16] - 1000, counts[17] - 1000)
