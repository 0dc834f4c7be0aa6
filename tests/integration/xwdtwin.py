# Draws a window across the boundary of two 800-pixel heads, dumps it with xwd -id, shows the
# dump with xwud (over the window, where the dump says it was) and dumps xwud's window by name
# and the covered window again. Prints the first dump's header fields (the window name left
# out), digests of its colours and pixels, whether xwud's window holds the same pixels, and a
# digest of the covered window's.
# Usage: xwdtwin.py <display>
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import time

from Xlib import X, display

shown = sys.argv[1]
d = display.Display(shown)
s = d.screen()
env = {"PATH": "/usr/bin:/bin"}
fields = ("header_size file_version pixmap_format pixmap_depth width height xoffset byte_order bitmap_unit "
          "bitmap_bit_order bitmap_pad bits_per_pixel bytes_per_line visual_class red_mask green_mask blue_mask "
          "bits_per_rgb colormap_entries ncolors window_width window_height window_x window_y window_bdrwidth").split()


def dump(words, path):
    subprocess.run(["xwd", "-display", shown, "-silent", "-out", path] + words, env=env, check=True, timeout=20)
    data = open(path, "rb").read()
    header = dict(zip(fields, struct.unpack(">25I", data[:100])))
    pixels = data[header["header_size"] + 12 * header["ncolors"]:]
    return header, data[header["header_size"]:header["header_size"] + 12 * header["ncolors"]], pixels


win = s.root.create_window(600, 100, 400, 300, 0, s.root_depth, X.InputOutput, X.CopyFromParent,
                           background_pixel=0x203040, override_redirect=1, event_mask=X.ExposureMask)
win.set_wm_name("drawn")
win.map()
while True:
    e = d.next_event()
    if e.type == X.Expose and e.count == 0:
        break
gc = win.create_gc(foreground=0xffaa00, background=0x000080, line_width=5)
win.poly_fill_rectangle(gc, [(20, 20, 100, 100), (250, 150, 100, 100)])
win.poly_line(gc, X.CoordModeOrigin, [(10, 280), (390, 10), (200, 290)])
win.poly_fill_arc(gc, [(170, 60, 90, 70, 0, 360 * 64)])
win.image_text(gc, 150, 240, "across the heads")
d.sync()
with tempfile.TemporaryDirectory() as directory:
    first = os.path.join(directory, "drawn.xwd")
    header, colors, pixels = dump(["-id", str(win.id)], first)
    print(" ".join("%s=%d" % (f, header[f]) for f in fields))
    print("colors", hashlib.sha256(colors).hexdigest()[:16], "pixels", len(pixels), hashlib.sha256(pixels).hexdigest()[:16])
    viewer = subprocess.Popen(["xwud", "-display", shown, "-in", first], env=env)
    try:
        again = None
        for attempt in range(60):
            time.sleep(0.1)
            try:
                again = dump(["-name", "xwud: drawn"], os.path.join(directory, "again.xwd"))
            except subprocess.CalledProcessError:
                continue
            if again[2] == pixels:
                break
        print("xwud", "same pixels" if again and again[2] == pixels else "other pixels",
              "size %dx%d" % (again[0]["width"], again[0]["height"]) if again else "no window")
        # The drawn window under xwud's (with its border), which shows the image at the same place.
        covered = dump(["-id", str(win.id)], os.path.join(directory, "covered.xwd"))
        print("covered", hashlib.sha256(covered[2]).hexdigest()[:16])
    finally:
        viewer.kill()
        viewer.wait()
