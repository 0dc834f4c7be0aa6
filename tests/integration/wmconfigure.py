# A window manager and a client in one process: the client maps windows and asks to move and
# resize them; the window manager prints each MapRequest and ConfigureRequest it receives (window
# ids as names) and grants them; the client prints where its windows ended up.
# Usage: wmconfigure.py <display>
import sys
import time

from Xlib import X, Xatom, display

wm = display.Display(sys.argv[1])
app = display.Display(sys.argv[1])
wm_root = wm.screen().root
wm_root.change_attributes(event_mask=X.SubstructureRedirectMask)
wm.sync()
screen = app.screen()
names = {}


def window(name, x, y, border, wm_class=None):
    w = screen.root.create_window(x, y, 200, 100, border, screen.root_depth, X.InputOutput, X.CopyFromParent,
                                  background_pixel=screen.white_pixel)
    if wm_class:
        w.change_property(Xatom.WM_CLASS, Xatom.STRING, 8, wm_class)
    names[w.id] = name
    return w


def serve(quiet=0.3):
    """The window manager's side: prints and grants the requests until none came for a while."""
    app.sync()
    last = time.time()
    while time.time() - last < quiet:
        if not wm.pending_events():
            time.sleep(0.02)
            continue
        e = wm.next_event()
        last = time.time()
        name = names.get(e.window.id, "other")
        if e.type == X.MapRequest:
            print("MapRequest", name, flush=True)
            e.window.map()
        elif e.type == X.ConfigureRequest:
            print("ConfigureRequest %s x=%d y=%d w=%d h=%d border=%d mask=0x%x" %
                  (name, e.x, e.y, e.width, e.height, e.border_width, e.value_mask), flush=True)
            values = {}
            for bit, field in ((X.CWX, "x"), (X.CWY, "y"), (X.CWWidth, "width"), (X.CWHeight, "height"),
                               (X.CWBorderWidth, "border_width")):
                if e.value_mask & bit:
                    values[field] = getattr(e, field)
            e.window.configure(**values)
        wm.sync()


def where(w):
    g = w.get_geometry()
    print("geometry %s %d,%d %dx%d" % (names[w.id], g.x, g.y, g.width, g.height), flush=True)


plain = window("plain", 100, 50, 0)
bordered = window("bordered", 400, 200, 5)
exempt = window("exempt", 700, 300, 0, b"KeepWindowsVisible\0test\0")
for w in (plain, bordered, exempt):
    w.map()
serve()
for w, values in ((plain, dict(x=300, y=700)),          # into the part below the screens
                  (bordered, dict(x=1500, y=650)),      # hidden at the bottom right, with its border
                  (plain, dict(y=800)),                 # y alone
                  (bordered, dict(width=220, height=90)),  # no position: left as asked
                  (plain, dict(x=1200, y=100)),         # on a shown part
                  (exempt, dict(x=300, y=700))):        # WM_CLASS says never move
    w.configure(**values)
    serve()
    where(w)
