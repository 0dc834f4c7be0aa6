# Closes the program of the top-level of the given WM_NAME: "manager" asks its window manager
# to close it (_NET_CLOSE_WINDOW, as a task bar does: the manager then asks the program), "kill"
# ends its client by KillClient of the window. Usage: close_window.py NAME HOW (DISPLAY from the
# environment). Prints nothing when the request went out.
import sys

from Xlib import X, display
from Xlib.protocol import event, request

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from toplevels import find  # noqa: E402


d = display.Display()
root = d.screen().root
window = find(root, sys.argv[1])
if window is None:
    print("no window named", sys.argv[1])
    sys.exit(1)
if sys.argv[2] == "kill":
    request.KillClient(display=d.display, resource=window.id)
else:
    close = event.ClientMessage(window=window, client_type=d.intern_atom("_NET_CLOSE_WINDOW"),
                                data=(32, [0, 2, 0, 0, 0]))
    root.send_event(close, event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
d.sync()
