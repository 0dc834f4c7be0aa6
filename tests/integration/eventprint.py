# Maps, configures and destroys windows of its own and prints the events it receives, with
# window ids as names and without times, so that two runs can be compared line by line.
import sys
import time

from Xlib import X, display

d = display.Display(sys.argv[1])
screen = d.screen()
names = {screen.root.id: "root"}
masks = X.ExposureMask | X.StructureNotifyMask | X.SubstructureNotifyMask | X.PropertyChangeMask


def drain(quiet=0.4):
    d.get_input_focus()  # a round trip (GetInputFocus is served everywhere)
    last = time.time()
    while time.time() - last < quiet:
        if d.pending_events():
            e = d.next_event()
            last = time.time()
            fields = []
            for field in ("window", "event", "parent", "above_sibling"):
                if hasattr(e, field):
                    value = getattr(e, field)
                    value = value.id if hasattr(value, "id") else value
                    fields.append("%s=%s" % (field, names.get(value, value)))
            for field in ("x", "y", "width", "height", "border_width", "count", "override", "state"):
                if hasattr(e, field):
                    fields.append("%s=%s" % (field, getattr(e, field)))
            print(type(e).__name__, " ".join(fields), flush=True)
        else:
            time.sleep(0.02)


top = screen.root.create_window(40, 30, 200, 120, 0, screen.root_depth, X.InputOutput, X.CopyFromParent,
                                background_pixel=screen.white_pixel, event_mask=masks)
names[top.id] = "top"
top.map()
drain()
top.configure(width=260, height=150)
drain()
child = top.create_window(10, 10, 50, 40, 1, screen.root_depth, X.InputOutput, X.CopyFromParent,
                          background_pixel=screen.black_pixel, event_mask=masks)
names[child.id] = "child"
child.map()
drain()
child.configure(x=30, y=20)
drain()
child.unmap()
drain()
child.destroy()
top.destroy()
drain()
