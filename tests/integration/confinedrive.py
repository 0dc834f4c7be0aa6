# Pointer grabs confined to a window near x 640 (the border of two 640x480 heads, or the middle
# of one 1280x480 screen), moved by WarpPointer and XTEST, with the window reshaped and moved under
# the grab; prints where the pointer is after each step.
# confinedrive.py DISPLAY SCENE...; scenes: grabshape, shapegrab, far, regrab, button,
# reshape, move, xtest.
import sys

from Xlib import X, display
from Xlib.ext import shape, xtest

d = display.Display(sys.argv[1])
root = d.screen().root


def where(label):
    p = root.query_pointer()
    print("%s %d,%d" % (label, p.root_x, p.root_y), flush=True)


def window(x, y, width, height):
    w = root.create_window(x, y, width, height, 0, X.CopyFromParent, background_pixel=d.screen().black_pixel)
    w.map()
    d.sync()
    return w


def grab(w):
    status = w.grab_pointer(False, X.PointerMotionMask, X.GrabModeAsync, X.GrabModeAsync, w, 0, X.CurrentTime)
    print("grab %d" % status, flush=True)


def shaped(w, rectangle):
    w.shape_rectangles(shape.SO.Set, shape.SK.Bounding, 0, 0, 0, [rectangle])


def warp(x, y):
    root.warp_pointer(x, y)
    d.sync()
    where("warp %d,%d:" % (x, y))


def end(w):
    d.ungrab_pointer(X.CurrentTime)
    w.destroy()
    d.sync()


def scene(name):
    print("-- " + name, flush=True)
    root.warp_pointer(560, 120)
    d.sync()
    if name in ("grabshape", "shapegrab"):
        # A window across the border whose shape reaches both heads, the grab and the shape in
        # either order, then a warp across and beyond it.
        w = window(540, 100, 200, 100)
        if name == "grabshape":
            grab(w)
            shaped(w, (0, 0, 150, 80))
        else:
            shaped(w, (0, 0, 150, 80))
            grab(w)
        d.sync()
        where("grabbed")
        warp(1000, 150)
        warp(100, 300)
        warp(660, 130)
    elif name == "far":
        # A window wholly on the second head, the pointer on the first.
        w = window(800, 200, 100, 80)
        grab(w)
        d.sync()
        where("grabbed")
        warp(50, 50)
        warp(1200, 400)
    elif name == "regrab":
        # Grabbed again, confined to a window on the other head than the first one's.
        w = window(100, 100, 100, 80)
        other = window(900, 200, 100, 80)
        grab(w)
        d.sync()
        where("grabbed")
        grab(other)
        d.sync()
        where("grabbed again")
        warp(0, 0)
        other.destroy()
    elif name == "button":
        # A passive grab of button 1 confined to the shaped window, activated by a press in it,
        # then motion across and beyond it.
        w = window(540, 100, 200, 100)
        shaped(w, (0, 0, 150, 80))
        w.grab_button(1, X.AnyModifier, False, X.ButtonPressMask | X.PointerMotionMask, X.GrabModeAsync,
                      X.GrabModeAsync, w, 0)
        d.sync()
        xtest.fake_input(d, X.ButtonPress, 1)
        d.sync()
        for x, y in ((1000, 150), (20, 20)):
            xtest.fake_input(d, X.MotionNotify, 0, root=root, x=x, y=y)
            d.sync()
            where("motion %d,%d:" % (x, y))
        xtest.fake_input(d, X.ButtonRelease, 1)
        d.sync()
    elif name == "reshape":
        # Reshaped under the grab so that it no longer reaches the pointer's head, then back.
        w = window(540, 100, 200, 100)
        grab(w)
        d.sync()
        shaped(w, (120, 0, 80, 100))
        d.sync()
        where("reshaped")
        warp(0, 0)
        shaped(w, (0, 0, 60, 100))
        d.sync()
        where("reshaped back")
        warp(1279, 479)
    elif name == "move":
        # Moved under the grab wholly onto the second head, then resized back across the border.
        w = window(540, 100, 200, 100)
        grab(w)
        d.sync()
        w.configure(x=900)
        d.sync()
        where("moved")
        warp(100, 100)
        w.configure(x=500, width=120)
        d.sync()
        warp(1000, 120)
    elif name == "xtest":
        # XTEST motion instead of warps, across a shaped window.
        w = window(540, 100, 200, 100)
        shaped(w, (0, 0, 150, 80))
        grab(w)
        for x, y in ((1000, 150), (20, 20), (700, 470)):
            xtest.fake_input(d, X.MotionNotify, 0, root=root, x=x, y=y)
            d.sync()
            where("motion %d,%d:" % (x, y))
    end(w)


for name in sys.argv[2:]:
    scene(name)
print("== end", flush=True)
