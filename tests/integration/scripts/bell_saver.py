# Bell, the screen saver, the pointer and keyboard controls and RotateProperties as a client
# sees them; prints one line per finding. Argument: the display name.
import sys
from Xlib import X, Xatom, display, error

d = display.Display(sys.argv[1])
s = d.screen()
d.bell(50)
d.set_screen_saver(600, 60, X.PreferBlanking, X.AllowExposures)
d.force_screen_saver(X.ScreenSaverReset)
saver = d.get_screen_saver()
print('saver', saver.timeout, saver.interval, saver.prefer_blanking, saver.allow_exposures)
d.change_pointer_control((3, 2), 4)
pointer = d.get_pointer_control()
print('pointer', pointer.accel_num, pointer.accel_denom, pointer.threshold)
print('pointer mapping', list(d.get_pointer_mapping()))
keyboard = d.get_keyboard_control()
print('keyboard', keyboard.key_click_percent, keyboard.bell_percent, keyboard.bell_pitch, keyboard.bell_duration)
print('modifiers', [list(m) for m in d.get_modifier_mapping()])
first = d.display.info.min_keycode
print('keysyms', d.get_keyboard_mapping(first, 8))
# RotateProperties on a window of its own, both ways, and with an atom named twice (BadMatch).
w = s.root.create_window(0, 0, 10, 10, 0, s.root_depth)
atoms = [d.intern_atom('TARVO_ROTATED_%d' % i) for i in range(3)]
for i, atom in enumerate(atoms):
    w.change_property(atom, Xatom.STRING, 8, b'value %d' % i)
for delta in (1, -2):
    w.rotate_properties(atoms, delta)
    print('rotated by', delta, [w.get_full_property(a, Xatom.STRING).value.decode() for a in atoms])
catch = error.CatchError()
w.rotate_properties(atoms + atoms[:1], 1, onerror=catch)
d.sync()
print('atom named twice', catch.get_error() is not None and catch.get_error()._data.get('code'))
