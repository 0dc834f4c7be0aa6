#!/usr/bin/python3
"""Writes the seed corpus of the fuzz targets (tests/fuzz/corpus/fuzz_<target>/).

Every core request (opcodes 1-119 and 127) and every minor of the served extensions, valid and
in both byte orders, behind a short prefix that creates the resources they name (a window and
its child, pixmaps, a GC, a font, a colormap, a cursor). Each target gets them in its own input
format (see the targets' sources): fuzz_requests the raw stream, fuzz_dispatch the records of
major, data byte and body words, fuzz_setup a connection setup in front of a few requests.

Run with /usr/bin/python3 from anywhere; it replaces the generated files (names starting with
"core-", "ext-", "stream-" or "setup-") and leaves others, such as crash-* regression inputs.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")

# The fuzz world (tests/fuzz/fuzzharness.h): extension majors, the first screen's root and
# visual, and the id base of the run's client (slot 1).
BIGREQ, XCMISC, DPMS, FBPM, ALLPLANES, GE, MULTIMEDIA = 129, 130, 131, 132, 133, 134, 135
ROOT, VISUAL = 0x100, 0x21
BASE = 1 << 20
W, P, G, F, C, CUR, P1, W2, G2, C2, CUR2, F2 = (BASE + n for n in range(1, 13))
COOKIE = bytes([0x5a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xa5])
ATOM_WM_NAME, ATOM_STRING, ATOM_PRIMARY = 39, 31, 1


class Req:
    """One request built field by field in one byte order; bytes() fills the length."""

    def __init__(self, big, major, data=0):
        self.e = ">" if big else "<"
        self.major, self.data = major, data
        self.body = b""

    def b(self, *v):
        self.body += bytes(x & 0xFF for x in v)
        return self

    def s(self, *v):
        self.body += b"".join(struct.pack(self.e + "H", x & 0xFFFF) for x in v)
        return self

    def i(self, *v):
        self.body += b"".join(struct.pack(self.e + "I", x & 0xFFFFFFFF) for x in v)
        return self

    def raw(self, data):
        self.body += data
        return self

    def pad(self, n=None):
        if n is None:
            n = (4 - len(self.body) % 4) % 4
        self.body += b"\0" * n
        return self

    def text(self, t):
        self.body += t.encode()
        return self.pad()

    def words(self):
        self.pad()
        return 1 + len(self.body) // 4

    def bytes(self):
        n = self.words()
        return bytes([self.major, self.data]) + struct.pack(self.e + "H", n) + self.body

    def big_form(self):
        n = self.words() + 1
        return bytes([self.major, self.data]) + struct.pack(self.e + "HI", 0, n) + self.body

    def record(self):
        """fuzz_dispatch's record: major, data byte, body words, body."""
        self.pad()
        return bytes([self.major, self.data, len(self.body) // 4]) + self.body


def prefix(big):
    """Requests that create what the seeds name."""
    R = lambda major, data=0: Req(big, major, data)
    return [
        # CreateWindow W: 100x80 at (10, 20), border 1, InputOutput, background and event mask.
        R(1, 0).i(W, ROOT).s(10, 20, 100, 80, 1, 1).i(0, 0x802, 0xFFFFFF, 0x28047),
        R(1, 0).i(W2, W).s(5, 5, 20, 20, 0, 1).i(0, 0),
        R(8).i(W),
        R(53, 24).i(P, W).s(32, 16),
        R(53, 1).i(P1, W).s(16, 16),
        R(55).i(G, W, 0x0C, 0xFF0000, 0x00FF00),
        R(45).i(F).s(5).pad(2).text("fixed"),
        R(78, 0).i(C, W, VISUAL),
        R(93).i(CUR, P1, 0).s(0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 2, 2),
    ]


def core_requests(big):
    """(opcode, name, request) for every core request."""
    R = lambda major, data=0: Req(big, major, data)
    window_values = (0x0001 | 0x0800, [0, 0x8001])  # background pixmap None, event mask
    out = [
        (1, "CreateWindow", R(1, 0).i(BASE + 20, W).s(0, 0, 30, 30, 2, 1).i(0, 0x0A02, 0x10, 1, 0x8001)),
        (2, "ChangeWindowAttributes", R(2).i(W, window_values[0], *window_values[1])),
        (3, "GetWindowAttributes", R(3).i(W)),
        (4, "DestroyWindow", R(4).i(W2)),
        (5, "DestroySubwindows", R(5).i(W)),
        (6, "ChangeSaveSet", R(6, 0).i(W2)),
        (7, "ReparentWindow", R(7).i(W2, ROOT).s(40, 50)),
        (8, "MapWindow", R(8).i(W2)),
        (9, "MapSubwindows", R(9).i(W)),
        (10, "UnmapWindow", R(10).i(W)),
        (11, "UnmapSubwindows", R(11).i(W)),
        (12, "ConfigureWindow", R(12).i(W).s(0x004F, 0).i(15, 25, 200, 150, 0)),
        (13, "CirculateWindow", R(13, 1).i(W)),
        (14, "GetGeometry", R(14).i(W)),
        (15, "QueryTree", R(15).i(ROOT)),
        (16, "InternAtom", R(16, 0).s(7, 0).text("WM_NAME")),
        (17, "GetAtomName", R(17).i(ATOM_WM_NAME)),
        (18, "ChangeProperty", R(18, 0).i(W, ATOM_WM_NAME, ATOM_STRING).b(8, 0, 0, 0).i(5).text("hello")),
        (19, "DeleteProperty", R(19).i(W, ATOM_WM_NAME)),
        (20, "GetProperty", R(20, 0).i(W, ATOM_WM_NAME, 0, 0, 100)),
        (21, "ListProperties", R(21).i(W)),
        (22, "SetSelectionOwner", R(22).i(W, ATOM_PRIMARY, 0)),
        (23, "GetSelectionOwner", R(23).i(ATOM_PRIMARY)),
        (24, "ConvertSelection", R(24).i(W, ATOM_PRIMARY, ATOM_STRING, ATOM_WM_NAME, 0)),
        (25, "SendEvent", R(25, 0).i(W, 0x20000).b(33, 8).s(0).i(W, ATOM_WM_NAME).pad(20)),
        (26, "GrabPointer", R(26, 1).i(W).s(0x0C).b(1, 1).i(0, 0, 0)),
        (27, "UngrabPointer", R(27).i(0)),
        (28, "GrabButton", R(28, 1).i(W).s(0x0C).b(1, 1).i(0, 0).b(1, 0).s(0x8000)),
        (29, "UngrabButton", R(29, 1).i(W).s(0x8000, 0)),
        (30, "ChangeActivePointerGrab", R(30).i(0, 0).s(0x0C, 0)),
        (31, "GrabKeyboard", R(31, 1).i(W, 0).b(1, 1).s(0)),
        (32, "UngrabKeyboard", R(32).i(0)),
        (33, "GrabKey", R(33, 1).i(W).s(0x8000).b(38, 1, 1).pad(3)),
        (34, "UngrabKey", R(34, 38).i(W).s(0x8000, 0)),
        (35, "AllowEvents", R(35, 1).i(0)),
        (36, "GrabServer", R(36)),
        (37, "UngrabServer", R(37)),
        (38, "QueryPointer", R(38).i(W)),
        (39, "GetMotionEvents", R(39).i(W, 0, 0)),
        (40, "TranslateCoordinates", R(40).i(W, ROOT).s(5, 6)),
        (41, "WarpPointer", R(41).i(0, W).s(0, 0, 0, 0, 10, 10)),
        (42, "SetInputFocus", R(42, 1).i(W, 0)),
        (43, "GetInputFocus", R(43)),
        (44, "QueryKeymap", R(44)),
        (45, "OpenFont", R(45).i(F2).s(5).pad(2).text("fixed")),
        (46, "CloseFont", R(46).i(F)),
        (47, "QueryFont", R(47).i(F)),
        (48, "QueryTextExtents", R(48, 1).i(F).s(0x41, 0x42, 0x43).pad()),
        (49, "ListFonts", R(49).s(10, 1).text("*")),
        (50, "ListFontsWithInfo", R(50).s(2, 5).text("fixed")),
        (51, "SetFontPath", R(51).s(1).pad(2).b(9).raw(b"built-ins").pad()),
        (52, "GetFontPath", R(52)),
        (53, "CreatePixmap", R(53, 24).i(BASE + 21, ROOT).s(64, 64)),
        (54, "FreePixmap", R(54).i(P)),
        (55, "CreateGC", R(55).i(G2, P, 0x0000000C | 0x10, 0x1, 0x0, 3)),
        (56, "ChangeGC", R(56).i(G, 0x14, 0x00FF00, 2)),
        (57, "CopyGC", R(57).i(G, G, 0x0C)),
        (58, "SetDashes", R(58).i(G).s(0, 2).b(4, 2).pad()),
        (59, "SetClipRectangles", R(59, 0).i(G).s(0, 0, 1, 1, 10, 10, 20, 20, 5, 5)),
        (60, "FreeGC", R(60).i(G)),
        (61, "ClearArea", R(61, 0).i(W).s(0, 0, 10, 10)),
        (62, "CopyArea", R(62).i(W, P, G).s(0, 0, 1, 1, 10, 10)),
        (63, "CopyPlane", R(63).i(P, W, G).s(0, 0, 3, 3, 8, 8).i(1)),
        (64, "PolyPoint", R(64, 0).i(W, G).s(1, 1, 2, 2, 3, 3)),
        (65, "PolyLine", R(65, 1).i(W, G).s(10, 10, 5, 0, 0, 5)),
        (66, "PolySegment", R(66).i(W, G).s(0, 0, 10, 10, 10, 0, 0, 10)),
        (67, "PolyRectangle", R(67).i(W, G).s(1, 1, 8, 8)),
        (68, "PolyArc", R(68).i(W, G).s(5, 5, 20, 20, 0, 90 * 64)),
        (69, "FillPoly", R(69).i(W, G).b(0, 0).s(0).s(0, 0, 10, 0, 5, 8)),
        (70, "PolyFillRectangle", R(70).i(P, G).s(0, 0, 16, 8, 2000, -5, 10, 10)),
        (71, "PolyFillArc", R(71).i(W, G).s(0, 0, 30, 30, 0, 360 * 64)),
        (72, "PutImage", R(72, 2).i(P, G).s(2, 2, 0, 0).b(0, 24).s(0).raw(bytes(range(16)))),
        (73, "GetImage", R(73, 2).i(W).s(0, 0, 4, 4).i(0xFFFFFFFF)),
        (74, "PolyText8", R(74).i(W, G).s(10, 20).b(3, 0).raw(b"abc").b(255).raw(struct.pack(">I", F)).pad()),
        (75, "PolyText16", R(75).i(W, G).s(10, 40).b(2, 0).s(0x61, 0x62).pad()),
        (76, "ImageText8", R(76, 3).i(W, G).s(10, 60).raw(b"xyz").pad()),
        (77, "ImageText16", R(77, 2).i(W, G).s(10, 70).s(0x41, 0x42)),
        (78, "CreateColormap", R(78, 1).i(C2, ROOT, VISUAL)),
        (79, "FreeColormap", R(79).i(C)),
        (80, "CopyColormapAndFree", R(80).i(C2, C)),
        (81, "InstallColormap", R(81).i(C)),
        (82, "UninstallColormap", R(82).i(C)),
        (83, "ListInstalledColormaps", R(83).i(W)),
        (84, "AllocColor", R(84).i(C).s(0xFFFF, 0x8000, 0).pad(2)),
        (85, "AllocNamedColor", R(85).i(C).s(3).pad(2).text("red")),
        (86, "AllocColorCells", R(86, 0).i(C).s(2, 1)),
        (87, "AllocColorPlanes", R(87, 0).i(C).s(1, 1, 1, 1)),
        (88, "FreeColors", R(88).i(C, 0, 5, 6)),
        (89, "StoreColors", R(89).i(C, 3).s(0xFFFF, 0, 0).b(7, 0)),
        (90, "StoreNamedColor", R(90, 7).i(C, 3).s(4).pad(2).text("blue")),
        (91, "QueryColors", R(91).i(C, 0, 1, 0xFFFFFF)),
        (92, "LookupColor", R(92).i(C).s(5).pad(2).text("green")),
        (93, "CreateCursor", R(93).i(CUR2, P1, 0).s(0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 1, 1)),
        (94, "CreateGlyphCursor", R(94).i(CUR2, F, 0).s(68, 0, 0xFFFF, 0, 0, 0, 0, 0)),
        (95, "FreeCursor", R(95).i(CUR)),
        (96, "RecolorCursor", R(96).i(CUR).s(1, 2, 3, 4, 5, 6)),
        (97, "QueryBestSize", R(97, 0).i(ROOT).s(16, 16)),
        (98, "QueryExtension", R(98).s(4).pad(2).text("DPMS")),
        (99, "ListExtensions", R(99)),
        (100, "ChangeKeyboardMapping", R(100, 1).b(38, 2).pad(2).i(0x61, 0x41)),
        (101, "GetKeyboardMapping", R(101).b(8, 10).pad(2)),
        (102, "ChangeKeyboardControl", R(102).i(0x0003, 50, 60)),
        (103, "GetKeyboardControl", R(103)),
        (104, "Bell", R(104, 50)),
        (105, "ChangePointerControl", R(105).s(2, 1, 4).b(1, 1)),
        (106, "GetPointerControl", R(106)),
        (107, "SetScreenSaver", R(107).s(600, 60).b(1, 1).pad(2)),
        (108, "GetScreenSaver", R(108)),
        (109, "ChangeHosts", R(109, 0).b(0, 0).s(4).b(10, 0, 0, 1)),
        (110, "ListHosts", R(110)),
        (111, "SetAccessControl", R(111, 1)),
        (112, "SetCloseDownMode", R(112, 0)),
        (113, "KillClient", R(113).i(BASE + 99)),
        (114, "RotateProperties", R(114).i(W).s(2, 1).i(ATOM_WM_NAME, ATOM_STRING)),
        (115, "ForceScreenSaver", R(115, 0)),
        (116, "SetPointerMapping", R(116, 3).b(1, 2, 3).pad()),
        (117, "GetPointerMapping", R(117)),
        (118, "SetModifierMapping", R(118, 1).b(50, 66, 37, 0, 64, 0, 0, 0)),
        (119, "GetModifierMapping", R(119)),
        (127, "NoOperation", R(127)),
    ]
    assert [o for o, _, _ in out] == list(range(1, 120)) + [127]
    return out


def ext_requests(big):
    """(extension, minor, name, request) for every minor of the served extensions."""
    R = lambda major, minor: Req(big, major, minor)
    return [
        ("bigreq", 0, "BigReqEnable", R(BIGREQ, 0)),
        ("xcmisc", 0, "GetVersion", R(XCMISC, 0).s(1, 1)),
        ("xcmisc", 1, "GetXIDRange", R(XCMISC, 1)),
        ("xcmisc", 2, "GetXIDList", R(XCMISC, 2).i(8)),
        ("dpms", 0, "GetVersion", R(DPMS, 0).s(1, 1)),
        ("dpms", 1, "Capable", R(DPMS, 1)),
        ("dpms", 2, "GetTimeouts", R(DPMS, 2)),
        ("dpms", 3, "SetTimeouts", R(DPMS, 3).s(600, 900, 1200).pad(2)),
        ("dpms", 4, "Enable", R(DPMS, 4)),
        ("dpms", 5, "Disable", R(DPMS, 5)),
        ("dpms", 6, "ForceLevel", R(DPMS, 6).s(1).pad(2)),
        ("dpms", 7, "Info", R(DPMS, 7)),
        ("fbpm", 0, "GetVersion", R(FBPM, 0).s(1, 1)),
        ("fbpm", 1, "Capable", R(FBPM, 1)),
        ("fbpm", 4, "Enable", R(FBPM, 4).s(1).pad(2)),
        ("fbpm", 5, "Disable", R(FBPM, 5)),
        ("fbpm", 6, "ForceLevel", R(FBPM, 6).s(2).pad(2)),
        ("fbpm", 7, "Info", R(FBPM, 7)),
        ("allplanes", 0, "QueryVersion", R(ALLPLANES, 0)),
        ("allplanes", 1, "PolyPoint", R(ALLPLANES, 1).i(W).b(0, 0).s(0).s(1, 1, 5, 5)),
        ("allplanes", 2, "PolyLine", R(ALLPLANES, 2).i(W).b(1, 0).s(0).s(1, 1, 5, 5, -2, 3)),
        ("allplanes", 3, "PolySegment", R(ALLPLANES, 3).i(W).s(0, 0, 9, 9)),
        ("allplanes", 4, "PolyRectangle", R(ALLPLANES, 4).i(P).s(1, 1, 10, 5)),
        ("allplanes", 5, "PolyFillRectangle", R(ALLPLANES, 5).i(W).s(-5, 2, 700, 10)),
        ("ge", 0, "QueryVersion", R(GE, 0).s(1, 0)),
        ("multimedia", 0, "GetVersion", R(MULTIMEDIA, 0)),
        ("multimedia", 1, "OpenStream", R(MULTIMEDIA, 1).b(1, 0).s(2).raw(b"Sink\0").pad()),
        ("multimedia", 2, "WriteStream", R(MULTIMEDIA, 2).b(1, 2).s(0).raw(b"frame\0\0\0").pad()),
        ("multimedia", 3, "CloseStream", R(MULTIMEDIA, 3).b(1, 0).s(0)),
    ]


def setup_message(big, name=b"", data=b""):
    e = ">" if big else "<"
    pad = lambda b: b + b"\0" * ((4 - len(b) % 4) % 4)
    return (b"B" if big else b"l") + b"\0" + struct.pack(e + "HHHHH", 11, 0, len(name), len(data), 0) + \
        pad(name) + pad(data)


def clean(directory):
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        if name.split("-")[0] in ("core", "ext", "stream", "setup"):
            os.remove(os.path.join(directory, name))


def write(directory, name, data):
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def every_request(big):
    """(file name part, request) of every core request and extension minor."""
    for opcode, name, r in core_requests(big):
        yield "core-%03d-%s" % (opcode, name), r
    for ext, minor, name, r in ext_requests(big):
        yield "ext-%s-%d-%s" % (ext, minor, name), r


# ===== fuzz_gldirect =====
# Records of [kind, selector, length] (tests/fuzz/fuzz_gldirect.cpp): the selector's low bit is
# the slot, the rest the operation (an index into the target's tables).
RENDER, LARGE, SINGLE, VENDOR, PIXEL, GLSL, TAGS = range(7)
S_DELETELISTS, S_GENLISTS, S_FEEDBACK, S_SELECT, S_GENTEXTURES, S_GETINTEGERV, S_GETDOUBLEV = 2, 3, 4, 5, 11, 19, 16
S_DELETETEXTURES, S_DELETEBUFFERS = 10, 13
P_RENDERMODE = 9
GL_RENDER, GL_FEEDBACK, GL_SELECT = 0, 1, 2  # added to GL_RENDER by the target


def gl_record(big, kind, operation, payload, slot=0):
    e = ">" if big else "<"
    return bytes([kind, operation << 1 | slot]) + struct.pack("<H", len(payload)) + payload


def gl_words(big, *v):
    e = ">" if big else "<"
    return b"".join(struct.pack(e + "I", x & 0xFFFFFFFF) for x in v)


def gl_command(big, opcode, data=b""):
    e = ">" if big else "<"
    return struct.pack(e + "HH", 4 + len(data), opcode) + data


def gl_large(big, opcode, data=b""):
    e = ">" if big else "<"
    return struct.pack(e + "II", 8 + len(data), opcode) + data


def gl_floats(big, *v):
    e = ">" if big else "<"
    return b"".join(struct.pack(e + "f", x) for x in v)


def pixel_header(big, row_length=0, skip_rows=0, skip_pixels=0, alignment=4, image_height=0, skip_images=0,
                 three_d=False):
    """The pixel-store header of an image command: swap, lsb, two pad bytes, then the words."""
    words = [row_length] + ([image_height, skip_images] if three_d else []) + [skip_rows, skip_pixels, alignment]
    return bytes(4) + gl_words(big, *words)


def gldirect_inputs(big):
    """(name, input) seeds: ordinary drawing and the triggers of the faults found so far."""
    w = lambda *v: gl_words(big, *v)
    f = lambda *v: gl_floats(big, *v)
    cmd = lambda op, data=b"": gl_command(big, op, data)
    begin, end = cmd(4, w(0)), cmd(23)
    point = begin + cmd(65, f(0.0, 0.0)) + end
    yield "draw", gl_record(big, RENDER, 0, cmd(130, f(0, 0, 0, 1)) + cmd(127, w(0x4000)) + point)
    # A 4096x2 RGBA image whose header gives row length 1 (TexImage2D, DrawPixels, TexImage3D).
    tex2d = pixel_header(big, row_length=1) + w(0x0DE1, 0, 4, 4096, 2, 0, 0x1908, 0x1401) + bytes(8)
    yield "teximage2d-rowlength", gl_record(big, LARGE, 0, gl_large(big, 110, tex2d))
    yield "teximage2d-small", gl_record(big, RENDER, 0, cmd(110, tex2d))
    draw = pixel_header(big, row_length=1) + w(4096, 2, 0x1908, 0x1401) + bytes(8)
    yield "drawpixels-rowlength", gl_record(big, LARGE, 0, gl_large(big, 173, draw))
    tex3d = pixel_header(big, row_length=1, image_height=1, three_d=True) + \
        w(0x806F, 0, 4, 16, 16, 4, 0, 0x1908, 0x1401, 0) + bytes(16)
    yield "teximage3d-imageheight", gl_record(big, LARGE, 0, gl_large(big, 4114, tex3d))
    bitmap = pixel_header(big, skip_rows=3, alignment=1) + w(16, 16) + f(0, 0, 0, 0) + bytes(32)
    yield "bitmap", gl_record(big, RENDER, 0, cmd(5, bitmap))
    yield "stipple", gl_record(big, RENDER, 0, cmd(102, pixel_header(big) + bytes(128)))
    # An array enabled and drawn from without a pointer; DrawArrays of 2^31-1 vertices of no
    # components; vertex attributes at index 0x40000000; the carried arrays of 300.
    yield "arrayelement-unset", gl_record(big, RENDER, 0, cmd(292, w(0x8074)) + cmd(294, w(5)))
    yield "drawarrays-zero-components", gl_record(big, RENDER, 0,
                                                  cmd(193, w(0x7fffffff, 1, 0) + w(0x1406, 0, 0x8074)))
    yield "drawarrays-valid", gl_record(big, RENDER, 0,
                                        cmd(193, w(4, 1, 0) + w(0x1406, 2, 0x8074) + f(0, 0, 1, 0, 1, 1, 0, 1)))
    yield "vertexattribs-index", gl_record(big, RENDER, 0, cmd(4206, w(0x40000000, 1) + f(1, 2, 3, 4)))
    yield "drawarrays-carried", gl_record(big, RENDER, 0, cmd(300, w(0, 0x7fffffff, 0x1406, 2)))
    yield "calllists", gl_record(big, RENDER, 0, cmd(2, w(1000000, 0x1401) + bytes(8)))
    # Select and feedback buffers refused inside glBegin/glEnd and of an unknown type.
    mode = lambda m: gl_record(big, PIXEL, P_RENDERMODE, w(m))
    named = cmd(121) + cmd(125, w(7)) + point
    yield "selectbuffer-inside-begin", \
        gl_record(big, SINGLE, S_SELECT, w(100000000)) + gl_record(big, RENDER, 0, begin) + \
        gl_record(big, SINGLE, S_SELECT, w(16)) + gl_record(big, RENDER, 0, end) + mode(GL_SELECT) + \
        gl_record(big, RENDER, 0, named) + mode(GL_RENDER)
    yield "rendermode-inside-begin", \
        gl_record(big, SINGLE, S_SELECT, w(64)) + mode(GL_SELECT) + gl_record(big, RENDER, 0, begin) + \
        mode(GL_RENDER) + gl_record(big, RENDER, 0, end) + gl_record(big, SINGLE, S_SELECT, w(16)) + \
        gl_record(big, RENDER, 0, named) + mode(GL_RENDER)
    yield "feedbackbuffer-types", \
        gl_record(big, SINGLE, S_FEEDBACK, w(100000000, 0x0601)) + gl_record(big, SINGLE, S_FEEDBACK, w(4, 0)) + \
        mode(GL_FEEDBACK) + gl_record(big, RENDER, 0, point) + mode(GL_RENDER)
    # Names and name ranges beyond any budget; pbuffers beyond the largest size.
    yield "names", gl_record(big, SINGLE, S_GENTEXTURES, w(16 << 20)) + \
        gl_record(big, SINGLE, S_GENLISTS, w(20 << 20)) + gl_record(big, SINGLE, S_GENLISTS, w(0x7fffffff)) + \
        gl_record(big, SINGLE, S_GENLISTS, w(10)) + gl_record(big, SINGLE, S_DELETELISTS, w(1, 0x7fffffff))
    # Texture levels of 1 GiB each onto new textures, deleted, made again; a level inside glBegin.
    copy = lambda k: cmd(4117, w(0x0DE1, k)) + cmd(4120, w(0x0DE1, 0, 0x8814, 0, 0, 8192, 8192, 0))
    yield "copyteximage-budget", \
        gl_record(big, RENDER, 0, b"".join(copy(k) for k in range(1, 5))) + \
        gl_record(big, SINGLE, S_DELETETEXTURES, w(4, 1, 2, 3, 4)) + gl_record(big, RENDER, 0, copy(1) + copy(1)) + \
        gl_record(big, RENDER, 0, begin + cmd(110, pixel_header(big) + w(0x0DE1, 0, 4, 1, 1, 0, 0x1908, 0x1401) +
                                              bytes(4)) + end)
    # An array in a buffer counted at a glBegin, the buffer deleted before the ArrayElement.
    yield "arrayelement-buffer-deleted", \
        gl_record(big, RENDER, 0, cmd(290, w(0x8892, 3)) + cmd(291, w(0, 0, 0x8074, 0, 2, 0x1406, 0) + bytes(4)) +
                  cmd(292, w(0x8074, 0)) + begin) + \
        gl_record(big, SINGLE, S_DELETEBUFFERS, w(1, 3)) + gl_record(big, RENDER, 0, cmd(294, w(1)) + end)
    yield "values", gl_record(big, SINGLE, S_GETINTEGERV, w(0x8891)) + gl_record(big, SINGLE, S_GETDOUBLEV, w(0x8641))
    # A tag moved between drawables and destroyed: slots, pbuffers, make-current.
    yield "tags", gl_record(big, TAGS, 3, w(0, 64, 64, 0)) + gl_record(big, TAGS, 0, w(1, 0, 0, 9)) + \
        gl_record(big, TAGS, 2, w(3)) + gl_record(big, TAGS, 4, w(1)) + gl_record(big, TAGS, 1, w(3)) + \
        gl_record(big, TAGS, 2, w(1)) + gl_record(big, TAGS, 6, w(0, 0, 300, 1)) + \
        gl_record(big, SINGLE, S_DELETELISTS, w(1, 0x7fffffff))
    yield "glsl", b"".join(gl_record(big, GLSL, k, w(5, 1000, 2) + b"name\0") for k in range(12))
    yield "pixels", b"".join(gl_record(big, PIXEL, k, w(0, 0, 8, 32, 0x1901, 0x1A00, 0, 0)) for k in range(9))
    yield "vendor", b"".join(gl_record(big, VENDOR, k, w(2, 7, 8, 0x8620, 4)) for k in range(40))


# ===== fuzz_gldirect_mesa =====
# The same records (tests/fuzz/fuzz_gldirect_mesa.cpp) behind an options byte (bit 0 big, bit 1
# the contexts share, bit 2 one client owns both); the selector's low bit is the context k,
# kind bit 4 a third length byte, kind bit 5 on a vendor record the code as its first word.
# Kind 6 is the lifetimes: 0 DestroyWindow of k's window, 1 MakeCurrent None, 2 MakeCurrent
# (word 0: own window, the other's, a new one), 3 a pbuffer, 4 its end, 5 k's client leaves,
# 6 UseXFont, 7 SwapBuffers, 8 BindTexImageEXT of the run's GLX pixmap (word 0 odd: release;
# word 1 the buffer; word 2 odd: the pixmap's own id is 0), 9 the GLX pixmap's end.
L_DESTROYWINDOW, L_NONE, L_MAKECURRENT, L_PBUFFER, L_PBUFFEREND, L_LEAVE, L_XFONT, L_SWAP, L_BINDTEX, \
    L_GLXPIXMAPEND = range(10)
S_NEWLIST, S_ENDLIST, S_FINISH, S_GETERROR = 0, 1, 6, 17
SHARED, ONE_CLIENT = 2, 4
# Inputs that end the run while the faults they find are open: corpus/fuzz_gldirect_mesa-pending.
MESA_PENDING = set()


def mesa_record(kind, operation, payload, k=0):
    n = len(payload)
    if n > 0xFFFF:
        return bytes([kind | 0x10, operation << 1 | k]) + struct.pack("<HB", n & 0xFFFF, n >> 16) + payload
    return bytes([kind, operation << 1 | k]) + struct.pack("<H", n) + payload


def gldirect_mesa_inputs(big):
    """(name, options, records) seeds: ordinary drawing, lifetimes, the triggers of known faults."""
    w = lambda *v: gl_words(big, *v)
    f = lambda *v: gl_floats(big, *v)
    d = lambda *v: b"".join(struct.pack((">" if big else "<") + "d", x) for x in v)
    cmd = lambda op, data=b"": gl_command(big, op, data)
    u64 = lambda v: struct.pack((">" if big else "<") + "Q", v)
    render = lambda data, k=0: mesa_record(RENDER, 0, data, k)
    single = lambda op, data, k=0: mesa_record(SINGLE, op, data, k)
    life = lambda op, data=b"", k=0: mesa_record(TAGS, op, data, k)
    vendor = lambda code, data, k=0: mesa_record(VENDOR | 0x20, 0, w(code) + data, k)
    begin, end = lambda mode=0: cmd(4, w(mode)), cmd(23)
    clear = cmd(130, f(0.1, 0.2, 0.3, 1)) + cmd(127, w(0x4500))
    # glxgears: projection, lighting, a gear-like strip compiled into a list, drawn rotated.
    strip = begin(8) + b"".join(cmd(30, f(0, 0, 1)) + cmd(70, f(x / 8.0, (x % 2) / 4.0, 0)) for x in range(16)) + end
    setup = cmd(191, w(0, 0, 32, 32)) + cmd(179, w(0x1701)) + cmd(176) + cmd(175, d(-1, 1, -1, 1, 5, 60)) + \
        cmd(179, w(0x1700)) + cmd(176) + cmd(190, f(0, 0, -40)) + cmd(87, w(0x4000, 0x1203) + f(5, 5, 10, 0)) + \
        cmd(139, w(0x0B44)) + cmd(139, w(0x0B50)) + cmd(139, w(0x4000)) + cmd(139, w(0x0B71)) + cmd(104, w(0x1D01))
    frame = lambda angle: render(clear + cmd(184) + cmd(186, f(angle, 0, 0, 1)) + cmd(97, w(0x0408, 0x1602) +
                                                                                    f(0.8, 0.1, 0, 1)) +
                                 cmd(1, w(1)) + cmd(183)) + life(L_SWAP)
    gears = render(setup) + single(S_NEWLIST, w(1, 0x1300)) + render(strip) + single(S_ENDLIST, b"") + \
        b"".join(frame(a) for a in (0, 5, 10)) + single(S_FINISH, b"") + single(S_GETERROR, b"") + \
        mesa_record(PIXEL, 0, w(0, 0, 32, 32, 0x1908, 0x1401, 0, 0))
    yield "gears", 0, gears
    yield "gears-two-clients", 0, gears + b"".join(frame(a) for a in (1, 2)).replace(
        bytes([TAGS, L_SWAP << 1]), bytes([TAGS, L_SWAP << 1 | 1]))
    yield "gears-large", 0, b"".join(mesa_record(LARGE, 0, gl_large(big, 127, w(0x4000))) for _ in range(2)) + gears
    # Both contexts drawing in turn, one inside glBegin while the other goes on.
    yield "two-contexts-begin", SHARED, render(clear + begin(0) + cmd(70, f(0, 0, 0)), 0) + render(clear, 1) + \
        render(cmd(70, f(0.5, 0.5, 0)) + end, 0) + render(begin(1) + cmd(70, f(0, 0, 0)) + end, 1)
    # Lifetimes: a context moved between windows, made current on none, a pbuffer drawn into and
    # destroyed while current, a client leaving mid-glBegin while the other draws.
    yield "makecurrent-moves", 0, life(L_MAKECURRENT, w(1)) + render(clear) + life(L_MAKECURRENT, w(2)) + \
        render(clear) + life(L_NONE) + render(clear) + life(L_MAKECURRENT, w(0)) + render(clear) + life(L_SWAP)
    yield "pbuffer-current", 0, life(L_PBUFFER, w(0, 64, 64, 1)) + render(clear) + life(L_PBUFFEREND) + \
        render(clear) + life(L_PBUFFER, w(1, 5000, 5000, 1)) + life(L_MAKECURRENT, w(0)) + render(clear)
    yield "leave-mid-begin", 0, render(begin(4) + cmd(70, f(0, 0, 0)), 1) + life(L_LEAVE, k=1) + \
        render(clear + begin(0) + cmd(70, f(0, 0, 0)) + end, 0) + render(clear, 1)
    yield "leave-one-client", ONE_CLIENT, render(begin(4) + cmd(70, f(0, 0, 0)), 0) + life(L_LEAVE, k=1) + \
        render(clear, 0)
    yield "xfont", 0, life(L_XFONT, w(0, 32, 64, 1)) + render(cmd(1, w(40)))
    # Triggers of known faults of GL inside the proxy, each named by its fault's number.
    yield "fault1-destroywindow-current", 0, life(L_DESTROYWINDOW) + render(cmd(127, w(0x4000)))
    # Found by the fuzzer: the tag's first use after the DestroyWindow, an empty large command
    # (only the make-current), is enough.
    yield "fault1-destroywindow-empty-large", 0, life(L_DESTROYWINDOW) + mesa_record(LARGE, 0, b"")
    bind = lambda name: cmd(290, w(0x8892, name))
    data = lambda size, payload=None: cmd(298, u64(size) + w(0x8892, 0x88E4) +
                                          (bytes([1, 0, 0, 0]) if payload is None else bytes(4) + payload))
    pointer = lambda size, type_, stride=0: cmd(291, u64(0) + w(0x8074, 0, size, type_, stride) + bytes(4))
    enable = cmd(292, w(0x8074, 0))
    # (A buffer of 48 MB rather than 1 GB, which is beyond the budget (fault 6); the elements
    # 2 KB apart instead.)
    yield "fault2-arrayelement-other-context", ONE_CLIENT, \
        render(bind(1) + data(16, bytes(16)) + pointer(4, 0x140A, 2048) + enable, 0) + \
        render(bind(1) + data(48 << 20) + pointer(2, 0x1402) + enable + begin(0), 1) + \
        render(begin(0) + cmd(294, w(12000000)), 0)
    yield "fault2-arrayelement-client-memory", ONE_CLIENT, render(begin(0), 1) + \
        render(cmd(193, w(0, 1, 0) + w(0x1406, 2, 0x8074)) + enable + begin(0) + cmd(294, w(0)), 0)
    yield "fault3-bindteximage-no-tag", 0, life(L_NONE) + life(L_BINDTEX, w(0, 0x20DE, 0))
    yield "fault3-bindteximage-unknown-drawable", 0, life(L_NONE) + vendor(1330, w(0x1234, 0x20DE, 0))
    yield "bindteximage-current", 0, life(L_BINDTEX, w(0, 0x20DE, 0)) + render(clear) + \
        life(L_BINDTEX, w(1, 0x20DE, 0)) + life(L_GLXPIXMAPEND) + life(L_BINDTEX, w(0, 0x20DE, 0))
    drawpixels = lambda format_, type_, width, height, image, **store: \
        cmd(173, pixel_header(big, **store) + w(width, height, format_, type_) + image)
    yield "fault4-drawpixels-stencil-bitmap", 0, render(drawpixels(0x1901, 0x1A00, 2, 1, bytes(4)))
    yield "fault5-drawpixels-index-skiprows-bitmap", 0, \
        render(drawpixels(0x1900, 0x1A00, 2, 1, bytes(8), skip_rows=1))
    yield "fault5-drawpixels-index-skiprows-ubyte", 0, \
        render(drawpixels(0x1900, 0x1401, 2, 1, bytes(8), skip_rows=1, alignment=1))
    yield "fault6-bufferdata-without-data", 0, render(bind(1) + data(1 << 30))
    teximage = lambda width, height, border: cmd(110, pixel_header(big) + w(0x0DE1, 0, 0x8058, width, height,
                                                                             border, 0x1908, 0x1401))
    respecified = b"".join(render(cmd(4117, w(0x0DE1, t)) + cmd(4120, w(0x0DE1, 0, 0x8058, 0, 0, 2048, 2048, 0)) +
                                  teximage(0, 0, 2)) for t in range(1, 41))
    yield "fault7-teximage-refused-drops-count", 0, respecified
    lists = b"".join(single(S_GENLISTS, w(250000), 0) + single(S_DELETELISTS, w(1, 0x7fffffff), 1)
                     for _ in range(32))
    yield "fault8-lists-deleted-in-unshared-context", ONE_CLIENT, lists
    # Found by the fuzzer (new): a material between glBegin and glEnd after vertices, while a
    # list is compiled: Mesa reads past its vertex store (memcpy of 160 bytes from 120).
    material = cmd(97, w(0x0408, 0x1602) + f(0.8, 0.2, 0.2, 1))
    vertex = cmd(30, f(0, 0, 1)) + cmd(70, f(0.5, 0, 0))
    yield "new-material-inside-begin-in-list", 0, single(S_NEWLIST, w(1, 0x1300)) + \
        render(begin(8) + vertex + cmd(30, f(0, 0, 1)) + material)
    yield "material-inside-begin", 0, render(begin(8) + vertex + cmd(30, f(0, 0, 1)) + material + vertex + end)
    # A list ended inside a primitive of triangles with one vertex, and a list called inside a
    # compiled primitive: Mesa's list compiler reads past its vertex store.
    yield "list-ended-in-a-primitive-of-one-vertex", 0, single(S_NEWLIST, w(1, 0x1300)) + \
        render(begin(4) + vertex) + single(S_ENDLIST, b"")
    yield "list-called-inside-a-compiled-primitive", 0, single(S_NEWLIST, w(1, 0x1301)) + \
        render(begin(8) + vertex + cmd(1, w(2)) + vertex + end) + single(S_ENDLIST, b"")
    # Fault 10 takes what the client sends (hundreds of MB): here only its shape, small, and
    # the list drawn.
    bitmap = pixel_header(big) + w(128, 128, 0x1900, 0x1A00) + bytes(128 * 128 // 8)
    yield "drawpixels-in-list", 0, single(S_NEWLIST, w(7, 0x1300)) + \
        b"".join(mesa_record(LARGE, 0, gl_large(big, 173, bitmap)) for _ in range(4)) + single(S_ENDLIST, b"") + \
        render(cmd(1, w(7)))
    # ===== list streams: the lists are the proxy's own =====
    # Faults of the library's list compiler, each now recorded and replayed by the proxy:
    # lines and a line strip with an attribute new after the first vertex and a list called
    # after the glEnd (the proxy died under EndList), a list calling itself twice (2^64 calls),
    # evaluator commands inside compiled primitives (a heap over-read), draws and images read
    # from buffer objects (kept beyond the budget), a client leaving while it compiles.
    newlist = lambda name, mode=0x1300, k=0: single(S_NEWLIST, w(name, mode), k)
    endlist = lambda k=0: single(S_ENDLIST, b"", k)
    call = lambda name: cmd(1, w(name))
    for primitive, name in ((1, "lines"), (3, "line-strip")):
        for called, how in ((cmd(2, w(1, 0x1405, 3)), "calllists"), (call(3), "calllist")):
            yield "list-%s-attribute-after-vertex-%s" % (name, how), 0, newlist(44) + \
                render(begin(primitive) + cmd(74, f(0, 0, 0, 1)) + cmd(11, bytes([1, 2, 3, 0]))) + render(end) + \
                render(called) + endlist() + render(call(44))
    yield "list-calling-itself-twice", 0, newlist(1) + render(call(1) + call(1)) + endlist() + \
        render(call(1)) + single(S_GETERROR, b"") + render(clear)
    map1 = cmd(144, w(0x0D97) + f(0, 1) + w(2) + f(-1, -1, 0, 1, 1, 0)) + cmd(139, w(0x0D97))
    evals = cmd(152, f(0.5)) + cmd(156, w(1)) + cmd(151, d(0.25)) + cmd(154, f(0.5, 0.5))
    for mode in (0x1300, 0x1301):
        yield "list-evaluators-in-primitives-%x" % mode, 0, render(map1) + newlist(2, mode) + \
            render(begin(4) + cmd(66, f(0.1, 0.1)) + evals + cmd(66, f(0.9, 0.1)) + end) + \
            render(begin(1) + cmd(154, f(0.25, 0.75)) + cmd(4196, w(1) + f(1, 0, 0, 1)) + cmd(66, f(0, 0)) + end) + \
            endlist() + render(call(2))
    yield "evaluators-in-primitives", 0, render(map1 + begin(4) + cmd(66, f(0.1, 0.1)) + evals + cmd(66, f(0.9, 0.1)) +
                                                end + begin(1) + cmd(154, f(0.25, 0.75)) +
                                                cmd(4196, w(1) + f(1, 0, 0, 1)) + cmd(66, f(0, 0)) + end)
    unpack = cmd(290, w(0x88EC, 3)) + cmd(298, u64(16 << 20) + w(0x88EC, 0x88E4) + bytes([1, 0, 0, 0]))
    elements = cmd(290, w(0x8893, 2)) + cmd(298, u64(16 << 20) + w(0x8893, 0x88E4) + bytes([1, 0, 0, 0]))
    image3d = cmd(4114, pixel_header(big, three_d=True) + w(0x806F, 0, 0x8058, 256, 256, 64, 0, 0, 0x1908, 0x1401, 1))
    yield "list-from-buffer-objects", 0, render(bind(1) + data(8 << 20) + pointer(2, 0x1406) + enable + elements +
                                                unpack) + newlist(1) + \
        render(b"".join(cmd(300, w(0, 0, 1 << 20, 0)) for _ in range(40))) + \
        render(b"".join(cmd(295, u64(0) + w(0, 4 << 20, 0x1405)) for _ in range(10))) + \
        render(image3d * 10) + endlist() + render(call(1)) + single(S_GETERROR, b"")
    yield "list-client-leaves-while-compiling", ONE_CLIENT, newlist(9, 0x1300, 1) + \
        b"".join(mesa_record(LARGE, 0, gl_large(big, 173, bitmap), 1) for _ in range(8)) + life(L_LEAVE, k=1) + \
        render(clear + call(9), 0)
    yield "list-shared-deleted-while-compiling", SHARED, newlist(5, 0x1300, 0) + render(strip, 0) + \
        single(S_DELETELISTS, w(5, 1), 1) + render(strip, 0) + endlist(0) + render(call(5), 1) + \
        single(S_DELETELISTS, w(1, 100), 1) + render(call(5), 0)
    # Lists one inside the other beyond GL_MAX_LIST_NESTING, and CallLists of every type after a
    # list base.
    nested = b"".join(newlist(n) + render(cmd(70, f(n / 100.0, 0, 0)) + call(n + 1)) + endlist() for n in range(1, 70))
    yield "list-nesting", 0, nested + render(begin(0) + call(1) + end)
    names = [(0x1400, bytes([1, 2, 0xFF, 0])), (0x1401, bytes([1, 2, 3, 0])), (0x1402, w(1)[:2] * 2),
             (0x1403, w(2)[:2] * 2), (0x1404, w(1, 2)), (0x1405, w(3, 0xFFFFFFFF)), (0x1406, f(2.0, 1e30)),
             (0x1407, bytes([0, 1, 0, 2])), (0x1408, bytes([0, 0, 1, 0, 0, 2, 0, 0])), (0x1409, bytes([0, 0, 0, 3]))]
    calllists = b"".join(cmd(2, w(2, t) + data_) for t, data_ in names)
    yield "list-calllists-every-type", 0, newlist(11) + render(strip) + endlist() + \
        render(cmd(3, w(10)) + calllists + cmd(3, w(0)) + calllists) + single(S_GETERROR, b"")
    arrays = cmd(193, w(3, 1, 4) + w(0x1406, 2, 0x8074) + f(0, 0, 1, 0, 0, 1))
    carried = cmd(300, w(4, 0, 3, 1) + w(0x1406, 2, 0x8074, 0, 0) + f(0, 0, 1, 0, 0, 1))
    yield "list-client-arrays-both-modes", 0, newlist(3, 0x1301) + render(arrays + carried) + endlist() + \
        newlist(4) + render(arrays + carried + call(3)) + endlist() + render(call(4) + call(3))
    # The fake library's seeds, but for its tag operations (kind 6 means other things here).
    for name, data_ in gldirect_inputs(big):
        if name != "tags":
            yield "fake-" + name, 0, data_


def main():
    mesa_dir = os.path.join(CORPUS, "fuzz_gldirect_mesa")
    pending_dir = os.path.join(CORPUS, "fuzz_gldirect_mesa-pending")
    clean(mesa_dir)
    clean(pending_dir)
    for big in (False, True):
        order = "be" if big else "le"
        for name, options, data in gldirect_mesa_inputs(big):
            where = pending_dir if name in MESA_PENDING else mesa_dir
            write(where, "stream-%s-%s" % (name, order), bytes([options | (1 if big else 0)]) + data)
    gldirect_dir = os.path.join(CORPUS, "fuzz_gldirect")
    clean(gldirect_dir)
    for big in (False, True):
        order = "be" if big else "le"
        for name, data in gldirect_inputs(big):
            write(gldirect_dir, "stream-%s-%s" % (name, order), bytes([1 if big else 0]) + data)
    requests_dir = os.path.join(CORPUS, "fuzz_requests")
    dispatch_dir = os.path.join(CORPUS, "fuzz_dispatch")
    setup_dir = os.path.join(CORPUS, "fuzz_setup")
    for d in (requests_dir, dispatch_dir, setup_dir):
        clean(d)
    count = 0
    for big in (False, True):
        order = "be" if big else "le"
        flags = 1 if big else 0
        head = prefix(big)
        for part, r in every_request(big):
            # The raw stream; the answers to every reply on the server side.
            stream = b"".join(p.bytes() for p in head) + r.bytes()
            write(requests_dir, "%s-%s" % (part, order), bytes([flags | 4]) + stream)
            write(dispatch_dir, "%s-%s" % (part, order),
                  bytes([flags]) + b"".join(p.record() for p in head) + r.record())
            count += 2
        # BIG-REQUESTS: enabled, then every request of the prefix and a drawing in the big form.
        big_stream = Req(big, BIGREQ, 0).bytes() + b"".join(p.big_form() for p in head) + \
            Req(big, 65, 0).i(W, G).s(*range(0, 400)).big_form() + Req(big, 127).big_form()
        write(requests_dir, "stream-bigrequests-%s" % order, bytes([flags | 2]) + big_stream)
        write(dispatch_dir, "stream-bigrequests-%s" % order,
              bytes([flags | 2 | 8]) + b"".join(p.record() for p in head) +
              Req(big, 72, 2).i(P, G).s(8, 8, 0, 0).b(0, 24).s(0).raw(bytes(256)).record())
        # The same stream fed a few bytes at a time.
        small = b"".join(p.bytes() for p in head) + core_requests(big)[63][2].bytes()
        write(requests_dir, "stream-bytewise-%s" % order, bytes([flags | (3 << 5)]) + small)
        count += 4
        # Connection setups: each authorization against each answer of the real server.
        auths = {"none": (b"", b""), "cookie": (b"MIT-MAGIC-COOKIE-1", COOKIE),
                 "wrongcookie": (b"MIT-MAGIC-COOKIE-1", bytes(16)), "xdm": (b"XDM-AUTHORIZATION-1", bytes(24))}
        answers = ["accepted", "refused", "short", "authenticate"]
        tail = b"".join(p.bytes() for p in head) + Req(big, 98).s(12).pad(2).text("BIG-REQUESTS").bytes() + \
            Req(big, BIGREQ, 0).bytes() + Req(big, 43).bytes()
        for auth, (name, data) in auths.items():
            for number, answer in enumerate(answers):
                grant = 8 if auth == "none" else 0
                write(setup_dir, "setup-%s-%s-%s" % (auth, answer, order),
                      bytes([number | grant | 4]) + setup_message(big, name, data) + tail)
                count += 1
        # A setup with every core request behind it, and one sent a few bytes at a time.
        everything = b"".join(r.bytes() for _, r in every_request(big))
        write(setup_dir, "setup-cookie-everything-%s" % order,
              bytes([4]) + setup_message(big, b"MIT-MAGIC-COOKIE-1", COOKIE) + tail + everything)
        write(setup_dir, "setup-cookie-bytewise-%s" % order,
              bytes([(4 << 5)]) + setup_message(big, b"MIT-MAGIC-COOKIE-1", COOKIE) + tail)
        count += 2
    print("make-corpus: %d files under %s" % (count, CORPUS))


if __name__ == "__main__":
    sys.exit(main())
