# A reparenting window manager under churn: clients map a window each (the manager frames it
# and marks it with a property), then leave in waves of several at once, each in one of the
# ways a client leaves (its connection closes, it shuts its socket, the manager kills it, it
# leaves retaining its resources and the manager kills them, it leaves while the server holds
# it asleep); newcomers connect right after each wave (they may get the leavers' real bases),
# and now and then the manager pauses and reads nothing. At the end: frames left of windows
# that went (ghosts), departed windows without their UnmapNotify or DestroyNotify, events naming
# an id the manager never framed nor knew (foreign), events telling of the end of a window whose
# client still runs (wrong), and live clients whose mark went or who were killed (touched).
# Arguments: the display name, the number of waves; then optionally "hostile" and a display
# name REAL: two more clients run beside the manager throughout. One selects SubstructureNotify
# and PropertyChange on the root and never reads (a third client changes a root property far
# more often than a socket holds); the other, before each wave, sends ClientMessages to the root
# (SubstructureNotify) naming ids from the start of the first client's id range on the server
# at REAL (a proxy's own connection there, when it was that server's first client), with data
# all ones at the start and small numbers later. A server refuses no newcomer for them, and
# the manager gets each of those messages; one more line counts both.
# Then optionally "sleeper" and a number N: one more client selects SubstructureNotify and
# PropertyChange on the root and reads nothing (another client changes a root property far more
# often than a socket holds, before the first wave) while N more short-lived clients come and go
# during the churn, a share after each wave (scripts/crowd.py: each makes a window, destroys it
# or leaves that to its close, and closes; the manager leaves their windows alone). At the end it
# reads: every CreateNotify of theirs must name its client's window, every DestroyNotify one of
# theirs that is there, and anything else a window of the churn; one more line counts them.
import socket, sys, time
from Xlib import X, Xatom, display
from Xlib.protocol import request

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from sync_sleep import fall_asleep  # noqa: E402
import crowd  # noqa: E402
import rawx  # noqa: E402

name, waves = sys.argv[1], int(sys.argv[2])
hostile = len(sys.argv) > 3 and sys.argv[3] == 'hostile'
sleeping = int(sys.argv[sys.argv.index('sleeper') + 1]) if 'sleeper' in sys.argv[3:] else 0
names = {X.UnmapNotify: 'UnmapNotify', X.DestroyNotify: 'DestroyNotify'}


