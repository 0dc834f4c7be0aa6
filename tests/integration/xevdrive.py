# Runs xev on one display while xdotool moves, clicks and types on the real display, and prints
# xev's output without serials, times and ids (window ids as outer, inner, root, other; atoms by
# their names), so that a run direct and one through the proxy can be compared line by line.
# Usage: xevdrive.py <display for xev> <real display> [--origin X] [--screen N --offset DX]
# The xev window's left edge is at X (10) on the shown root; the pointer positions are given
# from there. With --screen, xdotool moves the pointer on that screen of the real display, whose
# left edge is at DX on the shown root (a screen joined to the right of another).
import os
import re
import select
import subprocess
import sys
import time

shown, real = sys.argv[1], sys.argv[2]
options = dict(zip(sys.argv[3::2], sys.argv[4::2]))
origin = int(options.get("--origin", "10"))
screen_words = ["--screen", options["--screen"]] if "--screen" in options else []
offset = int(options.get("--offset", "0"))
env = {"PATH": "/usr/bin:/bin"}
# xev runs as a core client on both sides: the proxy offers no keyboard extension, and a core
# client receives MappingNotify where one using the extension gets its own event, which Xlib
# handles unseen. (xdotool needs the extension.)
xev_env = dict(env, XKB_DISABLE="1")


def xdotool(*words):
    subprocess.run(["xdotool"] + list(words), env=dict(env, DISPLAY=real), check=True, timeout=10)


def pointer_to(x, y):
    """The xdotool words that move the pointer to (x, y) from the xev window's left edge and the
    root's top."""
    return ["mousemove"] + screen_words + [str(origin + x - offset), str(y)]


xdotool(*pointer_to(-5, 5))
xev = subprocess.Popen(["xev", "-display", shown, "-geometry", "200x200+%d+10" % origin], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, env=xev_env)
out = b""


def read_until(deadline, quiet, want=None):
    """Collects xev's output until `want` has been seen (when given) and nothing more came for
    `quiet` seconds, or until the deadline (then exits with what came so far)."""
    global out
    last = time.time()
    while True:
        now = time.time()
        if now > deadline:
            sys.stdout.write(normalize(out.decode(errors="replace")))
            print("TIMEOUT waiting for %r" % want, flush=True)
            xev.kill()
            sys.exit(3)
        if (want is None or want in out) and now - last >= quiet:
            return
        ready, _, _ = select.select([xev.stdout], [], [], 0.05)
        if ready:
            chunk = os.read(xev.stdout.fileno(), 65536)
            if not chunk:
                if want is None or want in out:
                    return
                time.sleep(0.05)  # xev has ended: wait out the deadline
                continue
            out += chunk
            last = time.time()


def normalize(text):
    names = {"0x0": "0x0"}
    m = re.search(r"Outer window is (0x[0-9a-f]+), inner window is (0x[0-9a-f]+)", text)
    if m:
        names[m.group(1)] = "outer"
        names[m.group(2)] = "inner"
    for root in re.findall(r"root (0x[0-9a-f]+),", text):
        names.setdefault(root, "root")
    text = re.sub(r"Outer window is \S+, inner window is \S+", "Outer window is outer, inner window is inner", text)
    text = re.sub(r"serial \d+, ", "", text)
    text = re.sub(r"time \d+, ", "", text)
    text = re.sub(r"atom 0x[0-9a-f]+ \(", "atom (", text)
    text = re.sub(r"keys:  \S+ *", "keys:  -  ", text)  # Xlib leaves the first byte of the vector unset
    return re.sub(r"\b(window|root|subw|parent|event|above) (0x[0-9a-f]+)\b",
                  lambda v: v.group(1) + " " + names.get(v.group(2), "id"), text)


start = time.time()
read_until(start + 20, 0.5, b"count 0")  # mapped and exposed
for action in (pointer_to(50, 70), ("click", "1"), ("click", "3"), ("key", "a"), ("key", "shift+b"),
               pointer_to(10, 150), pointer_to(140, 120), pointer_to(390, 300)):
    xdotool(*action)
    read_until(time.time() + 10, 0.4)
xev.terminate()
try:
    xev.wait(5)
except subprocess.TimeoutExpired:
    xev.kill()
rest = xev.stdout.read()
sys.stdout.write(normalize((out + rest).decode(errors="replace")))
