#!/usr/bin/python3
# The client of bench/departure-stall, on the display in DISPLAY.
#
#   departure-client.py CLIENTS SECONDS SESSIONS
#
# A bystander connects; CLIENTS connections each select events on the root and then create and
# destroy windows (each with an event mask) in turn for SECONDS; then all of them leave at once
# (their sockets closed one after the other, nothing sent) while the bystander keeps doing
# GetInputFocus round trips for 3 s. Then SESSIONS short sessions (connect, a window, a round
# trip, close) run one after the other. Prints:
#   before <ms>      the bystander's worst round trip while the crowd works
#   leave <ms>       its worst round trip in the 3 s after the crowd left
#   sessions <n/s>   the rate of the sessions afterwards
#   windows <n>      windows the crowd created
#
#   departure-client.py mass IDLE BUSY
#
# Many leaving beside many at work: BUSY connections (another process) create and destroy
# windows (each with an event mask) in turn without pause; IDLE connections each select
# PropertyChange on the root and map a window, then do nothing. A bystander
# does GetInputFocus round trips for 2 s, then all the idle ones leave at once (their sockets
# closed one after the other, nothing sent) while it goes on for 3 s more. Prints:
#   massbefore <ms>  the bystander's worst round trip beside the busy ones alone
#   mass <ms>        its worst round trip in the 3 s after the idle ones left
import os
import signal
import subprocess
import sys
import time

from Xlib import X, display, error

errors = 0


def on_error(err, request):
    global errors
    errors += 1


def round_trip(d):
    start = time.monotonic()
    d.get_input_focus()
    return (time.monotonic() - start) * 1000


def busy(count):
    # The busy crowd: at work until the parent ends it.
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    crowd = []
    for _ in range(count):
        d = display.Display()
        d.set_error_handler(on_error)
        crowd.append(d)
    mask = X.ExposureMask | X.StructureNotifyMask | X.KeyPressMask
    for d in crowd:
        d.sync()
    print('ready', flush=True)
    n = 0
    while True:
        for d in crowd:
            root = d.screen().root
            w = root.create_window(n % 400, 0, 20, 10, 0, X.CopyFromParent, event_mask=mask)
            w.destroy()
            n += 1
            d.flush()
        for d in crowd[::20]:
            d.sync()
        for d in crowd:
            while d.pending_events():
                d.next_event()


def mass(idle, busy_count):
    bystander = display.Display()
    worker = subprocess.Popen([sys.executable, __file__, 'busy', str(busy_count)], stdout=subprocess.PIPE, text=True)
    try:
        if worker.stdout.readline().strip() != 'ready':
            sys.exit('the busy clients did not start')
        crowd = []
        for _ in range(idle):
            d = display.Display()
            d.set_error_handler(on_error)
            root = d.screen().root
            root.change_attributes(event_mask=X.PropertyChangeMask)
            w = root.create_window(0, 0, 10, 10, 0, X.CopyFromParent, event_mask=X.StructureNotifyMask)
            w.map()
            crowd.append(d)
        for d in crowd:
            d.sync()
        worst_before = 0.0
        end = time.monotonic() + 2
        while time.monotonic() < end:
            worst_before = max(worst_before, round_trip(bystander))
        for d in crowd:
            d.close()
        worst = 0.0
        end = time.monotonic() + 3
        while time.monotonic() < end:
            worst = max(worst, round_trip(bystander))
    finally:
        worker.terminate()
        worker.wait()
    bystander.close()
    print('massbefore %.1f' % worst_before)
    print('mass %.1f' % worst)


def main():
    if sys.argv[1] == 'busy':
        return busy(int(sys.argv[2]))
    if sys.argv[1] == 'mass':
        return mass(int(sys.argv[2]), int(sys.argv[3]))
    clients, seconds, sessions = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
    bystander = display.Display()
    crowd = []
    for _ in range(clients):
        d = display.Display()
        d.set_error_handler(on_error)
        d.screen().root.change_attributes(event_mask=X.PropertyChangeMask)
        crowd.append(d)
    mask = X.ExposureMask | X.StructureNotifyMask | X.KeyPressMask
    windows = 0
    worst_before = 0.0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for d in crowd:
            root = d.screen().root
            for _ in range(2):
                w = root.create_window(windows % 400, 0, 20, 10, 0, X.CopyFromParent, event_mask=mask)
                w.destroy()
                windows += 1
            d.flush()
        for d in crowd[::50]:
            d.sync()
        worst_before = max(worst_before, round_trip(bystander))
    for d in crowd:
        d.sync()
    # All leave at once.
    for d in crowd:
        d.close()
    worst_leave = 0.0
    end = time.monotonic() + 3
    while time.monotonic() < end:
        worst_leave = max(worst_leave, round_trip(bystander))
    start = time.monotonic()
    for _ in range(sessions):
        d = display.Display()
        d.screen().root.create_window(0, 0, 10, 10, 0, X.CopyFromParent, event_mask=mask)
        d.get_input_focus()
        d.close()
    rate = sessions / (time.monotonic() - start)
    bystander.close()
    print('before %.1f' % worst_before)
    print('leave %.1f' % worst_leave)
    print('sessions %.0f' % rate)
    print('windows %d' % windows)


if __name__ == '__main__':
    main()
