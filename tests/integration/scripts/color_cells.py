#!/usr/bin/python3
"""Takes every free read/write cell of a colormap and leaves: color_cells.py DISPLAY COLORMAP MODE

MODE is the close-down mode set first: destroy, permanent or temporary. Prints "cells N", the
number of cells it got (in the largest pieces the server grants, down to single cells).
"""

import sys

import Xlib.X as X
import Xlib.display
import Xlib.error


def main():
    display = Xlib.display.Display(sys.argv[1])
    colormap = display.create_resource_object('colormap', int(sys.argv[2], 0))
    mode = {'destroy': X.DestroyAll, 'permanent': X.RetainPermanent, 'temporary': X.RetainTemporary}[sys.argv[3]]
    display.set_close_down_mode(mode)
    total, piece = 0, 256
    while piece >= 1:
        try:
            total += len(colormap.alloc_color_cells(False, piece, 0).pixels)
        except Xlib.error.XError:
            piece //= 2
    print("cells %d" % total)
    display.close()


main()
