#!/usr/bin/python3
"""XTEST as a python3-xlib client sees it: xtest_probe.py DISPLAY STEP...

Steps, each printing one line:
  opcode             "opcode N"
  version            "version MAJOR.MINOR" (asks for 2.1)
  cursors            compare_cursor of a mapped window with a cursor against the window's cursor,
                     None, another cursor and CurrentCursor (the pointer warped into it):
                     "cursors A B C D"
  motion X Y         fake MotionNotify to X, Y on screen 0's root: "moved"
  delayed MS         fake KeyPress and KeyRelease of keycode 38 with delay MS on the press,
                     then a round trip: "delayed ELAPSED_MS"
  press MS           fake KeyPress of keycode 39 with delay MS, then the client ends at once:
                     "pressed"
  keybad             fake KeyPress of keycode 7: "keybad CODE VALUE" of the error
  button0            fake ButtonPress of button 0: "button0 CODE VALUE" or "button0 none"
  grab B             grab_control(B) and a round trip: "grab B"
"""

import sys
import time

import Xlib.X as X
import Xlib.display
import Xlib.error
import Xlib.Xcursorfont as Xcursorfont


class Catcher:
    def __init__(self):
        self.errors = []

    def __call__(self, error, request):
        self.errors.append(error)


def main():
    display = Xlib.display.Display(sys.argv[1])
    catcher = Catcher()
    display.set_error_handler(catcher)
    screen = display.screen()
    root = screen.root
    steps = sys.argv[2:]
    i = 0
    while i < len(steps):
        step = steps[i]
        i += 1
        if step == "opcode":
            print("opcode", display.query_extension("XTEST").major_opcode)
        elif step == "version":
            r = display.xtest_get_version(2, 1)
            print("version %d.%d" % (r.major_version, r.minor_version))
        elif step == "cursors":
            font = display.open_font("cursor")
            arrow = font.create_glyph_cursor(font, Xcursorfont.left_ptr, Xcursorfont.left_ptr + 1,
                                             (0, 0, 0), (0xffff, 0xffff, 0xffff))
            hand = font.create_glyph_cursor(font, Xcursorfont.hand2, Xcursorfont.hand2 + 1,
                                            (0, 0, 0), (0xffff, 0xffff, 0xffff))
            window = root.create_window(50, 50, 100, 100, 0, screen.root_depth, X.InputOutput,
                                        X.CopyFromParent, override_redirect=True, cursor=arrow)
            window.map()
            display.sync()
            root.warp_pointer(100, 100)
            display.sync()
            time.sleep(0.3)
            same = [window.xtest_compare_cursor(c) for c in (arrow, X.NONE, hand, 1)]
            print("cursors", *[int(s) for s in same])
        elif step == "motion":
            x, y = int(steps[i]), int(steps[i + 1])
            i += 2
            display.xtest_fake_input(X.MotionNotify, 0, root=root, x=x, y=y)
            display.sync()
            print("moved")
        elif step == "delayed":
            ms = int(steps[i])
            i += 1
            start = time.monotonic()
            display.xtest_fake_input(X.KeyPress, 38, time=ms)
            display.xtest_fake_input(X.KeyRelease, 38)
            display.get_input_focus()
            print("delayed %d" % int((time.monotonic() - start) * 1000))
        elif step == "press":
            display.xtest_fake_input(X.KeyPress, 39, time=int(steps[i]))
            display.flush()
            print("pressed")
            sys.stdout.flush()
            display.close()
            return
        elif step in ("keybad", "button0"):
            del catcher.errors[:]
            if step == "keybad":
                display.xtest_fake_input(X.KeyPress, 7)
            else:
                display.xtest_fake_input(X.ButtonPress, 0)
            display.sync()
            if catcher.errors:
                e = catcher.errors[0]
                print(step, e.code, e.resource_id if hasattr(e, "resource_id") else e.bad_value)
            else:
                print(step, "none")
        elif step == "grab":
            on = steps[i] == "1"
            i += 1
            display.xtest_grab_control(on)
            display.sync()
            print("grab", int(on))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
