# Clients that leave while another client holds the server: a grabber selects SubstructureNotify
# on the root, six clients map a window each, the grabber grabs the server, and the six leave
# (three close their connection, three shut their socket first). A server sees those hang-ups
# during the grab: the grabber gets their windows' DestroyNotify before it ungrabs, and the
# windows are gone from the root's children. Prints what the grabber got during the grab (it
# waits up to HOLD seconds for it) and after the ungrab.
# Arguments: the display name, HOLD.
import socket, sys, time
from Xlib import X, display

name, hold = sys.argv[1], float(sys.argv[2])
grabber = display.Display(name)
root = grabber.screen().root
root.change_attributes(event_mask=X.SubstructureNotifyMask)
grabber.sync()

leavers = []
for n in range(6):
    c = display.Display(name)
    s = c.screen()
    w = s.root.create_window(10 + 20 * n, 10, 60, 40, 0, s.root_depth)
    w.map()
    c.sync()
    leavers.append((c, w.id))
ids = set(wid for _, wid in leavers)
destroyed = set()


def read(seconds):
    deadline = time.time() + seconds
    while time.time() < deadline and destroyed != ids:
        while grabber.pending_events():
            e = grabber.next_event()
            if e.type == X.DestroyNotify and e.window.id in ids:
                destroyed.add(e.window.id)
        if destroyed != ids:
            time.sleep(0.02)


read(0.3)  # (the map's notifications)
grabber.grab_server()
grabber.sync()
for n, (c, _) in enumerate(leavers):
    if n % 2:
        c.flush()
        c.display.socket.shutdown(socket.SHUT_RDWR)
        c.display.socket.close()
    else:
        c.close()
read(hold)
during = len(destroyed)
children = set(w.id for w in root.query_tree().children)
print('during the grab: DestroyNotify', during, 'of 6, windows left', len(ids & children))
grabber.ungrab_server()
grabber.sync()
read(10)
print('after the ungrab: DestroyNotify', len(destroyed), 'of 6')
