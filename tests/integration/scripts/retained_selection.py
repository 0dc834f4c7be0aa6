# A client that leaves with RetainTemporary while it owns a selection: its window stays, the
# selection does not. Prints one line per finding. Argument: the display name.
from Xlib import X, display, error
from Xlib.protocol import request
import sys, time

name = sys.argv[1]
a = display.Display(name)
selection = a.intern_atom('TARVO_TEST_RETAINED')
a.set_close_down_mode(X.RetainTemporary)
w = a.screen().root.create_window(0, 0, 10, 10, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent)
w.set_selection_owner(selection, X.CurrentTime)
a.sync()
kept = w.id
a.close()
b = display.Display(name)
# The server handles the close on its own time: asked again for up to 5 seconds.
deadline = time.time() + 5
while True:
    owner = b.get_selection_owner(selection)
    owner = getattr(owner, 'id', owner)
    if owner == 0 or time.time() > deadline:
        break
    time.sleep(0.05)
print('owner after the retained close', 'None' if owner == 0 else 'the kept window' if owner == w.id else hex(owner))
try:
    b.create_resource_object('window', kept).get_geometry()
    print('window kept True')
except error.XError:
    print('window kept False')
request.KillClient(display=b.display, resource=X.AllTemporary)
b.sync()
b.close()
