# A client that names itself by the properties of its window: WM_NAME twice (the first of 40
# bytes), WM_CLIENT_MACHINE and, with "class", WM_CLASS. Arguments: the display name, and
# "name" or "class". Prints the names it reads back, then "done".
import sys
from Xlib import X, display

d = display.Display(sys.argv[1])
root = d.screen().root
w = root.create_window(0, 0, 20, 20, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent)
w.set_wm_name('a program name of forty bytes, 123456789')
d.sync()
w.set_wm_name('second name')
w.set_wm_client_machine('machine.example')
if sys.argv[2] == 'class':
    w.set_wm_class('instance', 'AClassNameOfMoreThanThirtyOneBytes')
d.sync()
print('name', w.get_wm_name())
print('class', w.get_wm_class())
print('done')
d.close()
