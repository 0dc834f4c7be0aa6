#!/usr/bin/python3
# The client of bench/memory-growth: loads of short-lived resources on the display in DISPLAY.
#
#   memory-client.py windows N    one connection creates and destroys N windows (each with an
#                                 event mask, the odd ones with a child, every tenth mapped)
#   memory-client.py sessions N   N connections one after the other, each creating windows,
#                                 pixmaps, GCs and properties and putting and getting images; a
#                                 window, a pixmap and a GC are freed by request, the rest by
#                                 its close
#
# X errors are counted, not fatal (requests the proxy does not serve yet answer BadRequest); the
# last line on stdout reads "done <objects> errors <count>".
import sys

from Xlib import X, Xatom, display, error

errors = 0


def on_error(err, request):
    global errors
    errors += 1


def tolerate(call):
    """Runs a request that waits for its reply; an X error counts instead of ending the run."""
    global errors
    try:
        return call()
    except error.XError:
        errors += 1
        return None


def windows(count):
    d = display.Display()
    d.set_error_handler(on_error)
    screen = d.screen()
    root = screen.root
    mask = X.ExposureMask | X.StructureNotifyMask | X.ButtonPressMask | X.PointerMotionMask
    for i in range(count):
        w = root.create_window(i % 400, i % 300, 20 + i % 30, 10 + i % 20, i % 3, X.CopyFromParent,
                               event_mask=mask, background_pixel=screen.white_pixel)
        if i % 2:
            w.create_window(1, 1, 5, 5, 0, X.CopyFromParent, event_mask=X.ExposureMask)
        if i % 10 == 0:
            w.map_sub_windows()
            w.map()
            w.configure(x=(i * 7) % 600, width=33)
        w.destroy()
        if i % 100 == 99:
            d.sync()
            while d.pending_events():
                d.next_event()
    d.sync()
    d.close()


def session(number):
    d = display.Display()
    d.set_error_handler(on_error)
    screen = d.screen()
    root = screen.root
    depth = screen.root_depth
    made = []
    for i in range(4):
        w = root.create_window(10 * i, 10 * i, 40, 30, 1, X.CopyFromParent,
                               event_mask=X.ExposureMask | X.StructureNotifyMask,
                               background_pixel=screen.black_pixel)
        w.create_window(2, 2, 10, 10, 0, X.CopyFromParent)
        if i == 0:
            w.map_sub_windows()
            w.map()
        w.change_property(Xatom.WM_NAME, Xatom.STRING, 8, b"memory-bench %d" % number)
        made.append(w)
    pixmaps = [root.create_pixmap(16 + 8 * i, 16, depth) for i in range(3)]
    gcs = [p.create_gc(foreground=screen.white_pixel, background=screen.black_pixel) for p in pixmaps]
    bytes_per_pixel = 4 if depth > 16 else 2 if depth > 8 else 1
    data = bytes((number + k) & 0xff for k in range(16 * 16 * bytes_per_pixel))
    for p, gc in zip(pixmaps, gcs):
        p.fill_rectangle(gc, 0, 0, 16, 16)
        p.put_image(gc, 0, 0, 16, 16, X.ZPixmap, depth, 0, data)
        tolerate(lambda: p.get_image(0, 0, 16, 16, X.ZPixmap, 0xffffffff))
    made[0].copy_area(gcs[0], pixmaps[0], 0, 0, 16, 16, 0, 0)
    tolerate(lambda: made[0].get_geometry())
    # A window, a pixmap and a GC go by request, the rest with the connection.
    made[1].destroy()
    pixmaps[1].free()
    gcs[1].free()
    d.sync()
    d.close()


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("windows", "sessions"):
        print("usage: memory-client.py windows|sessions N", file=sys.stderr)
        return 2
    count = int(sys.argv[2])
    if sys.argv[1] == "windows":
        windows(count)
    else:
        for number in range(count):
            session(number)
    print("done %d errors %d" % (count, errors))
    return 0


if __name__ == "__main__":
    sys.exit(main())
