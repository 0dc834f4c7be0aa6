"""A seeded run of SHAPE requests on bordered windows, with resizes in between; prints after
each step every window's rectangles of the three kinds, its extents, and how many ShapeNotify
events the step brought. Usage: shape_ops.py DISPLAY SEED STEPS"""
import random
import sys

from Xlib import X, display
from Xlib.ext import shape

KINDS = (shape.SK.Bounding, shape.SK.Clip, shape.SK.Input)


def rects(rng, n):
    out = []
    for _ in range(n):
        out.append((rng.randint(-10, 90), rng.randint(-10, 70), rng.randint(0, 60), rng.randint(0, 50)))
    return out


def sorted_yx(rs):
    return sorted(rs, key=lambda r: (r[1], r[0]))


def main():
    d = display.Display(sys.argv[1])
    rng = random.Random(int(sys.argv[2]))
    steps = int(sys.argv[3])
    major = d.display.get_extension_major(shape.extname)
    root = d.screen().root
    # A top-level across the seam of two 800-pixel heads, with bordered children.
    top = root.create_window(700, 100, 200, 150, 0, X.CopyFromParent, background_pixel=0)
    wins = []
    for k in range(3):
        w = top.create_window(10 + 20 * k, 10 + 15 * k, 80 + 10 * k, 60, 1 + 2 * k, X.CopyFromParent,
                              background_pixel=0xffffff)
        w.map()
        wins.append(w)
    top.map()
    wins[0].shape_select_input(1)
    bitmap = top.create_pixmap(64, 48, 1)
    gc = bitmap.create_gc(foreground=0)
    bitmap.fill_rectangle(gc, 0, 0, 64, 48)
    gc.change(foreground=1)
    for r in [(3, 4, 20, 10), (30, 12, 25, 30), (8, 30, 12, 12)]:
        bitmap.fill_rectangle(gc, *r)
    d.sync()

    def report(step, what):
        d.sync()
        notifies = 0
        while d.pending_events():
            e = d.next_event()
            if e.type == d.extension_event.ShapeNotify:
                notifies += 1
        lines = ["%d %s notify=%d" % (step, what, notifies)]
        for i, w in enumerate(wins):
            ext = w.shape_query_extents()
            lines.append(" w%d ext %d %d %s %s" % (i, ext.bounding_shaped, ext.clip_shaped,
                                                  (ext.bounding_shape_extents_x, ext.bounding_shape_extents_y,
                                                   ext.bounding_shape_extents_width,
                                                   ext.bounding_shape_extents_height),
                                                  (ext.clip_shape_extents_x, ext.clip_shape_extents_y,
                                                   ext.clip_shape_extents_width, ext.clip_shape_extents_height)))
            for kind in KINDS:
                r = w.shape_get_rectangles(kind)
                lines.append("  k%d %s" % (kind, [(x.x, x.y, x.width, x.height) for x in r.rectangles]))
        print("\n".join(lines))

    for step in range(steps):
        w = rng.choice(wins)
        kind = rng.choice(KINDS)
        op = rng.randint(0, 4)
        choice = rng.randint(0, 9)
        if choice <= 3:
            rs = rects(rng, rng.randint(0, 4))
            ordering = rng.choice((X.Unsorted, X.YXSorted))
            if ordering == X.YXSorted:
                rs = sorted_yx(rs)
            w.shape_rectangles(op, kind, ordering, rng.randint(-5, 5), rng.randint(-5, 5), rs)
            what = "rectangles op=%d kind=%d" % (op, kind)
        elif choice == 4:
            src = bitmap if rng.randint(0, 3) else X.NONE
            w.shape_mask(op, kind, rng.randint(-5, 5), rng.randint(-5, 5), src)
            what = "mask op=%d kind=%d src=%s" % (op, kind, "bitmap" if src else "None")
        elif choice == 5:
            src = rng.choice(wins)
            sk = rng.choice(KINDS)
            shape.Combine(display=d.display, opcode=major, operation=op, destination_kind=kind, source_kind=sk,
                          destination_window=w, x_offset=rng.randint(-5, 5), y_offset=rng.randint(-5, 5),
                          source_window=src)
            what = "combine op=%d kind=%d from=%d" % (op, kind, sk)
        elif choice == 6:
            w.shape_offset(kind, rng.randint(-6, 6), rng.randint(-6, 6))
            what = "offset kind=%d" % kind
        else:
            w.configure(width=rng.randint(20, 120), height=rng.randint(20, 90), border_width=rng.randint(0, 4))
            what = "resize"
        report(step, what)


main()
