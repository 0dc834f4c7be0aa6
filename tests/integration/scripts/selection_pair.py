# Two clients trade a selection: the owner takes it, the requestor asks who owns it and
# converts it, the owner stores the text on the requestor's window and sends SelectionNotify,
# the requestor reads the text. Prints one line per finding. Argument: the display name.
import select, sys, time
from Xlib import X, Xatom, display
from Xlib.protocol import event

name = sys.argv[1]
owner = display.Display(name)
requestor = display.Display(name)

def owner_of(d, atom):
    # The owner's window id, 0 for None.
    o = d.get_selection_owner(atom)
    return getattr(o, 'id', o)

def wait_for(d, kind, seconds=10):
    # The next event of the kind on the connection (None after the time-out).
    deadline = time.time() + seconds
    while time.time() < deadline:
        while d.pending_events():
            e = d.next_event()
            if e.type == kind:
                return e
        select.select([d.fileno()], [], [], 0.1)
    return None

selection = owner.intern_atom('TARVO_TEST_SELECTION')
target = owner.intern_atom('STRING')
result = requestor.intern_atom('TARVO_TEST_RESULT')
print('owner before', owner_of(requestor, selection))
ow = owner.screen().root.create_window(0, 0, 10, 10, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent)
rw = requestor.screen().root.create_window(0, 0, 10, 10, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent)
ow.set_selection_owner(selection, X.CurrentTime)
owner.sync()
print('owner is the owner window', owner_of(requestor, selection) == ow.id)
print('owner as the owner sees it', owner_of(owner, selection) == ow.id)
rw.convert_selection(selection, target, result, X.CurrentTime)
requestor.flush()
request = wait_for(owner, X.SelectionRequest)
print('request', request is not None)
if request is not None:
    print('request requestor is the requestor window', request.requestor.id == rw.id)
    print('request owner is the owner window', request.owner.id == ow.id)
    print('request names', request.selection == selection, request.target == target, request.property == result)
    request.requestor.change_property(request.property, target, 8, b'selected text')
    notify = event.SelectionNotify(time=request.time, requestor=request.requestor, selection=request.selection,
                                   target=request.target, property=request.property)
    request.requestor.send_event(notify)
    owner.sync()
answer = wait_for(requestor, X.SelectionNotify)
print('notify', answer is not None)
if answer is not None:
    print('notify sent', answer.send_event, 'requestor', answer.requestor.id == rw.id, 'property', answer.property == result)
    value = rw.get_full_property(result, X.AnyPropertyType)
    print('value', value.format if value else None, value.value if value else None)
owner.close()
time.sleep(0.2)
print('owner after the owner left', owner_of(requestor, selection))
requestor.close()
