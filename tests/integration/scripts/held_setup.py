# A connection held in its setup (it never sends one), then a client: the structure and property
# events of its own window; then the next client leaves retaining its resources while it owns a
# selection, which goes all the same (retained_selection.py). Prints what it finds; argument: the display name.
import os, socket, subprocess, sys, time
from Xlib import X, Xatom, display
name = sys.argv[1]
held = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
held.connect('/tmp/.X11-unix/X' + name.lstrip(':').split('.')[0])
c = display.Display(name)
s = c.screen()
w = s.root.create_window(0, 0, 50, 50, 0, s.root_depth,
                         event_mask=X.StructureNotifyMask | X.PropertyChangeMask)
w.map()
c.sync()
w.configure(width=60)
w.change_property(Xatom.WM_NAME, Xatom.STRING, 8, b'held')
w.destroy()
c.sync()
kinds = {X.MapNotify: 'MapNotify', X.ConfigureNotify: 'ConfigureNotify', X.PropertyNotify: 'PropertyNotify',
         X.DestroyNotify: 'DestroyNotify', X.UnmapNotify: 'UnmapNotify'}
got = []
deadline = time.time() + 3
while time.time() < deadline and not any(e.type == X.DestroyNotify for e in got):
    while c.pending_events():
        got.append(c.next_event())
    time.sleep(0.02)
for e in got:
    print(kinds.get(e.type, str(e.type)), 'own' if e.window.id == w.id else hex(e.window.id))
# The next client (its numbers equal as well) leaves retaining its resources while it owns a
# selection.
sys.stdout.flush()
subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), 'retained_selection.py'), name])
c.close()
held.close()
