"""XIE 5.0 for the test relay (-emulate XIE).

Objects (colour lists, LUTs, photomaps, ROIs, photospaces, photoflos) live per connection; an
id the connection does not hold gives the matching resource error. The queries answer fixed
content: QueryTechniques two technique records, QueryPhotoflo of a stored flo its client imports
as expected and its client exports as available. Photoflos are stored, modified and redefined element by element; a run (stored or
immediate) sends ImportObscured (element number, drawable) for every import from a drawable,
then PhotofloDone. A drawable unknown upstream gives the flo error FloDrawable (6) with that id
instead, and nothing else. -version XIE=M.m changes the version QueryImageExtension reports.

The relay calls handle(conn, req, entry, versions, own): entry holds the major, first event and
first error the relay gave XIE; own(conn) is the connection's own Xlib display.
"""

import threading

BAD_LENGTH, BAD_ID_CHOICE = 16, 14

# Resource errors, by the first error: ColorList, LUT, Photoflo, Photomap, Photospace, ROI; Flo.
ERR_COLOR_LIST, ERR_LUT, ERR_PHOTOFLO, ERR_PHOTOMAP, ERR_PHOTOSPACE, ERR_ROI, ERR_FLO = range(7)
FLO_DRAWABLE, FLO_ELEMENT = 6, 7
# Events, by the first event.
EV_IMPORT_OBSCURED, EV_PHOTOFLO_DONE = 3, 4

# The objects: create and destroy minors, the error of an unknown id.
OBJECT_KINDS = {3: ("colorlist", ERR_COLOR_LIST), 7: ("lut", ERR_LUT), 9: ("photomap", ERR_PHOTOMAP),
                12: ("roi", ERR_ROI), 14: ("photospace", ERR_PHOTOSPACE)}
DESTROY_KINDS = {minor + 1: kind for minor, kind in OBJECT_KINDS.items()}
QUERY_KINDS = {5: OBJECT_KINDS[3], 6: OBJECT_KINDS[3], 11: OBJECT_KINDS[9]}

EXACT = {1: 8, 2: 8, 3: 8, 4: 8, 5: 8, 6: 8, 7: 8, 8: 8, 9: 8, 10: 8, 11: 8, 12: 8, 13: 8, 14: 8, 15: 8,
         18: 8, 19: 12, 23: 20, 25: 12, 26: 12}
AT_LEAST = {16: 16, 17: 12, 20: 12, 21: 12, 22: 20, 24: 12}

IMPORT_DRAWABLE, IMPORT_DRAWABLE_PLANE = 4, 5
CLIENT_IMPORTS, CLIENT_EXPORTS = (1, 2, 3), (29, 30, 31, 32)
STATE_INACTIVE = 1
# (needs parameters, group, number, speed, name): decode uncompressed-single, colour-alloc match.
TECHNIQUES = [(0, 12, 2, 2, b"UNCOMPRESSED-SINGLE"), (1, 2, 4, 1, b"MATCH")]

LOCK = threading.Lock()
STATE = {}  # connection number -> {"objects": {id: kind}, "flos": {id: [element bytes]}}


def sizes(minor, size):
    if minor in EXACT:
        return size == EXACT[minor]
    if minor in AT_LEAST:
        return size >= AT_LEAST[minor]
    return True


def forget_connection(conn):
    with LOCK:
        STATE.pop(conn.number, None)


def _state(conn):
    return STATE.setdefault(conn.number, {"objects": {}, "flos": {}})


def _elements(conn, data, count):
    """The elements of a flo as a list of their bytes; None when they do not fit the data."""
    out, at = [], 0
    for _ in range(count):
        if at + 4 > len(data):
            return None
        length = conn.unpack("H", data, at + 2)[0] * 4
        if length < 4 or at + length > len(data):
            return None
        out.append(data[at:at + length])
        at += length
    return out


def _pad4(data):
    return data + bytes(-len(data) % 4)


def _techniques(conn):
    records = b"".join(_pad4(conn.pack("BBHBBH", needs, group, number, speed, len(name), 0) + name)
                       for needs, group, number, speed, name in TECHNIQUES)
    return conn.reply(conn.pack("H", len(TECHNIQUES)), records)


def _query_photoflo(conn, elements):
    """The reply of QueryPhotoflo: the phototags of the client imports (expected) and of the
    client exports (available)."""
    types = [conn.unpack("H", e, 0)[0] for e in elements]
    expected = [n for n, t in enumerate(types, 1) if t in CLIENT_IMPORTS]
    available = [n for n, t in enumerate(types, 1) if t in CLIENT_EXPORTS]
    lists = _pad4(b"".join(conn.pack("H", n) for n in expected)) + _pad4(b"".join(conn.pack("H", n) for n in available))
    return conn.reply_with_byte1(STATE_INACTIVE, conn.pack("HH", len(expected), len(available)), lists)


def _flo_error(conn, entry, req, flo, space, code, resource=0, tag=0, etype=0):
    body = conn.pack("IHBBIHHI", flo, req[1], req[0], code, space, tag, etype, resource)
    return bytes([0, entry["first_error"] + ERR_FLO]) + b"\0\0" + body + bytes(8)


