# Clients come and go one after another while one client sleeps: it selects SubstructureNotify
# and PropertyChange on the root and never reads again, while another client changes a root
# property many times (far more notifications than a socket holds). Then SESSIONS newcomers
# each connect, make a window, do a round trip and close, one after the other. A server serves
# every one of them, however long the sleeper sleeps. Prints how many were served and refused
# (and the first refusal's reason), then what the sleeper reads once it wakes: every event it
# selected, then the reply to its round trip.
# Arguments: the display name, the number of sessions.
import struct, sys

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import rawx  # noqa: E402

name, sessions = sys.argv[1], int(sys.argv[2])

sleeper = rawx.Client(name)
sleeper.select_input(sleeper.root, rawx.SubstructureNotifyMask | rawx.PropertyChangeMask)
sleeper.round_trip()
# From here on the sleeper reads nothing.

flooder = rawx.Client(name)
change = flooder.change_root_property(flooder.intern_atom('_SLEEPER_FLOOD'), 1)
for chunk in range(6):
    flooder.send(change * 5000, 5000)
flooder.round_trip()

served = refused = 0
reason = None
for i in range(sessions):
    try:
        c = rawx.Client(name)
        c.create_window(c.new_id())
        c.round_trip()
        c.close()
        served += 1
    except rawx.Refused as refusal:
        refused += 1
        if reason is None:
            reason = '%s (session %d)' % (refusal, i + 1)
print('served', served, 'refused', refused)
if reason:
    print('first refusal:', reason)
flooder.round_trip()
flooder.close()

# The sleeper wakes: everything it was sent, in order, then the reply to its round trip.
sleeper.send(struct.pack('<BxH', 43, 1))
want = sleeper.sequence & 0xffff
counts = {}
pending = b''
done = False
while not done:
    chunk = sleeper.sock.recv(1 << 20)
    if not chunk:
        break
    pending += chunk
    whole = len(pending) // 32 * 32
    for at in range(0, whole, 32):
        code = pending[at] & 0x7f
        if code == 1 and struct.unpack_from('<H', pending, at + 2)[0] == want:
            done = True
            break
        counts[code] = counts.get(code, 0) + 1
    pending = pending[whole:]
print('sleeper woke with PropertyNotify', counts.pop(28, 0), 'CreateNotify', counts.pop(16, 0),
      'DestroyNotify', counts.pop(17, 0), 'other', sum(counts.values()), 'answered', done)
sleeper.close()
