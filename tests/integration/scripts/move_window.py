# Moves the top-level of the given WM_NAME with a ConfigureWindow of its position, as a client
# asks its window manager for a move. Usage: move_window.py NAME X Y (DISPLAY from the
# environment). Prints nothing when the request went out.
import sys

from Xlib import display

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from toplevels import find  # noqa: E402


d = display.Display()
window = find(d.screen().root, sys.argv[1])
if window is None:
    print("no window named", sys.argv[1])
    sys.exit(1)
window.configure(x=int(sys.argv[2]), y=int(sys.argv[3]))
d.sync()
