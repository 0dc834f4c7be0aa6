# A client that sleeps through thousands of departures: it selects SubstructureNotify on the root
# and reads nothing while COUNT short-lived clients come and go (scripts/crowd.py: each makes and
# maps a window, destroys it or leaves that to its close, and closes; several at a time), then
# reads. Every CreateNotify it got must name the window its client made, every MapNotify,
# UnmapNotify and DestroyNotify one of those that is still there, and nothing else may be named
# (four notifications a client: a proxy that reads the sleeper's connection while it can give
# it room holds fewer of them). Prints
#   served N refused N
#   created N mapped N destroyed N wrong N
# With "flood": the sleeper also selects PropertyChange on the root and one more client changes
# a root property 30 000 times before the crowd and 10 000 times when half of it has gone, far
# more than a socket holds; the sleeper's events of the crowd then lie behind those. Then one
# more line counts what the sleeper got of the flood and of other kinds:
#   property notifications N of 40000, other N
# Arguments: the display name, COUNT, optionally "flood".
import sys
import time

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import crowd  # noqa: E402
import rawx  # noqa: E402

name, count = sys.argv[1], int(sys.argv[2])
flood = sys.argv[3:4] == ['flood']

sleeper = crowd.Sleeper(name, rawx.SubstructureNotifyMask | (rawx.PropertyChangeMask if flood else 0))
if flood:
    flooder = rawx.Client(name, timeout=60.0)
    change = flooder.change_root_property(flooder.intern_atom('_SLEEPER_FLOOD'), 1)

    def flood_root(times):
        for chunk in range(times // 5000):
            flooder.send(change * 5000, 5000)
        flooder.round_trip()

    flood_root(30000)
clients = crowd.Crowd(name)
clients.run(count // 2, mapped=lambda n: True)
if flood:
    flood_root(10000)
clients.run(count - count // 2, mapped=lambda n: True)
print('served', len(clients.windows), 'refused', clients.refused)

# The last clients' departures reach the server after their sockets close: let them land first.
time.sleep(2)
events = sleeper.wake()
result = crowd.check(events, clients.windows)
print('created', result['created'], 'mapped', result['mapped'], 'destroyed', result['destroyed'], 'wrong',
      result['wrong'])
if flood:
    properties = sum(1 for e in events if e[0] & 0x7f == crowd.PropertyNotify)
    print('property notifications', properties, 'of 40000, other', result['others'] - properties)
elif result['others']:
    print('other', result['others'])