def _run(conn, entry, req, elements, space, flo, own):
    """The packets of one run: ImportObscured per drawable import, then PhotofloDone; or the
    flo error of the first drawable unknown upstream."""
    imports = []
    for number, element in enumerate(elements, 1):
        etype = conn.unpack("H", element, 0)[0]
        if etype in (IMPORT_DRAWABLE, IMPORT_DRAWABLE_PLANE) and len(element) >= 16:
            drawable, x, y, width, height = conn.unpack("IhhHH", element, 4)
            imports.append((number, etype, drawable, x, y, width, height))
    if imports:
        conn.sync_upstream()  # the client's earlier requests have made their windows
        display = own(conn)
        for number, etype, drawable, *_ in imports:
            try:
                display.create_resource_object("window", drawable).get_geometry()
            except Exception:
                return [_flo_error(conn, entry, req, flo, space, FLO_DRAWABLE, drawable, number, etype)]
    packets = []
    for number, etype, drawable, x, y, width, height in imports:
        body = conn.pack("IIIHHIhhHH", 0, space, flo, number, etype, drawable, x, y, width, height)
        packets.append(conn.event(entry["first_event"] + EV_IMPORT_OBSCURED, body))
    packets.append(conn.event(entry["first_event"] + EV_PHOTOFLO_DONE, conn.pack("III", 0, space, flo)))
    return packets


def handle(conn, req, entry, versions, own):
    minor = req[1]
    err = lambda number, value: conn.error(entry["first_error"] + number, req[0], minor, value)  # noqa: E731
    with LOCK:
        state = _state(conn)
        objects, flos = state["objects"], state["flos"]
        if minor == 1:
            vmaj, vmin = versions.get("XIE", (5, 0))
            # Full service class, alignment Arbitrary, 16-bit mantissa, exponents 127 and -126.
            conn.answer([conn.reply(conn.pack("HHBBHii", vmaj, vmin, 1, 1, 16, 127, -126))])
        elif minor == 2:
            conn.answer([_techniques(conn)])
        elif minor in OBJECT_KINDS:
            oid = conn.unpack("I", req, 4)[0]
            if oid in objects or oid in flos:
                conn.answer([conn.error(BAD_ID_CHOICE, req[0], minor, oid)])
            else:
                objects[oid] = OBJECT_KINDS[minor][0]
                conn.answer([])
        elif minor in DESTROY_KINDS or minor in QUERY_KINDS:
            kind, error = DESTROY_KINDS.get(minor) or QUERY_KINDS[minor]
            oid = conn.unpack("I", req, 4)[0]
            if objects.get(oid) != kind:
                conn.answer([err(error, oid)])
            elif minor in DESTROY_KINDS:
                del objects[oid]
                conn.answer([])
            elif minor == 6:
                conn.answer([conn.reply(conn.pack("I", 0))])  # no colormap, no cells
            elif minor == 11:
                conn.answer([conn.reply(bytes(24))])
            else:
                conn.answer([])
        elif minor == 16:
            space, flo, count = conn.unpack("IIH", req, 4)
            elements = _elements(conn, req[16:], count)
            if elements is None:
                conn.answer([conn.error(BAD_LENGTH, req[0], minor)])
            elif objects.get(space) != "photospace":
                conn.answer([err(ERR_PHOTOSPACE, space)])
            else:
                conn.answer(_run(conn, entry, req, elements, space, flo, own))
        elif minor in (17, 21):
            flo, count = conn.unpack("IH", req, 4)
            elements = _elements(conn, req[12:], count)
            if elements is None:
                conn.answer([conn.error(BAD_LENGTH, req[0], minor)])
            elif minor == 17 and (flo in flos or flo in objects):
                conn.answer([conn.error(BAD_ID_CHOICE, req[0], minor, flo)])
            elif minor == 21 and flo not in flos:
                conn.answer([err(ERR_PHOTOFLO, flo)])
            else:
                flos[flo] = elements
                conn.answer([])
        elif minor in (18, 19):
            flo = conn.unpack("I", req, 4)[0]
            if flo not in flos:
                conn.answer([err(ERR_PHOTOFLO, flo)])
            elif minor == 18:
                del flos[flo]
                conn.answer([])
            else:
                conn.answer(_run(conn, entry, req, flos[flo], 0, flo, own))
        elif minor == 20:
            flo, start, count = conn.unpack("IHH", req, 4)
            elements = _elements(conn, req[12:], count)
            if flo not in flos:
                conn.answer([err(ERR_PHOTOFLO, flo)])
            elif elements is None:
                conn.answer([conn.error(BAD_LENGTH, req[0], minor)])
            elif start < 1 or start + count - 1 > len(flos[flo]):
                conn.answer([_flo_error(conn, entry, req, flo, 0, FLO_ELEMENT, 0, start)])
            else:
                flos[flo][start - 1:start - 1 + count] = elements
                conn.answer([])
        elif minor in (22, 23, 24, 25, 26):
            space, flo = conn.unpack("II", req, 4)
            if space and objects.get(space) != "photospace":
                conn.answer([err(ERR_PHOTOSPACE, space)])
            elif not space and flo not in flos:
                conn.answer([err(ERR_PHOTOFLO, flo)])
            elif minor == 23:
                conn.answer([conn.reply(conn.pack("I", 0))])
            elif minor == 24:
                conn.answer([_query_photoflo(conn, [] if space else flos[flo])])
            else:
                conn.answer([])
        else:
            conn.answer([conn.error(1, req[0], minor)])  # BadRequest
