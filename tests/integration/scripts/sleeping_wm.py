# A reparenting window manager that sleeps through thousands of departures. Awake, it frames the
# windows of EARLY clients (a frame each, the window reparented into it and marked with a
# property). Then it reads nothing: another client changes a root property 30 000 times (the
# manager watches root properties), far more than a socket holds, while COUNT short-lived clients
# come and go (scripts/crowd.py; every third maps its window, which asks the sleeping manager),
# half of the early clients leave among them and LATE clients connect and map a window each.
# Then it goes on and handles everything it was sent, as a manager does (a window that asks to
# be mapped is framed, a framed one that is unmapped or destroyed loses its frame).
# A manager that names a window of a client that has gone reaches whatever window has that id
# now: the late clients' windows take an id that no crowd window has (the second of their range;
# the others take the first), so that what the manager does for a crowd window that is gone
# reaches no running client's window.
# Every window tells by its geometry who made it, so each CreateNotify says which client's window
# the id names from then on until its DestroyNotify. Prints
#   live N left N crowd N
#   ghost N touched N
#   wrong N foreign N
# ghost: frames left without a window; touched: running clients' windows not framed, mapped and
# marked as the manager left them; wrong: CreateNotify naming another window than its maker's,
# UnmapNotify or DestroyNotify naming a running client's window, MapRequest for a window framed
# already; foreign: events naming a window that is not there.
# Arguments: the display name, COUNT; optionally "noflood" (the manager's socket is not filled
# before the crowd comes).
import struct, sys, time
from Xlib import X, display

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import crowd  # noqa: E402
import rawx  # noqa: E402

name, count = sys.argv[1], int(sys.argv[2])
flood = sys.argv[3:4] != ['noflood']
EARLY, LATE = 20, 10
OWN_WIDTH, OWN_HEIGHT = 61, 41  # the early and late clients' windows; x tells the client

wm = display.Display(name)
wm.set_error_handler(lambda err, *args: None)  # requests about windows that went: BadWindow
root = wm.screen().root
root.change_attributes(event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask | X.PropertyChangeMask)
mark = wm.intern_atom('_SLEEPING_WM_FRAMED')
wm.sync()

clients = crowd.Crowd(name)
own = []       # records of the early and late clients, by their number (x of their window)
current = {}   # window id -> the record its events are about now (from its CreateNotify on)
frames = {}    # frame id -> record, while the frame is there
frame_ids = set()  # every frame made
counts = {'wrong': 0, 'foreign': 0}


def tell(*words):
    # The first few wrong events, to tell the cause.
    if counts['wrong'] <= 5:
        print(' ', *words)


def new_record(kind, number):
    return {'kind': kind, 'number': number, 'state': 'live', 'frame': None, 'id': None}


def record_of(e):
    # The maker of a window just created, by its geometry.
    if (e.width, e.height) == (crowd.WIDTH, crowd.HEIGHT):
        number = crowd.number_at(e.x, e.y)
        wid = clients.windows.get(number)
        return None if wid is None else {'kind': 'crowd', 'number': number, 'state': 'left', 'frame': None, 'id': wid}
    if (e.width, e.height) == (OWN_WIDTH, OWN_HEIGHT) and 0 <= e.x < len(own):
        return own[e.x]
    return None


def handle(e):
    wid = getattr(e, 'window', None)
    wid = wid.id if wid is not None else None
    if wid in frame_ids:
        return
    if e.type == X.CreateNotify:
        rec = record_of(e)
        if rec is None:
            counts['foreign'] += 1
        elif rec['id'] != wid or wid in current:
            counts['wrong'] += 1
            tell('wrong CreateNotify', hex(wid), rec['kind'], rec['number'])
        else:
            current[wid] = rec
    elif e.type == X.MapRequest:
        rec = current.get(wid)
        if rec is None:
            counts['foreign'] += 1
            return
        if rec['frame'] is not None:
            counts['wrong'] += 1
            tell('wrong MapRequest', hex(wid), rec['kind'], rec['number'])
            return
        frame = crowd.frame_window(wm, root, wid, mark)
        rec['frame'] = frame
        frames[frame.id] = rec
        frame_ids.add(frame.id)
    elif e.type in (X.UnmapNotify, X.DestroyNotify):
        rec = current.get(wid)
        if rec is None:
            counts['foreign'] += 1
            return
        if rec['state'] == 'live':
            counts['wrong'] += 1
            tell('wrong', 'UnmapNotify' if e.type == X.UnmapNotify else 'DestroyNotify', hex(wid), rec['kind'],
                 rec['number'])
            return
        if rec['frame'] is not None:
            if e.type == X.UnmapNotify:
                rec['frame'].unmap()
            else:
                rec['frame'].destroy()
                del frames[rec['frame'].id]
                rec['frame'] = None
        if e.type == X.DestroyNotify:
            del current[wid]


def serve(seconds, done=lambda: False):
    deadline = time.time() + seconds
    while time.time() < deadline and not done():
        while wm.pending_events():
            handle(wm.next_event())
        time.sleep(0.01)
    wm.flush()


def connect_own(kind):
    c = rawx.Client(name)
    rec = new_record(kind, len(own))
    own.append(rec)
    rec['id'] = c.new_id()
    if kind == 'late':
        rec['id'] = c.new_id()  # (see above)
    c.create_window(rec['id'], rec['number'], 10, OWN_WIDTH, OWN_HEIGHT)
    c.send(struct.pack('<BxHI', 8, 2, rec['id']))  # MapWindow
    c.round_trip()
    rec['client'] = c
    return rec


# Awake: the early clients' windows are framed.
early = [connect_own('early') for _ in range(EARLY)]
serve(15, lambda: all(rec['frame'] is not None for rec in early))

# Asleep.
if flood:
    flooder = rawx.Client(name, timeout=60.0)
    change = flooder.change_root_property(flooder.intern_atom('_SLEEPING_WM_FLOOD'), 1)
    for chunk in range(6):
        flooder.send(change * 5000, 5000)
    flooder.round_trip()
leavers = early[::2]
late = []
for part in range(len(leavers)):
    clients.run(count // len(leavers) + (part < count % len(leavers)), mapped=lambda n: n % 3 == 0)
    rec = leavers[part]
    rec['state'] = 'left'
    rec['client'].close()
    if part < LATE:
        late.append(connect_own('late'))
left = len(leavers)

# Awake again: everything it was sent, then the late windows framed and the left ones gone.
live = [rec for rec in own if rec['state'] == 'live']
serve(40, lambda: all(rec['frame'] is not None for rec in late) and
      not any(rec['frame'] is not None for rec in leavers) and not wm.pending_events())
serve(0.3)
wm.sync()
serve(0.2)

ghost = sum(1 for child in root.query_tree().children if child.id in frame_ids and not child.query_tree().children)
touched = 0
for rec in live:
    w = wm.create_resource_object('window', rec['id'])
    try:
        parent = w.query_tree().parent.id
        value = w.get_full_property(mark, X.AnyPropertyType)
        viewable = w.get_attributes().map_state == X.IsViewable
        ok = rec['frame'] is not None and parent == rec['frame'].id and viewable and value is not None and \
            value.value[0] == rec['frame'].id
    except Exception:
        ok = False
    touched += 0 if ok else 1
print('live', len(live), 'left', left, 'crowd', len(clients.windows))
print('ghost', ghost, 'touched', touched)
print('wrong', counts['wrong'], 'foreign', counts['foreign'])
