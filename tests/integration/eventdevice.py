# Maps a window, has xdotool move the pointer into it on the real display, click buttons 1, 3
# and 8, and prints the pointer events received (no ids, no times).
import subprocess
import sys
import time

from Xlib import X, display

d = display.Display(sys.argv[1])
real = sys.argv[2]
screen = d.screen()


def xdotool(*words):
    subprocess.run(["xdotool"] + list(words), env={"DISPLAY": real, "PATH": "/usr/bin:/bin"}, check=True)


def drain(quiet=0.4):
    d.get_input_focus()
    last = time.time()
    while time.time() - last < quiet:
        if d.pending_events():
            e = d.next_event()
            last = time.time()
            if e.type in (X.Expose, X.MapNotify):
                continue
            fields = ["detail=%s" % e.detail]
            for field in ("root_x", "root_y", "event_x", "event_y", "state", "same_screen", "mode", "flags"):
                if hasattr(e, field):
                    fields.append("%s=%s" % (field, getattr(e, field)))
            print(type(e).__name__, " ".join(fields), flush=True)
        else:
            time.sleep(0.02)


xdotool("mousemove", "5", "5")
masks = (X.ExposureMask | X.StructureNotifyMask | X.ButtonPressMask | X.ButtonReleaseMask | X.KeyPressMask |
         X.KeyReleaseMask | X.EnterWindowMask | X.LeaveWindowMask | X.PointerMotionMask)
w = screen.root.create_window(50, 40, 200, 150, 0, screen.root_depth, X.InputOutput, X.CopyFromParent,
                              background_pixel=screen.white_pixel, event_mask=masks)
w.map()
drain()
xdotool("mousemove", "120", "100")
drain()
for button in ("1", "3", "8"):
    xdotool("click", button)
    drain()
xdotool("mousemove", "400", "300")
drain()
