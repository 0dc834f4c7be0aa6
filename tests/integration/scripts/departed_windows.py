# A window manager reparents a client's window into a frame of its own and watches both (the
# frame's substructure, the window's structure). The client then leaves in four ways: its
# connection closes, the manager kills it (KillClient), it destroys its window and leaves at
# once, it leaves retaining its resources and the manager kills them later. Prints the manager's events about them, the ids named; argument: the display name.
import sys, time
from Xlib import X, display
from Xlib.protocol import request
name = sys.argv[1]
wm = display.Display(name)
root = wm.screen().root
kinds = {X.UnmapNotify: 'UnmapNotify', X.DestroyNotify: 'DestroyNotify', X.ReparentNotify: 'ReparentNotify',
         X.MapNotify: 'MapNotify', X.ConfigureNotify: 'ConfigureNotify'}

def events_until(done, seconds):
    got = []
    deadline = time.time() + seconds
    while time.time() < deadline:
        while wm.pending_events():
            got.append(wm.next_event())
        if done(got):
            break
        time.sleep(0.02)
    return got

for how in ('close', 'kill', 'destroy', 'retained'):
    client = display.Display(name)
    s = client.screen()
    w = s.root.create_window(10, 10, 100, 80, 0, s.root_depth)
    client.sync()
    frame = root.create_window(50, 50, 120, 100, 2, wm.screen().root_depth, event_mask=X.SubstructureNotifyMask)
    window = wm.create_resource_object('window', w.id)
    window.change_attributes(event_mask=X.StructureNotifyMask)
    window.reparent(frame, 5, 5)
    window.map()
    frame.map()
    wm.sync()
    events_until(lambda got: False, 0.1)
    names = {w.id: 'client', frame.id: 'frame', root.id: 'root'}
    if how == 'close':
        client.close()
    elif how == 'kill':
        request.KillClient(display=wm.display, resource=w.id)
        wm.sync()
    elif how == 'destroy':
        w.destroy()
        client.close()
    else:
        client.set_close_down_mode(X.RetainPermanent)
        client.sync()
        client.close()
        print('retained', len(events_until(lambda got: False, 0.2)))
        request.KillClient(display=wm.display, resource=w.id)
        wm.sync()
    def destroyed(got):
        return sum(1 for e in got if e.type == X.DestroyNotify) >= 2
    got = events_until(destroyed, 5)
    wm.sync()
    got += events_until(lambda got: False, 0.1)
    print(how, len(got))
    for e in got:
        fields = [kinds.get(e.type, str(e.type))]
        for field in ('event', 'window'):
            value = getattr(e, field, None)
            if value is not None:
                fields.append('%s=%s' % (field, names.get(value.id, hex(value.id))))
        print(' ', ' '.join(fields))
    frame.destroy()
    wm.sync()
    events_until(lambda got: False, 0.1)