wm = display.Display(name)
wm.set_error_handler(lambda err, *args: None)  # requests about windows that went: BadWindow
root = wm.screen().root
root.change_attributes(event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
mark = wm.intern_atom('_CHURN_FRAMED')
wm.sync()

# A window's incarnations (directly an id comes back when a newcomer gets a leaver's client
# index): the one the manager's events are about now, and those made since, in order.
current = {}   # window id -> record
queued = {}    # window id -> records whose window the server made after the current one's
records = []
frame_ids = set()
clients = {}   # window id -> (Display, window, record) of clients still running
counts = {'foreign': 0, 'wrong': 0, 'refused': 0}
forged = set()  # (window, first datum) of the forger's messages the manager got
sent_forgeries = 0
churn_ids = set()      # every window id of the churn's clients, for the sleeper's check
crowd_windows = set()  # the sleeper's crowd's windows that are there, which the manager leaves alone


def handle(e):
    wid = getattr(e, 'window', None)
    wid = wid.id if wid is not None else None
    if sleeping and wid is not None:
        if e.type == X.CreateNotify and (e.width, e.height) == (crowd.WIDTH, crowd.HEIGHT):
            crowd_windows.add(wid)
            return
        if wid in crowd_windows:
            if e.type == X.DestroyNotify:
                crowd_windows.discard(wid)
            return
    if e.type == X.MapRequest:
        rec = current.get(wid)
        if rec is None or rec['state'] != 'live' or rec['frame'] is not None:
            counts['foreign' if rec is None else 'wrong'] += 1
            print('  unexpected MapRequest', hex(wid), rec and rec['state'])
            return
        frame = crowd.frame_window(wm, root, wid, mark)
        rec['frame'] = frame
        frame_ids.add(frame.id)
    elif e.type in (X.UnmapNotify, X.DestroyNotify):
        if wid in frame_ids:
            return
        rec = current.get(wid)
        if rec is None:
            counts['foreign'] += 1
            return
        if rec['state'] != 'leaving':
            counts['wrong'] += 1
            print('  wrong', names.get(e.type), hex(wid), rec['state'])
            return
        w = wm.create_resource_object('window', wid)
        if e.type == X.UnmapNotify:
            rec['unmap'] += 1
            w.delete_property(mark)  # as a manager drops its state of a window that went
            if rec['frame'] is not None:
                rec['frame'].unmap()
        else:
            rec['destroy'] += 1
            rec['state'] = 'gone'
            if rec['frame'] is not None:
                rec['frame'].destroy()
                rec['frame'] = None
            if queued.get(wid):
                current[wid] = queued[wid].pop(0)
            else:
                del current[wid]
    elif e.type == X.ClientMessage:
        if e.client_type == Xatom.INTEGER:
            forged.add((e.window.id, e.data[1][0]))
    elif e.type in (X.MapNotify, X.ReparentNotify, X.ConfigureNotify):
        if wid is not None and wid not in current and wid not in frame_ids:
            counts['foreign'] += 1


def serve(seconds):
    deadline = time.time() + seconds
    while True:
        while wm.pending_events():
            handle(wm.next_event())
        if time.time() >= deadline:
            break
        time.sleep(0.01)
    wm.flush()


def newcomer():
    try:
        c = display.Display(name)
    except Exception as refusal:
        counts['refused'] += 1
        print('  refused', refusal)
        return
    s = c.screen()
    w = s.root.create_window(10, 10, 60, 40, 0, s.root_depth)
    churn_ids.add(w.id)
    rec = {'state': 'live', 'frame': None, 'unmap': 0, 'destroy': 0}
    records.append(rec)
    if w.id in current:
        queued.setdefault(w.id, []).append(rec)
    else:
        current[w.id] = rec
    w.map()
    c.flush()
    clients[w.id] = (c, w, rec)


def leave(wid, how):
    c, w, rec = clients.pop(wid)
    rec['state'] = 'leaving'
    rec['how'] = how
    rec['id'] = wid
    if how == 'close':
        c.close()
    elif how == 'shutdown':
        c.flush()
        c.display.socket.shutdown(socket.SHUT_RDWR)
        c.display.socket.close()
    elif how == 'kill':
        request.KillClient(display=wm.display, resource=wid)
        c.close()
    elif how == 'retained':
        c.set_close_down_mode(X.RetainPermanent)
        c.sync()
        c.close()
        return wid  # killed after the wave
    else:  # asleep
        fall_asleep(c)
        c.close()
    return None




if hostile:
    low, _ = rawx.first_client_range(sys.argv[4])
    sleeper = rawx.Client(name)
    sleeper.select_input(sleeper.root, rawx.SubstructureNotifyMask | rawx.PropertyChangeMask)
    sleeper.round_trip()  # and never reads again
    flooder = rawx.Client(name)
    change = flooder.change_root_property(flooder.intern_atom('_CHURN_FLOOD'), 1)
    for chunk in range(6):
        flooder.send(change * 5000, 5000)
    flooder.round_trip()
    forger = rawx.Client(name)


if sleeping:
    sleeper = crowd.Sleeper(name, rawx.SubstructureNotifyMask | rawx.PropertyChangeMask)
    filler = rawx.Client(name, timeout=60.0)
    change = filler.change_root_property(filler.intern_atom('_CHURN_SLEEPER_FLOOD'), 1)
    for chunk in range(6):
        filler.send(change * 5000, 5000)
    filler.round_trip()
    crowd_clients = crowd.Crowd(name)


def forge(count, datum):
    global sent_forgeries
    if not hostile:
        return
    data = (datum,) * 5
    forger.send(b''.join(rawx.send_event(forger.root, rawx.SubstructureNotifyMask, rawx.client_message(low + n, 19, data))
                         for n in range(count)), count)
    forger.round_trip()
    sent_forgeries += count


forge(4096, 0xffffffff)
ways = ('close', 'shutdown', 'kill', 'retained', 'asleep')
for i in range(6):
    newcomer()
serve(0.3)
for wave in range(waves):
    # Framed clients whose window the manager's events are about now.
    leavers = sorted(wid for wid, (c, w, rec) in clients.items() if current.get(wid) is rec and rec['frame'])[:4]
    forge(256, wave + 1)
    retained = [leave(wid, ways[(wave + n) % len(ways)]) for n, wid in enumerate(leavers)]
    wm.flush()
    for wid in retained:
        if wid is not None:
            request.KillClient(display=wm.display, resource=wid)
    wm.flush()
    for i in range(4):
        newcomer()
    if sleeping:
        crowd_clients.run(sleeping // waves + (wave < sleeping % waves))
    if wave % 3 == 2:
        time.sleep(1.5)  # the manager pauses
    serve(0.3)
# Every leaver's end, within a bound that holds on a loaded machine.
deadline = time.time() + 15
while time.time() < deadline and any(rec['state'] == 'leaving' for rec in records):
    serve(0.1)
serve(0.3)
wm.sync()
serve(0.2)
left = [rec for rec in records if rec['state'] != 'live']
ghost = sum(1 for rec in left if rec['frame'] is not None)
no_unmap = sum(1 for rec in left if rec['unmap'] != 1)
no_destroy = sum(1 for rec in left if rec['destroy'] != 1)
touched = 0
for wid, (c, w, rec) in clients.items():
    try:
        value = w.get_full_property(mark, X.AnyPropertyType)
        touched += 0 if value is not None and rec['frame'] is not None and value.value[0] == rec['frame'].id else 1
    except Exception:
        touched += 1
print('left', len(left), 'live', len(clients))
print('ghost', ghost, 'no unmap', no_unmap, 'no destroy', no_destroy)
print('foreign', counts['foreign'], 'wrong', counts['wrong'], 'touched', touched)
if hostile:
    print('refused', counts['refused'], 'messages', len(forged), 'of', sent_forgeries)
if sleeping:
    result = crowd.check(sleeper.wake(), crowd_clients.windows, churn_ids | frame_ids)
    print('sleeper created', result['created'], 'destroyed', result['destroyed'], 'wrong', result['wrong'], 'of',
          len(crowd_clients.windows))
for rec in left:  # what went wrong, to tell the cause
    if rec['frame'] is not None or rec['unmap'] != 1 or rec['destroy'] != 1:
        print(' ', rec['how'], hex(rec['id']), 'unmap', rec['unmap'], 'destroy', rec['destroy'])
