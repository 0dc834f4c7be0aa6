# What a window manager learns about a client that leaves, and what its requests about the
# client's windows touch, in the cases where only the order of the server's answers tells a
# departed client's ids from a newcomer's. Argument 1: the display name; argument 2 the case:
#   await     the client leaves while the server holds it asleep (a SYNC Await nobody satisfies)
#   busy      the manager reads nothing for two seconds while another client changes a root
#             property 35 000 times; the client leaves among those changes
#   newcomer  as busy, and a newcomer connects after the leaver (it may get its real base) and
#             maps a window
#   forged    as newcomer, with a client beside them that selects PropertyChange on the root
#             and never reads, and before the flood another client sends ClientMessages to the
#             root (SubstructureNotify) naming each of 4096 ids from the start of the first
#             client's id range on the server at argument 3 (a display name; a proxy's own
#             connection there, when it was that server's first client), their data all ones:
#             ordinary events, which the manager gets all of
#   request   the client leaves asleep as in await; the manager deletes and changes properties
#             of its window at once; eight other clients' windows keep theirs
# Prints the manager's structure events about the clients' windows, and what was kept.
import struct, sys, time
from Xlib import X, Xatom, display, error

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
from sync_sleep import fall_asleep  # noqa: E402
import rawx  # noqa: E402

name, case = sys.argv[1], sys.argv[2]
names = {X.CreateNotify: 'CreateNotify', X.MapNotify: 'MapNotify', X.UnmapNotify: 'UnmapNotify',
         X.DestroyNotify: 'DestroyNotify'}


def mapped_window(client):
    s = client.screen()
    w = s.root.create_window(10, 10, 60, 40, 0, s.root_depth)
    w.map()
    client.sync()
    return w


wm = display.Display(name)
root = wm.screen().root
flooded = case in ('busy', 'newcomer', 'forged')
mask = X.SubstructureNotifyMask | (X.PropertyChangeMask if flooded else 0)
root.change_attributes(event_mask=mask)
wm.sync()


forgeries = 4096
forged_seen = set()


def collect(done, seconds):
    got = []
    deadline = time.time() + seconds
    while time.time() < deadline:
        while wm.pending_events():
            e = wm.next_event()
            if e.type in names:
                got.append(e)
            elif e.type == X.ClientMessage and e.client_type == Xatom.INTEGER:
                forged_seen.add(e.window.id)
        if done(got):
            break
        time.sleep(0.02)
    return got


others = []
if case == 'request':
    # Clients before the leaver: on one head, the leaver's id as it stands would be the real id
    # of one of their windows (each made first, as the leaver's).
    for i in range(8):
        c = display.Display(name)
        ow = mapped_window(c)
        ow.change_property(Xatom.WM_NAME, Xatom.STRING, 8, b'kept')
        c.sync()
        others.append((c, ow))
leaver = display.Display(name)
w = mapped_window(leaver)
leaver_id = w.id
collect(lambda got: False, 0.3)

if case == 'forged':
    low, _ = rawx.first_client_range(sys.argv[3])
    sleeper = rawx.Client(name)
    sleeper.select_input(sleeper.root, rawx.PropertyChangeMask)
    sleeper.round_trip()  # and never reads again
    forger = rawx.Client(name)
    ones = (0xffffffff,) * 5
    forger.send(b''.join(rawx.send_event(forger.root, rawx.SubstructureNotifyMask, rawx.client_message(low + n, 19, ones))
                         for n in range(forgeries)), forgeries)
    forger.round_trip()
    forger.close()

flooder = None
if flooded:
    flooder = display.Display(name)
    froot = flooder.screen().root
    atom = flooder.intern_atom('_DEPARTURE_FLOOD')

    flooder.sync()
    # The changes written as they are on the wire (python-xlib would take seconds to make them).
    change = struct.pack('=BBHIIIB3xII', 18, 0, 7, froot.id, atom, Xatom.INTEGER, 32, 1, 0)

    def flood(count):
        # ... and a GetInputFocus whose reply says the server has made them.
        sock = flooder.display.socket
        sock.sendall(change * count + struct.pack('=BxH', 43, 1))
        reply = b''
        while len(reply) < 32:
            reply += sock.recv(32 - len(reply))
    flood(30000)
if case in ('await', 'request'):
    fall_asleep(leaver)
    time.sleep(0.3)
leaver.close()

newcomer_id = None
if case in ('newcomer', 'forged'):
    time.sleep(0.5)
    newcomer = display.Display(name)
    nw = mapped_window(newcomer)
    newcomer_id = nw.id
if flooder:
    flood(5000)
    time.sleep(2.0)  # the manager is busy: it reads nothing

if case == 'request':
    caught = []
    wm.set_error_handler(lambda err, *args: caught.append(err))
    handler = lambda err, *args: caught.append(err)
    target = wm.create_resource_object('window', leaver_id)
    for i in range(20):
        target.delete_property(Xatom.WM_NAME, onerror=handler)
        target.change_property(Xatom.WM_ICON_NAME, Xatom.STRING, 8, b'wrong', onerror=handler)
        wm.sync()
        time.sleep(0.02)
    kept = changed = 0
    for c, ow in others:
        value = ow.get_full_property(Xatom.WM_NAME, X.AnyPropertyType)
        kept += 1 if value is not None and value.value == b'kept' else 0
        changed += 1 if ow.get_full_property(Xatom.WM_ICON_NAME, X.AnyPropertyType) is not None else 0
    print('kept', kept, 'changed', changed)


def about_leaver(got):
    return sum(1 for e in got if e.window.id == leaver_id and e.type in (X.UnmapNotify, X.DestroyNotify)) >= 2


def done(got):
    if not about_leaver(got):
        return False
    return newcomer_id is None or any(e.type == X.MapNotify and e.window.id == newcomer_id for e in got)


got = collect(done, 10)
for e in got:
    if e.type in (X.UnmapNotify, X.DestroyNotify):
        who = 'leaver' if e.window.id == leaver_id else hex(e.window.id)
    else:
        who = 'newcomer' if e.window.id == newcomer_id else hex(e.window.id)
    if case == 'request' and who != 'leaver':
        continue  # the other clients' windows were made before
    print(names[e.type], who)
if newcomer_id is not None:
    geometry = nw.get_geometry()
    print('newcomer alive', geometry.width, geometry.height)
if case == 'forged':
    print('forgeries seen', len(forged_seen), 'of', forgeries)
