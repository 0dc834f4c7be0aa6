# A client sends itself a ClientMessage naming each of COUNT ids from the start of the id range
# of the first client of the server at REAL (the ids a proxy's own connection there uses, when
# it was that server's first client): a SendEvent to its own window with no mask, so the event
# goes to the window's creator. The window field of a ClientMessage is the sender's to choose;
# every one comes back, whatever it names. Prints how many came back, and the ids that did not.
# Arguments: the display name, REAL (a display name), COUNT.
import struct, sys

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import rawx  # noqa: E402

name, real, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
low, _ = rawx.first_client_range(real)
c = rawx.Client(name)
own = c.new_id()
c.create_window(own)
c.round_trip()
batch = b''
for n in range(count):
    event = rawx.client_message(low + n, 19, (low + n, n, 0, 0, 0))  # type INTEGER
    batch += rawx.send_event(own, 0, event)
    if len(batch) > 44 * 1000:
        c.send(batch, len(batch) // 44)
        c.round_trip()  # what came back so far read, so that no side waits for the other
        batch = b''
c.send(batch, len(batch) // 44)
c.round_trip()
seen = set()
for e in c.events:
    if e[0] & 0x7f == 33:
        window, _, data0 = struct.unpack_from('<III', e, 4)
        if window == data0:
            seen.add(window)
missing = [n for n in range(count) if low + n not in seen]
print('came back', len(seen), 'of', count)
if missing:
    print('missing', ' '.join('+0x%x' % n for n in missing[:10]))
print('errors', len(c.errors))
c.close()
