# Close-down modes and KillClient: retained pixmaps, AllTemporary, ids of the server itself,
# a client that kills itself, a RetainPermanent client's window that AllTemporary leaves and
# KillClient of its id ends. Prints one line per finding; argument: the display name.
import subprocess, sys
from Xlib import X, display, error
from Xlib.protocol import request
name = sys.argv[1]
kept = []
def shown():
    # How many of the pixmaps the retained clients left a new client still finds.
    c = display.Display(name)
    found = 0
    for id in kept:
        try:
            request.GetGeometry(display=c.display, drawable=id)
            found += 1
        except error.XError:
            pass
    c.close()
    return found
for k in range(2):
    a = display.Display(name)
    a.set_close_down_mode(X.RetainTemporary)
    kept.append(a.screen().root.create_pixmap(8, 8, a.screen().root_depth).id)
    a.sync()
    a.close()
print('retained', shown())
k = display.Display(name)
request.KillClient(display=k.display, resource=X.AllTemporary)
k.sync()
print('after AllTemporary', shown())
s = k.screen()
for id in (s.root.id, s.default_colormap.id, s.root_visual):
    catch = error.CatchError()
    request.KillClient(display=k.display, onerror=catch, resource=id)
    k.sync()
    e = catch.get_error()
    print('kill own id', e is not None and e._data.get('code'), e is not None and e._data.get('bad_value', e._data.get('resource_id')) == id)
print('xdpyinfo', subprocess.run(['xdpyinfo', '-display', name], capture_output=True).returncode)
# A client that kills its own id is closed after that request.
v = display.Display(name)
vw = v.screen().root.create_pixmap(8, 8, v.screen().root_depth)
v.sync()
request.KillClient(display=v.display, resource=vw.id)
try:
    v.get_input_focus()
    print('self kill survived')
except Exception as e:
    print('self kill closed')
# A RetainPermanent and a RetainTemporary client leave a window each.
left = []
for mode in (X.RetainPermanent, X.RetainTemporary):
    a = display.Display(name)
    a.set_close_down_mode(mode)
    window = a.screen().root.create_window(5, 5, 20, 20, 0, a.screen().root_depth)
    window.map()
    left.append(window.id)
    a.sync()
    a.close()
k = display.Display(name)
kept = left
print('left windows', shown())
request.KillClient(display=k.display, resource=X.AllTemporary)
k.sync()
kept = left[:1]
print('permanent after AllTemporary', shown())
kept = left[1:]
print('temporary after AllTemporary', shown())
request.KillClient(display=k.display, resource=left[0])
k.sync()
kept = left[:1]
print('permanent after its KillClient', shown())
# New windows come as before.
w = k.screen().root.create_window(30, 40, 50, 60, 0, k.screen().root_depth)
w.map()
g = w.get_geometry()
print('new window', g.x, g.y, g.width, g.height, w.get_attributes().map_state)
