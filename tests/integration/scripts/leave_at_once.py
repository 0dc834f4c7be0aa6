# 60 clients each send one event (a ClientMessage, as a window manager's WM_DELETE_WINDOW is
# sent) to a window of another client and close their connection at once, without a round
# trip, each after a long request that the server reads in several parts. Prints how many
# arrived; argument: the display name.
import sys, time
from Xlib import X, display
from Xlib.protocol import event
name = sys.argv[1]
receiver = display.Display(name)
window = receiver.screen().root.create_window(0, 0, 10, 10, 0, receiver.screen().root_depth)
kind = receiver.intern_atom('TARVO_LEAVE')
text = receiver.intern_atom('TARVO_LEAVE_TEXT')
receiver.sync()
senders = [display.Display(name) for _ in range(60)]
for n, sender in enumerate(senders):
    target = sender.create_resource_object('window', window.id)
    for part in range(4):
        target.change_property(text, 31, 8, b'x' * 60000, X.PropModeAppend)
    message = event.ClientMessage(window=target, client_type=kind, data=(32, [n, 0, 0, 0, 0]))
    target.send_event(message, event_mask=0)
    sender.close()
# Waits until all came, or until the server made no progress for 10 s: no message came and the
# property did not grow (a loaded machine takes its time to carry the 14 MB, each append copying
# the property so far, and may give the servers no processor for seconds); at most 150 s.
def appended():
    return window.get_property(text, X.AnyPropertyType, 0, 0).bytes_after


got = set()
start = last = time.time()
size = appended()
while len(got) < 60 and time.time() - last < 10 and time.time() - start < 150:
    while receiver.pending_events():
        e = receiver.next_event()
        if e.type == X.ClientMessage and e.data[1][0] not in got:
            got.add(e.data[1][0])
            last = time.time()
    time.sleep(0.2)
    now = appended()
    if now != size:
        size, last = now, time.time()
print('received', len(got), 'of', len(senders))
