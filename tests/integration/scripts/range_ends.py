# The ends of the id range the setup offers: a client may create resources with every id from
# its base to base|mask, the top one included, and none beyond. Three clients one after the
# other each create a GC with the top id, change and free it, then a window with the top id
# (its geometry asked back) and a GC with the id above the range. Prints per client what the
# server answered to each (ok, or the error's code). Argument: the display name.
import struct, sys

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import rawx  # noqa: E402

names = {14: 'BadIDChoice', 13: 'BadGC', 3: 'BadWindow', 9: 'BadDrawable', 16: 'BadLength', 2: 'BadValue'}


def answer(c, before):
    c.round_trip()
    got = c.errors[before:]
    return 'ok' if not got else ' '.join(names.get(code, str(code)) for code, _, _ in got)


name = sys.argv[1]
keep = []
for n in range(3):
    c = rawx.Client(name)
    keep.append(c)
    top = c.base | c.mask
    line = []
    before = len(c.errors)
    c.send(struct.pack('<BxHIII', 55, 4, top, c.root, 0))  # CreateGC, no values
    line.append('gc ' + answer(c, before))
    before = len(c.errors)
    c.send(struct.pack('<BxHIII', 56, 4, top, 1 << 2, 1))  # ChangeGC foreground
    c.send(struct.pack('<BxHI', 60, 2, top))  # FreeGC
    line.append('change+free ' + answer(c, before))
    before = len(c.errors)
    c.create_window(top, width=61, height=41)
    c.send(struct.pack('<BxHI', 14, 2, top))  # GetGeometry
    want = c.sequence & 0xffff
    geometry = None
    while geometry is None:
        kind, data = c.read_one()
        if struct.unpack_from('<H', data, 2)[0] != want:
            continue
        geometry = '%dx%d' % struct.unpack_from('<HH', data, 16) if kind == 'reply' else 'none'
    line.append('window ' + answer(c, before) + ' ' + geometry)
    before = len(c.errors)
    beyond = top + 1
    c.send(struct.pack('<BxHIII', 55, 4, beyond, c.root, 0))
    line.append('beyond ' + answer(c, before))
    print('client', n + 1, ', '.join(line))
for c in keep:
    c.close()
