# Pixmap cursors (the mask the source itself, and a mask of its own), a glyph cursor from the
# "cursor" font, a recolour and the errors of bad arguments (an id in use among them); prints one
# line per finding.
# Argument: the display name.
import sys
from Xlib import X, display, error
from Xlib.protocol import request

d = display.Display(sys.argv[1])
root = d.screen().root
source = root.create_pixmap(16, 16, 1)
mask = root.create_pixmap(16, 16, 1)
narrow = root.create_pixmap(8, 16, 1)
shared = source.create_cursor(source, (0, 0, 0), (65535, 65535, 65535), 16, 16)
own = source.create_cursor(mask, (65535, 0, 0), (0, 0, 65535), 3, 4)
font = d.open_font('cursor')
glyph = font.create_glyph_cursor(font, 68, 69, (0, 0, 0), (65535, 65535, 65535))
glyph.recolor((65535, 0, 0), (0, 65535, 0))
d.sync()
print('built')
def create(c, source_id, mask_id):
    request.CreateCursor(display=d.display, onerror=c, cid=d.display.allocate_resource_id(), source=source_id,
                         mask=mask_id, fore_red=0, fore_green=0, fore_blue=0, back_red=0, back_green=0,
                         back_blue=0, x=0, y=0)
def glyph_of(c, font_id):
    request.CreateGlyphCursor(display=d.display, onerror=c, cid=d.display.allocate_resource_id(),
                              source=font_id, mask=font.id, source_char=68, mask_char=69, fore_red=0,
                              fore_green=0, fore_blue=0, back_red=0, back_green=0, back_blue=0)
def create_as(c, cid):
    request.CreateCursor(display=d.display, onerror=c, cid=cid, source=source.id, mask=0, fore_red=0,
                         fore_green=0, fore_blue=0, back_red=0, back_green=0, back_blue=0, x=0, y=0)
checks = [
    ('bad source', lambda c: create(c, 0x1234, 0)),
    ('used id', lambda c: create_as(c, mask.id)),
    ('mask of another size', lambda c: create(c, source.id, narrow.id)),
    ('bad font', lambda c: glyph_of(c, 0x1234)),
]
for name, run in checks:
    c = error.CatchError()
    run(c)
    d.sync()
    e = c.get_error()
    print(name, e is not None and e._data.get('code'))
for cursor in (shared, own, glyph):
    cursor.free()
d.sync()
print('freed')
