#!/usr/bin/python3
# The clock of bench/busy-desktop: how long a new xterm takes to appear.
#
#   desktop-probe.py REAL_DISPLAY CLIENT_DISPLAY ROUNDS X Y
#
# ROUNDS times: starts an xterm on CLIENT_DISPLAY (directly the real one, or a relay or tarvo in
# front of it) whose window, without a border, lies at X,Y of the screen, and watches that place
# on the real display until the xterm's first line shows both its white background and something
# black drawn on it (its cursor, or the text "ready" its shell prints). The place must be mostly
# dark before (the Xvfb's root black, -br; tarvo's root shows the weave of black with a white
# pixel in four). Prints one line per round, the milliseconds from the xterm's exec to that, then ends
# the xterm and waits until its window is gone. A round that shows nothing within 60 s prints
# "-" and ends the rounds.
import os
import signal
import subprocess
import sys
import time

from Xlib import X, display

# The place watched: the first line of the xterm's text (its internal border is 2 pixels, a
# line of the fixed font 13).
WIDTH, HEIGHT = 120, 13
LIMIT = 60


def counts(root, x, y):
    """(white pixels, black pixels) in the watched place."""
    data = root.get_image(x + 2, y + 2, WIDTH, HEIGHT, X.ZPixmap, 0xFFFFFFFF).data
    white = black = 0
    for at in range(0, len(data), 4):
        pixel = data[at:at + 3]
        if pixel == b'\xff\xff\xff':
            white += 1
        elif pixel == b'\0\0\0':
            black += 1
    return white, black


def wait_for(root, x, y, drawn, limit):
    """Polls every 2 ms until the place shows the xterm drawn (or, drawn False, no more white
    than the root's weave shows); the time it did, or None after limit seconds."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        white, black = counts(root, x, y)
        if (white >= WIDTH * HEIGHT // 2 and black >= 10) if drawn else white < WIDTH * HEIGHT * 2 // 5:
            return time.monotonic()
        time.sleep(0.002)
    return None


def main():
    real, client, rounds, x, y = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
    root = display.Display(real).screen().root
    env = dict(os.environ, DISPLAY=client, LC_ALL='C', LANG='C')
    env.pop('XAUTHORITY', None)
    for _ in range(rounds):
        if wait_for(root, x, y, False, 10) is None:
            sys.exit('desktop-probe: the place of the xterm is not free')
        began = time.monotonic()
        xterm = subprocess.Popen(['xterm', '-bw', '0', '-fg', 'black', '-bg', 'white',
                                  '-geometry', '40x4+%d+%d' % (x, y), '-xrm', 'XTerm*cursorBlink: false',
                                  '-e', 'sh', '-c', 'echo ready; exec sleep 600'],
                                 env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        shown = wait_for(root, x, y, True, LIMIT)
        print('%.1f' % ((shown - began) * 1000) if shown else '-', flush=True)
        os.killpg(xterm.pid, signal.SIGTERM)
        xterm.wait()
        if shown is None:
            return
        time.sleep(0.2)


if __name__ == '__main__':
    main()
