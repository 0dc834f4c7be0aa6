"""Selects ScreenSaverNotify on the default root, sets the saver window's attributes (green
background, the default colormap, a cursor) unless "unset" is given (then sets and unsets them),
prints "ready", then prints each Notify as "notify STATE KIND ROOT-IS-DEFAULT" until two have
come or 10 seconds pass. Usage: saver_notify.py DISPLAY [unset]"""
import select
import sys
import time

from Xlib import X, Xcursorfont, display
from Xlib.ext import screensaver

d = display.Display(sys.argv[1])
s = d.screen()
root = s.root
first_event = d.query_extension(screensaver.extname).first_event
root.screensaver_select_input(screensaver.NotifyMask)
font = d.open_font("cursor")
cursor = font.create_glyph_cursor(font, Xcursorfont.crosshair, Xcursorfont.crosshair + 1,
                                  (0, 0, 0), (65535, 65535, 65535))
root.screensaver_set_attributes(0, 0, s.width_in_pixels, s.height_in_pixels, 0, background_pixel=0x00ff00,
                                colormap=s.default_colormap, cursor=cursor)
if len(sys.argv) > 2 and sys.argv[2] == "unset":
    root.screensaver_unset_attributes()
d.sync()
print("ready", flush=True)
seen = 0
deadline = time.time() + 10
while seen < 2 and time.time() < deadline:
    if not d.pending_events():
        select.select([d], [], [], 0.2)
        continue
    e = d.next_event()
    if e.type & 0x7f == first_event:
        print("notify", e.state, e.kind, int(e.root == root.id or getattr(e.root, "id", 0) == root.id), flush=True)
        seen += 1
