# Sets the input focus to PointerRoot, None and windows, with the pointer over the root and over
# a window (moved by WarpPointer on the same display), and prints the FocusIn and FocusOut events
# of the root and of the windows (ids as names), so that a run direct and one through the proxy
# can be compared line by line.
# Usage: focusprint.py <display>
import sys
import time

from Xlib import X, display

d = display.Display(sys.argv[1])
screen = d.screen()
root = screen.root
names = {root.id: "root"}
details = ["Ancestor", "Virtual", "Inferior", "Nonlinear", "NonlinearVirtual", "Pointer", "PointerRoot", "None"]
modes = ["Normal", "Grab", "Ungrab", "WhileGrabbed"]


def pointer_to(x, y):
    root.warp_pointer(x, y)
    d.sync()


def drain(what, quiet=0.2):
    print("--", what, flush=True)
    d.get_input_focus()  # a round trip: the events of what came before are in
    last = time.time()
    while time.time() - last < quiet:
        if d.pending_events():
            e = d.next_event()
            last = time.time()
            if e.type in (X.FocusIn, X.FocusOut):
                print("%s %s detail=%s mode=%s" % ("FocusIn" if e.type == X.FocusIn else "FocusOut",
                                                  names.get(e.window.id, "other"), details[e.detail],
                                                  modes[e.mode]), flush=True)
        else:
            time.sleep(0.02)


def focus(window, revert, what):
    d.set_input_focus(window, revert, X.CurrentTime)
    drain(what)


# The window lies 380 pixels left of the root's right edge (on the second of two heads).
left = screen.width_in_pixels - 380
top = root.create_window(left, 100, 300, 200, 0, screen.root_depth, X.InputOutput, X.CopyFromParent,
                         background_pixel=screen.white_pixel, override_redirect=1,
                         event_mask=X.FocusChangeMask | X.ExposureMask)
inner = top.create_window(50, 50, 100, 80, 0, screen.root_depth, X.InputOutput, X.CopyFromParent,
                          background_pixel=screen.black_pixel, event_mask=X.FocusChangeMask)
names[top.id], names[inner.id] = "top", "inner"
top.map()
inner.map()
root.change_attributes(event_mask=X.FocusChangeMask)
pointer_to(60, 400)
drain("mapped, pointer over the root")
focus(top, X.RevertToNone, "top from PointerRoot")
focus(X.PointerRoot, X.RevertToPointerRoot, "PointerRoot from top")
pointer_to(left + 80, 180)
drain("pointer into inner")
focus(X.NONE, X.RevertToNone, "None from PointerRoot, pointer in inner")
focus(X.PointerRoot, X.RevertToPointerRoot, "PointerRoot from None, pointer in inner")
focus(inner, X.RevertToParent, "inner from PointerRoot")
focus(X.NONE, X.RevertToNone, "None from inner")
pointer_to(60, 400)
drain("pointer back over the root")
focus(X.PointerRoot, X.RevertToPointerRoot, "PointerRoot from None, pointer over the root")
focus(inner, X.RevertToNone, "inner, pointer over the root")
focus(X.NONE, X.RevertToNone, "None from inner, pointer over the root")
