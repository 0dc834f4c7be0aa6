"""XpExtension 1.0 for the test relay (-emulate XPRINT).

Two printers; print contexts live per connection. A context request naming a context the
connection does not hold gives XPrintBadContext with that id as the relay got it. Attributes are
kept per context and type as the text the client set (SetAttributes replaces, or appends with
rule 2). GetContextScreen and QueryScreens name the upstream roots. StartJob sends PrintNotify
(detail 1, the context) to the connection; EndJob, StartDoc, EndDoc, StartPage and EndPage
without the job, document or page they end give XPrintBadSequence. -version XPRINT=M.m changes
the version QueryVersion reports.

The relay calls handle(conn, req, entry, versions, roots): entry holds the major, first event and
first error the relay gave the extension; roots() the upstream root windows by screen.
"""

import threading

BAD_MATCH, BAD_VALUE = 8, 2
ERR_BAD_CONTEXT, ERR_BAD_SEQUENCE = 0, 1
EV_PRINT_NOTIFY = 0
START_JOB_NOTIFY = 1

PRINTERS = [(b"relay-printer-a", b"First printer of the test relay"),
            (b"relay-printer-b", b"Second printer of the test relay")]
PAGE = (2550, 3300, 75, 75, 2400, 3150)  # width, height, offsets, reproducible area (300 dpi)

EXACT = {0: 4, 3: 8, 4: 4, 5: 8, 6: 8, 7: 8, 8: 8, 9: 8, 10: 8, 12: 12, 13: 8, 14: 8, 15: 12,
         16: 8, 17: 12, 20: 4, 21: 8, 22: 4, 23: 12, 24: 8}
AT_LEAST = {1: 12, 2: 16, 11: 16, 18: 16, 19: 16}

LOCK = threading.Lock()
STATE = {}  # connection number -> {"contexts": {id: context}, "current": id or 0}


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
    return STATE.setdefault(conn.number, {"contexts": {}, "current": 0})


def _error(conn, entry, req, number, value):
    return conn.error(entry["first_error"] + number, req[0], req[1], value)


def _padded(data):
    return data + bytes(-len(data) % 4)


def _printer_list(conn, name):
    out = b""
    chosen = [p for p in PRINTERS if not name or p[0] == name]
    for printer, description in chosen:
        out += conn.pack("I", len(printer)) + _padded(printer)
        out += conn.pack("I", len(description)) + _padded(description)
    return conn.reply(conn.pack("I", len(chosen)), out)


def _one_attribute(text, name):
    for line in text.split(b"\n"):
        key, sep, value = line.partition(b":")
        if sep and key.strip() == name:
            return value.strip()
    return b""


def handle(conn, req, entry, versions, roots):
    minor = req[1]
    with LOCK:
        state = _state(conn)
        contexts = state["contexts"]
        word4 = conn.unpack("I", req, 4)[0] if len(req) >= 8 else 0

        def known(context_id):
            return context_id in contexts

        def current():
            return contexts.get(state["current"])

        if minor == 0:
            major, minor_version = versions.get("XPRINT", versions.get("XpExtension", (1, 0)))
            conn.answer([conn.reply(conn.pack("HH", major, minor_version))])
        elif minor == 1:
            name_length = conn.unpack("I", req, 4)[0]
            conn.answer([_printer_list(conn, req[12:12 + name_length])])
        elif minor == 2:
            name_length, _ = conn.unpack("II", req, 8)
            name = req[16:16 + name_length]
            if name not in [p[0] for p in PRINTERS]:
                conn.answer([conn.error(BAD_MATCH, req[0], minor)])
                return
            contexts[word4] = {"printer": name, "attributes": {}, "mask": 0, "job": False, "doc": False,
                               "page": False, "resolution": 300}
            conn.answer([])
        elif minor == 3:
            if word4 and not known(word4):
                conn.answer([_error(conn, entry, req, ERR_BAD_CONTEXT, word4)])
                return
            state["current"] = word4
            conn.answer([])
        elif minor == 4:
            conn.answer([conn.reply(conn.pack("I", state["current"]))])
        elif minor in (5, 6, 12, 15, 16, 17, 18, 19, 21, 23, 24) and not known(word4):
            conn.answer([_error(conn, entry, req, ERR_BAD_CONTEXT, word4)])
        elif minor == 5:
            del contexts[word4]
            if state["current"] == word4:
                state["current"] = 0
            conn.answer([])
        elif minor == 6:
            conn.answer([conn.reply(conn.pack("I", roots()[0]))])
        elif minor in (7, 8, 9, 10, 11, 13, 14):
            context = current()
            if context is None:
                conn.answer([_error(conn, entry, req, ERR_BAD_CONTEXT, 0)])
                return
            # The stage each request needs, and what it changes.
            needs = {7: None, 8: "job", 9: "job", 10: "doc", 11: "job", 13: "job", 14: "page"}[minor]
            if needs and not context[needs]:
                conn.answer([_error(conn, entry, req, ERR_BAD_SEQUENCE, 0)])
                return
            packets = []
            if minor == 7:
                context["job"] = True
                body = conn.pack("IB", state["current"], 0)
                packets.append(bytes([entry["first_event"] + EV_PRINT_NOTIFY, START_JOB_NOTIFY]) + b"\0\0" +
                               (body + bytes(28))[:28])
            elif minor == 8:
                context["job"] = context["doc"] = context["page"] = False
            elif minor == 9:
                context["doc"] = True
            elif minor == 10:
                context["doc"] = context["page"] = False
            elif minor == 13:
                context["page"] = True
            elif minor == 14:
                context["page"] = False
            conn.answer(packets)
        elif minor == 12:
            conn.answer([conn.reply(conn.pack("III", 0, 1, 0))])
        elif minor == 15:
            contexts[word4]["mask"] = conn.unpack("I", req, 8)[0]
            conn.answer([])
        elif minor == 16:
            mask = contexts[word4]["mask"]
            conn.answer([conn.reply(conn.pack("II", mask, mask))])
        elif minor == 17:
            text = contexts[word4]["attributes"].get(req[8], b"")
            conn.answer([conn.reply(conn.pack("I", len(text)), _padded(text))])
        elif minor == 18:
            length = conn.unpack("I", req, 8)[0]
            kind, rule = req[12], req[13]
            text = req[16:16 + length]
            if 16 + length > len(req) or rule not in (1, 2):
                conn.answer([conn.error(BAD_VALUE, req[0], minor, rule)])
                return
            table = contexts[word4]["attributes"]
            table[kind] = (table.get(kind, b"") + text) if rule == 2 else text
            conn.answer([])
        elif minor == 19:
            length = conn.unpack("I", req, 8)[0]
            value = _one_attribute(contexts[word4]["attributes"].get(req[12], b""), req[16:16 + length])
            conn.answer([conn.reply(conn.pack("I", len(value)), _padded(value))])
        elif minor == 20:
            conn.answer([])
        elif minor == 21:
            conn.answer([conn.reply(conn.pack("6H", *PAGE))])
        elif minor == 22:
            listed = roots()
            conn.answer([conn.reply(conn.pack("I", len(listed)), b"".join(conn.pack("I", r) for r in listed))])
        elif minor == 23:
            previous = contexts[word4]["resolution"]
            contexts[word4]["resolution"] = conn.unpack("H", req, 8)[0]
            conn.answer([conn.reply_with_byte1(1, conn.pack("H", previous))])
        elif minor == 24:
            conn.answer([conn.reply(conn.pack("H", contexts[word4]["resolution"]))])
        else:
            conn.answer([conn.error(1, req[0], minor)])
