"""Prints the pixel at 5,5 of every screen's root of the display as hex, one line per screen."""
import sys

from Xlib import X, display

d = display.Display(sys.argv[1])
for n in range(d.screen_count()):
    image = d.screen(n).root.get_image(5, 5, 1, 1, X.ZPixmap, 0xffffffff)
    data = image.data
    print("%02x%02x%02x" % (data[2], data[1], data[0]))
