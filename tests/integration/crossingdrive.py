# Moves the pointer with XTEST over windows on both sides of x 640 (the border of two 640x480
# heads, or the middle of one 1280x480 screen) and prints the crossing, motion, button and focus
# events received, with window ids as names and without times.
# crossingdrive.py DISPLAY SCENE...; scenes: children, windows, root, quick, focus, grab, ownergrab,
# keyboard, implicit.
import sys
import time

from Xlib import X, display
from Xlib.ext import xtest

d = display.Display(sys.argv[1])
screen = d.screen()
root = screen.root
names = {root.id: "root", 0: "none"}
crossing = X.EnterWindowMask | X.LeaveWindowMask
masks = crossing | X.PointerMotionMask | X.ButtonPressMask | X.ButtonReleaseMask | X.FocusChangeMask
root.change_attributes(event_mask=crossing | X.FocusChangeMask)
kinds = {X.EnterNotify: "Enter", X.LeaveNotify: "Leave", X.MotionNotify: "Motion", X.ButtonPress: "Press",
         X.ButtonRelease: "Release", X.FocusIn: "FocusIn", X.FocusOut: "FocusOut"}


def name(value):
    value = value.id if hasattr(value, "id") else value
    return names.get(value, hex(value))


def window(parent, x, y, width, height, label, mask=masks):
    w = parent.create_window(x, y, width, height, 0, screen.root_depth, X.InputOutput, X.CopyFromParent,
                             background_pixel=screen.white_pixel, event_mask=mask)
    names[w.id] = label
    w.map()
    return w


def drain(quiet=0.15):
    d.sync()
    last = time.time()
    while time.time() - last < quiet:
        if not d.pending_events():
            time.sleep(0.02)
            continue
        e = d.next_event()
        last = time.time()
        kind = kinds.get(e.type)
        if not kind:
            continue
        if e.type in (X.FocusIn, X.FocusOut):
            print(kind, name(e.window), "detail=%d mode=%d" % (e.detail, e.mode), flush=True)
            continue
        words = [kind, name(e.window), "child=" + name(e.child), "detail=%d" % e.detail]
        if e.type in (X.EnterNotify, X.LeaveNotify):
            words.append("mode=%d flags=%d" % (e.mode, e.flags))
        else:
            words.append("same=%d" % e.same_screen)
        words.append("root=%d,%d at=%d,%d state=%d" % (e.root_x, e.root_y, e.event_x, e.event_y, e.state))
        print(" ".join(words), flush=True)


def move(x, y, label):
    print("-- " + label, flush=True)
    xtest.fake_input(d, X.MotionNotify, 0, root=root, x=x, y=y)
    drain()


def button(press, label):
    print("-- " + label, flush=True)
    xtest.fake_input(d, X.ButtonPress if press else X.ButtonRelease, 1)
    drain()


move(100, 450, "start on the root")
parent = window(root, 440, 20, 400, 200, "parent")
window(parent, 10, 10, 180, 170, "left")
window(parent, 210, 10, 180, 170, "right")
window(root, 300, 300, 300, 100, "west")
window(root, 700, 300, 300, 100, "east")
drain()
# The scenes that only move the pointer: positions and what the move does.
moves = {
    "children": ((540, 100, "into left"), (740, 100, "left to right"), (540, 120, "right to left"),
                 (640, 120, "into parent on the border"), (760, 130, "parent to right")),
    "windows": ((400, 350, "into west"), (800, 350, "west to east"), (420, 360, "east to west"),
                (645, 350, "west to the root"), (540, 100, "root into left"), (800, 360, "left to east"),
                (740, 100, "east to right")),
    "root": ((540, 100, "into left"), (1000, 100, "left onto the root"), (100, 100, "root to root"),
             (740, 100, "root into right"), (100, 450, "right onto the root")),
}
for scene in sys.argv[2:]:
    print("== " + scene, flush=True)
    if scene in moves:
        for x, y, label in moves[scene]:
            move(x, y, label)
    elif scene in ("grab", "ownergrab"):
        move(540, 100, "into left")
        print("-- grab", flush=True)
        status = parent.grab_pointer(scene == "ownergrab", crossing | X.PointerMotionMask, X.GrabModeAsync,
                                     X.GrabModeAsync, X.NONE, X.NONE, X.CurrentTime)
        print("status", status, flush=True)
        drain()
        move(740, 100, "left to right")
        move(1000, 100, "right onto the root")
        move(540, 120, "root into left")
        move(1000, 120, "left onto the root")
        print("-- ungrab", flush=True)
        d.ungrab_pointer(X.CurrentTime)
        drain()
        move(740, 100, "root into right")
    elif scene in ("quick", "grabquick"):
        move(540, 100, "into left")
        if scene == "grabquick":
            print("-- grab", flush=True)
            parent.grab_pointer(False, crossing | X.PointerMotionMask, X.GrabModeAsync, X.GrabModeAsync, X.NONE,
                                X.NONE, X.CurrentTime)
            drain()
        print("-- back and forth without waiting", flush=True)
        for i in range(6):
            for x in (740, 540, 1000, 560, 800):
                xtest.fake_input(d, X.MotionNotify, 0, root=root, x=x, y=100 + i)
        drain()
        d.ungrab_pointer(X.CurrentTime)
        drain()
    elif scene == "focus":
        move(540, 100, "into left")
        for focus, label in ((parent, "parent"), (X.NONE, "None"), (X.PointerRoot, "PointerRoot")):
            print("-- focus " + label, flush=True)
            d.set_input_focus(focus, X.RevertToNone, X.CurrentTime)
            drain()
            move(740, 110, "left to right")
            move(800, 350, "right to east")
            move(540, 100, "east to left")
    elif scene == "keyboard":
        move(540, 100, "into left")
        print("-- focus on the parent, its keyboard grab", flush=True)
        d.set_input_focus(parent, X.RevertToNone, X.CurrentTime)
        print("status", parent.grab_keyboard(False, X.GrabModeAsync, X.GrabModeAsync, X.CurrentTime), flush=True)
        drain()
        move(740, 100, "left to right")
        move(1000, 100, "right onto the root")
        move(540, 120, "root into left")
        print("-- ungrab", flush=True)
        d.ungrab_keyboard(X.CurrentTime)
        d.set_input_focus(X.PointerRoot, X.RevertToNone, X.CurrentTime)
        drain()
    elif scene == "implicit":
        move(540, 100, "into left")
        button(True, "press")
        move(740, 100, "left to right")
        move(1000, 100, "right onto the root")
        move(560, 110, "root into left")
        move(760, 110, "left to right")
        button(False, "release")
        move(540, 100, "right to left")
        move(100, 450, "left onto the root")
print("== end", flush=True)
