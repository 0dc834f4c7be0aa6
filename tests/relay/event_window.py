#!/usr/bin/python3
"""A window that reports the input it receives: event_window.py DISPLAY OUTFILE.

Maps an override-redirect window over the whole of screen 0, gives it the input focus, writes
"ready" to OUTFILE and then one line per event: "KeyPress CODE", "KeyRelease CODE",
"MotionNotify X Y" (root coordinates),
"ButtonPress N X Y STATE", "ButtonRelease N X Y STATE" (root coordinates, the state before the
event in hexadecimal). Ends when the connection closes or after two minutes.
"""

import sys
import time

import Xlib.X as X
import Xlib.display


def main():
    display = Xlib.display.Display(sys.argv[1])
    out = open(sys.argv[2], "a")
    screen = display.screen(0)
    window = screen.root.create_window(
        0, 0, screen.width_in_pixels, screen.height_in_pixels, 0, screen.root_depth,
        X.InputOutput, X.CopyFromParent, override_redirect=True,
        event_mask=X.KeyPressMask | X.KeyReleaseMask | X.PointerMotionMask | X.StructureNotifyMask
        | X.ButtonPressMask | X.ButtonReleaseMask)
    window.map()
    while display.next_event().type != X.MapNotify:
        pass
    window.set_input_focus(X.RevertToParent, X.CurrentTime)
    display.sync()

    def write(text):
        out.write(text + "\n")
        out.flush()

    write("ready")
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        event = display.next_event()
        if event.type in (X.KeyPress, X.KeyRelease):
            write("%s %d" % ("KeyPress" if event.type == X.KeyPress else "KeyRelease",
                             event.detail))
        elif event.type in (X.ButtonPress, X.ButtonRelease):
            write("%s %d %d %d %x" % ("ButtonPress" if event.type == X.ButtonPress
                                      else "ButtonRelease",
                                      event.detail, event.root_x, event.root_y, event.state))
        elif event.type == X.MotionNotify:
            write("MotionNotify %d %d" % (event.root_x, event.root_y))


if __name__ == "__main__":
    try:
        main()
    except Exception:  # the server went away: the test is over
        pass
