# A reparenting window manager (python-xlib, a process of its own) that is stopped (SIGSTOP) while
# a client changes a root property 40 000 times (the manager watches root properties) and COUNT
# short-lived clients come and go (scripts/crowd.py; every third maps its window, which asks the
# manager), then continued (SIGCONT). Directly it works through its backlog at once: it frames
# what asks to be mapped (with "grab": holding the server around each frame, as many managers
# do), and python-xlib sends all it queued in one blocking send whenever its socket is
# writable. Once it goes on, a last property change tells the manager that everything was sent
# before it, and it makes a round trip of its own and prints "done"; then a bystander that
# connected before the stop and a newcomer make a round trip. Prints
#   done
#   bystander and newcomer answered
# (or what was not). Arguments: the display name, COUNT, optionally "grab".
import os, signal, subprocess, sys, threading

sys.dont_write_bytecode = True  # (no cache files beside the scripts)
import crowd  # noqa: E402
import rawx  # noqa: E402

WAIT = 120  # seconds: a manager or bystander that is not through by then is stuck


def manager(name, grab):
    from Xlib import X, display
    wm = display.Display(name)
    wm.set_error_handler(lambda err, *args: None)  # frames of windows that went: BadWindow
    root = wm.screen().root
    root.change_attributes(event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask | X.PropertyChangeMask)
    done = wm.intern_atom('_STOPPED_WM_DONE')
    mark = wm.intern_atom('_STOPPED_WM_FRAMED')
    wm.sync()
    print('ready', flush=True)
    while True:
        e = wm.next_event()
        if e.type == X.MapRequest:
            if grab:
                wm.grab_server()
            crowd.frame_window(wm, root, e.window.id, mark)
            if grab:
                wm.ungrab_server()
        elif e.type == X.PropertyNotify and e.atom == done:
            wm.sync()
            print('done', flush=True)
            return


if sys.argv[1:2] == ['manager']:
    manager(sys.argv[2], sys.argv[3:4] == ['grab'])
    sys.exit(0)

name, count = sys.argv[1], int(sys.argv[2])
grab = sys.argv[3:4] == ['grab']
wm = subprocess.Popen([sys.executable, os.path.abspath(__file__), 'manager', name] + (['grab'] if grab else []),
                      stdout=subprocess.PIPE, text=True)
try:
    if wm.stdout.readline().strip() != 'ready':
        sys.exit('the manager did not start')
    bystander = rawx.Client(name, timeout=WAIT)
    bystander.round_trip()
    wm.send_signal(signal.SIGSTOP)
    flooder = rawx.Client(name, timeout=WAIT)
    change = flooder.change_root_property(flooder.intern_atom('_STOPPED_WM_FLOOD'), 1)
    last = flooder.change_root_property(flooder.intern_atom('_STOPPED_WM_DONE'), 1)
    for chunk in range(8):
        flooder.send(change * 5000, 5000)
    flooder.round_trip()
    crowd.Crowd(name).run(count, mapped=lambda n: n % 3 == 0, at_once=2)
    wm.send_signal(signal.SIGCONT)
    # Sent behind the backlog, not waited for: a server held by a stuck manager would not answer.
    flooder.send(last)
    result = []
    reader = threading.Thread(target=lambda: result.append(wm.stdout.readline().strip()))
    reader.start()
    reader.join(WAIT)
    print(result[0] if result and result[0] else 'the manager is not through after %d s' % WAIT)
    try:
        bystander.round_trip()
        newcomer = rawx.Client(name, timeout=WAIT)
        newcomer.round_trip()
        print('bystander and newcomer answered')
    except Exception as e:
        print('not answered: %s' % e)
finally:
    if wm.poll() is None:
        wm.send_signal(signal.SIGCONT)
        wm.kill()
    wm.wait()
