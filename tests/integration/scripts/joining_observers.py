# Observers that join while clients leave. COUNT short-lived clients come and go one after another
# (scripts/crowd.py: each makes a window whose geometry tells the client, maps it, destroys it or
# leaves that to its close, does a round trip and closes): the server gives each newcomer the
# client index, and so the id base, that the one before left. Meanwhile observers connect, four
# at a time: each selects SubstructureNotify on the root at once, reads what comes for a little
# while and closes. Every CreateNotify of a crowd window that an observer reads must name the
# window by the id its maker gave it, from the observer's very first event on (a departed
# client's id for a newcomer's window is the fault looked for). Prints
#   observers enough      (at least 20 joined during the crowd)
#   wrong N
# with the first few wrong ones before. Arguments: the display name, COUNT.
import struct, sys, threading, time

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import crowd  # noqa: E402
import rawx  # noqa: E402

name, count = sys.argv[1], int(sys.argv[2])
OBSERVERS_AT_ONCE = 4
READ_SECONDS = 0.03  # what each observer reads after its selection

clients = crowd.Crowd(name)
done = threading.Event()
failures = []
observed = []  # per observer: the CreateNotify events it read


def run_crowd():
    try:
        clients.run(count, mapped=lambda n: True, at_once=1)
    except Exception as e:  # (raised below)
        failures.append(e)
    done.set()


def observe():
    o = rawx.Client(name)
    o.select_input(o.root, rawx.SubstructureNotifyMask)
    o.round_trip()
    events = list(o.events)
    o.sock.setblocking(False)
    pending = b''
    end = time.time() + READ_SECONDS
    while time.time() < end:
        try:
            chunk = o.sock.recv(1 << 16)
        except BlockingIOError:
            time.sleep(0.001)
            continue
        if not chunk:
            break
        pending += chunk
        whole = len(pending) // 32 * 32
        events += [pending[at:at + 32] for at in range(0, whole, 32)]
        pending = pending[whole:]
    o.close()
    return [e for e in events if e[0] & 0x7f == crowd.CreateNotify]


def observers():
    try:
        while not done.is_set():
            events = observe()
            with clients.lock:
                observed.append(events)
    except Exception as e:  # (raised below)
        failures.append(e)
        done.set()


threads = [threading.Thread(target=run_crowd)] + [threading.Thread(target=observers) for _ in range(OBSERVERS_AT_ONCE)]
for t in threads:
    t.start()
for t in threads:
    t.join()
if failures:
    raise failures[0]

wrong = 0
for events in observed:
    for e in events:
        window, x, y, width, height = struct.unpack_from('<IhhHH', e, 8)
        if (width, height) != (crowd.WIDTH, crowd.HEIGHT):
            continue
        number = crowd.number_at(x, y)
        if clients.windows.get(number) != window:
            wrong += 1
            if wrong <= 5:
                print('  client %d made %s, CreateNotify named %s' %
                      (number, hex(clients.windows.get(number, 0)), hex(window)))
print('observers', 'enough' if len(observed) >= 20 else len(observed))
print('wrong', wrong)
