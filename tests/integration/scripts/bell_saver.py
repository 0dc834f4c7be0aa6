# Bell, the screen saver and the pointer and keyboard controls as a client
# sees them; prints one line per finding. Argument: the display name.
import sys
from Xlib import X, display

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
