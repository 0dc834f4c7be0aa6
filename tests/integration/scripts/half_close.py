# Clients that shut their writing side after their last requests and read on: 50 clients each
# send CreateWindow, MapWindow, CreateGC and PolyFillRectangle (1000 small rectangles into the
# window: the server takes a moment before it answers what follows) and GetInputFocus, then
# shutdown(SHUT_WR), and read until the server closes them. A server runs what it read before
# the end: each gets its reply, and its window was made and mapped (a watcher with
# SubstructureNotify on the root sees it come and go).
# With "grab": the watcher holds the server while they send and shut, and ungrabs a second later;
# a server runs their requests after the ungrab, none before.
# Prints
#   replies during the grab N        (with "grab")
#   replies N of 50 errors N
#   windows made N mapped N destroyed N others N
# Arguments: the display name, optionally "grab".
import select, socket, struct, sys, time

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import rawx  # noqa: E402

name = sys.argv[1]
grab = sys.argv[2:3] == ['grab']
count = 50

watcher = rawx.Client(name)
watcher.select_input(watcher.root, rawx.SubstructureNotifyMask)
watcher.round_trip()
clients = [rawx.Client(name) for _ in range(count)]
windows = {}
rectangles = b''.join(struct.pack('<hhHH', n % 20, n // 20 % 20, 3, 3) for n in range(1000))
for n, c in enumerate(clients):
    windows[c] = c.new_id()
if grab:
    watcher.send(struct.pack('<BxH', 36, 1))  # GrabServer
    watcher.round_trip()

for n, c in enumerate(clients):
    wid = windows[c]
    c.create_window(wid, 10 + 10 * (n % 40), 10 + 10 * (n // 40), 20, 20)
    c.send(struct.pack('<BxHI', 8, 2, wid))  # MapWindow
    gc = c.new_id()
    c.send(struct.pack('<BxHIII', 55, 4, gc, wid, 0))  # CreateGC
    c.send(struct.pack('<BxHII', 70, 3 + len(rectangles) // 4, wid, gc) + rectangles)  # PolyFillRectangle
    c.send(struct.pack('<BxH', 43, 1))  # GetInputFocus: request 5
    c.sock.shutdown(socket.SHUT_WR)

# Each client's socket is read until the server closes it: its reply (sequence 5), its errors.
replied = set()
errors = 0
pending = {c.sock: (c, b'') for c in clients}


def read_clients(seconds):
    global errors
    deadline = time.time() + seconds
    while pending and time.time() < deadline:
        ready, _, _ = select.select(list(pending), [], [], max(0.0, deadline - time.time()))
        for sock in ready:
            c, data = pending[sock]
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                chunk = b''
            if not chunk:
                del pending[sock]
                sock.close()
                continue
            data += chunk
            while len(data) >= 32:
                size = 32 + (struct.unpack_from('<I', data, 4)[0] * 4 if data[0] == 1 else 0)
                if len(data) < size:
                    break
                if data[0] == 1 and struct.unpack_from('<H', data, 2)[0] == 5:
                    replied.add(c)
                elif data[0] == 0:
                    errors += 1
                data = data[size:]
            pending[sock] = (c, data)


if grab:
    read_clients(1.0)
    print('replies during the grab', len(replied))
    watcher.send(struct.pack('<BxH', 37, 1))  # UngrabServer
    watcher.round_trip()
read_clients(30.0)
print('replies', len(replied), 'of', count, 'errors', errors)

# What the watcher saw of the clients' windows: each made, mapped and destroyed (at the close).
ids = set(windows.values())
seen = {16: set(), 19: set(), 17: set()}
others = 0


def events():
    # Those its round trips took in first, then what it reads, for 15 s at most.
    yield from watcher.events
    deadline = time.time() + 15
    while time.time() < deadline and len(seen[17]) < count:
        watcher.sock.settimeout(max(0.01, deadline - time.time()))
        try:
            kind, data = watcher.read_one()
        except socket.timeout:
            return
        if kind == 'event':
            yield data


for data in events():
    code = data[0] & 0x7f
    window = struct.unpack_from('<I', data, 8)[0]
    if code in seen and window in ids:
        seen[code].add(window)
    elif code != 18 or window not in ids:  # (UnmapNotify at the close)
        others += 1
print('windows made', len(seen[16]), 'mapped', len(seen[19]), 'destroyed', len(seen[17]), 'others', others)
