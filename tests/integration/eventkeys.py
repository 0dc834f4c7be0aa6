# Maps a window with a child that selects no key events, has xdotool on the real display move the
# pointer over the child and type, then over the window itself and type again, and prints the key
# events received (no ids, no times): the child's key events reach the window with the child named.
# Usage: eventkeys.py <display> <real display> [--origin X] [--screen N --offset DX]
# The window's left edge is at X (50) on the root; with --screen, xdotool moves the pointer on
# that screen of the real display, whose left edge is at DX on the client's root.
import subprocess
import sys
import time

from Xlib import X, display

d = display.Display(sys.argv[1])
real = sys.argv[2]
options = dict(zip(sys.argv[3::2], sys.argv[4::2]))
origin = int(options.get("--origin", "50"))
screen_words = ["--screen", options["--screen"]] if "--screen" in options else []
offset = int(options.get("--offset", "0"))
screen = d.screen()
names = {screen.root.id: "root", 0: "none"}


def xdotool(*words):
    subprocess.run(["xdotool"] + list(words), env={"DISPLAY": real, "PATH": "/usr/bin:/bin"}, check=True,
                   timeout=10)


def pointer_to(x, y):
    """Moves the pointer to (x, y) from the window's left edge and the root's top."""
    xdotool("mousemove", *screen_words, str(origin + x - offset), str(y))


def drain(quiet=0.4, deadline=10):
    d.get_input_focus()
    start = last = time.time()
    while time.time() - last < quiet and time.time() - start < deadline:
        if d.pending_events():
            e = d.next_event()
            last = time.time()
            if e.type not in (X.KeyPress, X.KeyRelease):
                continue
            fields = ["detail=%s" % e.detail]
            for field in ("window", "root", "child"):
                value = getattr(e, field)
                value = value.id if hasattr(value, "id") else value
                fields.append("%s=%s" % (field, names.get(value, value)))
            for field in ("root_x", "root_y", "event_x", "event_y", "state", "same_screen"):
                fields.append("%s=%s" % (field, getattr(e, field)))
            print(type(e).__name__, " ".join(fields), flush=True)
        else:
            time.sleep(0.02)


pointer_to(-45, 5)
top = screen.root.create_window(origin, 40, 200, 150, 0, screen.root_depth, X.InputOutput, X.CopyFromParent,
                                background_pixel=screen.white_pixel,
                                event_mask=X.KeyPressMask | X.KeyReleaseMask | X.StructureNotifyMask)
names[top.id] = "top"
child = top.create_window(20, 30, 60, 40, 1, screen.root_depth, X.InputOutput, X.CopyFromParent,
                          background_pixel=screen.black_pixel, event_mask=X.StructureNotifyMask)
names[child.id] = "child"
child.map()
top.map()
drain()
print("pointer over the child", flush=True)
pointer_to(40, 90)
drain()
for keys in ("a", "shift+b", "ctrl+Return", "Tab"):
    xdotool("key", keys)
    drain()
print("pointer over the window", flush=True)
pointer_to(150, 150)
drain()
for keys in ("z", "shift+ctrl+x"):
    xdotool("key", keys)
    drain()
print("button held", flush=True)
xdotool("mousedown", "1")
xdotool("key", "q")
xdotool("mouseup", "1")
drain()
